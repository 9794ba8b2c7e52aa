// The Sky Blend job: registered sky stack, fixed foreground stack, blend.
#include "skyblend/skyblend.h"

#include <algorithm>
#include <exception>
#include <mutex>

namespace {

const char* const kSkyStage = "Creating Registered Sky Stack";
const char* const kForegroundStage = "Creating Optional Foreground Stack";

// The progress of one run: whatever order the stack workers report in, the
// percentage shown never goes back.
class RunProgress {
 public:
  explicit RunProgress(std::string path) : path_(std::move(path)) {}
  void report(int percent, const std::string& stage, const std::string& detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    highest_ = std::max(highest_, std::clamp(percent, 0, 100));
    NL_writeProgressFile(path_, highest_, stage, detail);
  }
  NLProgressCallback ranged(int start, int end) {
    return [this, start, end](int q, const std::string& stage, const std::string& detail) {
      report(NL_mapProgress(std::clamp(q, 0, 100), start, end), stage, detail);
    };
  }
  void failed(const std::string& detail) { NL_writeProgressFile(path_, 100, "Failed", detail); }

 private:
  std::string path_;
  std::mutex mutex_;
  int highest_ = 0;
};

struct Stage {
  const char* heading;  // first line of the failure log
  const char* detail;   // progress detail of the failure
};
const Stage kSkyStack{"Sky Blend failed during sky stack.\n", "Sky stack failed."};
const Stage kForegroundStack{"Sky Blend failed during foreground stack.\n", "Foreground stack failed."};
const Stage kBlend{"Sky Blend failed during blend preview.\n", "Blend preview failed."};

std::string finish(const NLSkyBlendNativeJob& job, const std::string& text) {
  NL_writeTextFile(job.resultLog, text);
  return text;
}

// Every file the job reads and writes, so that no output can land on an
// input, another output or a folder.
NLJobPaths jobPaths(const std::string& jobPath, const NLSkyBlendNativeJob& job,
                    const std::vector<std::string>& ordered) {
  NLJobPaths paths;
  paths.inputs.push_back({"job file", jobPath});
  for (const std::string& input : ordered) paths.inputs.push_back({"input frame", input});
  paths.inputs.push_back({"sky mask", job.skyMaskPath});
  paths.outputs = {{"sky output", job.skyOutput},
                   {"foreground output", job.foregroundOutput},
                   {"blend output", job.blendOutput},
                   {"progress file", job.progress},
                   {"result log", job.resultLog}};
  return paths;
}

// A job that may not run: its failure goes wherever it safely can. The log
// comes last, so a result log named like the progress file ends with it.
std::string refuse(const NLSkyBlendNativeJob& job, const NLJobPaths& paths, RunProgress& progress,
                   const std::string& text) {
  if (NL_isSafeReportPath(job.progress, paths)) progress.failed(text);
  if (NL_isSafeReportPath(job.resultLog, paths)) NL_writeTextFile(job.resultLog, text);
  return text;
}

std::string exceptionText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// The stages' queued writes and the stage that queued each: a write that
// fails after its stage has returned still ends the run as that stage's failure.
class StageWrites {
 public:
  explicit StageWrites(NLImageWriteQueue& queue) : queue_(queue) {}
  void claim(const Stage& stage) { owners_.resize(queue_.size(), &stage); }
  // Waits for every write; true, with the stage and its failure text, when one failed.
  bool failed(const Stage*& stage, std::string& why) {
    size_t first = 0;
    if (queue_.finish(first, why)) return false;
    stage = owners_[first];
    return true;
  }

 private:
  NLImageWriteQueue& queue_;
  std::vector<const Stage*> owners_;
};

void fail(const Stage& stage, const std::string& why, const NLSkyBlendNativeJob& job, RunProgress& progress,
          std::string& text) {
  text = finish(job, stage.heading + why);
  progress.failed(stage.detail);
}

// Runs one stage. A false result leaves its failure log in text (an earlier
// stage's failed write comes first); an exception writes the same failure
// log and progress before it goes on, so the script side never waits on a
// job that has already died.
template <typename Body>
bool runStage(const Stage& stage, const NLSkyBlendNativeJob& job, RunProgress& progress, StageWrites& writes,
              std::string& message, std::string& text, Body body) {
  bool ok = false;
  try {
    ok = body(message);
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    finish(job, stage.heading + exceptionText(error));
    progress.failed(stage.detail);
    std::rethrow_exception(error);
  }
  writes.claim(stage);
  if (ok) return true;
  const Stage* earlier = nullptr;
  std::string why;
  if (writes.failed(earlier, why)) fail(*earlier, why, job, progress, text);
  else fail(stage, message, job, progress, text);
  return false;
}

}  // namespace

