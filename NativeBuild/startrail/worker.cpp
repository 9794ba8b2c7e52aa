#include "startrail/detail/run_state.h"
#include "startrail/detail/rejection_planes.h"

#include "plumbing/plumbing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <stdexcept>

namespace startrail_detail {

namespace {

const char* workerStage(bool rejectionOff) {
  return rejectionOff ? "Creating Star Trails" : "Creating Star Trails and Removing Satellite and Plane Trails";
}

struct Neighbours {
  // Held until the planes are gone, so their buffers return to the pool
  // with no other header left on them.
  std::vector<CachedFrame> held;
  std::vector<cv::Mat> planes;
  std::vector<cv::Mat> toFrame;  // empty where the neighbour is compared unaligned
  int unregistered = 0;
};

// Read into a buffer of the pool where the file allows it. Frames the
// decoder must expand (compressed, or in another format) come in buffers of
// its own: once one has, the run stops setting buffers aside for them.
cv::Mat timedRead(TrailRun& run, const std::string& path) {
  StageTimer timer(run.clock.decode);
  if (run.decoderFrames.load()) return NL_imreadWithRetry(path, -1);
  cv::Mat buffer = run.pool->take(run.shape.size, run.shape.type);
  cv::Mat image = NL_imreadWithRetryInto(path, -1, buffer);
  if (!image.empty() && image.data != buffer.data) run.decoderFrames.store(true);
  if (image.data != buffer.data) run.pool->drop(buffer);
  return image;
}

DecodedFrame decoded(TrailRun& run, cv::Mat image) {
  DecodedFrame d;
  d.image = std::move(image);
  if (run.shape.fits(d.image)) {
    StageTimer timer(run.clock.luminance);
    d.luminance = run.pool->take(d.image.size(), CV_32F);
    luminancePlaneInto(d.image, d.luminance);
  }
  return d;
}

Neighbours loadNeighbours(TrailRun& run, const cv::Mat& plane, int i) {
  Neighbours out;
  for (int k : NL_starTrailNeighbourList(i, run.frameCount, run.halfWindow)) {
    writeWorkerProgress(run);
    const CachedFrame neighbour = cachedFrame(run, k);
    // A neighbour that cannot serve as a comparison is simply not asked.
    if (!neighbour.luminance || neighbour.luminance->empty()) continue;
    out.held.push_back(neighbour);
    out.planes.push_back(*neighbour.luminance);
    out.toFrame.push_back(neighbourTransform(run, i, plane, k, *neighbour.luminance));
    if (out.toFrame.back().empty()) ++out.unregistered;
  }
  return out;
}

void recordStreaks(TrailRun& run, int i, const std::vector<FrameStreak>& streaks) {
  std::vector<NLStarTrailStreak>& slot = run.streaks[size_t(i)];
  for (const FrameStreak& s : streaks) {
    NLStarTrailStreak r;
    r.frame = i;
    r.kind = s.kind;
    r.from = s.from;
    r.to = s.to;
    r.width = s.width;
    r.kept = run.job.keepMeteors && s.kind == NLStarTrailStreakClass::meteor;
    slot.push_back(r);
  }
}

cv::Mat rejectionMask(TrailRun& run, const cv::Mat& plane, int i, std::vector<FrameStreak>& streaks) {
  const NLStarTrailNativeJob& job = run.job;
  const Neighbours n = loadNeighbours(run, plane, i);
  writeWorkerProgress(run);
  StageTimer timer(run.clock.masks);
  const double fullScale = run.shape.fullScale();
  StreakRequest request;
  request.keepMeteors = job.keepMeteors;
  request.streaks = &streaks;
  request.keepMasks = true;
  // the neighbours' planes are as decoded: they also show the unmoved landscape
  cv::Mat mask = registeredOutlierMask(plane, n.planes, n.toFrame, fullScale, job.rejectionMode, job.maskGrowPx,
                                       job.rejectionThresholdPct, job.aircraftSensitivity, n.planes, request);
  recordStreaks(run, i, streaks);
  if (mask.empty() && n.unregistered > 0)
    mask = fallbackOutlierMask(plane, n.planes, n.toFrame, fullScale, job.rejectionMode, job.maskGrowPx,
                               job.rejectionThresholdPct);
  if (!mask.empty()) run.rejectedPixels.fetch_add(cv::countNonZero(mask));
  return mask;
}

}  // namespace

std::int64_t threadCpuNanoseconds() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0) return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
#endif
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void writeWorkerProgress(TrailRun& run, bool frameFinished) {
  // The count is taken under the lock that orders the writes, so a worker
  // never writes "Processed frames 3 of 4." after another wrote "4 of 4.".
  std::lock_guard<std::mutex> lock(run.progressMutex);
  const int processed = frameFinished ? ++run.processed : run.processed.load();
  const int percent =
      std::min(NL_roundPercent(processed * 70.0 / std::max(run.frameCount, 1)), 73) + 5;
  NL_writeProgressFile(run.job.progress, percent, workerStage(run.rejectionOff),
                       "Processed frames " + std::to_string(processed) + " of " +
                           std::to_string(run.frameCount) + ".");
}

