#include "registration/registration.h"

#include <algorithm>
#include <cmath>

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

// Below this many stars the relative detection level gives way to the sky
// noise: a frame pair needs a few hundred stars for a fit to the hundredth
// of a pixel, and a sparse or light-polluted sky holds them above its noise.
constexpr int kWantedStars = 300;

int detectionLimit(int starBudget) { return std::max(starBudget, kMinDetectionLimit); }
int wantedStars(int starBudget) { return std::min(kWantedStars, std::max(starBudget, 1)); }

std::vector<NLStarCandidate> selectStars(const cv::Mat& image, double sigmaFactor, int starBudget) {
  return NL_selectGridBalancedStars(
      NL_findStarCandidates(image, sigmaFactor, detectionLimit(starBudget), wantedStars(starBudget)), image.cols,
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
  const std::vector<NLStarCandidate>& reference;
  const std::vector<NLStarCandidate>& moving;
};

SelectedPair selectPair(const NLReferenceStars& prepared, const std::vector<NLStarCandidate>& moving,
                        NLAlignmentQuality& quality) {
  quality = NLAlignmentQuality();
  SelectedPair pair{prepared.stars, moving};
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

// A fit explains a star when it carries it within this distance of its
// reference partner: a few times the centroid noise of the poorest seeing.
constexpr double kExplainedError = 3.0;            // px
constexpr double kMinStarShare = 0.25;             // inliers / stars of the sparser frame
constexpr double kMinSpan = 0.3;                   // inlier box / overlap box, by area
constexpr double kMinFarError = 2.0;               // px

// The box the explained stars span must cover a fair share of the part of
// the reference frame the moving frame overlaps: a fit held by one corner (a
// shift matched on the middle of a turned field, one cluster of look-alikes)
// only extrapolates to the rest. Counting unexplained stars instead would
// condemn every landscape frame: its foreground is fixed while the sky turns.
struct Box {
  double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
  void add(const cv::Point2d& p) { x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y); }
  double area() const { return x1 > x0 && y1 > y0 ? (x1 - x0) * (y1 - y0) : 0.0; }
};

bool coversOverlap(const NLRegistrationAttempt& a, const std::vector<NLStarCandidate>& moving, cv::Size size) {
  Box overlap, held;
  for (const NLStarCandidate& star : moving) {
    const cv::Point2d p = NL_projectPoint(a.homography, NL_starPoint(star));
    if (p.x >= 0.0 && p.y >= 0.0 && p.x < size.width && p.y < size.height) overlap.add(p);
  }
  for (const NLStarMatch& m : NL_filterMatchesByReprojectionError(a.matches, a.homography, kExplainedError))
    held.add(NL_starPoint(m.first));
  if (overlap.area() <= 0.0) return true;  // nothing to judge by
  return held.area() >= kMinSpan * overlap.area();
}

// Typical star diameter of the matched moving stars, from their blob areas.
double starDiameter(const NLStarMatchList& matches) {
  std::vector<int> areas;
  for (const NLStarMatch& m : matches) areas.push_back(m.second.area);
  if (areas.empty()) return 0.0;
  std::nth_element(areas.begin(), areas.begin() + std::ptrdiff_t(areas.size() / 2), areas.end());
  return 2.0 * std::sqrt(double(areas[areas.size() / 2]) / CV_PI);
}

}  // namespace

std::string NL_registrationFitFailure(const NLRegistrationAttempt& a, const std::vector<NLStarCandidate>& reference,
                                      const std::vector<NLStarCandidate>& moving, cv::Size referenceSize) {
  if (a.homography.empty()) return "homography estimation failed";
  const size_t fewer = std::min(reference.size(), moving.size());
  if (a.inlierCount < kMinStarShare * double(fewer)) return "very poor inlier ratio";
  if (!coversOverlap(a, moving, referenceSize)) return "fit explains only part of the frame";
  const NLAlignmentErrorStats stats =
      NL_computeAlignmentErrorStats(a.homography, a.matches, referenceSize.width, referenceSize.height);
  if (stats.median > std::max(kMinFarError, starDiameter(a.matches))) return "alignment error far above the seeing";
  return std::string();
}

NLReferenceStars NL_selectReferenceStars(const cv::Mat& reference, double sigmaFactor, int starBudget) {
  return NLReferenceStars{reference, selectStars(reference, sigmaFactor, starBudget), sigmaFactor, starBudget};
}

NLStarDetection NL_detectRegistrationStars(const cv::Mat& image, double sigmaFactor) {
  // Budgets up to 6000 all detect 6000 stars at most and search the sky noise below 300.
  return NL_detectStars(image, sigmaFactor, kWantedStars, kMinDetectionLimit);
}

