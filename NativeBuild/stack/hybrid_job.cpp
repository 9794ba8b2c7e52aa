#include "stack/stack.h"

// This build carries no Hybrid stack job yet; callers get a plain answer instead of a crash.
std::string NL_runLumivexJob(const std::string& /*jobPath*/) { return "Hybrid stack job is not available in this build."; }
