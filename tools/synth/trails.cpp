// Injected trails: satellite streaks and aircraft (blinking lights with a
// faint continuous trail), with masks of exactly the pixels they change.
#include "synth/synth.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace synth {
namespace {

// One step of an 8-bit image: anything weaker than this might not change a
// rounded pixel, so it is not drawn at all and the mask stays exact.
constexpr double kMinTrail = 1.0 / 255.0;

double distanceToSegment(cv::Point2d p, cv::Point2d a, cv::Point2d b) {
  const cv::Point2d ab = b - a;
  const double len2 = ab.dot(ab);
  const double t = len2 > 0.0 ? std::max(0.0, std::min(1.0, (p - a).dot(ab) / len2)) : 0.0;
  const cv::Point2d q = a + ab * t - p;
  return std::sqrt(q.dot(q));
}

// Pixel-integrated Gaussian cross-section relative to its value on the axis.
double crossSection(double d, double sigma) {
  const double k = 1.0 / (sigma * std::sqrt(2.0));
  const double axis = std::erf(0.5 * k);
  return 0.5 * (std::erf((d + 0.5) * k) - std::erf((d - 0.5) * k)) / axis;
}

void stamp(cv::Mat& signal, cv::Mat& mask, int x, int y, double v, const cv::Vec3d& colour,
           bool& touched) {
  if (v < kMinTrail) return;
  cv::Vec3f& px = signal.at<cv::Vec3f>(y, x);
  for (int c = 0; c < 3; ++c) px[c] += static_cast<float>(v * colour[c]);
  mask.at<uchar>(y, x) = 255;
  touched = true;
}

cv::Rect clippedBox(cv::Point2d a, cv::Point2d b, double reach, cv::Size size) {
  const int x0 = static_cast<int>(std::floor(std::min(a.x, b.x) - reach));
  const int y0 = static_cast<int>(std::floor(std::min(a.y, b.y) - reach));
  const int x1 = static_cast<int>(std::ceil(std::max(a.x, b.x) + reach));
  const int y1 = static_cast<int>(std::ceil(std::max(a.y, b.y) + reach));
  return cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1) & cv::Rect(cv::Point(0, 0), size);
}

// Position of the nearest point of segment ab to p, 0 at a to 1 at b.
double alongSegment(cv::Point2d p, cv::Point2d a, cv::Point2d b) {
  const cv::Point2d ab = b - a;
  const double len2 = ab.dot(ab);
  return len2 > 0.0 ? std::max(0.0, std::min(1.0, (p - a).dot(ab) / len2)) : 0.0;
}

// Streak of the given FWHM along a segment, its peak peakAt(t) at the
// fraction t of the way from a to b (never above maxPeak); the colour's
// largest channel is scaled to 1 so peak means the brightest channel's level.
bool drawLine(cv::Mat& signal, cv::Mat& mask, cv::Point2d a, cv::Point2d b, double width, double maxPeak,
              const std::function<double(double)>& peakAt, cv::Vec3d colour) {
  const double sigma = width / 2.3548200450309493;
  const double reach = sigma * std::sqrt(2.0 * std::log(std::max(maxPeak / kMinTrail, 1.0))) + 1.0;
  colour *= 1.0 / std::max({colour[0], colour[1], colour[2], 1e-9});
  bool touched = false;
  const cv::Rect box = clippedBox(a, b, reach, signal.size());
  for (int y = box.y; y < box.y + box.height; ++y) {
    for (int x = box.x; x < box.x + box.width; ++x) {
      const double d = distanceToSegment(cv::Point2d(x, y), a, b);
      if (d <= reach)
        stamp(signal, mask, x, y, peakAt(alongSegment(cv::Point2d(x, y), a, b)) * crossSection(d, sigma), colour,
              touched);
    }
  }
  return touched;
}

bool drawLine(cv::Mat& signal, cv::Mat& mask, cv::Point2d a, cv::Point2d b, double width, double peak,
              cv::Vec3d colour) {
  return drawLine(signal, mask, a, b, width, peak, [peak](double) { return peak; }, colour);
}

