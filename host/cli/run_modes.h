// Running job files through the add-on's three job exports and following
// them to their end: the launching every job command shares.
#pragma once

#include "cli/progress_view.h"
#include "standin/host.h"

#include <memory>
#include <string>
#include <vector>

namespace lvcli {

// Echo: my_echo, the result log comes back as the value. Async: my_echo_async,
// the promise settles when the job ends. Background: my_start_job_background,
// the job is followed through its progress file and result log.
enum class RunMode { Echo, Async, Background };

const char* runModeExport(RunMode mode);

struct JobOutcome {
  std::string job;
  int status = 2;       // 0 success, 1 job-level failure, 2 error value, rejection or bad job file
  std::string log;      // the result log text; empty when there is none
  std::string problem;  // what went wrong besides the log, for stderr
};

// Why a job file cannot be run in this mode (missing, not a file, or a
// background job whose result log cannot be followed); empty when it can.
std::string jobFileProblem(const std::string& job, RunMode mode);

// Runs the jobs on the loaded host and shows their progress: Echo and Async
// one after another, Background all started at once (each job's lines are then
// prefixed with its file name).
std::vector<JobOutcome> runJobs(lvhost::StandinHost& host, const std::vector<std::string>& jobs, RunMode mode,
                                ProgressStyle style);

// Prints each log on stdout (under "== JOB ==" when there are several) and the
// problems on stderr. Exit status: 0 only when every job succeeded, 2 when any
// ended in an error value or a rejection, else 1.
int reportJobs(const std::vector<JobOutcome>& outcomes);

// The end of one job started through my_start_job_background, as its files
// show it. Made before the start, so that files left by an earlier run are
// known as such. A job whose result log cannot be followed is not waited for.
class BackgroundEnd {
 public:
  explicit BackgroundEnd(const std::string& job);
  ~BackgroundEnd();
  void wait();

 private:
  class Watch;
  std::unique_ptr<Watch> watch_;
};

// A result log's verdict for the exit status: 0 success, 1 failure.
int statusOfLog(const std::string& log);

}  // namespace lvcli