NLJobPaths NL_skyBlendJobPaths(const std::string& jobPath, const NLSkyBlendNativeJob& job) {
  return jobPaths(jobPath, job, NL_referenceFirstInputs(job.inputs, job.referencePath));
}

NLSkyBlendStages NL_skyBlendStages() {
  NLSkyBlendStages stages;
  stages.skyStack = [](const std::vector<std::string>& ordered, const NLSkyBlendNativeJob& job,
                       const std::string& method, const NLProgressCallback& progress, std::string& message,
                       NLSkyBlendShared& shared) {
    return NL_registeredSigmaReferenceCanvas(ordered, job.skyOutput, job.skyMaskPath, message, progress, method,
                                             &shared.coverage, &shared.frames, &shared.sky, &shared.writes);
  };
  stages.foregroundStack = [](const std::vector<std::string>& ordered, const NLSkyBlendNativeJob& job,
                              const std::string& method, const NLProgressCallback& progress, std::string& message,
                              NLSkyBlendShared& shared) {
    const bool ok = NL_fixedSigmaStackToReferenceSize(ordered, job.foregroundOutput, message, progress, method,
                                                      &shared.frames, &shared.foreground, &shared.writes);
    shared.frames.releaseImages();  // the blend works on the two stacks alone
    return ok;
  };
  stages.blend = [](const NLSkyBlendNativeJob& job, NLSkyBlendShared& shared, std::string& message) {
    return NL_blendSkyForegroundWithMask(job.skyOutput, job.foregroundOutput, job.referencePath, job.skyMaskPath,
                                         job.blendOutput, message, shared.coverage, shared.sky, shared.foreground,
                                         &shared.writes);
  };
  return stages;
}

std::string NL_runSkyBlendNativeJob(const std::string& jobPath) {
  return NL_runSkyBlendNativeJobWith(jobPath, NL_skyBlendStages());
}

std::string NL_runSkyBlendNativeJobWith(const std::string& jobPath, const NLSkyBlendStages& stages) {
  // An unreadable job file reads as empty and fails validation below.
  std::string jobText, unreadable;
  NL_readJobFile(jobPath, jobText, unreadable);
  const NLSkyBlendNativeJob job = NL_parseSkyBlendNativeJob(jobText);
  std::string setup;
  NL_loadMinimalOpenCVDlls(setup);
  RunProgress progress(job.progress);
  const std::vector<std::string> ordered = NL_referenceFirstInputs(job.inputs, job.referencePath);
  const NLJobPaths paths = jobPaths(jobPath, job, ordered);
  const std::string problem = NL_skyBlendJobProblem(job);
  if (!problem.empty()) return refuse(job, paths, progress, problem);
  const std::string conflict = NL_checkJobPaths(paths);
  if (!conflict.empty()) return refuse(job, paths, progress, "Sky Blend failed: " + conflict + ".");
  progress.report(10, kSkyStage, "Creating registered sky stack.");
  const std::string method = job.stackMethod == "average" ? "average" : "sigma";
  progress.report(10, kSkyStage, "Stack method: " + method + ".");
  std::string text, skyMessage, foregroundMessage, blendMessage;
  NLSkyBlendShared shared;
  StageWrites writes(shared.writes);
  if (!runStage(kSkyStack, job, progress, writes, skyMessage, text, [&](std::string& m) {
        return stages.skyStack(ordered, job, method, progress.ranged(10, 55), m, shared);
      }))
    return text;
  progress.report(55, kForegroundStage, "Creating fixed foreground stack.");
  if (!runStage(kForegroundStack, job, progress, writes, foregroundMessage, text, [&](std::string& m) {
        return stages.foregroundStack(ordered, job, method, progress.ranged(55, 80), m, shared);
      }))
    return text;
  progress.report(80, "Blend", "Creating blend preview.");
  if (!runStage(kBlend, job, progress, writes, blendMessage, text,
                [&](std::string& m) { return stages.blend(job, shared, m); }))
    return text;
  const Stage* unwritten = nullptr;
  std::string why;
  if (writes.failed(unwritten, why)) {
    fail(*unwritten, why, job, progress, text);
    return text;
  }
  progress.report(100, "Completed", "Sky Blend finished successfully.");
  return finish(job, NL_formatSkyBlendSummary(job, ordered.size(), skyMessage, foregroundMessage, blendMessage));
}
