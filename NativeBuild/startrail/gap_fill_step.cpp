// The run's side of filling the gaps: the share of each interval to fill,
// decided once before the workers start, and each frame's fill.
#include "startrail/detail/gap_fill.h"
#include "startrail/detail/rejection_planes.h"
#include "startrail/detail/run_state.h"

#include "plumbing/plumbing.h"

namespace startrail_detail {

namespace {

constexpr int kNearestPairs = 3;  // how far a pair that did not match looks for the sky's motion

cv::Mat planeOf(TrailRun& run, int index) {
  const CachedFrame f = cachedFrame(run, index);
  return f.luminance ? *f.luminance : cv::Mat();
}

// The sky's motion from frame j - 1 to frame j: their registration,
// measured afresh on their stars; invalid when the pair did not match.
SkyMotion pairMotion(TrailRun& run, int j) {
  const cv::Mat link = consecutiveTransform(run, j);
  if (link.empty()) return SkyMotion();
  const cv::Mat here = planeOf(run, j - 1), next = planeOf(run, j);
  if (here.empty() || next.empty()) return SkyMotion();
  std::vector<cv::Point2d> where;
  const cv::Mat refined = refineSkyMotion(link, frameStars(run, j - 1, here), frameStars(run, j, next), where);
  return SkyMotion(refined, run.shape.size, where);
}

// From the first pairs of frames that match; negative when none of them
// shows enough measurable stars.
double shareFromTrails(TrailRun& run) {
  for (int j = 1; j < std::min(run.frameCount, 4); ++j) {
    const SkyMotion motion = pairMotion(run, j);
    const cv::Mat plane = planeOf(run, j - 1);
    if (!motion.valid() || plane.empty()) continue;
    const double share = gapShareFromTrails(plane, motion, run.shape.fullScale(), run.skyMask);
    if (share >= 0.0) return share;
  }
  return -1.0;
}

// The sky's motion after frame i; from the nearest pair that matched when
// frame i and the next do not (a pair too poor in stars), since the sky
// turns at a steady rate through a night.
SkyMotion motionAfter(TrailRun& run, int i) {
  for (int d = 0; d <= kNearestPairs; ++d)
    for (int j : {i + 1 - d, i + 1 + d}) {
      if (j < 1 || j >= run.frameCount) continue;
      const SkyMotion motion = pairMotion(run, j);
      if (motion.valid()) return motion;
    }
  return SkyMotion();
}

}  // namespace

void prepareGapFill(TrailRun& run) {
  const NLStarTrailNativeJob& job = run.job;
  if (!job.fillGaps) return;
  if (job.gapFraction >= 0.0) {
    run.gapShare = job.gapFraction;
    run.gapSource = "job file";
    return;
  }
  const double fromCaptures = gapShareFromCaptures(NL_readCaptureInfos(job.inputs));
  if (fromCaptures >= 0.0) {
    run.gapShare = fromCaptures;
    run.gapSource = "capture times";
    return;
  }
  const double fromTrails = shareFromTrails(run);
  run.gapShare = std::max(fromTrails, 0.0);
  run.gapSource = fromTrails >= 0.0 ? "estimated from trails" : "not measurable";
}

void fillFrameGap(TrailRun& run, int i, const cv::Mat& frame, const cv::Mat& rejection, double weight,
                  const NLStarTrailAccumulateTarget& target) {
  // The last frame has no pause after it that the night recorded.
  if (!run.job.fillGaps || !(run.gapShare > 0.0) || i + 1 >= run.frameCount || !run.frames) return;
  const SkyMotion motion = motionAfter(run, i);
  const cv::Mat plane = planeOf(run, i), next = planeOf(run, i + 1);
  if (!motion.valid() || plane.empty() || next.empty()) {
    run.gapsNotFilled.fetch_add(1);
    return;
  }
  const cv::Mat previous = i > 0 ? planeOf(run, i - 1) : cv::Mat();
  const cv::Mat source = gapSourceMask(plane, next, previous, motion, run.skyMask, rejection);
  fillGap(frame, source, motion, run.gapShare, weight, target);
}

}  // namespace startrail_detail
