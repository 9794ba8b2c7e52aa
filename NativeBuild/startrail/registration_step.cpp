#include "startrail/detail/run_state.h"
#include "startrail/detail/window_transforms.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace startrail_detail {

namespace {

// The rejection worker registers with NL_kTrailRegistration: a high
// detection threshold and a generous tolerance, because only a clean
// alignment of the sky matters and the temporal neighbours are close in time.
// In every block of kCheckEvery links one composed transform is checked
// against a registration of that pair itself. A disagreement above a third
// of a typical star's width would move the neighbours' stars off the frame's
// and let the mask take star pixels.
constexpr int kCheckEvery = 4;
constexpr double kAgreementPx = 0.75;
// The sky turns at a steady rate through a time-lapse, so the link before
// predicts a link to a pixel or two; stars this close to the prediction pair up.
constexpr double kSeedTolerance = 4.0;  // px

void findStars(TrailRun& run, StarSlot& slot, const cv::Mat& plane) {
  StageTimer timer(run.clock.starDetection);
  // the detection's working images come from the run and go back to it, for the next frame's
  NLDetectionBuffers buffers;
  if (run.scratch)
    buffers = {run.scratch->take(plane.size(), CV_32F), run.scratch->take(plane.size(), CV_8U),
               run.scratch->take(plane.size(), CV_8U)};
  slot.stars = NL_selectRegistrationStars(plane, NL_kTrailRegistration, buffers);
  if (run.scratch)
    for (cv::Mat* m : {&buffers.residual, &buffers.mask, &buffers.detection}) run.scratch->give(*m);
}

cv::Mat planeOf(TrailRun& run, int index) {
  const CachedFrame f = cachedFrame(run, index);
  return f.luminance ? *f.luminance : cv::Mat();
}

cv::Mat directTransform(TrailRun& run, int i, const cv::Mat& plane, int k, const cv::Mat& neighbour,
                        const cv::Mat& seed = cv::Mat()) {
  const std::vector<NLStarCandidate>& reference = frameStars(run, i, plane);
  const std::vector<NLStarCandidate>& moving = frameStars(run, k, neighbour);
  StageTimer timer(run.clock.matching);
  return registerTrailPair(plane, reference, neighbour, moving, seed, &run.stars[size_t(i)].centres,
                           &run.stars[size_t(k)].centres);
}

// Frame j onto frame j - 1, registered once per run, seeded by link j - 1.
const cv::Mat& linkTransform(TrailRun& run, int j) {
  LinkSlot& slot = run.links[size_t(j)];
  runShared(run, slot.step, [&] {
    const cv::Mat previous = planeOf(run, j - 1), current = planeOf(run, j);
    if (previous.empty() || current.empty()) return;
    // Decoding and star finding do not need the link before; only the
    // matching waits for it, so the links of a run are not one serial chain.
    frameStars(run, j - 1, previous);
    frameStars(run, j, current);
    const cv::Mat seed = j >= 2 ? linkTransform(run, j - 1) : cv::Mat();
    slot.toPrevious = directTransform(run, j - 1, previous, j, current, seed);
  });
  return slot.toPrevious;
}

cv::Mat composed(TrailRun& run, int i, int k) {
  std::vector<cv::Mat> toPrevious(run.links.size());
  for (int j = std::min(i, k) + 1; j <= std::max(i, k); ++j) toPrevious[size_t(j)] = linkTransform(run, j);
  return composeOnto(toPrevious, i, k);
}

// The sampled check of the links kCheckEvery * b + 1 .. kCheckEvery * (b + 1):
// the composition over the first two against that pair's own registration.
// Decided once, whatever order the workers ask in, so every worker count
// gives the same image.
bool blockTrusted(TrailRun& run, int block) {
  const int a = block * kCheckEvery;
  if (a + 2 >= run.frameCount) return true;
  // The links come first, each a shared step of its own, so that a worker
  // waiting for the check waits for the one registration alone.
  const cv::Mat chain = composed(run, a, a + 2);
  CheckSlot& slot = run.checks[size_t(block)];
  runShared(run, slot.step, [&] {
    if (chain.empty()) return;  // a missing link is not used anyway
    const cv::Mat first = planeOf(run, a), last = planeOf(run, a + 2);
    const cv::Mat direct = directTransform(run, a, first, a + 2, last, chain);
    run.checkedBlocks.fetch_add(1);
    if (direct.empty() || transformDisagreement(chain, direct, first.size()) <= kAgreementPx) return;
    run.disagreements.fetch_add(1);
    slot.trusted = false;
  });
  return slot.trusted;
}

bool linksUsable(TrailRun& run, int i, int k) {
  for (int j = std::min(i, k) + 1; j <= std::max(i, k); ++j)
    if (!blockTrusted(run, (j - 1) / kCheckEvery) || linkTransform(run, j).empty()) return false;
  return true;
}

}  // namespace

