#include "cli/cli_host.h"
#include "cli/commands.h"

#include <atomic>
#include <filesystem>
#include <future>
#include <iostream>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#define LUMIVEX_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define LUMIVEX_ISATTY(fd) isatty(fd)
#endif

namespace {

const char* kRunUsage = "usage: lumivex run JOB [--quiet]\n";
constexpr int kBarWidth = 30;

std::string barLine(const lvhost::ProgressSnapshot& p) {
  const int percent = p.percent < 0 ? 0 : (p.percent > 100 ? 100 : p.percent);
  const int filled = percent * kBarWidth / 100;
  std::ostringstream out;
  out << "\r[" << std::string(filled, '#') << std::string(kBarWidth - filled, '-') << "] ";
  out.width(3);
  out << percent << "%  " << p.stage;
  if (!p.detail.empty()) out << ": " << p.detail;
  out << "\033[K";  // clear what a longer earlier line left behind
  return out.str();
}

std::string plainLine(const lvhost::ProgressSnapshot& p) {
  std::ostringstream out;
  out << "progress " << p.percent << "% " << p.stage;
  if (!p.detail.empty()) out << ": " << p.detail;
  out << "\n";
  return out.str();
}

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
  const std::string progressPath = lvhost::jobProgressPath(options.job);
  auto pending = std::async(std::launch::async, [&] {
    return host.call("my_echo", lvhost::CallArg::string(options.job));
  });
  if (options.quiet || progressPath.empty()) return pending.get();

  const bool terminal = LUMIVEX_ISATTY(2) != 0;
  // A progress file left by an earlier run is not this run's progress.
  lvhost::ProgressSnapshot stale;
  const bool hadStale = lvhost::readProgressFile(progressPath, stale);
  bool printedAny = false;
  lvhost::followProgress(
      progressPath,
      [&] { return pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready; },
      [&](const lvhost::ProgressSnapshot& p) {
        if (!printedAny && hadStale && p == stale) return;
        printedAny = true;
        std::cerr << (terminal ? barLine(p) : plainLine(p)) << std::flush;
      });
  if (terminal && printedAny) std::cerr << "\n";
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
