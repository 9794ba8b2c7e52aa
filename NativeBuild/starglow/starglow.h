// Star Glow job.
#pragma once

#include <string>

// Runs the job described by the job file and returns its result log text.
std::string NL_runStarGlowNativeJob(const std::string& jobPath);
