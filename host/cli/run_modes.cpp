#include "cli/run_modes.h"

#include "cli/cli_host.h"

#include "addon/job_kinds.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace lvcli {
namespace {

namespace fs = std::filesystem;

// A file as it stood at one moment: a log left by an earlier run is not this run's.
struct FileState {
  bool exists = false;
  std::string content;
  fs::file_time_type written{};
};

FileState fileState(const std::string& path) {
  FileState s;
  std::error_code ec;
  if (path.empty() || !fs::is_regular_file(path, ec)) return s;
  std::ifstream in(path, std::ios::binary);
  if (!in) return s;
  std::ostringstream text;
  text << in.rdbuf();
  s.exists = true;
  s.content = text.str();
  s.written = fs::last_write_time(path, ec);
  return s;
}

bool writtenSince(const FileState& before, const FileState& now) {
  return now.exists && (!before.exists || now.content != before.content || now.written != before.written);
}

// The last "status" value of a log ("running" while a job announces itself).
std::string lastStatus(const std::string& log) {
  std::istringstream in(log);
  std::string line, status;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    key.erase(key.find_last_not_of(" \t\r") + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r") + 1);
    if (key == "status") status = value;
  }
  return status;
}

// The verdict of a job that reports through its result log.
JobOutcome outcomeFromLog(const std::string& job, const std::string& logPath, const FileState& before) {
  JobOutcome o;
  o.job = job;
  const FileState now = fileState(logPath);
  if (!writtenSince(before, now)) {
    o.status = 1;
    o.problem = logPath.empty() ? "the job file names no result log to read the verdict from"
                                : "the job ended without writing its result log '" + logPath + "'";
    return o;
  }
  o.log = now.content;
  o.status = statusOfLog(o.log);
  return o;
}

bool isFinalStage(const std::string& stage) { return stage == "Completed" || stage == "Failed"; }

// A background job has ended when its progress file shows an end and its
// result log has been written since the start and reads the same twice
// (logs are replaced whole, but one from an older build may not be). A log
// that never comes is given up on a while after the end.
class BackgroundWatch {
 public:
  explicit BackgroundWatch(const std::string& job) : BackgroundWatch(NL_jobFilesFor(job)) {}
  explicit BackgroundWatch(const NLJobFiles& files)
      : progress_(files.progress), log_(files.resultLog), before_(fileState(log_)) {
    hadStale_ = !progress_.empty() && lvhost::readProgressFile(progress_, stale_);
  }

  bool ended() {
    lvhost::ProgressSnapshot p;
    const bool read = !progress_.empty() && lvhost::readProgressFile(progress_, p);
    if (read && (!hadStale_ || p != stale_)) changed_ = true;
    const bool finalSeen = progress_.empty() || (read && isFinalStage(p.stage));
    const FileState now = fileState(log_);
    const bool fresh = writtenSince(before_, now) && lastStatus(now.content) != "running";
    // an empty log is one caught between its truncation and its text
    const bool steady = fresh && !now.content.empty() && now.content == lastRead_;
    lastRead_ = now.exists ? now.content : std::string();
    if (finalSeen && steady) return true;
    // an end left by an earlier run starts no wait for a log that never comes
    if (!finalSeen || !changed_) return false;
    if (!endSeen_) endSeen_ = true, endAt_ = std::chrono::steady_clock::now();
    return std::chrono::steady_clock::now() - endAt_ > std::chrono::seconds(15);
  }

  JobOutcome outcome(const std::string& job) const { return outcomeFromLog(job, log_, before_); }

 private:
  std::string progress_, log_;
  FileState before_;
  std::string lastRead_;
  bool hadStale_ = false, changed_ = false;
  lvhost::ProgressSnapshot stale_;
  bool endSeen_ = false;
  std::chrono::steady_clock::time_point endAt_;
};

// Whole lines to stderr, each prefixed with its job's name; one lock keeps
// the jobs' lines from interleaving.
class PrefixedLines : public std::stringbuf {
 public:
  PrefixedLines(std::string prefix, std::mutex& lock) : prefix_(std::move(prefix)), lock_(lock) {}
  int sync() override {
    std::string text = str(), done;
    const size_t end = text.rfind('\n');
    if (end == std::string::npos) return 0;
    std::istringstream lines(text.substr(0, end + 1));
    for (std::string line; std::getline(lines, line);) done += prefix_ + line + "\n";
    str(text.substr(end + 1));
    std::lock_guard<std::mutex> guard(lock_);
    std::cerr << done << std::flush;
    return 0;
  }

