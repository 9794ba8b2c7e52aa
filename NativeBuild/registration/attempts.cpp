#include "registration/detail/geometry.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <map>

#include <opencv2/imgproc.hpp>

namespace {

constexpr size_t kMinMatches = 25;
constexpr size_t kRefinementPairs = 80;
constexpr int kQuadEvaluations = 850;
constexpr size_t kMinTriangleStars = 12, kMinQuadStars = 16;
constexpr size_t kTriangleWorkStars = 450, kQuadWorkStars = 520;
constexpr size_t kMinTriangleSeedMatches = 12, kMinQuadSeedMatches = 18;
constexpr double kTriangleRatioTolerance = 0.018, kQuadRatioTolerance = 0.055;
constexpr double kErrorBand = 0.025;  // px: errors this close are a tie, the larger support decides

// Dense vote grid over [-s, s]^2 (row dx + s, column dy + s); empty when
// the grid would be huge or there is nothing to vote. The moving stars are
// walked in column order, so each reference star reaches only those within
// s columns of it, and its votes fill the grid's rows in order: a dense
// list's millions of pairs cost a third of the time, the counts the same.
cv::Mat voteGrid(const std::vector<NLStarCandidate>& reference, const std::vector<NLStarCandidate>& moving,
                 int maxShift) {
  if (maxShift < 0 || maxShift > 2048 || reference.empty() || moving.empty()) return cv::Mat();
  const int side = 2 * maxShift + 1;
  cv::Mat votes = cv::Mat::zeros(side, side, CV_32S);
  std::vector<std::pair<long long, long long>> byColumn;
  byColumn.reserve(moving.size());
  for (const NLStarCandidate& b : moving) byColumn.emplace_back(b.x, b.y);
  std::sort(byColumn.begin(), byColumn.end());
  for (const NLStarCandidate& a : reference) {
    auto b = std::lower_bound(byColumn.begin(), byColumn.end(), std::make_pair((long long)a.x - maxShift, LLONG_MIN));
    for (; b != byColumn.end() && b->first <= (long long)a.x + maxShift; ++b) {
      const long long dx = a.x - b->first, dy = a.y - b->second;
      if (std::llabs(dy) > maxShift) continue;
      ++votes.at<int>(int(dx + maxShift), int(dy + maxShift));
    }
  }
  return votes;
}

// The most voted offset; ties go to the smallest dx, then the smallest dy.
// The vote grid when there is one, else an ordered map of the offsets.
cv::Point mostVoted(const cv::Mat& grid, const std::vector<NLStarCandidate>& reference,
                    const std::vector<NLStarCandidate>& moving, int maxShift) {
  if (maxShift < 0 || reference.empty() || moving.empty()) return {0, 0};
  int best = 0;
  cv::Point winner(0, 0);
  if (!grid.empty()) {
    for (int r = 0; r < grid.rows; ++r) {  // dx-major ascending: the first maximum wins ties
      const int* row = grid.ptr<int>(r);
      for (int c = 0; c < grid.cols; ++c)
        if (row[c] > best) best = row[c], winner = {r - maxShift, c - maxShift};
    }
    return winner;
  }
  std::map<std::pair<long long, long long>, int> byOffset;
  for (const NLStarCandidate& a : reference)
    for (const NLStarCandidate& b : moving) {
      const long long dx = (long long)a.x - b.x, dy = (long long)a.y - b.y;
      if (std::llabs(dx) <= maxShift && std::llabs(dy) <= maxShift) ++byOffset[{dx, dy}];
    }
  for (const auto& v : byOffset)
    if (v.second > best) best = v.second, winner = {int(v.first.first), int(v.first.second)};
  return winner;
}

// A turned field spreads the true offset over many bins: a star r px from
// the turn's centre votes r * angle px away from one at the centre, so under
// half a degree the far stars of a 3000 px frame scatter over some 15 px.
// Hot pixels sit at the same place in every frame and all vote for no shift
// at all, and a dense list piles chance pairs up too: the single most voted
// bin can be the sensor's or chance's. Votes summed over windows of a few
// widths find where the sky's pairs cluster; the strongest few windows are
// offered for verification.
constexpr int kVoteWindows[] = {9, 25};
constexpr int kPeaksPerWindow = 3;

std::vector<cv::Point> windowedVotePeaks(const cv::Mat& grid, int maxShift) {
  std::vector<cv::Point> peaks;
  if (grid.empty()) return peaks;
  cv::Mat counts;
  grid.convertTo(counts, CV_32F);
  for (const int window : kVoteWindows) {
    cv::Mat summed;
    cv::boxFilter(counts, summed, CV_32F, cv::Size(window, window), cv::Point(-1, -1), false, cv::BORDER_CONSTANT);
    for (int k = 0; k < kPeaksPerWindow; ++k) {
      double most = 0.0;
      cv::Point at;
      cv::minMaxLoc(summed, nullptr, &most, nullptr, &at);
      if (!(most > 0.0)) break;
      peaks.emplace_back(at.y - maxShift, at.x - maxShift);  // grid rows are dx
      const cv::Rect near(at.x - window, at.y - window, 2 * window + 1, 2 * window + 1);
      summed(near & cv::Rect(0, 0, summed.cols, summed.rows)).setTo(0.0f);
    }
  }
  return peaks;
}

NLStarMatchList shiftMatches(const std::vector<NLStarCandidate>& reference,
                             const std::vector<NLStarCandidate>& moving, cv::Point shift, double tolerance) {
  std::vector<cv::Point2d> predicted;
  predicted.reserve(moving.size());
  for (const NLStarCandidate& star : moving) predicted.push_back(NL_starPoint(star) + cv::Point2d(shift));
  return registration_detail::assignNearestFree(reference, moving, predicted, tolerance);
}

// The pattern stages rank stars by integrated flux: the 8-bit peak of every
// bright star reads 248-255, so ranking by it shuffles the very stars the
// patterns are built from. Equal fluxes keep the detector's order.
std::vector<NLStarCandidate> byFlux(const std::vector<NLStarCandidate>& stars) {
  std::vector<NLStarCandidate> out = stars;
  std::stable_sort(out.begin(), out.end(),
                   [](const NLStarCandidate& a, const NLStarCandidate& b) { return a.flux > b.flux; });
  return out;
}

// Matches again through the attempt's own homography instead of its seed. A
// seed that only fits one part of the field (a shift under field rotation, a
// small triangle) still gives a homography that carries the rotation, which
// predicts the rest of the field well enough to match it: the match list
// grows to cover the frame. Two rounds: the second starts from a homography
// fitted on the whole field.
NLRegistrationAttempt guided(NLRegistrationAttempt attempt, const std::vector<NLStarCandidate>& reference,
                             const std::vector<NLStarCandidate>& moving, double tolerance) {
  for (int round = 0; round < 2 && attempt.valid; ++round) {
    NLRegistrationAttempt next = NL_evaluateRegistrationAttempt(
        attempt.mode, registration_detail::assignNearestFree(
                          reference, moving, registration_detail::projectAll(attempt.homography, moving), tolerance));
    if (!next.valid || next.inlierCount <= attempt.inlierCount) break;
    attempt = std::move(next);
  }
  return attempt;
}

void replaceIfBetter(NLRegistrationAttempt& best, NLRegistrationAttempt&& candidate) {
  if (!candidate.valid) return;
  const bool better = !best.valid || candidate.meanError + kErrorBand < best.meanError ||
                      (candidate.meanError <= best.meanError + kErrorBand &&
                       (candidate.inlierCount > best.inlierCount ||
                        (candidate.inlierCount == best.inlierCount && candidate.inlierRatio > best.inlierRatio)));
  if (better) best = std::move(candidate);
}

// A fit that holds fewer stars than a sound fit must (a share of the
// sparser list) came from a seed that matched part of the field, or none.
bool holdsFewStars(const NLRegistrationAttempt& a, size_t referenceStars, size_t movingStars) {
  return !a.valid ||
         a.inlierCount < NL_kRegistrationLimits.fitMinStarShare * double(std::min(referenceStars, movingStars));
}

NLRegistrationAttempt shiftAttempt(const std::vector<NLStarCandidate>& reference,
                                   const std::vector<NLStarCandidate>& moving, cv::Point shift, double tolerance) {
  return guided(NL_evaluateRegistrationAttempt("shift", shiftMatches(reference, moving, shift, tolerance)), reference,
                moving, tolerance);
}

// When no stage found a fit that holds a sound share of the stars, the
// peaks of the windowed vote are verified as well, judged by the rule that
// judges the stages. Last, so that wherever the stages find the field the
// verdict and its stage stay theirs.
void tryWindowedShifts(NLRegistrationAttempt& best, const cv::Mat& grid, cv::Point voted,
                       const std::vector<NLStarCandidate>& reference, const std::vector<NLStarCandidate>& moving,
                       int maxShift, double tolerance) {
  if (!holdsFewStars(best, reference.size(), moving.size())) return;
  std::vector<cv::Point> tried{voted};
  for (const cv::Point& peak : windowedVotePeaks(grid, maxShift)) {
    if (std::find(tried.begin(), tried.end(), peak) != tried.end()) continue;
    tried.push_back(peak);
    replaceIfBetter(best, shiftAttempt(reference, moving, peak, tolerance));
  }
}

bool acceptedEarly(const NLRegistrationAttempt& a) {
  return a.valid && a.meanError <= 0.28 && a.inlierCount >= 1200 && a.inlierRatio >= 0.65;
}

std::vector<NLStarCandidate> headOf(const std::vector<NLStarCandidate>& stars, size_t n) {
  return {stars.begin(), stars.begin() + std::ptrdiff_t(std::min(n, stars.size()))};
}

// A pattern's vertices ordered by the side opposite them, shortest side
// first, so two similar triangles pair their vertices by geometry rather than
// by brightness rank, which noise reorders between frames.
struct ShapedTriangle {
  std::array<cv::Point2d, 3> vertices;
  double shortRatio = 0.0, middleRatio = 0.0, longest = 0.0;
};

// Two sides closer than this share of the longest could swap their order
// between frames: such triangles give no reliable vertex pairing.
constexpr double kAmbiguousSides = 0.02;

bool shapeOf(const std::vector<NLStarCandidate>& stars, const NLTrianglePattern& t, ShapedTriangle& out) {
  const cv::Point2d v[3] = {NL_starPoint(stars[size_t(t.star0)]), NL_starPoint(stars[size_t(t.star1)]),
                            NL_starPoint(stars[size_t(t.star2)])};
  const double side[3] = {cv::norm(v[1] - v[2]), cv::norm(v[0] - v[2]), cv::norm(v[0] - v[1])};
  int o[3] = {0, 1, 2};
  std::sort(o, o + 3, [&](int a, int b) { return side[a] < side[b]; });
  const double s0 = side[o[0]], s1 = side[o[1]], s2 = side[o[2]];
  if (!(s2 > 0.0) || s1 - s0 < kAmbiguousSides * s2 || s2 - s1 < kAmbiguousSides * s2) return false;
  out.vertices = {v[o[0]], v[o[1]], v[o[2]]};
  out.shortRatio = s0 / s2;
  out.middleRatio = s1 / s2;
  out.longest = s2;
  return true;
}

std::vector<ShapedTriangle> shapesOf(const std::vector<NLStarCandidate>& stars,
                                     const std::vector<NLTrianglePattern>& patterns) {
  std::vector<ShapedTriangle> shapes;
  shapes.reserve(patterns.size());
  ShapedTriangle t;
  for (const NLTrianglePattern& p : patterns)
    if (shapeOf(stars, p, t)) shapes.push_back(t);
  return shapes;
}

// Affine map through three point pairs (closed form; false when degenerate).
bool affineThrough(const std::array<cv::Point2d, 3>& src, const std::array<cv::Point2d, 3>& dst, cv::Matx23d& a) {
  const cv::Matx33d m(src[0].x, src[0].y, 1.0, src[1].x, src[1].y, 1.0, src[2].x, src[2].y, 1.0);
  if (std::abs(cv::determinant(m)) < 1e-9) return false;
  const cv::Matx33d inv = m.inv();
  const cv::Vec3d u = inv * cv::Vec3d(dst[0].x, dst[1].x, dst[2].x);
  const cv::Vec3d v = inv * cv::Vec3d(dst[0].y, dst[1].y, dst[2].y);
  a = cv::Matx23d(u[0], u[1], u[2], v[0], v[1], v[2]);
  return true;
}

// Frames of one sky differ by a turn, a shift and a small change of scale:
// a seed map that shears, mirrors or rescales by more than a factor of two
// pairs two triangles that only look alike.
bool nearSimilarity(const cv::Matx23d& a) {
  const double det = a(0, 0) * a(1, 1) - a(0, 1) * a(1, 0);
  if (!(det > 0.25 && det < 4.0)) return false;
  const double k = std::sqrt(det);
  return std::abs(a(0, 0) - a(1, 1)) <= 0.03 * k && std::abs(a(0, 1) + a(1, 0)) <= 0.03 * k;
}

// Ratio tolerance of one reference triangle: centroid noise of a few tenths
// of a pixel moves the ratios of a small triangle far more than a large one.
double ratioTolerance(double longest) { return std::min(kTriangleRatioTolerance, 0.002 + 1.5 / longest); }

constexpr size_t kScoreMovingStars = 60, kScoreReferenceStars = 150;
constexpr size_t kSeedsMatched = 8;
constexpr int kShapeCandidates = 30000;

struct ScoredSeed {
  cv::Matx23d map;
  int score = 0;
};

// Keeps the best few seeds, best first.
void keepSeed(std::vector<ScoredSeed>& seeds, const cv::Matx23d& map, int score) {
  if (seeds.size() == kSeedsMatched && score <= seeds.back().score) return;
  auto at = std::find_if(seeds.begin(), seeds.end(), [&](const ScoredSeed& s) { return s.score < score; });
  seeds.insert(at, {map, score});
  if (seeds.size() > kSeedsMatched) seeds.pop_back();
}

std::vector<cv::Point2d> headPoints(const std::vector<NLStarCandidate>& stars, size_t n) {
  std::vector<cv::Point2d> points;
  for (size_t i = 0; i < std::min(n, stars.size()); ++i) points.push_back(NL_starPoint(stars[i]));
  return points;
}

// Every pair of similar triangles (looked up in a shape index of the moving
// triangles) proposes a map; a cheap count of the brightest stars it carries
// onto reference stars ranks them, and only the best few pay for a full
// seed matching.
std::vector<ScoredSeed> rankTriangleSeeds(const std::vector<NLStarCandidate>& reference,
                                          const std::vector<NLStarCandidate>& moving, double seedTolerance) {
  std::vector<ScoredSeed> seeds;
  const std::vector<ShapedTriangle> refShapes = shapesOf(reference, NL_buildTrianglePatterns(reference));
  std::vector<ShapedTriangle> movShapes = shapesOf(moving, NL_buildTrianglePatterns(moving));
  if (refShapes.empty() || movShapes.empty()) return seeds;
  std::sort(movShapes.begin(), movShapes.end(),
            [](const ShapedTriangle& a, const ShapedTriangle& b) { return a.shortRatio < b.shortRatio; });
  const registration_detail::SeedScorer scorer(headPoints(reference, kScoreReferenceStars), seedTolerance);
  const std::vector<cv::Point2d> probe = headPoints(moving, kScoreMovingStars);
  const int sure = int(0.9 * double(probe.size()));
  int tried = 0;
  for (const ShapedTriangle& r : refShapes) {
    const double tol = ratioTolerance(r.longest);
    auto m = std::lower_bound(movShapes.begin(), movShapes.end(), r.shortRatio - tol,
                              [](const ShapedTriangle& t, double v) { return t.shortRatio < v; });
    for (; m != movShapes.end() && m->shortRatio <= r.shortRatio + tol; ++m) {
      if (std::abs(m->middleRatio - r.middleRatio) > tol) continue;
      cv::Matx23d map;
      if (!affineThrough(m->vertices, r.vertices, map) || !nearSimilarity(map)) continue;
      const int score = scorer.count(map, probe);
      keepSeed(seeds, map, score);
      if (score >= sure || ++tried >= kShapeCandidates) return seeds;
    }
  }
  return seeds;
}

// The best seed map of the triangle stage, or empty.
cv::Mat bestTriangleSeed(const std::vector<NLStarCandidate>& reference, const std::vector<NLStarCandidate>& moving,
                         double tolerance, size_t& bestCount) {
  const double seedTolerance = std::max(1.5 * tolerance, 18.0);
  const std::vector<NLStarCandidate> refWork = headOf(reference, kTriangleWorkStars);
  const std::vector<NLStarCandidate> movWork = headOf(moving, kTriangleWorkStars);
  cv::Mat bestMap;
  bestCount = 0;
  registration_detail::SeedMatcher matcher(refWork, seedTolerance);
  const std::vector<cv::Point2d> movPoints = headPoints(movWork, movWork.size());
  for (const ScoredSeed& seed : rankTriangleSeeds(reference, moving, seedTolerance)) {
    const cv::Mat map(seed.map);
    const size_t count = matcher.count(seed.map, movPoints, bestCount);
    if (count > bestCount) bestCount = count, bestMap = map.clone();
  }
  return bestMap;
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
  registration_detail::SeedMatcher matcher(refWork, seedTolerance);
  const std::vector<cv::Point2d> movPoints = headPoints(movWork, movWork.size());
  int evaluations = 0;
  const registration_detail::QuadRatioIndex index(movPatterns);
  std::vector<size_t> close;
  for (const NLQuadPattern& r : refPatterns) {
    const std::array<cv::Point2d, 3> dst = {NL_starPoint(reference[size_t(r.star0)]),
                                            NL_starPoint(reference[size_t(r.star1)]),
                                            NL_starPoint(reference[size_t(r.star2)])};
    const cv::Point2d refFourth = NL_starPoint(reference[size_t(r.star3)]);
    index.closeTo(r, kQuadRatioTolerance, close);
    for (const size_t k : close) {
      const NLQuadPattern& m = movPatterns[k];
      const int stars[4] = {m.star0, m.star1, m.star2, m.star3};
      int order[4] = {0, 1, 2, 3};
      do {
        const std::array<cv::Point2d, 3> src = {NL_starPoint(moving[size_t(stars[order[0]])]),
                                                NL_starPoint(moving[size_t(stars[order[1]])]),
                                                NL_starPoint(moving[size_t(stars[order[2]])])};
        const cv::Point2d p = NL_starPoint(moving[size_t(stars[order[3]])]);
        if (registration_detail::fourthSurelyMissed(src, dst, p, refFourth, fourthTolerance)) continue;
        const cv::Mat map = NL_estimateAffineFromTriangle(src, dst);
        if (map.empty()) continue;
        const cv::Matx23d a(map);
        const cv::Point2d q = registration_detail::mapAffine(a, p);
        const double d = std::hypot(q.x - refFourth.x, q.y - refFourth.y);
        if (!std::isfinite(d) || d > fourthTolerance) continue;
        const size_t count = matcher.count(a, movPoints, bestCount);
        if (count > bestCount) bestCount = count, bestMap = map;
        if (++evaluations >= kQuadEvaluations) return bestMap;
      } while (std::next_permutation(order, order + 4));
    }
  }
  return bestMap;
}

}  // namespace

