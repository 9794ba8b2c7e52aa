// Frames spoiled by stray light or dew, and the slow changes of a night that
// spoil nothing.
#include "synth/synth.h"

#include "synth/detail/scene_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace synth {

const char* badFrameKindName(BadFrameKind kind) {
  switch (kind) {
    case BadFrameKind::Moon: return "moon";
    case BadFrameKind::Cloud: return "cloud";
    case BadFrameKind::Headlights: return "headlights";
    case BadFrameKind::Dawn: return "dawn";
    case BadFrameKind::Dew: return "dew";
  }
  return "moon";
}

bool badFrameSpoilsSky(BadFrameKind kind) { return kind != BadFrameKind::Headlights; }

namespace detail {
namespace {

// exp(-d^2 / 2 r^2) about centre, one float per pixel.
cv::Mat softPatch(cv::Size size, cv::Point2d centre, double radius) {
  cv::Mat out(size, CV_32FC1);
  for (int y = 0; y < size.height; ++y) {
    float* row = out.ptr<float>(y);
    for (int x = 0; x < size.width; ++x) {
      const double dx = x - centre.x, dy = y - centre.y;
      row[x] = float(std::exp(-(dx * dx + dy * dy) / (2.0 * radius * radius)));
    }
  }
  return out;
}

void addLight(cv::Mat& signal, const cv::Mat& weight, double level, const cv::Mat& where = cv::Mat()) {
  cv::Mat w3;
  cv::Mat channels[] = {weight, weight, weight};
  cv::merge(channels, 3, w3);
  cv::Mat light = w3 * level;
  if (!where.empty()) light.setTo(cv::Scalar::all(0), 255 - where);
  signal += light;
}

// The moon below the frame's corner: the whole frame brightened, more so
// towards that corner.
void moonGlow(cv::Mat& signal, double strength) {
  const cv::Size size = signal.size();
  const cv::Point2d moon(1.3 * size.width, 1.2 * size.height);
  cv::Mat weight(size, CV_32FC1);
  const double reach = std::hypot(size.width, size.height);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x)
      weight.at<float>(y, x) = float(0.5 + 0.8 * std::exp(-std::hypot(x - moon.x, y - moon.y) / reach));
  addLight(signal, weight, 0.12 * strength);
}

// A cloud lit from below: a broad soft patch over the sky that dims the
// stars behind it and glows itself. The ground stands in front of it.
void litCloud(cv::Mat& signal, const cv::Mat& skyMask, double strength) {
  const cv::Size size = signal.size();
  const cv::Mat a = softPatch(size, {0.45 * size.width, 0.3 * size.height}, 0.28 * size.width) *
                    std::min(1.0, 0.95 * strength);
  cv::Mat keep3, a3;
  cv::Mat keep = 1.0 - a;
  cv::Mat k[] = {keep, keep, keep};
  cv::merge(k, 3, keep3);
  cv::Mat dimmed = signal.mul(keep3);
  dimmed.copyTo(signal, skyMask);
  addLight(signal, a, 0.15 * strength, skyMask);
}

// A car's lights sweep the landscape: the ground only.
void headlights(cv::Mat& signal, const cv::Mat& skyMask, double strength) {
  const cv::Size size = signal.size();
  const cv::Mat w = softPatch(size, {0.35 * size.width, double(size.height)}, 0.35 * size.width);
  addLight(signal, w, 0.3 * strength, 255 - skyMask);
}

// Twilight: the sky brightens, most at the horizon.
void dawn(cv::Mat& signal, double strength) {
  const cv::Size size = signal.size();
  cv::Mat weight(size, CV_32FC1);
  for (int y = 0; y < size.height; ++y) weight.row(y).setTo(0.6 + 0.4 * double(y) / std::max(size.height - 1, 1));
  addLight(signal, weight, 0.15 * strength);
}

}  // namespace

void spoilFrame(cv::Mat& signal, const BadFrame& bad, const cv::Mat& skyMask) {
  switch (bad.kind) {
    case BadFrameKind::Moon: return moonGlow(signal, bad.strength);
    case BadFrameKind::Cloud: return litCloud(signal, skyMask, bad.strength);
    case BadFrameKind::Headlights: return headlights(signal, skyMask, bad.strength);
    case BadFrameKind::Dawn: return dawn(signal, bad.strength);
    case BadFrameKind::Dew: return;  // a wider star image, set before rendering
  }
}

const BadFrame* badFrameAt(const std::vector<BadFrame>& bad, int frame) {
  for (const BadFrame& b : bad)
    if (b.frame == frame) return &b;
  return nullptr;
}

}  // namespace detail
}  // namespace synth
