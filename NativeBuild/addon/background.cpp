// my_start_job_background: each job on a detached thread of its own.
#include "addon/background.h"

#include "addon/dispatch.h"
#include "addon/entry.h"
#include "addon/job_kinds.h"
#include "addon/value.h"
#include "plumbing/plumbing.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace {

std::atomic<int> gRunning{0};

bool pathHas(const std::string& path, const char* marker) { return path.find(marker) != std::string::npos; }

// The script writes the job file just before the call: wait until every key
// the worker needs is there, then go on regardless.
void waitForJobFile(const std::string& path, int attempts, const std::vector<const char*>& markers) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const std::string text = NL_readTextFile(path);
    bool complete = true;
    for (const char* marker : markers) complete = complete && pathHas(text, marker);
    if (complete) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Routed like my_echo; the handshake only for jobs named by their path.
NLJobKind startBackgroundJob(const std::string& path) {
  for (const NLJobKindRow& row : NL_jobKinds()) {
    if (row.handshakeAttempts <= 0 || !pathHas(path, row.pathMarker)) continue;
    waitForJobFile(path, row.handshakeAttempts, row.handshakeMarkers);
    return row.kind;
  }
  return NL_detectJobKind(path);
}

std::string trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// The worker's own reports, written only where the job itself may write:
// a progress or log path that names a frame, the mask or an earlier result
// must not replace that file.
void reportProgress(const NLJobFiles& files, int percent, const std::string& stage, const std::string& detail) {
  if (NL_isSafeReportPath(files.progress, files.paths)) NL_writeProgressFile(files.progress, percent, stage, detail);
}

void reportLog(const NLJobFiles& files, const std::string& text) {
  if (NL_isSafeReportPath(files.resultLog, files.paths)) NL_writeTextFile(files.resultLog, text);
}

void announceStart(const NLJobFiles& files, const char* detail) {
  reportProgress(files, 1, "Starting Background Processing", detail);
  reportLog(files, "pending\nstatus=running\nstage=Starting Background Processing\n");
}

bool endedSince(const std::string& progressPath, const NLProgressRecord& before) {
  const NLProgressRecord now = NL_progressRecord(progressPath);
  return now.entries > before.entries && NL_isFinalProgressStage(now.stage);
}

// A progress detail is one line.
std::string oneLine(const std::string& text) {
  std::string out = trimmed(text);
  for (char& c : out)
    if (c == '\n' || c == '\r') c = ' ';
  return out;
}

// An exception left the job: its result log and progress never got an end.
void finishThrown(const std::string& path, NLJobKind kind, const std::string& message) {
  try {
    const NLJobKindRow& row = NL_jobKindRow(kind);
    const NLJobFiles files = row.files(path);
    reportProgress(files, 100, "Failed", message);
    reportLog(files, std::string(row.label) + " native background job failed.\nstatus=failed\nerror=" + message + "\n");
  } catch (...) {
  }
}

void runJob(const std::string& path, NLJobKind kind, const NLJobRunner& runner) {
  const NLJobKindRow& row = NL_jobKindRow(kind);
  const NLJobFiles files = row.files(path);
  const NLProgressRecord before = NL_progressRecord(files.progress);
  if (row.startedDetail) announceStart(files, row.startedDetail);
  const std::string log = runner(kind, path);
  // A job that stopped early (a validation failure, a job this build lacks)
  // may have written no end to its progress file.
  if (endedSince(files.progress, before)) return;
  reportProgress(files, 100, "Failed", oneLine(log));
  reportLog(files, log);
}

}  // namespace

void NL_runBackgroundJob(const std::string& jobPath, const NLJobRunner& runner) {
  NLJobKind kind = NLJobKind::HybridStack;
  try {
    kind = startBackgroundJob(jobPath);
    runJob(jobPath, kind, runner ? runner : NLJobRunner(NL_runJobOfKind));
  } catch (const std::exception& e) {
    finishThrown(jobPath, kind, e.what());
  } catch (...) {
    finishThrown(jobPath, kind, "Unknown native " + std::string(NL_jobKindRow(kind).label) + " background error.");
  }
}

int NL_backgroundJobsRunning() { return gRunning.load(); }

addon_value MyStartJobBackground(addon_env env, addon_callback_info info) {
  try {
    std::string jobPath = Value(env, NL_firstArgument(env, info)).GetString();
    gRunning.fetch_add(1);
    try {
      std::thread([path = std::move(jobPath)] {
        NL_runBackgroundJob(path);
        gRunning.fetch_sub(1);
      }).detach();
    } catch (const std::system_error& e) {
      gRunning.fetch_sub(1);
      throw std::system_error(e.code(), "thread constructor failed");
    }
    return Value(true).Convert(env);
  } catch (...) {
    return CreateErrorFromException(env);
  }
}