double registration_detail::quadRatioDistance(const NLQuadPattern& a, const NLQuadPattern& b) {
  return std::abs(a.ratio0 - b.ratio0) + std::abs(a.ratio1 - b.ratio1) + std::abs(a.ratio2 - b.ratio2) +
         std::abs(a.ratio3 - b.ratio3) + std::abs(a.ratio4 - b.ratio4);
}

namespace {

bool finiteRatios(const NLQuadPattern& q) {
  return std::isfinite(q.ratio0) && std::isfinite(q.ratio1) && std::isfinite(q.ratio2) && std::isfinite(q.ratio3) &&
         std::isfinite(q.ratio4);
}

}  // namespace

registration_detail::QuadRatioIndex::QuadRatioIndex(const std::vector<NLQuadPattern>& quads) : quads_(quads) {
  for (size_t i = 0; i < quads.size() && !scanAll_; ++i) {
    scanAll_ = !finiteRatios(quads[i]);  // a NaN sum passes the test: only a full scan keeps those
    sorted_.emplace_back(quads[i].ratio0, i);
  }
  if (scanAll_) sorted_.clear();
  std::sort(sorted_.begin(), sorted_.end());
}

void registration_detail::QuadRatioIndex::closeTo(const NLQuadPattern& r, double tolerance,
                                                  std::vector<size_t>& out) const {
  out.clear();
  if (scanAll_ || !finiteRatios(r) || !std::isfinite(tolerance)) {
    for (size_t i = 0; i < quads_.size(); ++i)
      if (!(quadRatioDistance(r, quads_[i]) > tolerance)) out.push_back(i);
    return;
  }
  // r.ratio0 - m falls as m grows: past the tolerance below, then within it, then past it above.
  using Entry = std::pair<double, size_t>;
  const auto lo = std::partition_point(sorted_.begin(), sorted_.end(),
                                       [&](const Entry& m) { return r.ratio0 - m.first > tolerance; });
  const auto hi = std::partition_point(lo, sorted_.end(),
                                       [&](const Entry& m) { return !(r.ratio0 - m.first < -tolerance); });
  for (auto m = lo; m != hi; ++m)
    if (!(quadRatioDistance(r, quads_[m->second]) > tolerance)) out.push_back(m->second);
  std::sort(out.begin(), out.end());
}

