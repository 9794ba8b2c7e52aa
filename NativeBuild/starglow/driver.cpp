#include "starglow/starglow.h"

// This build carries no Star Glow job yet; callers get a plain answer instead of a crash.
std::string NL_runStarGlowNativeJob(const std::string& /*jobPath*/) { return "Star Glow job is not available in this build."; }
