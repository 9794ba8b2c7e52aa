// Running one job file through the add-on: what `lumivex run` does and what
// every job command does once it has written its job file.
#pragma once

#include "cli/run_modes.h"

#include <string>
#include <utility>
#include <vector>

// How a job runs and what is shown meanwhile.
struct JobRun {
  bool quiet = false;                          // only the result log
  lvcli::RunMode mode = lvcli::RunMode::Echo;  // --async, --background
};

// Takes one of the flags that choose how a job runs; false when arg is none of them.
bool lumivexTakeRunFlag(const std::string& arg, JobRun& run);
// Those flags with one line of help each, for usage texts.
std::vector<std::pair<std::string, std::string>> lumivexRunFlagsHelp();

// Loads the add-on, runs the job file through the mode's export ("my_echo"
// unless told otherwise) while showing its progress on stderr, and prints the
// result log on stdout. Returns 0 when the log reports success, 1 for a
// job-level failure, 2 for an error value, a rejection, a job file that cannot
// be run or a module that does not load.
int lumivexRunJobFile(const std::string& jobPath, const JobRun& run);
// The same for several job files; with --background they all run at once.
int lumivexRunJobFiles(const std::vector<std::string>& jobs, const JobRun& run);
