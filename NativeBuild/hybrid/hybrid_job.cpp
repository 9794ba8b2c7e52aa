// Hybrid stack job driver: reads the job, runs both gates and the chosen
// stack, keeps the job's progress file current and writes its result log.
#include "hybrid/hybrid.h"

#include "hybrid/detail/job_guard.h"
#include "hybrid/detail/stack_progress.h"

#include <chrono>
#include <mutex>

namespace {

using hybrid_detail::Clock;
using hybrid_detail::msSince;
using StackFunction = bool (*)(const std::vector<std::string>&, const std::string&, std::string&,
                               const std::string&, NLJobFrames*);

struct MethodEntry {
  const char* name;
  StackFunction run;
  const char* stageMessage;
};

const MethodEntry kMethods[] = {
    {"registered-average-homography", NL_registeredAverageHomography, "Creating a registered average stack."},
    {"registered-median-homography", NL_registeredMedianHomography, "Creating a registered median stack."},
    {"registered-sigma-homography", NL_registeredSigmaHomography, "Creating a registered sigma-clipped stack."},
};

const MethodEntry* methodEntry(const std::string& name) {
  for (const MethodEntry& m : kMethods)
    if (name == m.name) return &m;
  return nullptr;
}

}  // namespace

NLJobPaths NL_hybridStackJobPaths(const std::string& jobPath, const TestJobConfig& job) {
  NLJobPaths paths;
  paths.inputs.push_back({"job file", jobPath});
  for (const std::string& input : job.inputs) paths.inputs.push_back({"input frame", input});
  paths.outputs = {{"output", job.output}, {"progress file", job.progress}, {"result log", job.resultLog}};
  return paths;
}

