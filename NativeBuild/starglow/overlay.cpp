#include "starglow/starglow.h"

#include "starglow/detail/star_norms.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

using starglow_detail::ratioPower;

ushort toU16(double fraction) { return static_cast<ushort>(std::lround(fraction * 65535.0)); }

// Brighter stars get larger, yellower and more opaque markers so the user can
// judge the classes at a glance.
void drawMarker(cv::Mat& overlay, const NL_StarCandidate& s, double t) {
  const double raw = std::sqrt(t) * 52.0 + 6.0 + 1.65 * s.radius;
  const int radius = raw < 4.0 ? 4 : static_cast<int>(std::lround(std::min(raw, 110.0)));
  const cv::Scalar colour(toU16(std::min(0.02 + 0.1 * (1.0 - t), 0.25)), toU16(std::min(0.12 + 0.5 * t, 0.85)), 65535,
                          toU16(std::min(0.34 + 0.58 * t, 0.95)));
  const cv::Point c(static_cast<int>(s.x), static_cast<int>(s.y));
  cv::circle(overlay, c, radius, colour, s.starClass == 2 ? 3 : 2, cv::LINE_AA);
  const int right = overlay.cols - 1, bottom = overlay.rows - 1;
  cv::line(overlay, cv::Point(std::max(0, c.x - 4), c.y), cv::Point(std::min(right, c.x + 4), c.y), colour, 1,
           cv::LINE_AA);
  cv::line(overlay, cv::Point(c.x, std::max(0, c.y - 4)), cv::Point(c.x, std::min(bottom, c.y + 4)), colour, 1,
           cv::LINE_AA);
}

}  // namespace

cv::Mat NL_drawStarGlowDebugOverlay(cv::Size size, const std::vector<NL_StarCandidate>& stars) {
  cv::Mat overlay(size, CV_16UC4, cv::Scalar::all(0));
  const starglow_detail::StarNormalisers n = starglow_detail::starNormalisers(stars);
  for (const NL_StarCandidate& s : stars) {
    if (!std::isfinite(s.x) || !std::isfinite(s.y)) continue;
    const int cx = static_cast<int>(s.x), cy = static_cast<int>(s.y);
    if (cx < 0 || cy < 0 || cx >= size.width || cy >= size.height) continue;
    const double t = std::clamp(0.58 * ratioPower(s.score, n.score, 0.55) + 0.27 * ratioPower(s.peak, n.peak, 0.7) +
                                    0.15 * std::clamp(s.radius / n.radius, 0.0, 1.0),
                                0.0, 1.0);
    drawMarker(overlay, s, t);
  }
  return overlay;
}
