// Sky Blend job.
#pragma once

#include <string>

// Runs the job described by the job file and returns its result log text.
std::string NL_runSkyBlendNativeJob(const std::string& jobPath);