namespace {

// The first validation text that applies, empty when the job can run. A job
// file that exists but cannot be read says so instead of naming the method;
// a missing one names its path after the method text (any unknown job file
// lands here, so the method text alone would mislead).
std::string validationFailure(const std::string& jobPath, const std::string& readFailure,
                              const TestJobConfig& job, const NLJobPaths& paths) {
  const char* const unknownMethod = "Lumivex Hybrid test currently supports average, median, sigma or auto.";
  if (!readFailure.empty() && (NL_isNonRegularFile(jobPath) || NL_isRegularFile(jobPath)))
    return "Lumivex Hybrid test failed: " + readFailure;
  if (!readFailure.empty()) return NL_withReason(unknownMethod, readFailure);
  if (!NL_isKnownStackMethod(job.method)) return unknownMethod;
  if (job.output.empty()) return "Lumivex Hybrid test failed: output is empty.";
  if (job.inputs.size() < 2) return "Lumivex Hybrid test failed: at least two inputs are required.";
  const std::string unsafe = NL_checkJobPaths(paths);
  return unsafe.empty() ? std::string() : "Lumivex Hybrid test failed: " + unsafe;
}

// A caller polling the progress file learns the end from the last entry, so
// every way out of the job writes one at 100.
std::string finish(const TestJobConfig& job, bool success, const std::string& result,
                   const std::string& failureDetail = "Stacking failed.") {
  const NLJobReport report(job.progress, job.resultLog);
  if (success) report.progress(100, "Completed", "Stacking finished successfully.");
  else report.failed(failureDetail);
  return report.finish(result);
}

// The frames decoded, the stars detected and the fits made by one stage are
// taken by the next (NLJobFrames); each stage lets go of the frames it drops.
void runGates(const TestJobConfig& job, const hybrid_detail::JobProgress& progress, NLHybridJobOutcome& o,
              NLJobFrames& store, std::vector<std::string>& gated) {
  int minFrames = NL_minFramesForMethod(o.selectedMethod);
  progress.write(10, "Checking Frame Quality", "Measuring star compactness and selecting the best frames.");
  Clock::time_point start = Clock::now();
  const std::vector<std::string> filtered =
      NL_filterInputsByFrameQuality(job.inputs, job.qualityKeepPercent, minFrames, o.qualityLog, job.progress, &store);
  store.keepImagesOf(filtered);
  o.qualityMs = msSince(start);
  progress.write(25, "Checking Frame Alignment", "Checking whether the frames can be aligned cleanly.");
  start = Clock::now();
  gated = NL_filterInputsByAlignmentQuality(filtered, minFrames, o.alignmentLog, job.progress, &store);
  store.keepImagesOf(gated);
  o.alignmentMs = msSince(start);
  // "auto" chooses again for the frames that are actually left.
  o.selectedMethod = NL_selectStackMethod(job.method, int(gated.size()));
}

void runStack(const TestJobConfig& job, const hybrid_detail::JobProgress& progress,
              const std::vector<std::string>& gated, NLJobFrames& store, NLHybridJobOutcome& o) {
  const Clock::time_point start = Clock::now();
  const MethodEntry* method = methodEntry(o.selectedMethod);
  if (int(gated.size()) < NL_minFramesForMethod(o.selectedMethod)) {
    o.stackText = "Quality/alignment gates left too few frames for selected method.\n" + o.qualityLog +
                  o.alignmentLog;
    o.success = false;
  } else {
    progress.write(35, "Creating Stacked Image", method->stageMessage);
    o.success = method->run(gated, job.output, o.stackText, job.progress, &store);
  }
  o.stackMs = msSince(start);
}

std::string runValidJob(const TestJobConfig& job, NLHybridJobOutcome& o) {
  std::string unused;
  NL_loadMinimalOpenCVDlls(unused);
  const hybrid_detail::JobProgress progress{job.progress};
  o.selectedMethod = NL_selectStackMethod(job.method, int(job.inputs.size()));
  std::vector<std::string> gated;
  NLJobFrames store;
  runGates(job, progress, o, store, gated);
  runStack(job, progress, gated, store, o);
  return finish(job, o.success, NL_formatHybridJobLog(o));
}

// Publishes the job's progress path in NL_gLumivexProgressPath while the job
// runs and clears it at the end, unless a later job has put its own there.
class PublishedProgressPath {
 public:
  explicit PublishedProgressPath(const std::string& path) : path_(path) {
    std::lock_guard<std::mutex> lock(NL_gLumivexProgressMutex);
    NL_gLumivexProgressPath = path_;
  }
  ~PublishedProgressPath() {
    std::lock_guard<std::mutex> lock(NL_gLumivexProgressMutex);
    if (NL_gLumivexProgressPath == path_) NL_gLumivexProgressPath.clear();
  }
  PublishedProgressPath(const PublishedProgressPath&) = delete;
  PublishedProgressPath& operator=(const PublishedProgressPath&) = delete;

 private:
  std::string path_;
};

}  // namespace

std::string hybrid_detail::runGuarded(const TestJobConfig& job, NLHybridJobOutcome& outcome,
                                     const std::function<std::string(NLHybridJobOutcome&)>& body) {
  return NL_runJobGuarded(
      NLJobExceptions::Rethrow, [&] { return body(outcome); },
      [&](const std::string& why) {
        outcome.error = why;
        outcome.success = false;
        return finish(job, false, NL_formatHybridJobLog(outcome));
      });
}

std::string NL_runLumivexJob(const std::string& jobPath) {
  std::string readFailure;
  TestJobConfig job = NL_readTestJobConfig(jobPath, &readFailure);
  const NLJobPaths paths = NL_hybridStackJobPaths(jobPath, job);
  // Reports never go where they would overwrite an input or a folder.
  NLJobReport report(job.progress, job.resultLog, paths);
  report.dropUnsafePaths();
  job.progress = report.progressPath();
  job.resultLog = report.resultLog();
  const PublishedProgressPath published(job.progress);
  NL_writeProgressFile(job.progress, 1, "Preparing Native Engine",
                       "Native Lumivex addon started. resultLog=" + job.resultLog);
  const std::string invalid = validationFailure(jobPath, readFailure, job, paths);
  // A job refused before it starts names the reason in its last progress entry too.
  if (!invalid.empty()) return finish(job, false, invalid, invalid);
  NLHybridJobOutcome outcome;
  return hybrid_detail::runGuarded(job, outcome, [&](NLHybridJobOutcome& o) { return runValidJob(job, o); });
}
