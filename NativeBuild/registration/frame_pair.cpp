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

// Selected stars of both frames, with their counts recorded in a fresh record.
struct SelectedPair {
  std::vector<NLStarCandidate> reference, moving;
};

SelectedPair selectPair(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor, int starBudget,
                        NLAlignmentQuality& quality) {
  quality = NLAlignmentQuality();
  SelectedPair pair{selectStars(reference, sigmaFactor, starBudget), selectStars(moving, sigmaFactor, starBudget)};
  quality.referenceStars = int(pair.reference.size());
  quality.movingStars = int(pair.moving.size());
  return pair;
}

// The winning homography and matches go out, and the error figures by region are measured.
void acceptAttempt(const NLRegistrationAttempt& attempt, const cv::Mat& reference, cv::Mat& homography,
                   NLAlignmentQuality& quality, NLStarMatchList* matches) {
  homography = attempt.homography.clone();
  if (matches) *matches = outputMatches(attempt);
  copyStats(NL_computeAlignmentErrorStats(attempt.homography, attempt.matches, reference.cols, reference.rows),
            quality);
}

}  // namespace

bool NL_buildHomographyTransformWithFigures(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches) {
  const SelectedPair stars = selectPair(reference, moving, sigmaFactor, starBudget, quality);
  const NLRegistrationAttempt attempt =
      NL_buildBestRegistrationAttempt(stars.reference, stars.moving, maxShift, tolerance);
  copyAttemptFigures(attempt, quality);
  if (!attempt.valid || attempt.homography.empty()) return fail(quality, "homography estimation failed");
  if (int(attempt.matches.size()) < kMinPlainMatches) return fail(quality, "too few star matches");
  acceptAttempt(attempt, reference, homography, quality, matches);
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
  const SelectedPair stars = selectPair(reference, moving, sigmaFactor, starBudget, quality);
  if (quality.referenceStars < kMinSelectedStars) return fail(quality, "too few stars in reference frame");
  if (quality.movingStars < kMinSelectedStars) return fail(quality, "too few stars in moving frame");
  const NLRegistrationAttempt attempt =
      NL_buildBestRegistrationAttempt(stars.reference, stars.moving, maxShift, tolerance);
  copyAttemptFigures(attempt, quality);
  if (const char* reason = countFailure(attempt)) return fail(quality, reason);
  acceptAttempt(attempt, reference, homography, quality, matches);
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