// The closed-form map through the three pairs; on a triangle this large the
// least-squares map agrees with it far below the margin, so a fourth star it
// carries well past the tolerance needs no costlier solve to be turned down.
// Thin triangles are left to that solve.
bool registration_detail::fourthSurelyMissed(const std::array<cv::Point2d, 3>& src,
                                             const std::array<cv::Point2d, 3>& dst, const cv::Point2d& fourth,
                                             const cv::Point2d& target, double tolerance) {
  constexpr double kMinDoubledArea = 1000.0;  // px^2, twice the triangle's area
  constexpr double kMargin = 0.05;            // px
  const cv::Point2d u = src[1] - src[0], v = src[2] - src[0];
  cv::Matx23d a;
  if (!(std::abs(u.x * v.y - u.y * v.x) >= kMinDoubledArea) || !affineThrough(src, dst, a)) return false;
  const cv::Point2d q = registration_detail::mapAffine(a, fourth);
  return std::hypot(q.x - target.x, q.y - target.y) > tolerance + kMargin;
}

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
  const cv::Mat grid = voteGrid(reference, moving, maxShift);
  const cv::Point voted = mostVoted(grid, reference, moving, maxShift);
  NLRegistrationAttempt best = shiftAttempt(reference, moving, voted, tolerance);
  if (acceptedEarly(best)) return best;

  const std::vector<NLStarCandidate> refByFlux = byFlux(reference), movByFlux = byFlux(moving);
  const double finalTolerance = std::max(tolerance, 14.0);
  NLStarMatchList triangles;
  if (reference.size() >= kMinTriangleStars && moving.size() >= kMinTriangleStars) {
    size_t count = 0;
    const cv::Mat map = bestTriangleSeed(refByFlux, movByFlux, tolerance, count);
    if (!map.empty() && count >= kMinTriangleSeedMatches)
      triangles = NL_matchStarsByAffineSeed(reference, moving, map, finalTolerance);
  }
  replaceIfBetter(best, guided(NL_evaluateRegistrationAttempt("triangle-pattern", triangles), reference, moving,
                               tolerance));
  if (acceptedEarly(best)) return best;

  NLStarMatchList quads;
  if (reference.size() >= kMinQuadStars && moving.size() >= kMinQuadStars) {
    size_t count = 0;
    const cv::Mat map = bestQuadSeed(refByFlux, movByFlux, tolerance, count);
    if (!map.empty() && count >= kMinQuadSeedMatches)
      quads = NL_matchStarsByAffineSeed(reference, moving, map, finalTolerance);
  }
  replaceIfBetter(best,
                  guided(NL_evaluateRegistrationAttempt("quad-pattern", quads), reference, moving, tolerance));
  tryWindowedShifts(best, grid, voted, reference, moving, maxShift, tolerance);
  return best;
}
