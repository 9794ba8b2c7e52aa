#include "registration/detail/geometry.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace {

constexpr size_t kMinMatches = 25;
constexpr size_t kRefinementPairs = 80;
constexpr int kTriangleEvaluations = 550, kQuadEvaluations = 850;
constexpr size_t kMinTriangleStars = 12, kMinQuadStars = 16;
constexpr size_t kTriangleWorkStars = 450, kQuadWorkStars = 520;
constexpr size_t kMinTriangleSeedMatches = 12, kMinQuadSeedMatches = 18;
constexpr double kTriangleRatioTolerance = 0.018, kQuadRatioTolerance = 0.055;
constexpr double kErrorBand = 0.025;  // px: errors this close are a tie, the larger support decides

// Dense vote grid over [-s, s]^2; a map only when the grid would be huge.
cv::Point voteShift(const std::vector<NLStarCandidate>& reference, const std::vector<NLStarCandidate>& moving,
                    int maxShift) {
  if (maxShift < 0 || reference.empty() || moving.empty()) return {0, 0};
  if (maxShift <= 2048) {
    const int side = 2 * maxShift + 1;
    std::vector<int> votes(size_t(side) * size_t(side), 0);
    for (const NLStarCandidate& a : reference)
      for (const NLStarCandidate& b : moving) {
        const long long dx = (long long)a.x - b.x, dy = (long long)a.y - b.y;
        if (std::llabs(dx) > maxShift || std::llabs(dy) > maxShift) continue;
        ++votes[size_t(dx + maxShift) * size_t(side) + size_t(dy + maxShift)];
      }
    int best = 0;
    cv::Point winner(0, 0);
    for (size_t i = 0; i < votes.size(); ++i)  // dx-major ascending: the first maximum wins ties
      if (votes[i] > best) best = votes[i], winner = {int(i / size_t(side)) - maxShift, int(i % size_t(side)) - maxShift};
    return winner;
  }
  std::map<std::pair<long long, long long>, int> votes;
  for (const NLStarCandidate& a : reference)
    for (const NLStarCandidate& b : moving) {
      const long long dx = (long long)a.x - b.x, dy = (long long)a.y - b.y;
      if (std::llabs(dx) <= maxShift && std::llabs(dy) <= maxShift) ++votes[{dx, dy}];
    }
  int best = 0;
  cv::Point winner(0, 0);
  for (const auto& v : votes)
    if (v.second > best) best = v.second, winner = {int(v.first.first), int(v.first.second)};
  return winner;
}

NLStarMatchList shiftMatches(const std::vector<NLStarCandidate>& reference,
                             const std::vector<NLStarCandidate>& moving, cv::Point shift, double tolerance) {
  std::vector<cv::Point2d> predicted;
  predicted.reserve(moving.size());
  for (const NLStarCandidate& star : moving) predicted.push_back(NL_starPoint(star) + cv::Point2d(shift));
  return registration_detail::assignNearestFree(reference, moving, predicted, tolerance);
}

bool acceptedEarly(const NLRegistrationAttempt& a) {
  return a.valid && a.meanError <= 0.28 && a.inlierCount >= 1200 && a.inlierRatio >= 0.65;
}

void replaceIfBetter(NLRegistrationAttempt& best, NLRegistrationAttempt&& candidate) {
  if (!candidate.valid) return;
  const bool better = !best.valid || candidate.meanError + kErrorBand < best.meanError ||
                      (candidate.meanError <= best.meanError + kErrorBand &&
                       (candidate.inlierCount > best.inlierCount ||
                        (candidate.inlierCount == best.inlierCount && candidate.inlierRatio > best.inlierRatio)));
  if (better) best = std::move(candidate);
}

std::vector<NLStarCandidate> headOf(const std::vector<NLStarCandidate>& stars, size_t n) {
  return {stars.begin(), stars.begin() + std::ptrdiff_t(std::min(n, stars.size()))};
}

cv::Point2d singlePrecision(const cv::Point2d& p) { return {double(float(p.x)), double(float(p.y))}; }

