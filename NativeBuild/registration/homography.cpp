#include "registration/detail/geometry.h"

#include <algorithm>
#include <cmath>

using registration_detail::reprojectionError;

namespace {

constexpr double kUnmeasured = 9999.0;
constexpr double kMinAreaRatio = 0.35;
constexpr double kMaxAreaRatio = 3.0;

bool allFinite(const cv::Mat& h) {
  for (int r = 0; r < h.rows; ++r)
    for (int c = 0; c < h.cols; ++c)
      if (!std::isfinite(h.at<double>(r, c))) return false;
  return true;
}

double meanOf(const std::vector<double>& values) {
  if (values.empty()) return kUnmeasured;
  double sum = 0.0;
  for (double v : values) sum += v;
  return sum / double(values.size());
}

double medianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

enum class Region { Centre, Edge, Corner };

// The central cross holds the field's best-corrected optics; corners show
// distortion and field rotation first, so they are reported on their own.
Region regionOf(const cv::Point2d& p, int width, int height) {
  const double rx = p.x / width, ry = p.y / height;
  const bool cross = (rx >= 0.25 && rx <= 0.75) || (ry >= 0.25 && ry <= 0.75);
  if (!cross) return Region::Corner;
  const double hx = width / 2.0, hy = height / 2.0;
  const double r = std::hypot(p.x - hx, p.y - hy) / std::sqrt(hx * hx + hy * hy);
  return r >= 0.4 ? Region::Edge : Region::Centre;
}

}  // namespace

cv::Point2d NL_projectPoint(const cv::Mat& homography, const cv::Point2d& point) {
  return registration_detail::project(cv::Matx33d(homography), point);
}

bool NL_estimateHomographyDLT(const NLStarMatchList& matches, cv::Mat& homography) {
  const int n = int(matches.size());
  if (n < 4) return false;
  cv::Mat a = cv::Mat::zeros(2 * n, 8, CV_64F), b(2 * n, 1, CV_64F);
  for (int i = 0; i < n; ++i) {
    const cv::Point2d m = NL_starPoint(matches[size_t(i)].second), r = NL_starPoint(matches[size_t(i)].first);
    double* row0 = a.ptr<double>(2 * i);
    double* row1 = a.ptr<double>(2 * i + 1);
    row0[0] = m.x, row0[1] = m.y, row0[2] = 1.0, row0[6] = -m.x * r.x, row0[7] = -m.y * r.x;
    row1[3] = m.x, row1[4] = m.y, row1[5] = 1.0, row1[6] = -m.x * r.y, row1[7] = -m.y * r.y;
    b.at<double>(2 * i) = r.x;
    b.at<double>(2 * i + 1) = r.y;
  }
  cv::Mat h;
  if (!cv::solve(a, b, h, cv::DECOMP_SVD) || h.empty()) return false;
  const double* v = h.ptr<double>();
  homography = (cv::Mat_<double>(3, 3) << v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], 1.0);
  return true;
}

bool NL_estimateHomographyWithInliers(const NLStarMatchList& matches, cv::Mat& homography, double threshold,
                                      int& inlierCount) {
  if (matches.size() < 4) return false;
  cv::Mat h0;
  if (!NL_estimateHomographyDLT(matches, h0)) return false;
  const cv::Matx33d m(h0);
  NLStarMatchList inliers;
  for (const NLStarMatch& pair : matches)
    if (reprojectionError(m, pair) <= threshold) inliers.push_back(pair);  // NaN compares false
  inlierCount = int(inliers.size());
  if (inliers.size() < 4) {
    homography = h0;
    return true;
  }
  return NL_estimateHomographyDLT(inliers, homography);
}

NLStarMatchList NL_filterMatchesByReprojectionError(const NLStarMatchList& matches, const cv::Mat& homography,
                                                    double maxError) {
  NLStarMatchList kept;
  if (matches.empty() || homography.empty()) return kept;
  const cv::Matx33d m(homography);
  for (const NLStarMatch& pair : matches) {
    const double e = reprojectionError(m, pair);
    if (std::isfinite(e) && e <= maxError) kept.push_back(pair);
  }
  return kept;
}

double NL_computeAverageReprojectionError(const cv::Mat& homography, const NLStarMatchList& matches) {
  if (matches.empty() || homography.empty()) return kUnmeasured;
  const cv::Matx33d m(homography);
  double sum = 0.0;
  size_t count = 0;
  for (const NLStarMatch& pair : matches) {
    const double e = reprojectionError(m, pair);
    if (!std::isfinite(e)) continue;
    sum += e;
    ++count;
  }
  return count ? sum / double(count) : kUnmeasured;
}

NLAlignmentErrorStats NL_computeAlignmentErrorStats(const cv::Mat& homography, const NLStarMatchList& matches,
                                                    int width, int height) {
  NLAlignmentErrorStats stats;
  if (matches.empty() || homography.empty() || width < 1 || height < 1) return stats;
  const cv::Matx33d m(homography);
  std::vector<double> all, centre, edge, corner;
  all.reserve(matches.size());
  for (const NLStarMatch& pair : matches) {
    const double e = reprojectionError(m, pair);
    if (!std::isfinite(e)) continue;
    all.push_back(e);
    switch (regionOf(NL_starPoint(pair.first), width, height)) {
      case Region::Centre: centre.push_back(e); break;
      case Region::Edge: edge.push_back(e); break;
      case Region::Corner: corner.push_back(e); break;
    }
  }
  if (all.empty()) return stats;
  stats.mean = meanOf(all);
  stats.max = *std::max_element(all.begin(), all.end());
  stats.median = medianOf(std::move(all));
  stats.centerMean = meanOf(centre);
  stats.edgeMean = meanOf(edge);
  stats.cornerMean = meanOf(corner);
  return stats;
}

bool NL_isHomographyPlausible(const cv::Mat& homography, int width, int height, std::string& message) {
  if (homography.empty() || homography.rows != 3 || homography.cols != 3 || homography.type() != CV_64F) {
    message = "invalid homography matrix";
    return false;
  }
  if (!allFinite(homography)) {
    message = "homography contains non-finite value";
    return false;
  }
  const cv::Matx33d m(homography);
  const cv::Point2d corners[4] = {{0.0, 0.0}, {double(width), 0.0}, {double(width), double(height)},
                                  {0.0, double(height)}};
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
  for (int i = 0; i < 4; ++i) {
    const cv::Point2d p = registration_detail::project(m, corners[i]);
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
      message = "homography maps corners to invalid coordinates";
      return false;
    }
    minX = i ? std::min(minX, p.x) : p.x, maxX = i ? std::max(maxX, p.x) : p.x;
    minY = i ? std::min(minY, p.y) : p.y, maxY = i ? std::max(maxY, p.y) : p.y;
  }
  const double boxW = maxX - minX, boxH = maxY - minY;
  if (!(boxW > 0.0) || !(boxH > 0.0)) {
    message = "homography collapsed image area";
    return false;
  }
  const double ratio = boxW * boxH / (double(width) * double(height));
  if (ratio >= kMinAreaRatio && ratio <= kMaxAreaRatio) {
    message = "ok";
    return true;
  }
  message = "homography area ratio out of range";
  return false;
}
