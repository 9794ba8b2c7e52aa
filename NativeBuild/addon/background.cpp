// my_start_job_background: each job on a detached thread of its own.
#include "addon/background.h"

#include "addon/dispatch.h"
#include "addon/entry.h"
#include "addon/value.h"
#include "hybrid/hybrid.h"
#include "plumbing/plumbing.h"
#include "skyblend/skyblend.h"
#include "starglow/starglow.h"
#include "startrail/startrail.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <exception>
#include <initializer_list>
#include <sstream>
#include <system_error>
#include <thread>

namespace {

std::atomic<int> gRunning{0};

bool pathHas(const std::string& path, const char* marker) { return path.find(marker) != std::string::npos; }

// The script writes the job file just before the call: wait until every key
// the worker needs is there, then go on regardless.
void waitForJobFile(const std::string& path, int attempts, std::initializer_list<const char*> markers) {
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
  if (pathHas(path, "startrail_job_native")) {
    waitForJobFile(path, 40, {"startrail-native-job", "\"progress\"", "\"resultLog\""});
    return NLJobKind::StarTrail;
  }
  if (pathHas(path, "star_glow_job_native")) {
    waitForJobFile(path, 60, {"star-glow-native-job", "\"inputPath\"", "\"progress\"", "\"resultLog\""});
    return NLJobKind::StarGlow;
  }
  return NL_detectJobKind(path);
}

const char* kindLabel(NLJobKind kind) {
  switch (kind) {
    case NLJobKind::StarTrail: return "Star Trail";
    case NLJobKind::StarGlow: return "Star Glow";
    case NLJobKind::SkyBlend: return "Sky Blend";
    case NLJobKind::HybridStack: break;
  }
  return "Hybrid stack";
}

std::string trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

struct JobFiles {
  std::string progress;
  std::string resultLog;
  NLJobPaths paths;  // what the job reads and writes: a report never lands on an input or a result
};

// key=value job: a repeated key replaces the earlier value.
JobFiles keyValueJobFiles(const std::string& text) {
  JobFiles files;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = trimmed(line.substr(0, eq));
    if (key == "progress") files.progress = trimmed(line.substr(eq + 1));
    if (key == "resultLog") files.resultLog = trimmed(line.substr(eq + 1));
  }
  return files;
}

// The two paths as the job itself reads them.
JobFiles jobFilesOf(const std::string& path, NLJobKind kind) {
  switch (kind) {
    case NLJobKind::StarTrail: {
      const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(path);
      return {job.progress, job.resultLog, NL_starTrailJobPaths(path, job)};
    }
    case NLJobKind::StarGlow: {
      const NL_StarGlowJob job = NL_readStarGlowJob(NL_sgReadTextFile(path));
      return {job.progressPath, job.resultLog, NL_starGlowJobPaths(path, job)};
    }
    case NLJobKind::SkyBlend: {
      const NLSkyBlendNativeJob job = NL_parseSkyBlendNativeJob(NL_readTextFile(path));
      return {job.progress, job.resultLog, NL_skyBlendJobPaths(path, job)};
    }
    case NLJobKind::HybridStack: break;
  }
  JobFiles files = keyValueJobFiles(NL_readTextFile(path));
  files.paths = NL_hybridStackJobPaths(path, NL_readTestJobConfig(path));
  return files;
}

// The worker's own reports, written only where the job itself may write:
// a progress or log path that names a frame, the mask or an earlier result
// must not replace that file.
void reportProgress(const JobFiles& files, int percent, const std::string& stage, const std::string& detail) {
  if (NL_isSafeReportPath(files.progress, files.paths)) NL_writeProgressFile(files.progress, percent, stage, detail);
}

void reportLog(const JobFiles& files, const std::string& text) {
  if (NL_isSafeReportPath(files.resultLog, files.paths)) NL_writeTextFile(files.resultLog, text);
}

void announceStarTrail(const JobFiles& files) {
  reportProgress(files, 1, "Starting Background Processing", "Native Star Trail background worker started.");
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
    const JobFiles files = jobFilesOf(path, kind);
    reportProgress(files, 100, "Failed", message);
    reportLog(files, std::string(kindLabel(kind)) + " native background job failed.\nstatus=failed\nerror=" + message + "\n");
  } catch (...) {
  }
}

void runJob(const std::string& path, NLJobKind kind, const NLJobRunner& runner) {
  const JobFiles files = jobFilesOf(path, kind);
  const NLProgressRecord before = NL_progressRecord(files.progress);
  if (kind == NLJobKind::StarTrail) announceStarTrail(files);
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
    finishThrown(jobPath, kind, "Unknown native " + std::string(kindLabel(kind)) + " background error.");
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
