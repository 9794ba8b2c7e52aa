#include "registration/detail/geometry.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr size_t kTriangleStars = 48, kTrianglePatterns = 2400;
constexpr size_t kQuadStars = 34, kQuadPatterns = 2600;
constexpr double kMinTriangleSide = 35.0, kMinTriangleArea = 80.0;
constexpr double kMinQuadSide = 45.0, kMinQuadShortRatio = 0.1, kMinQuadArea = 160.0;

std::vector<cv::Point2d> pointsOf(const std::vector<NLStarCandidate>& stars, size_t limit) {
  std::vector<cv::Point2d> points;
  const size_t n = std::min(stars.size(), limit);
  points.reserve(n);
  for (size_t i = 0; i < n; ++i) points.push_back(NL_starPoint(stars[i]));
  return points;
}

double triangleArea(const cv::Point2d& a, const cv::Point2d& b, const cv::Point2d& c) {
  return 0.5 * std::abs((c.x - a.x) * (b.y - a.y) - (b.x - a.x) * (c.y - a.y));
}

double distance(const cv::Point2d& a, const cv::Point2d& b) { return std::hypot(a.x - b.x, a.y - b.y); }

// Every distance between the first stars, worked out once: a pattern builder
// visits each pair in tens of thousands of its patterns.
class PairDistances {
 public:
  explicit PairDistances(const std::vector<cv::Point2d>& p) : n_(p.size()), d_(n_ * n_, 0.0) {
    for (size_t i = 0; i < n_; ++i)
      for (size_t j = i + 1; j < n_; ++j) d_[i * n_ + j] = d_[j * n_ + i] = distance(p[i], p[j]);
  }
  double operator()(int i, int j) const { return d_[size_t(i) * n_ + size_t(j)]; }

 private:
  size_t n_;
  std::vector<double> d_;
};

NLQuadPattern quadOf(const std::vector<cv::Point2d>& p, const PairDistances& dist, int i, int j, int k, int l,
                     bool& keep) {
  const cv::Point2d &a = p[size_t(i)], &b = p[size_t(j)], &c = p[size_t(k)], &d = p[size_t(l)];
  double s[6] = {dist(i, j), dist(i, k), dist(i, l), dist(j, k), dist(j, l), dist(k, l)};
  std::sort(s, s + 6);
  NLQuadPattern q;
  keep = false;
  if (s[5] < kMinQuadSide || s[0] / s[5] < kMinQuadShortRatio) return q;
  const double area = std::max(std::max(triangleArea(a, b, c), triangleArea(a, b, d)),
                               std::max(triangleArea(a, c, d), triangleArea(b, c, d)));
  if (area < kMinQuadArea) return q;
  q = {i, j, k, l, s[0] / s[5], s[1] / s[5], s[2] / s[5], s[3] / s[5], s[4] / s[5], s[5], area};
  keep = true;
  return q;
}

// The nearest of the points considered, as their exact distances (hypot)
// rank them, mostly decided on squared distances: the exact distance is
// worked out only where two squares (or a square and the tolerance's) lie
// within a relative 1e-9 of each other, or outside the range where a square
// keeps its precision. Squares of the same rounded differences are within
// 1e-15 of the exact distance's square, far inside that margin, so every
// decision is the one the exact distances make.
class Nearest {
 public:
  Nearest(const std::vector<cv::Point2d>& points, const cv::Point2d& q, double tolerance)
      : found(points.size()), points_(points), q_(q), best_(tolerance),
        bestSquare_(tolerance > 0.0 ? tolerance * tolerance : NAN) {}  // nothing is closer than 0: exact path
  // Takes r when it is strictly closer than the best so far (or than the
  // tolerance), or as close and of a lower index than the point found.
  void consider(size_t r) {
    const double dx = points_[r].x - q_.x, dy = points_[r].y - q_.y;
    const double square = dx * dx + dy * dy;
    if (plain(square) && plain(bestSquare_)) {
      if (square > bestSquare_ * (1.0 + 1e-9)) return;
      if (square < bestSquare_ * (1.0 - 1e-9)) return take(r, square, false, 0.0);
    }
    const double d = std::hypot(dx, dy);
    const double best = exactBest();
    if (d < best || (d == best && found != points_.size() && r < found)) take(r, square, true, d);
  }
  size_t found;

 private:
  static bool plain(double square) { return square >= 1e-280 && square <= 1e280; }
  void take(size_t r, double square, bool known, double exact) {
    found = r;
    bestSquare_ = square;
    bestKnown_ = known;
    best_ = exact;
  }
  double exactBest() {
    if (!bestKnown_) best_ = distance(points_[found], q_), bestKnown_ = true;
    return best_;
  }
  const std::vector<cv::Point2d>& points_;
  cv::Point2d q_;
  double best_;             // the exact distance of the point found (the tolerance before), when known
  double bestSquare_;       // its square as worked out from the same differences
  bool bestKnown_ = true;
};

