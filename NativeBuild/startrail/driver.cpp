#include "startrail/startrail.h"

// This build carries no Star Trail job yet; callers get a plain answer instead of a crash.
std::string NL_runStarTrailNativeJob(const std::string& /*jobPath*/) { return "Star Trail job is not available in this build."; }
