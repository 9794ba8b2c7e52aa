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

NLQuadPattern quadOf(const std::vector<cv::Point2d>& p, int i, int j, int k, int l, bool& keep) {
  const cv::Point2d &a = p[size_t(i)], &b = p[size_t(j)], &c = p[size_t(k)], &d = p[size_t(l)];
  double s[6] = {distance(a, b), distance(a, c), distance(a, d), distance(b, c), distance(b, d), distance(c, d)};
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

}  // namespace

namespace registration_detail {

NLStarMatchList assignNearestFree(const std::vector<NLStarCandidate>& reference,
                                  const std::vector<NLStarCandidate>& moving,
                                  const std::vector<cv::Point2d>& predicted, double tolerance) {
  NLStarMatchList matches;
  std::vector<cv::Point2d> refPoints = pointsOf(reference, reference.size());
  std::vector<char> taken(reference.size(), 0);
  for (size_t m = 0; m < moving.size(); ++m) {
    const cv::Point2d q = predicted[m];
    double best = tolerance;
    size_t found = reference.size();
    for (size_t r = 0; r < refPoints.size(); ++r) {
      if (taken[r]) continue;
      const double d = distance(refPoints[r], q);
      if (d < best) best = d, found = r;  // strict: the lower index keeps a tie
    }
    if (found == reference.size()) continue;
    taken[found] = 1;
    matches.emplace_back(reference[found], moving[m]);
  }
  return matches;
}

}  // namespace registration_detail

std::vector<NLTrianglePattern> NL_buildTrianglePatterns(const std::vector<NLStarCandidate>& stars) {
  std::vector<NLTrianglePattern> patterns;
  if (stars.size() < 3) return patterns;
  const std::vector<cv::Point2d> p = pointsOf(stars, kTriangleStars);
  const int n = int(p.size());
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      for (int k = j + 1; k < n; ++k) {
        double s[3] = {distance(p[size_t(i)], p[size_t(j)]), distance(p[size_t(i)], p[size_t(k)]),
                       distance(p[size_t(j)], p[size_t(k)])};
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
  const int n = int(p.size());
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      for (int k = j + 1; k < n; ++k)
        for (int l = k + 1; l < n; ++l) {
          bool keep = false;
          const NLQuadPattern q = quadOf(p, i, j, k, l, keep);
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
  for (const NLStarCandidate& star : moving) {
    const cv::Point2d p = NL_starPoint(star);
    predicted.emplace_back(a(0, 0) * p.x + a(0, 1) * p.y + a(0, 2), a(1, 0) * p.x + a(1, 1) * p.y + a(1, 2));
  }
  return registration_detail::assignNearestFree(reference, moving, predicted, tolerance);
}