CachedFrame cachedFrame(TrailRun& run, int index) {
  CachedFrame frame;
  while (!run.frames->peek(index, frame)) {
    // Decoded here, or being decoded by another worker: then prepare other frames meanwhile.
    if (!run.frames->decodeIfIdle(index) && !prepareAhead(run)) return run.frames->get(index);
  }
  return frame;
}

void processTrailFrame(TrailRun& run, int i, cv::Mat& spent) {
  writeWorkerProgress(run);
  const std::string& path = run.job.inputs[i];
  // The first two frames were decoded with the reference already; a second decode would only cost time.
  CachedFrame cached;
  if (run.frames) cached = cachedFrame(run, i);
  cv::Mat early;
  if (i == 0) std::swap(early, run.firstFrame);  // frames 0 and 1 are each taken by one worker only
  if (i == 1) std::swap(early, run.secondFrame);
  cv::Mat frame = cached.image ? *cached.image : (!early.empty() ? early : timedRead(run, path));
  if (!run.shape.fits(frame))
    throw std::runtime_error("Star Trail failed: input size/type mismatch: " + path + " (" +
                             NL_starTrailFrameDifference(run.shape.size, run.shape.type, frame, path) + ")");
  std::vector<FrameStreak> streaks;
  const cv::Mat mask = run.rejectionOff ? cv::Mat() : rejectionMask(run, *cached.luminance, i, streaks);
  writeWorkerProgress(run);
  const double weight = NL_starTrailCometWeight(run.job, i, run.frameCount);
  NLStarTrailAccumulateTarget target;
  target.accumulator = &run.accumulator;
  target.bridgeAccumulator = &run.bridgeAccumulator;
  target.bridgeMask = &run.bridgeMask;
  target.skyMask = &run.skyMask;
  target.rowLocks = &run.rowLocks;
  if (run.buildUp) run.buildUp->awaitTurn(i);
  {
    StageTimer timer(run.clock.accumulate);
    NL_starTrailAccumulateFrame(frame, mask, weight, target);
    addToMeteorImage(run, frame, streaks);
  }
  fillFrameGap(run, i, frame, mask, weight, target);
  if (run.frames) run.frames->finished(i);
  else spent = std::move(frame);  // the direct path's buffer, for the next frame or an image
  // No registration of frames this far back is likely any more; one that
  // still comes measures its centres again.
  const int past = i - 2 * run.halfWindow - 2;
  if (past >= 0 && size_t(past) < run.stars.size()) run.stars[size_t(past)].centres.clear();
}

void prepareFrameSharing(TrailRun& run, int workers) {
  // About the frames one step of the run lets go of at once (a window's
  // planes, the workers' images): enough for the next decodes, while idle
  // buffers never add more than that to the run's peak.
  run.pool = std::make_unique<FramePool>(size_t(workers + 2 * run.halfWindow + 1));
  run.scratch = std::make_unique<FramePool>(size_t(3 * workers));  // three per detection under way
  run.stars = std::vector<StarSlot>(run.frameCount);
  if (!run.job.meteorOutput.empty()) {
    run.darkest = cv::Mat(run.shape.size, run.shape.type, cv::Scalar::all(run.shape.fullScale()));
    run.meteorLayer = cv::Mat::zeros(run.shape.size, run.shape.type);
  }
  // Filling the gaps registers each frame on the next, the direct path too.
  if (run.rejectionOff && !run.job.fillGaps) return;
  if (!run.rejectionOff) run.streaks.assign(size_t(run.frameCount), {});
  run.links = std::vector<LinkSlot>(run.frameCount);
  run.checks = std::vector<CheckSlot>(run.frameCount);
  const int reach = run.rejectionOff ? 1 : run.halfWindow;  // the direct path compares a frame with the next alone
  run.frames = std::make_unique<FrameCache>(
      run.job.inputs, lastUsers(run.frameCount, reach),
      [&run](const std::string& path) { return decoded(run, timedRead(run, path)); }, run.pool.get());
  run.frames->put(0, decoded(run, std::move(run.firstFrame)));
  run.firstFrame.release();
  if (!run.secondFrame.empty()) run.frames->put(1, decoded(run, std::move(run.secondFrame)));
  run.secondFrame.release();
}

}  // namespace startrail_detail
