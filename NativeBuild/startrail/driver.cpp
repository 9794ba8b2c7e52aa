#include "startrail/detail/bad_frame_step.h"
#include "startrail/detail/build_up.h"
#include "startrail/detail/run_state.h"

#include "plumbing/plumbing.h"
#include "stack/stack.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

namespace startrail_detail {
namespace {

using Clock = std::chrono::steady_clock;

// Joins every started worker, also when starting a later one failed.
class WorkerThreads {
 public:
  explicit WorkerThreads(TrailRun& run) : run_(run) {}
  ~WorkerThreads() {
    for (std::thread& t : threads_)
      if (t.joinable()) run_.stop.store(true, std::memory_order_release);
    joinAll();
  }
  void start(int count) {
    for (int i = 0; i < count; ++i) threads_.emplace_back([this] { loop(); });
  }
  void joinAll() {
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  void recordFailure(const std::string& message) {
    {
      std::lock_guard<std::mutex> lock(run_.errorMutex);
      if (run_.error.empty()) run_.error = message;
    }
    run_.stop.store(true, std::memory_order_release);
  }
  void loop() {
    while (!run_.stop.load(std::memory_order_acquire)) {
      const int i = run_.nextFrame.fetch_add(1);
      if (i >= run_.frameCount) return;
      try {
        cv::Mat spent;
        processTrailFrame(run_, i, spent);
        // after the frame's images are released: an image written now holds no frame besides its own buffer
        if (run_.buildUp) run_.buildUp->frameAdded(i, spent);
        run_.pool->give(spent);
      } catch (const std::exception& e) {
        return recordFailure(e.what());
      } catch (...) {
        return recordFailure("Unknown native Star Trail worker error.");
      }
      writeWorkerProgress(run_, true);
    }
  }
  TrailRun& run_;
  std::vector<std::thread> threads_;
};

struct Plan {
  unsigned threads = 0;
  int workers = 1;
  std::uint64_t freeBytes = 0;
  std::uint64_t bytesPerWorker = 0;
};

void progress(const NLStarTrailNativeJob& job, int percent, const std::string& stage, const std::string& detail) {
  NL_writeProgressFile(job.progress, percent, stage, detail);
}

cv::Mat loadReference(const NLStarTrailNativeJob& job) {
  progress(job, 2, "Loading Images", "Loading first star trail frame.");
  cv::Mat ref = NL_imreadWithRetry(job.inputs[0], -1);
  if (ref.empty()) {
    const std::string why = NL_imageFileProblem(job.inputs[0]);
    NL_failJob("Star Trail failed: could not load input: " + job.inputs[0] + (why.empty() ? "" : " (" + why + ")"));
  }
  if (ref.depth() != CV_8U && ref.depth() != CV_16U) NL_failJob("Star Trail failed: only 8-bit and 16-bit images are supported.");
  const int cn = ref.channels();
  if (cn != 1 && cn != 3 && cn != 4) NL_failJob("Star Trail failed: only 1, 3 or 4 channel images are supported.");
  return ref;
}

Plan planWorkers(const TrailRun& run, unsigned hardwareThreads) {
  Plan p;
  p.threads = hardwareThreads == 0 ? 4 : hardwareThreads;
  p.workers = NL_starTrailWorkerCount(p.threads, run.frameCount);
  const std::uint64_t frameBytes = std::uint64_t(run.shape.size.area()) * run.shape.pixelBytes();
  p.bytesPerWorker =
      NL_starTrailEstimatedBytesPerWorker(frameBytes, run.rejectionOff, run.halfWindow, run.frameCount);
  p.freeBytes = NL_starTrailAvailablePhysicalMemory();
  return p;
}

bool compositeWanted(const NLStarTrailNativeJob& job) {
  return !job.foregroundInputs.empty() && !job.foregroundOutput.empty() && !job.maskInput.empty();
}

// The least the run holds at once, whatever the worker count: the shared
// accumulators, one worker's frames in hand and the masks, and the build-up's
// image (with the foreground stack it is composited with).
void checkFrameFitsMemory(const TrailRun& run) {
  const std::uint64_t pixel = run.shape.pixelBytes();
  const std::uint64_t perWorker =
      NL_starTrailEstimatedBytesPerWorker(pixel, run.rejectionOff, run.halfWindow, run.frameCount);
  const std::uint64_t buildUp =
      NL_starTrailWantsBuildUp(run.job) ? (compositeWanted(run.job) ? 2 : 1) * pixel : 0;
  const std::string problem = NL_imageSizeProblem(run.shape.size, perWorker + 2 * pixel + 4 + buildUp);
  if (!problem.empty()) NL_failJob("Star Trail failed: input " + problem + ".");
}

void prepareMasks(TrailRun& run) {
  const NLStarTrailNativeJob& job = run.job;
  std::string message;
  run.skyMask = NL_starTrailLoadBinarySkyMask(job.maskInput, run.shape.size, message);
  if (run.skyMask.empty()) NL_failJob("Star Trail failed: active sky mask could not be prepared. " + message);
  if (run.rejectionOff || !job.blendingRefinementEnabled) return;
  run.bridgeMask = NL_starTrailBuildThreeZoneBridgeMask(job.maskInput, run.shape.size,
                                                        job.blendingRefinementStrength);
  if (!run.bridgeMask.empty()) run.bridgeAccumulator = cv::Mat::zeros(run.shape.size, run.shape.type);
}

std::string workerPhaseDetail(const TrailRun& run, const Plan& plan) {
  const std::string lead = run.rejectionOff
                               ? "Creating a direct Lighten Star Trail without satellite/airplane rejection. "
                               : "Creating Star Trails and removing satellite/airplane trails. ";
  return lead + "Using " + std::to_string(plan.workers) + " worker(s) from " + std::to_string(plan.threads) +
         " logical CPU thread(s). Free RAM: " + NL_starTrailFormatMegabytes(plan.freeBytes) + " MB.";
}

void runWorkers(TrailRun& run, const Plan& plan) {
  // OpenCV's own pool is held at one thread while the trail workers run, so
  // the workers do not fight it for the cores; released on every way out.
  NLOpenCVSingleThreadHold singleThreaded;
  run.accumulator = cv::Mat::zeros(run.shape.size, run.shape.type);
  if (compositeWanted(run.job)) prepareMasks(run);
  run.rowLocks = std::vector<std::mutex>(size_t(run.shape.size.height));
  prepareFrameSharing(run, plan.workers);
  run.buildUp = startBuildUp(run, compositeWanted(run.job));
  prepareGapFill(run);
  {
    std::lock_guard<std::mutex> lock(run.progressMutex);
    progress(run.job, 4, run.rejectionOff ? "Building star trails" : "Building star trails with rejection",
             workerPhaseDetail(run, plan));
  }
  {
    WorkerThreads workers(run);
    workers.start(plan.workers);
    workers.joinAll();
  }
  if (run.buildUp) run.buildUp->drain();  // a failed last image fails the run like a worker
  if (run.stop.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(run.errorMutex);
    NL_failJob(run.error.empty() ? "Native Star Trail worker failed." : run.error);
  }
}

std::string writeSky(const TrailRun& run) {
  const NLStarTrailNativeJob& job = run.job;
  const bool composite = compositeWanted(job);
  const std::string skyPath = (composite && !job.skyOutput.empty()) ? job.skyOutput : job.output;
  progress(job, 80, "Writing Star Trail Result",
           composite ? "Writing the masked Star Trail sky result." : "Writing the final Star Trail TIFF.");
  std::string why;
  if (!NL_writeImageFile(skyPath, run.accumulator, NL_readIccProfile(job.inputs[0]), &why))
    NL_failJob(NL_withReason("Star Trail failed: could not write sky output: " + skyPath, why));
  return skyPath;
}

void stackForeground(const NLStarTrailNativeJob& job, int percent) {
  if (job.foregroundInputs.empty() || job.foregroundOutput.empty()) return;
  progress(job, percent, "Creating Optional Foreground Stack", "Creating the optional foreground stack.");
  if (job.foregroundInputs.size() == 1) {
    const cv::Mat single = NL_imreadWithRetry(job.foregroundInputs[0], -1);
    if (single.empty()) NL_failJob("Foreground failed: could not load input: " + job.foregroundInputs[0]);
    std::string why;
    if (!NL_writeImageFile(job.foregroundOutput, single, NL_readIccProfile(job.foregroundInputs[0]), &why))
      NL_failJob(NL_withReason("Foreground failed: could not write output: " + job.foregroundOutput, why));
    return;
  }
  std::string report;
  if (!NL_fixedSigmaStackToReferenceSize(job.foregroundInputs, job.foregroundOutput, report, {}, "sigma"))
    NL_failJob("Foreground failed: Landscape fixed foreground stack failed.\n" + report);
}

// Every frame's streaks in frame order, an aircraft's frames linked.
// Frames are named by their input index, also when spoiled frames were left out.
std::vector<NLStarTrailStreak> gatheredStreaks(const TrailRun& run, const std::vector<int>& inputIndex) {
  std::vector<NLStarTrailStreak> all;
  for (const std::vector<NLStarTrailStreak>& frame : run.streaks) all.insert(all.end(), frame.begin(), frame.end());
  NL_starTrailLinkStreaksAcrossFrames(all);
  for (NLStarTrailStreak& s : all) s.frame = inputIndex[size_t(s.frame)];
  return all;
}

void writeOverlay(const TrailRun& run, const std::vector<NLStarTrailStreak>& streaks, const BadFrameStep& bad,
                  const std::vector<std::string>& inputs) {
  const std::string& path = run.job.rejectionOverlay;
  if (path.empty()) return;
  std::vector<cv::Mat> leftOut;
  std::vector<std::string> captions;
  for (int i : bad.excluded) {
    // Read again for the strip alone: only the few frames left out, only when an overlay is asked for.
    leftOut.push_back(NL_imreadWithRetry(inputs[size_t(i)], -1, 0, 0));
    captions.push_back(leftOutCaption(bad, i, inputs[size_t(i)]));
  }
  if (!NL_writeImageFile(path, NL_starTrailLeftOutStrip(NL_starTrailRejectionOverlay(run.accumulator, streaks),
                                                        leftOut, captions)))
    NL_failJob("Star Trail failed: could not write rejection overlay: " + path);
}

void compositeAndTidy(const TrailRun& run, const std::string& skyPath) {
  const NLStarTrailNativeJob& job = run.job;
  if (!compositeWanted(job)) return;
  progress(job, 94, "Blending Star Trails with Foreground",
           "Blending the Star Trail sky, foreground stack and edge refinement with the Photoshop sky mask.");
  std::string message;
  const cv::Mat* bridge = run.bridgeAccumulator.empty() ? nullptr : &run.bridgeAccumulator;
  const cv::Mat* bridgeMask = run.bridgeMask.empty() ? nullptr : &run.bridgeMask;
  if (!NL_starTrailCompositeSkyForeground(skyPath, job.foregroundOutput, job.maskInput, job.output, message, bridge,
                                          bridgeMask))
    NL_failJob(message);
  // Only the final image stays; the sidecars were for the composite alone.
  if (!job.skyOutput.empty() && job.skyOutput != job.output) std::remove(job.skyOutput.c_str());
  if (!job.foregroundOutput.empty() && job.foregroundOutput != job.output) std::remove(job.foregroundOutput.c_str());
}

void finishBuildUp(TrailRun& run, NLStarTrailRunReport& report) {
  if (!run.buildUp) return;
  run.buildUp->finish(report.buildUpImages, report.buildUpVideoNote);
  run.buildUp.reset();  // its image buffer is not kept through the writing of the results
}

std::int64_t elapsedMs(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void copyStageTimes(const StageClock& clock, NLStarTrailStageTimes* out) {
  if (!out) return;
  out->decode = clock.decode.load();
  out->luminance = clock.luminance.load();
  out->starDetection = clock.starDetection.load();
  out->matching = clock.matching.load();
  out->masks = clock.masks.load();
  out->accumulate = clock.accumulate.load();
}

// The composite's intermediates are deleted once it is made, so a file
// already standing at a name the job gave them is not this run's: it is the
// user's, and the intermediate goes to a name of its own beside it instead. Those names are removed however the
// run ends, since nobody else knows them.
class SidecarNames {
 public:
  explicit SidecarNames(NLStarTrailNativeJob& job) {
    if (!compositeWanted(job)) return;
    moveAside(job.skyOutput, job.output, "sky");
    moveAside(job.foregroundOutput, job.output, "foreground");
  }
  ~SidecarNames() {
    for (const std::string& path : own_) std::remove(path.c_str());
  }
  SidecarNames(const SidecarNames&) = delete;
  SidecarNames& operator=(const SidecarNames&) = delete;

 private:
  void moveAside(std::string& path, const std::string& output, const char* tag) {
    if (path.empty() || path == output || !NL_isRegularFile(path)) return;
    path = NL_uniqueSiblingPath(path, tag);
    own_.push_back(path);
  }
  std::vector<std::string> own_;
};

// A job file that exists but is a pipe, a device or oversized is named as
// such; a missing one reads as empty and fails on its missing frames.
void checkJobFile(const std::string& jobPath) {
  std::string text, failure;
  if (!NL_readJobFile(jobPath, text, failure) && (NL_isRegularFile(jobPath) || NL_isNonRegularFile(jobPath)))
    NL_failJob("Star Trail failed: " + failure);
}

std::string runJob(const std::string& jobPath, NLStarTrailNativeJob& job, unsigned hardwareThreads, Clock::time_point start,
                   NLStarTrailStageTimes* stageTimes) {
  if (job.inputs.size() < 2) NL_failJob("Star Trail failed: at least two input frames are required.");
  if (job.output.empty()) NL_failJob("Star Trail failed: no output path was provided.");
  NLStarTrailRunReport report;
  report.requestedOutput = job.output;
  // A folder or pipe named as the output is refused, not numbered around.
  if (!job.replaceOutput && !NL_isNonRegularFile(job.output)) job.output = NL_starTrailChooseOutputPath(job.output);
  const std::string conflict = NL_checkJobPaths(NL_starTrailJobPaths(jobPath, job));
  if (!conflict.empty()) NL_failJob("Star Trail failed: " + conflict + ".");
  // after the check: a name shared with an input or another output still fails the job, naming both
  const SidecarNames sidecars(job);
  prepareBuildUpTargets(job);
  if (job.output != report.requestedOutput)
    progress(job, 1, "Output filename", "Existing output found. Using a numbered filename instead.");
  progress(job, 1, "Preparing Native Engine", "Preparing native OpenCV image engine.");
  std::string setupMessage;
  NL_loadMinimalOpenCVDlls(setupMessage);
  report.inputs = job.inputs;
  const BadFrameStep bad = judgeBadFrames(job, hardwareThreads);
  TrailRun run(job);
  // The second frame decodes on another core while the first sizes the run.
  // One attempt only: a frame still being written is read again, with the
  // usual patience, when its turn comes.
  std::future<cv::Mat> second = std::async(std::launch::async, [&job, &run] {
    StageTimer timer(run.clock.decode);
    return job.inputs.size() > 1 ? NL_imreadWithRetry(job.inputs[1], -1, 0, 0) : cv::Mat();
  });
  run.firstFrame = loadReference(job);
  run.shape = FrameShape(run.firstFrame);
  run.secondFrame = second.get();
  run.frameCount = static_cast<int>(job.inputs.size());
  run.halfWindow = std::max(job.temporalWindow / 2, 1);
  run.rejectionOff = NL_starTrailIsRejectionOff(job.rejectionMode);
  checkFrameFitsMemory(run);
  const Plan plan = planWorkers(run, hardwareThreads);
  // Every build-up image is composited like the final one, so the foreground is stacked before the trail.
  const bool foregroundFirst = NL_starTrailWantsBuildUp(job) && compositeWanted(job);
  if (foregroundFirst) stackForeground(job, 3);
  runWorkers(run, plan);
  finishBuildUp(run, report);
  copyStageTimes(run.clock, stageTimes);
  const std::string skyPath = writeSky(run);
  const std::vector<NLStarTrailStreak> streaks = gatheredStreaks(run, bad.trailFrames);
  writeMeteorImage(run);
  writeOverlay(run, streaks, bad, report.inputs);
  if (!foregroundFirst) stackForeground(job, 86);
  compositeAndTidy(run, skyPath);
  progress(job, 100, "Completed", "Native Star Trail workflow finished.");
  report.job = job;
  report.frames = run.frameCount;
  report.workers = plan.workers;
  report.availablePhysicalBytes = plan.freeBytes;
  report.estimatedBytesPerWorker = plan.bytesPerWorker;
  report.rejectedMaskPixels = run.rejectedPixels.load();
  report.timingMs = elapsedMs(start);
  report.streaksSearched = !run.rejectionOff;
  report.streaks = streaks;
  report.badFrames = bad.verdict;
  report.badFramesLeftOut = bad.excluded;
  report.capture = NL_captureSequence(NL_readCaptureInfos(report.inputs));
  report.gapShare = run.gapShare;
  report.gapSource = run.gapSource;
  report.gapsNotFilled = run.gapsNotFilled.load();
  return NL_starTrailSuccessLog(report);
}

// The failure is reported only where writing cannot destroy one of the
// user's files (the failure may be that progress names an input).
std::string finishFailed(const std::string& jobPath, const NLStarTrailNativeJob& job, const std::string& message) {
  const NLJobReport report(job.progress, job.resultLog, NL_starTrailJobPaths(jobPath, job));
  return report.refuse(message, NL_starTrailFailureLog(message));
}

}  // namespace
}  // namespace startrail_detail

std::string NL_runStarTrailNativeJob(const std::string& jobPath, unsigned hardwareThreads,
                                     NLStarTrailStageTimes* stageTimes) {
  using namespace startrail_detail;
  const Clock::time_point start = Clock::now();
  NLStarTrailNativeJob job;
  return NL_runJobGuarded(
      NLJobExceptions::ReturnLog,
      [&] {
        checkJobFile(jobPath);
        job = NL_parseStarTrailNativeJob(jobPath);
        const std::string log = runJob(jobPath, job, hardwareThreads, start, stageTimes);
        return NLJobReport(job.progress, job.resultLog).finish(log);
      },
      [&](const std::string& why) { return finishFailed(jobPath, job, why); }, "Unknown native Star Trail error.");
}

std::string NL_runStarTrailNativeJob(const std::string& jobPath) {
  return NL_runStarTrailNativeJob(jobPath, std::thread::hardware_concurrency());
}
