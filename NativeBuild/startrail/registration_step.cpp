#include "startrail/detail/run_state.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace startrail_detail {

namespace {

// Registration settings of the rejection worker: a high detection threshold
// and a generous tolerance, because only a clean warp of the sky matters and
// the temporal neighbours are close in time.
constexpr double kSigmaFactor = 3.2;
constexpr int kStarBudget = 3200;
constexpr double kMatchTolerance = 18.0;  // px
constexpr int kMinimumMatches = 8;
constexpr int kWantedStars = 300;  // below this the stars are found against the sky noise

int maximumShift(const cv::Mat& frame) { return std::max(std::min(frame.cols, frame.rows) / 3, 160); }

// The detection and selection of the frame-pair registration, run once per
// frame of the run instead of once per pair.
const std::vector<NLStarCandidate>& selectedStars(TrailRun& run, int index, const cv::Mat& image) {
  StarSlot& slot = run.stars[index];
  std::call_once(slot.once, [&] {
    StageTimer timer(run.clock.starDetection);
    slot.stars = NL_selectGridBalancedStars(
        NL_findStarCandidates(image, kSigmaFactor, std::max(kStarBudget, 6000), kWantedStars), image.cols, image.rows,
        kStarBudget);
  });
  return slot.stars;
}

}  // namespace

cv::Mat registerNeighbourOnto(TrailRun& run, int frameIndex, const cv::Mat& frame, int neighbourIndex,
                              const cv::Mat& neighbour) {
  const std::vector<NLStarCandidate>& reference = selectedStars(run, frameIndex, frame);
  const std::vector<NLStarCandidate>& moving = selectedStars(run, neighbourIndex, neighbour);
  NLRegistrationAttempt attempt;
  {
    StageTimer timer(run.clock.matching);
    attempt = NL_refineRegistrationAttempt(
        frame, neighbour, NL_buildBestRegistrationAttempt(reference, moving, maximumShift(frame), kMatchTolerance));
  }
  if (!attempt.valid || int(attempt.matches.size()) < kMinimumMatches || attempt.homography.empty()) return cv::Mat();
  // A wrong fit would flag every star as new: comparing unaligned is safer.
  if (!NL_registrationFitFailure(attempt, reference, moving, frame.size()).empty()) return cv::Mat();
  StageTimer timer(run.clock.warp);
  cv::Mat warped;
  cv::warpPerspective(neighbour, warped, attempt.homography, frame.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                      cv::Scalar::all(0));
  return warped;
}

}  // namespace startrail_detail