// Reference stars bucketed in cells at least one tolerance wide, so a query
// looks at its 3 x 3 cells instead of every star: seed matching runs hundreds
// of times per frame pair. The winner is the one a full scan would pick.
class NearestGrid {
 public:
  NearestGrid(const std::vector<cv::Point2d>& points, double tolerance) {
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (const cv::Point2d& p : points)
      if (std::isfinite(p.x) && std::isfinite(p.y))
        x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
    // No finite star, an unbounded search, or a span past the double range: full scan.
    if (!(x0 <= x1) || !std::isfinite(tolerance) || !std::isfinite(x1 - x0) || !std::isfinite(y1 - y0)) return;
    origin_ = {x0, y0};
    cell_ = tolerance;
    const double cap = double(std::max<size_t>(4096, 4 * points.size()));
    while ((std::floor((x1 - x0) / cell_) + 1) * (std::floor((y1 - y0) / cell_) + 1) > cap) cell_ *= 2.0;
    cols_ = int(std::floor((x1 - x0) / cell_)) + 1;
    rows_ = int(std::floor((y1 - y0) / cell_)) + 1;
    start_.assign(size_t(cols_) * size_t(rows_) + 1, 0);
    std::vector<int> cellOf(points.size(), -1);
    for (size_t i = 0; i < points.size(); ++i)
      if (std::isfinite(points[i].x) && std::isfinite(points[i].y)) {
        cellOf[i] = cellIndex(points[i]);
        ++start_[size_t(cellOf[i]) + 1];
      }
    for (size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
    members_.resize(start_.back());
    std::vector<size_t> fill(start_.begin(), start_.end() - 1);
    for (size_t i = 0; i < points.size(); ++i)
      if (cellOf[i] >= 0) members_[fill[size_t(cellOf[i])]++] = i;
  }

  // Nearest free point strictly closer than the tolerance, the lower index on
  // equal distances; points.size() when there is none.
  size_t nearestFree(const std::vector<cv::Point2d>& points, const std::vector<char>& taken, const cv::Point2d& q,
                     double tolerance) const {
    const size_t none = points.size();
    Nearest nearest(points, q, tolerance);
    const auto consider = [&](size_t r) {
      if (!taken[r]) nearest.consider(r);
    };
    if (cols_ == 0) {
      for (size_t r = 0; r < points.size(); ++r) consider(r);
      return nearest.found;
    }
    if (!std::isfinite(q.x) || !std::isfinite(q.y)) return none;
    const double cx = std::floor((q.x - origin_.x) / cell_), cy = std::floor((q.y - origin_.y) / cell_);
    if (cx < -1.0 || cy < -1.0 || cx > cols_ || cy > rows_) return none;
    for (int y = std::max(int(cy) - 1, 0); y <= std::min(int(cy) + 1, rows_ - 1); ++y)
      for (int x = std::max(int(cx) - 1, 0); x <= std::min(int(cx) + 1, cols_ - 1); ++x) {
        const size_t c = size_t(y) * size_t(cols_) + size_t(x);
        for (size_t k = start_[c]; k < start_[c + 1]; ++k) consider(members_[k]);
      }
    return nearest.found;
  }

 private:
  int cellIndex(const cv::Point2d& p) const {
    const int x = std::min(int((p.x - origin_.x) / cell_), cols_ - 1);
    const int y = std::min(int((p.y - origin_.y) / cell_), rows_ - 1);
    return y * cols_ + x;
  }

  cv::Point2d origin_;
  double cell_ = 0.0;
  int cols_ = 0, rows_ = 0;
  std::vector<size_t> start_, members_;
};

}  // namespace

namespace registration_detail {

NLStarMatchList assignNearestFree(const std::vector<NLStarCandidate>& reference,
                                  const std::vector<NLStarCandidate>& moving,
                                  const std::vector<cv::Point2d>& predicted, double tolerance) {
  NLStarMatchList matches;
  if (reference.empty() || !(tolerance > 0.0)) return matches;  // nothing is strictly closer than 0
  const std::vector<cv::Point2d> refPoints = pointsOf(reference, reference.size());
  const NearestGrid grid(refPoints, tolerance);
  std::vector<char> taken(reference.size(), 0);
  for (size_t m = 0; m < moving.size(); ++m) {
    const size_t found = grid.nearestFree(refPoints, taken, predicted[m], tolerance);
    if (found == reference.size()) continue;
    taken[found] = 1;
    matches.emplace_back(reference[found], moving[m]);
  }
  return matches;
}

struct SeedScorer::Grid {
  NearestGrid grid;
  std::vector<char> free;
};

SeedScorer::SeedScorer(const std::vector<cv::Point2d>& reference, double tolerance)
    : reference_(reference), tolerance_(tolerance), grid_(new Grid{NearestGrid(reference, tolerance), {}}) {
  grid_->free.assign(reference_.size(), 0);
}

SeedScorer::~SeedScorer() = default;

int SeedScorer::count(const cv::Matx23d& a, const std::vector<cv::Point2d>& moving) const {
  int n = 0;
  for (const cv::Point2d& p : moving)
    n += grid_->grid.nearestFree(reference_, grid_->free, mapAffine(a, p), tolerance_) != reference_.size();
  return n;
}

struct SeedMatcher::Grid {
  NearestGrid grid;
  std::vector<char> taken;
};

SeedMatcher::SeedMatcher(const std::vector<NLStarCandidate>& reference, double tolerance)
    : reference_(pointsOf(reference, reference.size())), tolerance_(tolerance),
      grid_(new Grid{NearestGrid(reference_, tolerance), {}}) {}

SeedMatcher::~SeedMatcher() = default;

size_t SeedMatcher::count(const cv::Matx23d& a, const std::vector<cv::Point2d>& moving, size_t toBeat) {
  if (reference_.empty() || moving.empty() || !(tolerance_ > 0.0)) return 0;
  grid_->taken.assign(reference_.size(), 0);
  size_t n = 0;
  for (size_t i = 0; i < moving.size(); ++i) {
    if (toBeat > 0 && n + (moving.size() - i) <= toBeat) return n;
    const size_t found = grid_->grid.nearestFree(reference_, grid_->taken, mapAffine(a, moving[i]), tolerance_);
    if (found == reference_.size()) continue;
    grid_->taken[found] = 1;
    ++n;
  }
  return n;
}

std::vector<cv::Point2d> projectAll(const cv::Mat& homography, const std::vector<NLStarCandidate>& moving) {
  const cv::Matx33d h(homography);
  std::vector<cv::Point2d> predicted;
  predicted.reserve(moving.size());
  for (const NLStarCandidate& star : moving) predicted.push_back(project(h, NL_starPoint(star)));
  return predicted;
}

}  // namespace registration_detail