// The best seed map of the triangle stage, or empty.
cv::Mat bestTriangleSeed(const std::vector<NLStarCandidate>& reference, const std::vector<NLStarCandidate>& moving,
                         double tolerance, size_t& bestCount) {
  const std::vector<NLTrianglePattern> refPatterns = NL_buildTrianglePatterns(reference);
  const std::vector<NLTrianglePattern> movPatterns = NL_buildTrianglePatterns(moving);
  cv::Mat bestMap;
  bestCount = 0;
  if (refPatterns.empty() || movPatterns.empty()) return bestMap;
  const std::vector<NLStarCandidate> refWork = headOf(reference, kTriangleWorkStars);
  const std::vector<NLStarCandidate> movWork = headOf(moving, kTriangleWorkStars);
  const double seedTolerance = std::max(1.5 * tolerance, 18.0);
  int evaluations = 0;
  for (const NLTrianglePattern& r : refPatterns) {
    for (const NLTrianglePattern& m : movPatterns) {
      if (std::abs(r.shortRatio - m.shortRatio) > kTriangleRatioTolerance ||
          std::abs(r.middleRatio - m.middleRatio) > kTriangleRatioTolerance)
        continue;
      const std::array<cv::Point2d, 3> src = {singlePrecision(NL_starPoint(moving[size_t(m.star0)])),
                                              singlePrecision(NL_starPoint(moving[size_t(m.star1)])),
                                              singlePrecision(NL_starPoint(moving[size_t(m.star2)]))};
      const std::array<cv::Point2d, 3> dst = {singlePrecision(NL_starPoint(reference[size_t(r.star0)])),
                                              singlePrecision(NL_starPoint(reference[size_t(r.star1)])),
                                              singlePrecision(NL_starPoint(reference[size_t(r.star2)]))};
      const cv::Mat map = NL_estimateAffineFromTriangle(src, dst);
      if (map.empty()) continue;
      const size_t count = NL_matchStarsByAffineSeed(refWork, movWork, map, seedTolerance).size();
      if (count > bestCount) bestCount = count, bestMap = map;
      if (++evaluations >= kTriangleEvaluations) return bestMap;
    }
  }
  return bestMap;
}

double quadRatioDistance(const NLQuadPattern& a, const NLQuadPattern& b) {
  return std::abs(a.ratio0 - b.ratio0) + std::abs(a.ratio1 - b.ratio1) + std::abs(a.ratio2 - b.ratio2) +
         std::abs(a.ratio3 - b.ratio3) + std::abs(a.ratio4 - b.ratio4);
}

// The best seed map of the quad stage, or empty: three stars fix the
// affine map, the fourth must confirm it before any matching is paid for.
cv::Mat bestQuadSeed(const std::vector<NLStarCandidate>& reference, const std::vector<NLStarCandidate>& moving,
                     double tolerance, size_t& bestCount) {
  const std::vector<NLQuadPattern> refPatterns = NL_buildQuadPatterns(reference);
  const std::vector<NLQuadPattern> movPatterns = NL_buildQuadPatterns(moving);
  cv::Mat bestMap;
  bestCount = 0;
  if (refPatterns.empty() || movPatterns.empty()) return bestMap;
  const std::vector<NLStarCandidate> refWork = headOf(reference, kQuadWorkStars);
  const std::vector<NLStarCandidate> movWork = headOf(moving, kQuadWorkStars);
  const double fourthTolerance = std::max(2.0 * tolerance, 26.0);
  const double seedTolerance = std::max(1.5 * tolerance, 18.0);
  int evaluations = 0;
  for (const NLQuadPattern& r : refPatterns) {
    const std::array<cv::Point2d, 3> dst = {NL_starPoint(reference[size_t(r.star0)]),
                                            NL_starPoint(reference[size_t(r.star1)]),
                                            NL_starPoint(reference[size_t(r.star2)])};
    const cv::Point2d refFourth = NL_starPoint(reference[size_t(r.star3)]);
    for (const NLQuadPattern& m : movPatterns) {
      if (quadRatioDistance(r, m) > kQuadRatioTolerance) continue;
      const int stars[4] = {m.star0, m.star1, m.star2, m.star3};
      int order[4] = {0, 1, 2, 3};
      do {
        const std::array<cv::Point2d, 3> src = {NL_starPoint(moving[size_t(stars[order[0]])]),
                                                NL_starPoint(moving[size_t(stars[order[1]])]),
                                                NL_starPoint(moving[size_t(stars[order[2]])])};
        const cv::Mat map = NL_estimateAffineFromTriangle(src, dst);
        if (map.empty()) continue;
        const cv::Matx23d a(map);
        const cv::Point2d p = NL_starPoint(moving[size_t(stars[order[3]])]);
        const cv::Point2d q(a(0, 0) * p.x + a(0, 1) * p.y + a(0, 2), a(1, 0) * p.x + a(1, 1) * p.y + a(1, 2));
        const double d = std::hypot(q.x - refFourth.x, q.y - refFourth.y);
        if (!std::isfinite(d) || d > fourthTolerance) continue;
        const size_t count = NL_matchStarsByAffineSeed(refWork, movWork, map, seedTolerance).size();
        if (count > bestCount) bestCount = count, bestMap = map;
        if (++evaluations >= kQuadEvaluations) return bestMap;
      } while (std::next_permutation(order, order + 4));
    }
  }
  return bestMap;
}

}  // namespace

