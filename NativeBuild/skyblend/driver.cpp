// The Sky Blend job: registered sky stack, fixed foreground stack, blend.
#include "skyblend/skyblend.h"

#include <algorithm>
#include <mutex>

namespace {

const char* const kSkyStage = "Creating Registered Sky Stack";
const char* const kForegroundStage = "Creating Optional Foreground Stack";

// The progress of one run: whatever order the stack workers report in, the
// percentage shown never goes back.
class RunProgress {
 public:
  explicit RunProgress(const NLJobReport& job) : job_(job) {}
  void report(int percent, const std::string& stage, const std::string& detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    highest_ = std::max(highest_, std::clamp(percent, 0, 100));
    job_.progress(highest_, stage, detail);
  }
  NLProgressCallback ranged(int start, int end) {
    return [this, start, end](int q, const std::string& stage, const std::string& detail) {
      report(NL_mapProgress(std::clamp(q, 0, 100), start, end), stage, detail);
    };
  }

 private:
  const NLJobReport& job_;
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

// The log first, then the entry that tells a poller the run has ended.
std::string stageFailed(const Stage& stage, const std::string& why, const NLJobReport& report) {
  const std::string text = report.finish(stage.heading + why);
  report.failed(stage.detail);
  return text;
}

// Runs one stage. A false result leaves its failure log in text (an earlier
// stage's failed write comes first); an exception writes the same failure
// log and progress before it goes on, so the script side never waits on a
// job that has already died.
template <typename Body>
bool runStage(const Stage& stage, const NLJobReport& report, StageWrites& writes, std::string& message,
              std::string& text, Body body) {
  bool ok = false;
  NL_runJobGuarded(
      NLJobExceptions::Rethrow,
      [&] {
        ok = body(message);
        return std::string();
      },
      [&](const std::string& why) { return stageFailed(stage, why, report); });
  writes.claim(stage);
  if (ok) return true;
  const Stage* earlier = nullptr;
  std::string why;
  text = writes.failed(earlier, why) ? stageFailed(*earlier, why, report) : stageFailed(stage, message, report);
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
  const std::vector<std::string> ordered = NL_referenceFirstInputs(job.inputs, job.referencePath);
  const NLJobReport report(job.progress, job.resultLog, jobPaths(jobPath, job, ordered));
  RunProgress progress(report);
  const std::string problem = NL_skyBlendJobProblem(job);
  if (!problem.empty()) return report.refuse(problem, problem);
  const std::string conflict = NL_checkJobPaths(report.paths());
  if (!conflict.empty()) {
    const std::string text = "Sky Blend failed: " + conflict + ".";
    return report.refuse(text, text);
  }
  progress.report(10, kSkyStage, "Creating registered sky stack.");
  const std::string method = job.stackMethod == "average" ? "average" : "sigma";
  progress.report(10, kSkyStage, "Stack method: " + method + ".");
  std::string text, skyMessage, foregroundMessage, blendMessage;
  NLSkyBlendShared shared;
  StageWrites writes(shared.writes);
  if (!runStage(kSkyStack, report, writes, skyMessage, text, [&](std::string& m) {
        return stages.skyStack(ordered, job, method, progress.ranged(10, 55), m, shared);
      }))
    return text;
  progress.report(55, kForegroundStage, "Creating fixed foreground stack.");
  if (!runStage(kForegroundStack, report, writes, foregroundMessage, text, [&](std::string& m) {
        return stages.foregroundStack(ordered, job, method, progress.ranged(55, 80), m, shared);
      }))
    return text;
  progress.report(80, "Blend", "Creating blend preview.");
  if (!runStage(kBlend, report, writes, blendMessage, text,
                [&](std::string& m) { return stages.blend(job, shared, m); }))
    return text;
  const Stage* unwritten = nullptr;
  std::string why;
  if (writes.failed(unwritten, why)) return stageFailed(*unwritten, why, report);
  progress.report(100, "Completed", "Sky Blend finished successfully.");
  return report.finish(NL_formatSkyBlendSummary(job, ordered.size(), skyMessage, foregroundMessage, blendMessage));
}
