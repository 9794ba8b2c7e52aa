// What every job command does once its table is read: work out the job's
// paths and keys, write the job file next to the output, and run it.
#pragma once

#include "cli/job_args.h"
#include "cli/run_job.h"
#include "synth/job_files.h"

#include <string>

namespace lvcli {

// The job a command line asks for.
struct JobPlan {
  synth::JobPaths paths;        // relative paths are made absolute before writing
  synth::JobSettings settings;
  std::string dir;              // where the job file and its progress and result log go
  std::string prefix;           // their names start with this
  bool makeDir = false;         // dir is an output folder that may not exist yet
  bool force = false;           // --force: existing outputs are replaced, not numbered around
  bool sidecars = false;        // the job writes intermediate sky and foreground images for its composite
  std::vector<LeftOut> leftOut; // files of ours that a folder or pattern held and the frames leave out
};

// Frames from the arguments, leaving out the files `named` (with why) and every other file of ours.
bool planFrames(JobPlan& plan, const std::vector<std::string>& args, const std::vector<LeftOut>& named,
                std::vector<std::string>& frames, std::string& error);

// Fills the plan from a parsed command line; false with error for bad usage
// (a frame that does not exist, a folder without frames).
using PlanBuilder = bool (*)(const ParsedCommand&, JobPlan&, std::string& error);

struct JobCommand {
  CommandTable table;
  synth::JobKind kind;
  PlanBuilder plan;
};

const JobCommand& trailCommand();
const JobCommand& stackCommand();
const JobCommand& glowCommand();
const JobCommand& skyBlendCommand();

// Takes the flags that choose how a job runs; false when more than one chooses the mode.
bool takeRunFlags(const std::vector<std::string>& flags, JobRun& run);

// --help: usage on stdout, 0. Bad usage: the reason and the usage on stderr,
// 2, nothing written. Otherwise writes the job file and returns what running
// it returns (0 success, 1 job failure, 2 error).
int runJobCommand(const JobCommand& command, const Args& args);

}  // namespace lvcli