NLRegistrationAttempt NL_evaluateRegistrationAttempt(const std::string& mode, const NLStarMatchList& matches) {
  NLRegistrationAttempt attempt;
  attempt.mode = mode;
  attempt.matches = matches;
  if (matches.size() < kMinMatches) return attempt;
  cv::Mat h1;
  int c1 = 0;
  if (!NL_estimateHomographyWithInliers(matches, h1, 5.0, c1) || h1.empty()) return attempt;
  cv::Mat h = h1;
  int count = c1;
  NLStarMatchList kept = matches;
  // A sub-pixel subset refit sharpens the matrix once enough stars agree that closely.
  NLStarMatchList fine = NL_filterMatchesByReprojectionError(matches, h1, 0.75);
  if (fine.size() >= kRefinementPairs) {
    cv::Mat h2;
    int c2 = 0;
    if (NL_estimateHomographyWithInliers(fine, h2, 1.25, c2) && !h2.empty() && c2 >= int(kRefinementPairs)) {
      const double e1 = NL_computeAverageReprojectionError(h1, matches);
      const double e2 = NL_computeAverageReprojectionError(h2, fine);
      if (e2 > 0.0 && e2 <= e1) h = h2, count = c2, kept = std::move(fine);
    }
  }
  attempt.homography = h;
  NLStarMatchList consistent = NL_filterMatchesByReprojectionError(matches, h, 12.0);
  attempt.inliers = consistent.size() >= kept.size() ? std::move(consistent) : kept;
  attempt.inlierCount = count;
  attempt.inlierRatio = matches.empty() ? 0.0 : double(count) / double(matches.size());
  attempt.meanError = NL_computeAverageReprojectionError(h, kept);
  attempt.valid = !h.empty() && std::isfinite(attempt.meanError);
  return attempt;
}

NLRegistrationAttempt NL_buildBestRegistrationAttempt(const std::vector<NLStarCandidate>& reference,
                                                      const std::vector<NLStarCandidate>& moving, int maxShift,
                                                      double tolerance) {
  const cv::Point shift = voteShift(reference, moving, maxShift);
  NLRegistrationAttempt best =
      NL_evaluateRegistrationAttempt("shift", shiftMatches(reference, moving, shift, tolerance));
  if (acceptedEarly(best)) return best;

  const double finalTolerance = std::max(tolerance, 14.0);
  NLStarMatchList triangles;
  if (reference.size() >= kMinTriangleStars && moving.size() >= kMinTriangleStars) {
    size_t count = 0;
    const cv::Mat map = bestTriangleSeed(reference, moving, tolerance, count);
    if (!map.empty() && count >= kMinTriangleSeedMatches)
      triangles = NL_matchStarsByAffineSeed(reference, moving, map, finalTolerance);
  }
  replaceIfBetter(best, NL_evaluateRegistrationAttempt("triangle-pattern", triangles));
  if (acceptedEarly(best)) return best;

  NLStarMatchList quads;
  if (reference.size() >= kMinQuadStars && moving.size() >= kMinQuadStars) {
    size_t count = 0;
    const cv::Mat map = bestQuadSeed(reference, moving, tolerance, count);
    if (!map.empty() && count >= kMinQuadSeedMatches)
      quads = NL_matchStarsByAffineSeed(reference, moving, map, finalTolerance);
  }
  replaceIfBetter(best, NL_evaluateRegistrationAttempt("quad-pattern", quads));
  return best;
}