std::vector<NLStarCandidate> NL_selectRegistrationStars(const NLStarDetection& detection, int starBudget) {
  return NL_selectGridBalancedStars(
      NL_starCandidatesOf(detection, detectionLimit(starBudget), wantedStars(starBudget)), detection.size.width,
      detection.size.height, starBudget);
}

NLReferenceStars NL_selectReferenceStars(const cv::Mat& reference, const NLStarDetection& detection,
                                         int starBudget) {
  CV_Assert(detection.size == reference.size());
  return NLReferenceStars{reference, NL_selectRegistrationStars(detection, starBudget), detection.sigmaFactor,
                          starBudget};
}

bool NL_buildHomographyTransformWithFigures(const NLReferenceStars& prepared, const cv::Mat& moving, int maxShift,
                                            double tolerance, cv::Mat& homography, NLAlignmentQuality& quality,
                                            NLStarMatchList* matches) {
  return NL_buildHomographyTransformWithFigures(prepared, moving,
                                                selectStars(moving, prepared.sigmaFactor, prepared.starBudget),
                                                maxShift, tolerance, homography, quality, matches);
}

bool NL_buildHomographyTransformWithFigures(const NLReferenceStars& prepared, const cv::Mat& moving,
                                            const std::vector<NLStarCandidate>& movingStars, int maxShift,
                                            double tolerance, cv::Mat& homography, NLAlignmentQuality& quality,
                                            NLStarMatchList* matches) {
  const cv::Mat& reference = prepared.image;
  const SelectedPair stars = selectPair(prepared, movingStars, quality);
  const NLRegistrationAttempt attempt = NL_refineRegistrationAttempt(
      reference, moving, NL_buildBestRegistrationAttempt(stars.reference, stars.moving, maxShift, tolerance));
  copyAttemptFigures(attempt, quality);
  if (!attempt.valid || attempt.homography.empty()) return fail(quality, "homography estimation failed");
  if (int(attempt.matches.size()) < kMinPlainMatches) return fail(quality, "too few star matches");
  const std::string unsound = NL_registrationFitFailure(attempt, stars.reference, stars.moving, reference.size());
  if (!unsound.empty()) return fail(quality, unsound.c_str());
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

bool NL_buildHomographyTransformWithQuality(const NLReferenceStars& prepared, const cv::Mat& moving, int maxShift,
                                            double tolerance, cv::Mat& homography, NLAlignmentQuality& quality,
                                            NLStarMatchList* matches) {
  return NL_buildHomographyTransformWithQuality(prepared, moving,
                                                selectStars(moving, prepared.sigmaFactor, prepared.starBudget),
                                                maxShift, tolerance, homography, quality, matches);
}

bool NL_buildHomographyTransformWithQuality(const NLReferenceStars& prepared, const cv::Mat& moving,
                                            const std::vector<NLStarCandidate>& movingStars, int maxShift,
                                            double tolerance, cv::Mat& homography, NLAlignmentQuality& quality,
                                            NLStarMatchList* matches) {
  const cv::Mat& reference = prepared.image;
  const SelectedPair stars = selectPair(prepared, movingStars, quality);
  if (quality.referenceStars < kMinSelectedStars) return fail(quality, "too few stars in reference frame");
  if (quality.movingStars < kMinSelectedStars) return fail(quality, "too few stars in moving frame");
  const NLRegistrationAttempt attempt = NL_refineRegistrationAttempt(
      reference, moving, NL_buildBestRegistrationAttempt(stars.reference, stars.moving, maxShift, tolerance));
  copyAttemptFigures(attempt, quality);
  if (const char* reason = countFailure(attempt)) return fail(quality, reason);
  acceptAttempt(attempt, reference, homography, quality, matches);
  if (quality.averageError > kMaxAverageError) return fail(quality, "average alignment error too high");
  const std::string unsound = NL_registrationFitFailure(attempt, stars.reference, stars.moving, reference.size());
  if (!unsound.empty()) return fail(quality, unsound.c_str());
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

bool NL_buildHomographyTransformWithFigures(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches) {
  return NL_buildHomographyTransformWithFigures(NL_selectReferenceStars(reference, sigmaFactor, starBudget), moving,
                                                maxShift, tolerance, homography, quality, matches);
}

bool NL_buildHomographyTransformWithQuality(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches) {
  return NL_buildHomographyTransformWithQuality(NL_selectReferenceStars(reference, sigmaFactor, starBudget), moving,
                                                maxShift, tolerance, homography, quality, matches);
}
