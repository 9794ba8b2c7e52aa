#include "skyblend/skyblend.h"

// This build carries no Sky Blend job yet; callers get a plain answer instead of a crash.
std::string NL_runSkyBlendNativeJob(const std::string& /*jobPath*/) { return "Sky Blend job is not available in this build."; }
