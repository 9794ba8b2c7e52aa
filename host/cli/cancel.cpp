#include "cli/cancel.h"

#include "cli/own_files.h"
#include "addon/job_kinds.h"
#include "plumbing/plumbing.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>
#endif

namespace lvcli {
namespace {

std::mutex scopeLock;
std::vector<std::string> runningJobs;
std::vector<std::string> runFiles;

void eraseEach(std::vector<std::string>& from, const std::vector<std::string>& items) {
  for (const std::string& item : items) {
    const auto found = std::find(from.begin(), from.end(), item);
    if (found != from.end()) from.erase(found);
  }
}

#if !defined(_WIN32)
// Exit status of a program ended by SIGINT, as shells report it.
constexpr int kCancelledStatus = 130;

[[noreturn]] void cancelEverything(int signal) {
  const char* name = signal == SIGINT ? "SIGINT" : "SIGTERM";
  {
    // held to the end: a run finishing meanwhile cannot take its files away
    std::lock_guard<std::mutex> guard(scopeLock);
    for (const std::string& job : runningJobs) cancelJob(job, name);
    std::error_code ec;
    for (const std::string& f : runFiles) std::filesystem::remove(f, ec);
  }
  // the jobs' threads end with the process, before they can write again
  std::_Exit(kCancelledStatus);
}
#endif

}  // namespace

void cancelOnSignals() {
#if !defined(_WIN32)
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  std::thread([set] {
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    cancelEverything(signal);
  }).detach();
#endif
}

CancelScope::CancelScope(std::vector<std::string> jobs, std::vector<std::string> extraFiles)
    : jobs_(std::move(jobs)), files_(std::move(extraFiles)) {
  std::lock_guard<std::mutex> guard(scopeLock);
  runningJobs.insert(runningJobs.end(), jobs_.begin(), jobs_.end());
  runFiles.insert(runFiles.end(), files_.begin(), files_.end());
}

CancelScope::~CancelScope() {
  std::lock_guard<std::mutex> guard(scopeLock);
  eraseEach(runningJobs, jobs_);
  eraseEach(runFiles, files_);
}

std::string cancelJob(const std::string& job, const std::string& signalName) {
  // the job's own reading of its file names its reports; the keys in the text
  // are a second net for a file the job could not parse
  const NLJobFiles files = NL_jobFilesFor(job);
  std::vector<std::string> outputs = outputsNamedIn(NL_readTextFile(job));
  for (const NLJobPath& out : files.paths.outputs) outputs.push_back(out.path);
  const std::string& progress = files.progress;
  const std::string& log = files.resultLog;
  const auto removePartials = [&] {
    for (const std::string& out : outputs) {
      if (!out.empty()) NL_removeOwnPartials(out);
    }
    if (!log.empty()) NL_removeOwnPartials(log);
  };
  removePartials();
  const std::string why = "Cancelled: the lumivex program received " + signalName + " before the job finished.";
  // last words: a job thread still polling or finishing cannot write over them
  if (!log.empty()) NL_writeLastTextFile(log, "Job cancelled.\nstatus=failed\nerror=" + why + "\n");
  if (!progress.empty()) NL_writeLastProgressEntry(progress, 100, "Failed", why);
  // a write the job began meanwhile is swept too; the process ends right after
  removePartials();
  return why;
}

}  // namespace lvcli