bool drawDot(cv::Mat& signal, cv::Mat& mask, cv::Point2d c, double fwhm, double peak,
             cv::Vec3d colour) {
  const double sigma = fwhm / 2.3548200450309493;
  const double reach = sigma * std::sqrt(2.0 * std::log(std::max(peak / kMinTrail, 1.0))) + 1.0;
  bool touched = false;
  const cv::Rect box = clippedBox(c, c, reach, signal.size());
  for (int y = box.y; y < box.y + box.height; ++y) {
    for (int x = box.x; x < box.x + box.width; ++x) {
      const double v = peak * crossSection(x - c.x, sigma) * crossSection(y - c.y, sigma);
      stamp(signal, mask, x, y, v, colour, touched);
    }
  }
  return touched;
}

void prepareMask(const cv::Mat& signal, cv::Mat& mask) {
  CV_Assert(signal.type() == CV_32FC3);
  if (mask.empty()) mask = cv::Mat::zeros(signal.size(), CV_8UC1);
  CV_Assert(mask.type() == CV_8UC1 && mask.size() == signal.size());
}

}  // namespace

bool addSatellite(cv::Mat& signal, cv::Mat& mask, cv::Point2d from, cv::Point2d to, double width,
                  double peak, cv::Vec3d colour) {
  prepareMask(signal, mask);
  return drawLine(signal, mask, from, to, width, peak, colour);
}

bool addAircraft(cv::Mat& signal, cv::Mat& mask, cv::Point2d from, cv::Point2d to, double spacing,
                 double dotPeak, double trailPeak) {
  prepareMask(signal, mask);
  // Navigation lights leave a faint reddish trail; the strobes fire as bright
  // white double flashes, the beacon as a red dot between them.
  bool touched = drawLine(signal, mask, from, to, 1.6, trailPeak, cv::Vec3d(0.55, 0.7, 1.0));
  const cv::Point2d path = to - from;
  const double length = std::sqrt(path.dot(path));
  if (length <= 0.0 || spacing <= 0.0) return touched;
  const cv::Point2d step = path * (1.0 / length);
  const int flashes = static_cast<int>(length / spacing);
  for (int i = 0; i <= flashes; ++i) {
    const cv::Point2d c = from + step * (i * spacing);
    if (i % 2 == 0) {
      touched |= drawDot(signal, mask, c, 2.4, dotPeak, cv::Vec3d(1.0, 1.0, 1.0));
      touched |= drawDot(signal, mask, c + step * 3.0, 2.4, 0.7 * dotPeak, cv::Vec3d(1.0, 1.0, 1.0));
    } else {
      touched |= drawDot(signal, mask, c, 2.6, 0.6 * dotPeak, cv::Vec3d(0.25, 0.3, 1.0));
    }
  }
  return touched;
}

bool addVaryingSatellite(cv::Mat& signal, cv::Mat& mask, cv::Point2d from, cv::Point2d to, double width,
                         double peak, double variation) {
  prepareMask(signal, mask);
  const double v = std::clamp(variation, 0.0, 1.0);
  const auto peakAt = [=](double t) { return peak * (1.0 - v * t); };
  return drawLine(signal, mask, from, to, width, peak, peakAt, cv::Vec3d(1.0, 1.0, 1.0));
}

bool addMeteor(cv::Mat& signal, cv::Mat& mask, cv::Point2d from, cv::Point2d to, double width, double peak) {
  prepareMask(signal, mask);
  // A meteor brightens as it enters denser air and burns out; a fragmenting
  // body flares near the end. The largest value of this profile is about 1.
  const auto peakAt = [=](double t) {
    const double body = std::pow(std::sin(3.14159265358979 * t), 1.5);
    const double flare = 0.6 * std::exp(-0.5 * std::pow((t - 0.68) / 0.05, 2.0));
    return peak * std::min(1.0, 0.75 * body + flare);
  };
  // Meteors burn blue-green (magnesium) to white.
  return drawLine(signal, mask, from, to, width, peak, peakAt, cv::Vec3d(1.0, 1.0, 0.8));
}

}  // namespace synth
