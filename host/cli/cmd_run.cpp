#include "cli/cli_host.h"
#include "cli/commands.h"
#include "cli/progress_view.h"

#include <filesystem>
#include <future>
#include <iostream>

namespace {

const char* kRunUsage = "usage: lumivex run JOB [--quiet]\n";

struct RunOptions {
  std::string job;
  bool quiet = false;
};

bool parseRunArgs(const Args& args, RunOptions& options) {
  for (const std::string& a : args) {
    if (a == "--quiet" || a == "-q") {
      options.quiet = true;
    } else if (a.size() > 1 && a[0] == '-' ) {
      std::cerr << "lumivex run: unknown option '" << a << "'\n" << kRunUsage;
      return false;
    } else if (options.job.empty()) {
      options.job = a;
    } else {
      std::cerr << kRunUsage;
      return false;
    }
  }
  if (options.job.empty()) std::cerr << kRunUsage;
  return !options.job.empty();
}

// Runs the call on another thread and follows the job's progress file meanwhile.
lvhost::CallResult runFollowing(lvhost::StandinHost& host, const RunOptions& options) {
  lvcli::ProgressView view(lvhost::jobProgressPath(options.job), lvcli::progressStyleFor(options.quiet), std::cerr);
  auto pending = std::async(std::launch::async, [&] {
    return host.call("my_echo", lvhost::CallArg::string(options.job));
  });
  view.follow([&] { return pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready; });
  return pending.get();
}

}  // namespace

int lumivexRun(const Args& args) {
  RunOptions options;
  if (!parseRunArgs(args, options)) return 2;
  std::error_code ec;
  if (!std::filesystem::exists(options.job, ec)) {
    std::cerr << "lumivex run: job file '" << options.job << "' does not exist\n";
    return 2;
  }
  if (!std::filesystem::is_regular_file(options.job, ec)) {
    std::cerr << "lumivex run: '" << options.job << "' is not a job file\n";
    return 2;
  }
  lvhost::StandinHost host;
  if (!lumivexLoadAddon(host)) return 2;
  if (!lumivexRequireExport(host, "my_echo")) return 2;
  const lvhost::CallResult result = runFollowing(host, options);
  if (result.kind == lvhost::ResultKind::String) {
    lumivexPrintText(result.text);
    return lvhost::resultLogReportsSuccess(result.text) ? 0 : 1;
  }
  std::cerr << lvhost::describeResult(result) << "\n";
  return 2;
}
