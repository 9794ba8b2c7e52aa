#include "cli/cli_host.h"
#include "cli/commands.h"
#include "cli/progress_view.h"
#include "cli/run_job.h"

#include <filesystem>
#include <future>
#include <iostream>

namespace {

const char* kRunUsage = "usage: lumivex run JOB [--quiet]\n";

bool parseRunArgs(const Args& args, std::string& job, JobRun& run) {
  for (const std::string& a : args) {
    if (lumivexTakeRunFlag(a, run)) continue;
    if (a.size() > 1 && a[0] == '-') {
      std::cerr << "lumivex run: unknown option '" << a << "'\n" << kRunUsage;
      return false;
    }
    if (!job.empty()) {
      std::cerr << kRunUsage;
      return false;
    }
    job = a;
  }
  if (job.empty()) std::cerr << kRunUsage;
  return !job.empty();
}

// Runs the call on another thread and follows the job's progress file meanwhile.
lvhost::CallResult runFollowing(lvhost::StandinHost& host, const std::string& job, const JobRun& run) {
  lvcli::ProgressView view(lvhost::jobProgressPath(job), lvcli::progressStyleFor(run.quiet), std::cerr);
  auto pending = std::async(std::launch::async, [&] { return host.call("my_echo", lvhost::CallArg::string(job)); });
  view.follow([&] { return pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready; });
  return pending.get();
}

}  // namespace

bool lumivexTakeRunFlag(const std::string& arg, JobRun& run) {
  if (arg == "--quiet" || arg == "-q") return run.quiet = true;
  return false;
}

std::vector<std::pair<std::string, std::string>> lumivexRunFlagsHelp() {
  return {{"-q, --quiet", "print only the result log, no progress"}};
}

int lumivexRunJobFile(const std::string& jobPath, const JobRun& run) {
  lvhost::StandinHost host;
  if (!lumivexLoadAddon(host)) return 2;
  if (!lumivexRequireExport(host, "my_echo")) return 2;
  const lvhost::CallResult result = runFollowing(host, jobPath, run);
  if (result.kind == lvhost::ResultKind::String) {
    lumivexPrintText(result.text);
    return lvhost::resultLogReportsSuccess(result.text) ? 0 : 1;
  }
  std::cerr << lvhost::describeResult(result) << "\n";
  return 2;
}

int lumivexRun(const Args& args) {
  std::string job;
  JobRun run;
  if (!parseRunArgs(args, job, run)) return 2;
  std::error_code ec;
  if (!std::filesystem::exists(job, ec)) {
    std::cerr << "lumivex run: job file '" << job << "' does not exist\n";
    return 2;
  }
  if (!std::filesystem::is_regular_file(job, ec)) {
    std::cerr << "lumivex run: '" << job << "' is not a job file\n";
    return 2;
  }
  return lumivexRunJobFile(job, run);
}
