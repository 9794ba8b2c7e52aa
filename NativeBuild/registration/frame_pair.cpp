#include "registration/registration.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kMinDetectionLimit = 6000;

const NLRegistrationLimits& limits() { return NL_kRegistrationLimits; }

// Below this many stars the relative detection level gives way to the sky
// noise: a frame pair needs a few hundred stars for a fit to the hundredth
// of a pixel, and a sparse or light-polluted sky holds them above its noise.
constexpr int kWantedStars = 300;

int detectionLimit(int starBudget) { return std::max(starBudget, kMinDetectionLimit); }
int wantedStars(int starBudget) { return std::min(kWantedStars, std::max(starBudget, 1)); }

std::vector<NLStarCandidate> selectStars(const cv::Mat& image, double sigmaFactor, int starBudget,
                                         NLDetectionBuffers& buffers) {
  const int limit = detectionLimit(starBudget), wanted = wantedStars(starBudget);
  return NL_selectGridBalancedStars(
      NL_starCandidatesOf(NL_detectStars(image, sigmaFactor, wanted, limit, buffers), limit, wanted), image.cols,
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

NLPairRegistration& rejected(NLPairRegistration& r, const std::string& reason) {
  r.quality.reason = reason;
  return r;
}

// The count checks of the quality pair; the reason of the first one that fails.
const char* countFailure(const NLRegistrationAttempt& a) {
  if (!a.valid || a.homography.empty()) return "homography estimation failed";
  if (int(a.matches.size()) < limits().qualityMinMatches) return "too few star matches";
  if (a.inlierCount < limits().qualityMinInliers) return "too few homography inliers";
  if (a.inlierRatio < limits().qualityMinInlierRatio) return "very poor inlier ratio";
  return nullptr;
}

void countStars(const NLReferenceStars& reference, const std::vector<NLStarCandidate>& moving,
                NLAlignmentQuality& quality) {
  quality.referenceStars = int(reference.stars.size());
  quality.movingStars = int(moving.size());
}

NLRegistrationAttempt bestAttempt(const NLReferenceStars& reference, const cv::Mat& moving,
                                  const std::vector<NLStarCandidate>& movingStars) {
  return NL_refineRegistrationAttempt(
      reference.image, moving,
      NL_buildBestRegistrationAttempt(reference.stars, movingStars, reference.settings.maxShift,
                                      reference.settings.tolerance));
}

// The winning homography and matches go into the record, and the error figures by region are measured.
void acceptAttempt(const NLRegistrationAttempt& attempt, const cv::Mat& reference, NLPairRegistration& r) {
  r.homography = attempt.homography.clone();
  r.matches = outputMatches(attempt);
  r.fitted = true;
  copyStats(NL_computeAlignmentErrorStats(attempt.homography, attempt.matches, reference.cols, reference.rows),
            r.quality);
}

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
  const double explained = limits().fitExplainedError;
  for (const NLStarMatch& m : NL_filterMatchesByReprojectionError(a.matches, a.homography, explained))
    held.add(NL_starPoint(m.first));
  if (overlap.area() <= 0.0) return true;  // nothing to judge by
  return held.area() >= limits().fitMinSpan * overlap.area();
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
  if (a.inlierCount < limits().fitMinStarShare * double(fewer)) return "very poor inlier ratio";
  if (!coversOverlap(a, moving, referenceSize)) return "fit explains only part of the frame";
  const NLAlignmentErrorStats stats =
      NL_computeAlignmentErrorStats(a.homography, a.matches, referenceSize.width, referenceSize.height);
  if (stats.median > std::max(limits().fitMinFarError, starDiameter(a.matches)))
    return "alignment error far above the seeing";
  return std::string();
}

namespace {

// Whether the detection's list for this wanted count is the sky-noise search's.
bool fellBackToNoise(const NLStarDetection& d, int wanted) {
  return d.relativeFound < wanted && d.noiseSearched && d.noiseFound > d.relativeFound;
}

NLReferenceStars preparedStars(const cv::Mat& image, const NLStarDetection& d, const NLRegistrationSettings& s) {
  NLReferenceStars r{image, NL_selectRegistrationStars(d, s.starBudget), s, false, {}};
  r.noiseLevel = fellBackToNoise(d, wantedStars(s.starBudget));
  if (r.noiseLevel)
    r.relativeStars = NL_selectGridBalancedStars(NL_starCandidatesOf(d, detectionLimit(s.starBudget), 0),
                                                 d.size.width, d.size.height, s.starBudget);
  return r;
}

}  // namespace

NLReferenceStars NL_selectReferenceStars(const cv::Mat& reference, const NLRegistrationSettings& settings) {
  NLDetectionBuffers buffers;
  return NL_selectReferenceStars(reference, settings, buffers);
}

NLReferenceStars NL_selectReferenceStars(const cv::Mat& reference, const NLRegistrationSettings& settings,
                                         NLDetectionBuffers& buffers) {
  const int limit = detectionLimit(settings.starBudget);
  return preparedStars(
      reference, NL_detectStars(reference, settings.sigmaFactor, wantedStars(settings.starBudget), limit, buffers),
      settings);
}

std::vector<NLStarCandidate> NL_selectRegistrationStars(const cv::Mat& image, const NLRegistrationSettings& settings) {
  NLDetectionBuffers buffers;
  return selectStars(image, settings.sigmaFactor, settings.starBudget, buffers);
}

std::vector<NLStarCandidate> NL_selectRegistrationStars(const cv::Mat& image, const NLRegistrationSettings& settings,
                                                        NLDetectionBuffers& buffers) {
  return selectStars(image, settings.sigmaFactor, settings.starBudget, buffers);
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
                                         const NLRegistrationSettings& settings) {
  CV_Assert(detection.size == reference.size() && detection.sigmaFactor == settings.sigmaFactor);
  return preparedStars(reference, detection, settings);
}

std::string NL_plainPairFailure(const NLRegistrationAttempt& a, const std::vector<NLStarCandidate>& reference,
                                const std::vector<NLStarCandidate>& moving, cv::Size referenceSize) {
  if (!a.valid || a.homography.empty()) return "homography estimation failed";
  if (int(a.matches.size()) < limits().plainMinMatches) return "too few star matches";
  return NL_registrationFitFailure(a, reference, moving, referenceSize);
}

namespace {

NLPairRegistration plainPair(const NLReferenceStars& reference, const cv::Mat& moving,
                             const std::vector<NLStarCandidate>& movingStars) {
  NLPairRegistration r;
  countStars(reference, movingStars, r.quality);
  const NLRegistrationAttempt attempt = bestAttempt(reference, moving, movingStars);
  copyAttemptFigures(attempt, r.quality);
  const std::string failure = NL_plainPairFailure(attempt, reference.stars, movingStars, reference.image.size());
  if (!failure.empty()) return rejected(r, failure);
  acceptAttempt(attempt, reference.image, r);
  r.ok = r.quality.ok = true;
  r.quality.reason = "ok";
  return r;
}

NLPairRegistration qualityPair(const NLReferenceStars& reference, const cv::Mat& moving,
                               const std::vector<NLStarCandidate>& movingStars) {
  const NLRegistrationLimits& l = limits();
  NLPairRegistration r;
  countStars(reference, movingStars, r.quality);
  if (r.quality.referenceStars < l.qualityMinStars) return rejected(r, "too few stars in reference frame");
  if (r.quality.movingStars < l.qualityMinStars) return rejected(r, "too few stars in moving frame");
  const NLRegistrationAttempt attempt = bestAttempt(reference, moving, movingStars);
  copyAttemptFigures(attempt, r.quality);
  if (const char* reason = countFailure(attempt)) return rejected(r, reason);
  acceptAttempt(attempt, reference.image, r);
  if (r.quality.averageError > l.qualityMaxAverageError) return rejected(r, "average alignment error too high");
  const std::string unsound = NL_registrationFitFailure(attempt, reference.stars, movingStars, reference.image.size());
  if (!unsound.empty()) return rejected(r, unsound);
  if (r.quality.averageError > l.qualityWarnAverageError) r.quality.reason = "warning: elevated alignment error";
  std::string message;
  if (!NL_isHomographyPlausible(r.homography, moving.cols, moving.rows, message)) return rejected(r, message);
  r.ok = r.quality.ok = true;
  if (r.quality.reason.empty()) r.quality.reason = "ok";
  return r;
}

bool sameStars(const std::vector<NLStarCandidate>& a, const std::vector<NLStarCandidate>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const NLStarCandidate& x, const NLStarCandidate& y) {
    return x.centerX == y.centerX && x.centerY == y.centerY && x.peak == y.peak && x.area == y.area;
  });
}