 private:
  std::string prefix_;
  std::mutex& lock_;
};

JobOutcome errorOutcome(const std::string& job, const lvhost::CallResult& result) {
  JobOutcome o;
  o.job = job;
  o.problem = lvhost::describeResult(result);
  return o;
}

// Calls the export on another thread while the view follows the progress file.
lvhost::CallResult callFollowing(lvhost::StandinHost& host, const std::string& job, RunMode mode, ProgressStyle style) {
  ProgressView view(NL_jobFilesFor(job).progress, style, std::cerr);
  auto pending = std::async(std::launch::async, [&] { return host.call(runModeExport(mode), lvhost::CallArg::string(job)); });
  view.follow([&] { return pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready; });
  return pending.get();
}

JobOutcome runEcho(lvhost::StandinHost& host, const std::string& job, ProgressStyle style) {
  const lvhost::CallResult result = callFollowing(host, job, RunMode::Echo, style);
  if (result.kind != lvhost::ResultKind::String) return errorOutcome(job, result);
  JobOutcome o;
  o.job = job;
  o.log = result.text;
  o.status = statusOfLog(o.log);
  return o;
}

// The promise says only whether the job threw; its verdict is in its result log.
JobOutcome runAsync(lvhost::StandinHost& host, const std::string& job, ProgressStyle style) {
  const std::string logPath = NL_jobFilesFor(job).resultLog;
  const FileState before = fileState(logPath);
  const lvhost::CallResult result = callFollowing(host, job, RunMode::Async, style);
  if (result.kind != lvhost::ResultKind::Resolved) return errorOutcome(job, result);
  return outcomeFromLog(job, logPath, before);
}

// What follows one background job: its watch, and its view with the stream
// the view writes to. Made before the job starts, so that files left by an
// earlier run are known as such.
struct Follower {
  Follower(const std::string& job, ProgressStyle style, bool prefixed, std::mutex& lineLock)
      : watch(job),
        buffer(std::filesystem::path(job).filename().string() + ": ", lineLock),
        prefixedOut(&buffer),
        // several jobs cannot share one bar line: each gets plain lines
        view(NL_jobFilesFor(job).progress, prefixed && style == ProgressStyle::Bar ? ProgressStyle::Lines : style,
             prefixed ? prefixedOut : std::cerr) {}
  BackgroundWatch watch;
  PrefixedLines buffer;
  std::ostream prefixedOut;
  ProgressView view;
};

std::vector<JobOutcome> runBackground(lvhost::StandinHost& host, const std::vector<std::string>& jobs,
                                      ProgressStyle style) {
  std::vector<JobOutcome> outcomes(jobs.size());
  std::mutex lineLock;
  std::vector<std::unique_ptr<Follower>> followers;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i) {
    followers.emplace_back(new Follower(jobs[i], style, jobs.size() > 1, lineLock));
    // the thread keeps its own follower: the list may grow while it runs
    Follower* follower = followers.back().get();
    const lvhost::CallResult r = host.call(runModeExport(RunMode::Background), lvhost::CallArg::string(jobs[i]));
    if (r.kind != lvhost::ResultKind::Boolean || !r.boolean) {
      outcomes[i] = errorOutcome(jobs[i], r);
      continue;
    }
    threads.emplace_back([&, i, follower] {
      Follower& f = *follower;
      f.view.follow([&] { return !f.watch.ended(); });
      f.prefixedOut.flush();
      outcomes[i] = f.watch.outcome(jobs[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  return outcomes;
}

}  // namespace

const char* runModeExport(RunMode mode) {
  switch (mode) {
    case RunMode::Async: return "my_echo_async";
    case RunMode::Background: return "my_start_job_background";
    case RunMode::Echo: break;
  }
  return "my_echo";
}

class BackgroundEnd::Watch : public BackgroundWatch {
 public:
  using BackgroundWatch::BackgroundWatch;
};

BackgroundEnd::BackgroundEnd(const std::string& job) {
  if (jobFileProblem(job, RunMode::Background).empty()) watch_.reset(new Watch(job));
}

BackgroundEnd::~BackgroundEnd() = default;

void BackgroundEnd::wait() {
  if (!watch_) return;
  while (!watch_->ended()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

int statusOfLog(const std::string& log) { return lvhost::resultLogReportsSuccess(log) ? 0 : 1; }

std::string jobFileProblem(const std::string& job, RunMode mode) {
  std::error_code ec;
  if (!fs::exists(job, ec)) return "job file '" + job + "' does not exist";
  if (!fs::is_regular_file(job, ec)) return "'" + job + "' is not a job file";
  if (mode != RunMode::Background) return std::string();
  // a background job reports only through its files
  const std::string log = NL_jobFilesFor(job).resultLog;
  if (log.empty()) return "job file '" + job + "' names no result log to follow";
  const fs::path folder = fs::path(log).parent_path();
  if (!folder.empty() && !fs::is_directory(folder, ec))
    return "the result log folder '" + folder.string() + "' of '" + job + "' does not exist";
  return std::string();
}

std::vector<JobOutcome> runJobs(lvhost::StandinHost& host, const std::vector<std::string>& jobs, RunMode mode,
                                ProgressStyle style) {
  if (mode == RunMode::Background) return runBackground(host, jobs, style);
  std::vector<JobOutcome> outcomes;
  for (const std::string& job : jobs)
    outcomes.push_back(mode == RunMode::Async ? runAsync(host, job, style) : runEcho(host, job, style));
  return outcomes;
}

int reportJobs(const std::vector<JobOutcome>& outcomes) {
  int status = 0;
  for (const JobOutcome& o : outcomes) {
    if (outcomes.size() > 1) std::cout << "== " << o.job << " ==\n";
    if (!o.log.empty()) lumivexPrintText(o.log);
    if (!o.problem.empty()) {
      std::cout.flush();
      std::cerr << (outcomes.size() > 1 ? o.job + ": " : std::string()) << o.problem << "\n";
    }
    status = std::max(status, o.status);
  }
  std::cout.flush();
  return status;
}

}  // namespace lvcli
