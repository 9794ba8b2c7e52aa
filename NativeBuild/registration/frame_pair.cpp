#include "registration/registration.h"

#include <algorithm>

namespace {

constexpr int kMinDetectionLimit = 6000;
constexpr int kMinPlainMatches = 8;
constexpr int kMinSelectedStars = 80;
constexpr int kMinQualityMatches = 25;
constexpr int kMinInliers = 8;
constexpr double kMinInlierRatio = 0.2;
constexpr double kMaxAverageError = 12.0;   // px
constexpr double kWarnAverageError = 6.0;   // px

struct PairSearch {
  int referenceStars = 0, movingStars = 0;
  NLRegistrationAttempt attempt;
};

std::vector<NLStarCandidate> selectStars(const cv::Mat& image, double sigmaFactor, int starBudget) {
  return NL_selectGridBalancedStars(
      NL_findStarCandidates(image, sigmaFactor, std::max(starBudget, kMinDetectionLimit)), image.cols,
      image.rows, starBudget);
}

const NLStarMatchList& outputMatches(const NLRegistrationAttempt& a) {
  return a.inliers.empty() ? a.matches : a.inliers;
}

void copyAttemptFigures(const NLRegistrationAttempt& a, NLAlignmentQuality& q) {
  q.mode = a.mode;
  q.matchCount = int(a.matches.size());
  q.inlierCount = a.inlierCount;
  q.inlierRatio = a.inlierRatio;
  q.averageError = a.meanError;
}

void copyStats(const NLAlignmentErrorStats& s, NLAlignmentQuality& q) {
  q.medianError = s.median;
  q.maxError = s.max;
  q.centerError = s.centerMean;
  q.edgeError = s.edgeMean;
  q.cornerError = s.cornerMean;
}

bool fail(NLAlignmentQuality& q, const char* reason) {
  q.reason = reason;
  return false;
}

// The count checks of the quality variant; the reason of the first one that fails.
const char* countFailure(const NLRegistrationAttempt& a) {
  if (!a.valid || a.homography.empty()) return "homography estimation failed";
  if (int(a.matches.size()) < kMinQualityMatches) return "too few star matches";
  if (a.inlierCount < kMinInliers) return "too few homography inliers";
  if (a.inlierRatio < kMinInlierRatio) return "very poor inlier ratio";
  return nullptr;
}

}  // namespace

bool NL_buildHomographyTransformWithFigures(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches) {
  quality = NLAlignmentQuality();
  const std::vector<NLStarCandidate> ref = selectStars(reference, sigmaFactor, starBudget);
  const std::vector<NLStarCandidate> mov = selectStars(moving, sigmaFactor, starBudget);
  quality.referenceStars = int(ref.size());
  quality.movingStars = int(mov.size());
  const NLRegistrationAttempt attempt = NL_buildBestRegistrationAttempt(ref, mov, maxShift, tolerance);
  copyAttemptFigures(attempt, quality);
  if (!attempt.valid || attempt.homography.empty()) return fail(quality, "homography estimation failed");
  if (int(attempt.matches.size()) < kMinPlainMatches) return fail(quality, "too few star matches");
  homography = attempt.homography.clone();
  if (matches) *matches = outputMatches(attempt);
  copyStats(NL_computeAlignmentErrorStats(attempt.homography, attempt.matches, reference.cols, reference.rows),
            quality);
  quality.ok = true;
  quality.reason = "ok";
  return true;
}

bool NL_buildHomographyTransform(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                 int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                 NLStarMatchList& matches) {
  NLAlignmentQuality figures;
  return NL_buildHomographyTransformWithFigures(reference, moving, sigmaFactor, starBudget, maxShift, tolerance,
                                                homography, figures, &matches);
}

bool NL_buildHomographyTransformWithQuality(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches) {
  quality = NLAlignmentQuality();
  const std::vector<NLStarCandidate> ref = selectStars(reference, sigmaFactor, starBudget);
  const std::vector<NLStarCandidate> mov = selectStars(moving, sigmaFactor, starBudget);
  quality.referenceStars = int(ref.size());
  quality.movingStars = int(mov.size());
  if (quality.referenceStars < kMinSelectedStars) return fail(quality, "too few stars in reference frame");
  if (quality.movingStars < kMinSelectedStars) return fail(quality, "too few stars in moving frame");
  const NLRegistrationAttempt attempt = NL_buildBestRegistrationAttempt(ref, mov, maxShift, tolerance);
  copyAttemptFigures(attempt, quality);
  if (const char* reason = countFailure(attempt)) return fail(quality, reason);
  homography = attempt.homography.clone();
  if (matches) *matches = outputMatches(attempt);
  copyStats(NL_computeAlignmentErrorStats(attempt.homography, attempt.matches, reference.cols, reference.rows),
            quality);
  if (quality.averageError > kMaxAverageError) return fail(quality, "average alignment error too high");
  if (quality.averageError > kWarnAverageError) quality.reason = "warning: elevated alignment error";
  std::string message;
  if (!NL_isHomographyPlausible(homography, moving.cols, moving.rows, message)) {
    quality.reason = message;
    return false;
  }
  quality.ok = true;
  if (quality.reason.empty()) quality.reason = "ok";
  return true;
}