// The relative level's stars of a prepared frame (its own stars when they are).
const std::vector<NLStarCandidate>& relativeLevel(const NLReferenceStars& frame) {
  return frame.noiseLevel ? frame.relativeStars : frame.stars;
}

NLReferenceStars onRelativeLevel(const NLReferenceStars& frame) {
  return NLReferenceStars{frame.image, relativeLevel(frame), frame.settings, false, {}};
}

// The standard error a fit's stars leave it: their scatter about it over the
// root of their number.
double fitStandardError(const NLPairRegistration& r) {
  return r.quality.averageError / std::sqrt(double(std::max(r.quality.inlierCount, 1)));
}

bool betterVerdict(const NLPairRegistration& candidate, const NLPairRegistration& best) {
  if (candidate.ok != best.ok) return candidate.ok;
  return candidate.ok && fitStandardError(candidate) < fitStandardError(best);
}

// A pair registered on its given stars and, where a frame's stars came from
// the sky-noise search, on both frames' relative-level stars too. A blurred
// frame of a dense field falls short of the wanted count at the relative
// level, and its sky-noise list fills with faint stars whose centroids are
// loose, blends and noise: the sky-noise search must never lose a pair, or a
// precision, that the relative level gives.
template <typename Register>
NLPairRegistration betterOfStarLevels(const NLReferenceStars& reference, const NLReferenceStars& moving,
                                      Register pair) {
  NLPairRegistration first = pair(reference, moving.image, moving.stars);
  if (!reference.noiseLevel && !moving.noiseLevel) return first;
  NLPairRegistration second = pair(onRelativeLevel(reference), moving.image, relativeLevel(moving));
  return betterVerdict(second, first) ? second : first;
}