std::vector<NLTrianglePattern> NL_buildTrianglePatterns(const std::vector<NLStarCandidate>& stars) {
  std::vector<NLTrianglePattern> patterns;
  if (stars.size() < 3) return patterns;
  const std::vector<cv::Point2d> p = pointsOf(stars, kTriangleStars);
  const PairDistances dist(p);
  const int n = int(p.size());
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      for (int k = j + 1; k < n; ++k) {
        double s[3] = {dist(i, j), dist(i, k), dist(j, k)};
        std::sort(s, s + 3);
        if (s[2] < kMinTriangleSide) continue;
        const double area = triangleArea(p[size_t(i)], p[size_t(j)], p[size_t(k)]);
        if (area < kMinTriangleArea) continue;
        patterns.push_back({i, j, k, s[0] / s[2], s[1] / s[2], area, s[2]});
      }
  std::sort(patterns.begin(), patterns.end(),
            [](const NLTrianglePattern& a, const NLTrianglePattern& b) { return a.area > b.area; });
  if (patterns.size() > kTrianglePatterns) patterns.resize(kTrianglePatterns);
  return patterns;
}

std::vector<NLQuadPattern> NL_buildQuadPatterns(const std::vector<NLStarCandidate>& stars) {
  std::vector<NLQuadPattern> patterns;
  if (stars.size() < 4) return patterns;
  const std::vector<cv::Point2d> p = pointsOf(stars, kQuadStars);
  const PairDistances dist(p);
  const int n = int(p.size());
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      for (int k = j + 1; k < n; ++k)
        for (int l = k + 1; l < n; ++l) {
          bool keep = false;
          const NLQuadPattern q = quadOf(p, dist, i, j, k, l, keep);
          if (keep) patterns.push_back(q);
        }
  std::sort(patterns.begin(), patterns.end(), [](const NLQuadPattern& a, const NLQuadPattern& b) {
    return a.maxTriangleArea > b.maxTriangleArea;
  });
  if (patterns.size() > kQuadPatterns) patterns.resize(kQuadPatterns);
  return patterns;
}

cv::Mat NL_estimateAffineFromTriangle(const std::array<cv::Point2d, 3>& source,
                                      const std::array<cv::Point2d, 3>& destination) {
  cv::Mat a = cv::Mat::zeros(6, 6, CV_64F), b(6, 1, CV_64F);
  for (int i = 0; i < 3; ++i) {
    const cv::Point2d s = source[size_t(i)], d = destination[size_t(i)];
    double* r0 = a.ptr<double>(2 * i);
    double* r1 = a.ptr<double>(2 * i + 1);
    r0[0] = s.x, r0[1] = s.y, r0[2] = 1.0;
    r1[3] = s.x, r1[4] = s.y, r1[5] = 1.0;
    b.at<double>(2 * i) = d.x;
    b.at<double>(2 * i + 1) = d.y;
  }
  cv::Mat x;
  if (!cv::solve(a, b, x, cv::DECOMP_SVD) || x.empty()) return cv::Mat();
  return x.reshape(1, 2).clone();
}

NLStarMatchList NL_matchStarsByAffineSeed(const std::vector<NLStarCandidate>& reference,
                                          const std::vector<NLStarCandidate>& moving, const cv::Mat& affine,
                                          double tolerance) {
  if (reference.empty() || moving.empty() || affine.empty()) return {};
  const cv::Matx23d a(affine);
  std::vector<cv::Point2d> predicted;
  predicted.reserve(moving.size());
  for (const NLStarCandidate& star : moving) predicted.push_back(registration_detail::mapAffine(a, NL_starPoint(star)));
  return registration_detail::assignNearestFree(reference, moving, predicted, tolerance);
}
