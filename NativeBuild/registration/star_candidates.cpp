#include "registration/registration.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kBackgroundSigma = 12.0;  // px: far wider than a star, so only sky gradients survive
constexpr int kMaxBlobArea = 120;          // larger blobs are clouds, glows and foreground lights
constexpr int kMinLevel = 18;
constexpr int kMaxLevel = 180;
constexpr int kGridCells = 5;
constexpr int kCellCapacity = 180;

cv::Mat greyOf(const cv::Mat& image) {
  if (image.channels() == 4) {
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
    return grey;
  }
  if (image.channels() == 3) {
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    return grey;
  }
  return image;
}

bool isFlat(const cv::Mat& image) {
  double lo = 0.0, hi = 0.0;
  cv::minMaxLoc(image, &lo, &hi);
  return !(lo < hi);
}

// Background-free residual (float, clamped at 0) and the 8-bit detection image.
bool buildResidual(const cv::Mat& grey, cv::Mat& residual, cv::Mat& detection) {
  cv::Mat value;
  grey.convertTo(value, CV_32F, 1.0, 0.0);
  cv::Mat background;
  cv::GaussianBlur(value, background, cv::Size(0, 0), kBackgroundSigma, 0.0, cv::BORDER_DEFAULT);
  cv::subtract(value, background, residual);
  cv::threshold(residual, residual, 0.0, 0.0, cv::THRESH_TOZERO);
  double lo = 0.0, hi = 0.0;
  cv::minMaxLoc(residual, &lo, &hi);
  if (!(lo < hi)) return false;
  cv::Mat normalised;
  residual.convertTo(normalised, CV_8U, 255.0 / (hi - lo), -255.0 * lo / (hi - lo));
  cv::GaussianBlur(normalised, detection, cv::Size(3, 3), 0.0, 0.0, cv::BORDER_DEFAULT);
  return true;
}

int thresholdLevel(const cv::Mat& detection, double sigmaFactor) {
  cv::Scalar mean, deviation;
  cv::meanStdDev(detection, mean, deviation);
  const double level = std::trunc(mean[0] + sigmaFactor * deviation[0]);
  if (!(level >= kMinLevel)) return kMinLevel;  // also catches NaN
  if (level > kMaxLevel) return kMaxLevel;
  return int(level);
}

struct BlobSums {
  long long count = 0, sumX = 0, sumY = 0;
  double weightedX = 0.0, weightedY = 0.0, weight = 0.0;
  int peak = 0;
};

double roundHalfAway(double v) { return std::round(v); }

NLStarCandidate candidateOf(const BlobSums& s) {
  double cx, cy;
  if (s.weight > 0.0) {
    cx = s.weightedX / s.weight;
    cy = s.weightedY / s.weight;
  } else {
    cx = double(s.sumX) / double(s.count);
    cy = double(s.sumY) / double(s.count);
  }
  NLStarCandidate c;
  c.x = int(roundHalfAway(cx));
  c.y = int(roundHalfAway(cy));
  c.centerX = cx;
  c.centerY = cy;
  c.area = int(s.count);
  c.peak = s.peak;
  return c;
}

// One 8-connected flood fill from (sx, sy); the queue is reused across blobs.
// `mask` doubles as the visited marker: a visited pixel is cleared to 0,
// which is equivalent to a separate visited mask because only set pixels are
// ever queued.
BlobSums fillBlob(cv::Mat& mask, const cv::Mat& residual, const cv::Mat& detection, int sx, int sy,
                  std::vector<cv::Point>& queue) {
  static const int kDx[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
  static const int kDy[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
  BlobSums s;
  queue.clear();
  queue.emplace_back(sx, sy);
  mask.ptr<uchar>(sy)[sx] = 0;
  for (size_t head = 0; head < queue.size(); ++head) {
    const cv::Point p = queue[head];
    const float r = residual.ptr<float>(p.y)[p.x];
    const double w = (std::isfinite(r) && r > 0.0f) ? double(r) : 1.0;
    ++s.count;
    s.sumX += p.x;
    s.sumY += p.y;
    s.weightedX += w * p.x;
    s.weightedY += w * p.y;
    s.weight += w;
    s.peak = std::max(s.peak, int(detection.ptr<uchar>(p.y)[p.x]));
    for (int k = 0; k < 8; ++k) {
      const int nx = p.x + kDx[k], ny = p.y + kDy[k];
      if (nx < 0 || ny < 0 || nx >= mask.cols || ny >= mask.rows) continue;
      uchar& m = mask.ptr<uchar>(ny)[nx];
      if (!m) continue;
      m = 0;
      queue.emplace_back(nx, ny);
    }
  }
  return s;
}

bool brighterPeak(const NLStarCandidate& a, const NLStarCandidate& b) { return a.peak > b.peak; }

int gridCell(int coordinate, int extent) {
  const double cell = std::trunc(double(coordinate) / double(extent) * double(kGridCells));
  if (!(cell > 0.0)) return 0;
  if (cell >= kGridCells) return kGridCells - 1;
  return int(cell);
}

}  // namespace

cv::Point2d NL_starPoint(const NLStarCandidate& star) {
  return {star.centerX == 0.0 ? double(star.x) : star.centerX, star.centerY == 0.0 ? double(star.y) : star.centerY};
}

std::vector<NLStarCandidate> NL_findStarCandidates(const cv::Mat& image, double sigmaFactor, int maxCount) {
  std::vector<NLStarCandidate> result;
  if (image.empty()) return result;
  const cv::Mat grey = greyOf(image);
  if (isFlat(grey)) return result;
  cv::Mat residual, detection;
  if (!buildResidual(grey, residual, detection)) return result;
  cv::Mat mask;
  cv::threshold(detection, mask, thresholdLevel(detection, sigmaFactor), 255, cv::THRESH_BINARY);
  std::vector<cv::Point> queue;
  queue.reserve(4096);
  for (int y = 0; y < mask.rows; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (!row[x]) continue;
      const BlobSums s = fillBlob(mask, residual, detection, x, y, queue);
      if (s.count <= kMaxBlobArea) result.push_back(candidateOf(s));
    }
  }
  std::sort(result.begin(), result.end(), brighterPeak);
  if (maxCount > 0 && int(result.size()) > maxCount) result.resize(size_t(maxCount));
  return result;
}

std::vector<NLStarCandidate> NL_selectGridBalancedStars(const std::vector<NLStarCandidate>& stars, int width,
                                                        int height, int maxTotal) {
  std::vector<NLStarCandidate> result;
  if (stars.empty() || width < 1 || height < 1) return result;
  int counts[kGridCells * kGridCells] = {};
  for (const NLStarCandidate& star : stars) {
    int& count = counts[gridCell(star.y, height) * kGridCells + gridCell(star.x, width)];
    if (count >= kCellCapacity) continue;
    result.push_back(star);
    ++count;
    if (maxTotal >= 1 && int(result.size()) >= maxTotal) break;
  }
  std::sort(result.begin(), result.end(), brighterPeak);
  return result;
}