// Given bare moving stars, the moving frame is detected once more to learn
// its relative level's stars; the given ones count as the sky-noise search's
// unless they are those.
template <typename Register>
NLPairRegistration withRelativeLevel(const NLReferenceStars& reference, const cv::Mat& moving,
                                     const std::vector<NLStarCandidate>& movingStars, Register pair) {
  if (moving.empty()) return pair(reference, moving, movingStars);
  const NLReferenceStars detected = NL_selectReferenceStars(moving, reference.settings);
  NLReferenceStars given{moving, movingStars, reference.settings, false, {}};
  given.noiseLevel = !sameStars(relativeLevel(detected), movingStars);
  if (given.noiseLevel) given.relativeStars = relativeLevel(detected);
  return betterOfStarLevels(reference, given, pair);
}

}  // namespace

NLPairRegistration NL_registerPlainPair(const NLReferenceStars& reference, const cv::Mat& moving,
                                        const std::vector<NLStarCandidate>& movingStars) {
  return withRelativeLevel(reference, moving, movingStars, plainPair);
}

NLPairRegistration NL_registerQualityPair(const NLReferenceStars& reference, const cv::Mat& moving,
                                          const std::vector<NLStarCandidate>& movingStars) {
  return withRelativeLevel(reference, moving, movingStars, qualityPair);
}

NLPairRegistration NL_registerPlainPair(const NLReferenceStars& reference, const NLReferenceStars& moving) {
  return betterOfStarLevels(reference, moving, plainPair);
}

NLPairRegistration NL_registerQualityPair(const NLReferenceStars& reference, const NLReferenceStars& moving) {
  return betterOfStarLevels(reference, moving, qualityPair);
}

namespace {

// The image forms: the record's outputs go out where the variant writes them.
bool handOut(const NLPairRegistration& r, cv::Mat& homography, NLAlignmentQuality& quality,
             NLStarMatchList* matches) {
  quality = r.quality;
  if (r.fitted) {
    homography = r.homography;
    if (matches) *matches = r.matches;
  }
  return r.ok;
}

NLRegistrationSettings settingsOf(double sigmaFactor, int starBudget, int maxShift, double tolerance) {
  return NLRegistrationSettings{sigmaFactor, starBudget, maxShift, tolerance};
}

}  // namespace

bool NL_buildHomographyTransform(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                 int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                 NLStarMatchList& matches) {
  NLAlignmentQuality figures;
  return NL_buildHomographyTransformWithFigures(reference, moving, sigmaFactor, starBudget, maxShift, tolerance,
                                                homography, figures, &matches);
}

bool NL_buildHomographyTransformWithFigures(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches) {
  const NLRegistrationSettings s = settingsOf(sigmaFactor, starBudget, maxShift, tolerance);
  return handOut(NL_registerPlainPair(NL_selectReferenceStars(reference, s), NL_selectReferenceStars(moving, s)),
                 homography, quality, matches);
}

bool NL_buildHomographyTransformWithQuality(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches) {
  const NLRegistrationSettings s = settingsOf(sigmaFactor, starBudget, maxShift, tolerance);
  return handOut(NL_registerQualityPair(NL_selectReferenceStars(reference, s), NL_selectReferenceStars(moving, s)),
                 homography, quality, matches);
}
