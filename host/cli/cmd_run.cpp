#include "cli/cancel.h"
#include "cli/cli_host.h"
#include "cli/commands.h"
#include "cli/run_job.h"

#include <iostream>

namespace {

const char* kRunUsage =
    "usage: lumivex run JOB [--quiet]\n"
    "       lumivex run --async JOB [--quiet]\n"
    "       lumivex run --background JOB [JOB...] [--quiet]\n";

bool usage(const std::string& why) {
  if (!why.empty()) std::cerr << "lumivex run: " << why << "\n";
  std::cerr << kRunUsage;
  return false;
}

bool parseRunArgs(const Args& args, std::vector<std::string>& jobs, JobRun& run) {
  int modes = 0;
  for (const std::string& a : args) {
    const lvcli::RunMode before = run.mode;
    if (lumivexTakeRunFlag(a, run)) {
      if (run.mode != before || a == "--async" || a == "--background") ++modes;
      if (modes > 1) return usage("choose one of --async and --background");
      continue;
    }
    if (a.size() > 1 && a[0] == '-') return usage("unknown option '" + a + "'");
    jobs.push_back(a);
  }
  if (jobs.empty()) return usage("");
  if (jobs.size() > 1 && run.mode != lvcli::RunMode::Background)
    return usage("several jobs at once run only with --background");
  return true;
}

}  // namespace

bool lumivexTakeRunFlag(const std::string& arg, JobRun& run) {
  if (arg == "--quiet" || arg == "-q") return run.quiet = true;
  if (arg == "--async") return run.mode = lvcli::RunMode::Async, true;
  if (arg == "--background") return run.mode = lvcli::RunMode::Background, true;
  return false;
}

std::vector<std::pair<std::string, std::string>> lumivexRunFlagsHelp() {
  return {{"-q, --quiet", "print only the result log, no progress"},
          {"--async", "run through my_echo_async: the job on the host's main thread, a promise"},
          {"--background", "run through my_start_job_background and follow the job's files"}};
}

int lumivexRunJobFiles(const std::vector<std::string>& jobs, const JobRun& run) {
  for (const std::string& job : jobs) {
    const std::string problem = lvcli::jobFileProblem(job, run.mode);
    if (!problem.empty()) {
      std::cerr << "lumivex: " << problem << "\n";
      return 2;
    }
  }
  lvhost::StandinHost host;
  if (!lumivexLoadAddon(host)) return 2;
  if (!lumivexRequireExport(host, lvcli::runModeExport(run.mode))) return 2;
  const lvcli::CancelScope cancellable(jobs);
  return lvcli::reportJobs(lvcli::runJobs(host, jobs, run.mode, lvcli::progressStyleFor(run.quiet)));
}

int lumivexRunJobFile(const std::string& jobPath, const JobRun& run) { return lumivexRunJobFiles({jobPath}, run); }

int lumivexRun(const Args& args) {
  if (lumivexWantsHelp(args)) {
    std::cout << kRunUsage;
    return 0;
  }
  std::vector<std::string> jobs;
  JobRun run;
  if (!parseRunArgs(args, jobs, run)) return 2;
  return lumivexRunJobFiles(jobs, run);
}