const std::vector<NLStarCandidate>& frameStars(TrailRun& run, int index, const cv::Mat& plane) {
  StarSlot& slot = run.stars[index];
  runShared(run, slot.step, [&] { findStars(run, slot, plane); });
  return slot.stars;
}

bool prepareAhead(TrailRun& run) {
  if (!run.frames) return false;
  // Up to the newest frame that the next frame to be handed out compares with.
  const int last = std::min(run.nextFrame.load() + run.halfWindow, run.frameCount - 1);
  for (int f = std::max(run.frames->firstUnfinished() - run.halfWindow, 0); f <= last; ++f) {
    if (run.frames->decodeIfIdle(f)) return true;
    StarSlot& slot = run.stars[f];
    CachedFrame c;
    if (slot.step.untouched() && run.frames->peek(f, c) && c.luminance && !c.luminance->empty() &&
        slot.step.tryRun([&] { findStars(run, slot, *c.luminance); }))
      return true;
  }
  return false;
}

std::vector<NLStarCandidate> selectTrailStars(const cv::Mat& plane) {
  return NL_selectRegistrationStars(plane, NL_kTrailRegistration);
}

namespace {

cv::Mat soundHomography(const NLRegistrationAttempt& attempt, const std::vector<NLStarCandidate>& referenceStars,
                        const std::vector<NLStarCandidate>& movingStars, cv::Size size) {
  // A wrong fit would flag every star as new: comparing unaligned is safer.
  if (!NL_plainPairFailure(attempt, referenceStars, movingStars, size).empty()) return cv::Mat();
  return attempt.homography;
}

}  // namespace

cv::Mat registerTrailPair(const cv::Mat& referencePlane, const std::vector<NLStarCandidate>& referenceStars,
                          const cv::Mat& movingPlane, const std::vector<NLStarCandidate>& movingStars,
                          const cv::Mat& seed, NLCentroidCache* referenceCentres, NLCentroidCache* movingCentres) {
  if (!seed.empty()) {
    const NLStarMatchList pairs =
        NL_matchStarsByAffineSeed(referenceStars, movingStars, seed.rowRange(0, 2).clone(), kSeedTolerance);
    const cv::Mat tracked = soundHomography(
        NL_refineRegistrationAttempt(referencePlane, movingPlane, NL_evaluateRegistrationAttempt("shift", pairs),
                                     referenceCentres, movingCentres),
        referenceStars, movingStars, referencePlane.size());
    if (!tracked.empty()) return tracked;
  }
  return soundHomography(
      NL_refineRegistrationAttempt(referencePlane, movingPlane,
                                   NL_buildBestRegistrationAttempt(referenceStars, movingStars,
                                                                   NL_trailMaxShift(referencePlane.size()),
                                                                   NL_kTrailRegistration.tolerance),
                                   referenceCentres, movingCentres),
      referenceStars, movingStars, referencePlane.size());
}

cv::Mat composeOnto(const std::vector<cv::Mat>& toPrevious, int i, int k) {
  cv::Mat chain = cv::Mat::eye(3, 3, CV_64F);
  // G(lo+1) * ... * G(hi) takes frame hi onto frame lo.
  for (int j = std::max(i, k); j > std::min(i, k); --j) {
    if (j >= int(toPrevious.size()) || toPrevious[size_t(j)].empty()) return cv::Mat();
    chain = toPrevious[size_t(j)] * chain;
  }
  if (k > i) return chain;
  cv::Mat inverse;
  if (cv::invert(chain, inverse, cv::DECOMP_LU) == 0.0) return cv::Mat();
  return inverse / inverse.at<double>(2, 2);
}

double transformDisagreement(const cv::Mat& a, const cv::Mat& b, cv::Size size) {
  if (a.empty() || b.empty()) return std::numeric_limits<double>::infinity();
  const double w = size.width - 1, h = size.height - 1;
  double worst = 0.0;
  for (const cv::Point2d p : {cv::Point2d(0, 0), cv::Point2d(w, 0), cv::Point2d(0, h), cv::Point2d(w, h),
                              cv::Point2d(w / 2, h / 2)}) {
    const double d = cv::norm(NL_projectPoint(a, p) - NL_projectPoint(b, p));
    worst = std::isfinite(d) ? std::max(worst, d) : std::numeric_limits<double>::infinity();
  }
  return worst;
}

cv::Mat consecutiveTransform(TrailRun& run, int j) { return linkTransform(run, j); }

cv::Mat neighbourTransform(TrailRun& run, int i, const cv::Mat& plane, int k, const cv::Mat& neighbour) {
  const cv::Mat transform = linksUsable(run, i, k) ? composed(run, i, k) : cv::Mat();
  // A link that failed or strayed: the pair is registered itself.
  return transform.empty() ? directTransform(run, i, plane, k, neighbour) : transform;
}

}  // namespace startrail_detail
