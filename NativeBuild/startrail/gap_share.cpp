// How much of each frame interval the shutter was closed: from the capture
// times where the frames carry them, else from the trails themselves.
#include "startrail/detail/gap_fill.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace startrail_detail {

namespace {

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Bright enough that the arc's ends stand well clear of the noise, yet
// unclipped: a saturated star's flat top hides its length.
constexpr double kBrightNoise = 40.0;
constexpr double kUnclipped = 0.85;  // of full scale
constexpr double kMinStep = 2.0;     // px per interval: less and an arc is no longer than the star
constexpr int kMaxStars = 300;
constexpr int kMinStars = 5;

struct Peak {
  cv::Point at;
  double lift = 0.0;
};

std::vector<Peak> brightPeaks(const cv::Mat& plane, const SkyLevels& sky, double fullScale, const cv::Mat& skyMask) {
  cv::Mat tops;
  cv::dilate(plane, tops, cv::getStructuringElement(cv::MORPH_RECT, {3, 3}));
  std::vector<Peak> peaks;
  for (int y = 1; y < plane.rows - 1; ++y) {
    const float* row = plane.ptr<float>(y);
    const float* top = tops.ptr<float>(y);
    for (int x = 1; x < plane.cols - 1; ++x) {
      if (row[x] != top[x] || row[x] >= kUnclipped * fullScale) continue;
      if (!skyMask.empty() && !skyMask.ptr<uchar>(y)[x]) continue;
      const double lift = row[x] - sky.at(x, y);
      if (lift > kBrightNoise * sky.noise()) peaks.push_back({{x, y}, lift});
    }
  }
  const size_t keep = std::min(peaks.size(), size_t(kMaxStars));
  std::partial_sort(peaks.begin(), peaks.begin() + long(keep), peaks.end(),
                    [](const Peak& a, const Peak& b) { return a.lift > b.lift; });
  peaks.resize(keep);
  return peaks;
}

struct Blob {
  double weight = 0.0;
  cv::Point2d centre;
  cv::Matx22d spread;  // intensity-weighted covariance, px^2
};

// The star about a peak: the pixels above the sky's noise joined to it,
// within a window it must not fill. False for a star that is crowded,
// clipped or cut by the window.
bool measureBlob(const cv::Mat& plane, const SkyLevels& sky, double fullScale, cv::Point peak, int reach,
                 Blob& blob) {
  const cv::Rect window(peak.x - reach, peak.y - reach, 2 * reach + 1, 2 * reach + 1);
  if ((window & cv::Rect(0, 0, plane.cols, plane.rows)) != window) return false;
  const double floor = 3.0 * sky.noise();
  cv::Mat seen = cv::Mat::zeros(window.size(), CV_8U);
  std::vector<cv::Point> todo{peak}, pixels;
  seen.at<uchar>(peak - window.tl()) = 1;
  while (!todo.empty()) {
    const cv::Point p = todo.back();
    todo.pop_back();
    pixels.push_back(p);
    if (plane.at<float>(p) >= kUnclipped * fullScale) return false;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const cv::Point q(p.x + dx, p.y + dy);
        if (!window.contains(q) || seen.at<uchar>(q - window.tl())) continue;
        seen.at<uchar>(q - window.tl()) = 1;
        if (plane.at<float>(q) - sky.at(q.x, q.y) <= floor) continue;
        if (q.x == window.x || q.y == window.y || q.x == window.br().x - 1 || q.y == window.br().y - 1) return false;
        todo.push_back(q);
      }
  }
  double sw = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  for (const cv::Point& p : pixels) {
    const double w = plane.at<float>(p) - sky.at(p.x, p.y);
    sw += w, sx += w * p.x, sy += w * p.y;
    sxx += w * p.x * p.x, syy += w * p.y * p.y, sxy += w * p.x * p.y;
  }
  if (sw <= 0.0) return false;
  blob.weight = sw;
  blob.centre = {sx / sw, sy / sw};
  const double cxy = sxy / sw - blob.centre.x * blob.centre.y;
  blob.spread = cv::Matx22d(sxx / sw - blob.centre.x * blob.centre.x, cxy, cxy, syy / sw - blob.centre.y * blob.centre.y);
  return true;
}

}  // namespace

double gapShareFromTrails(const cv::Mat& plane, const SkyMotion& motion, double fullScale, const cv::Mat& skyMask) {
  if (!motion.valid() || plane.empty()) return -1.0;
  const SkyLevels sky(plane, skyMask);
  std::vector<double> open;
  for (const Peak& peak : brightPeaks(plane, sky, fullScale, skyMask)) {
    const cv::Point2d c(peak.at.x, peak.at.y), step = motion.at(c, 1.0) - c;
    const double d = std::hypot(step.x, step.y);
    if (d < kMinStep) continue;
    Blob blob;
    // the peak may sit anywhere along the arc, which is at most one interval's motion long
    if (!measureBlob(plane, sky, fullScale, peak.at, int(std::ceil(d)) + 8, blob)) continue;
    // A segment of length L blurred by the star's image spreads L^2 / 12
    // more along the motion than across it.
    const cv::Vec2d along(step.x / d, step.y / d), across(-along[1], along[0]);
    const double va = (along.t() * blob.spread * along)(0), vc = (across.t() * blob.spread * across)(0);
    open.push_back(std::sqrt(12.0 * std::max(va - vc, 0.0)) / d);
  }
  if (int(open.size()) < kMinStars) return -1.0;
  return std::clamp(1.0 - median(open), 0.0, 0.9);
}

double gapShareFromCaptures(const std::vector<NLCaptureInfo>& captures) {
  std::vector<double> intervals, exposures;
  for (size_t k = 0; k < captures.size(); ++k) {
    if (captures[k].hasExposure && captures[k].exposureSeconds > 0.0) exposures.push_back(captures[k].exposureSeconds);
    if (k + 1 < captures.size() && captures[k].hasTime && captures[k + 1].hasTime) {
      const double d = captures[k + 1].timeSeconds - captures[k].timeSeconds;
      if (d > 0.0) intervals.push_back(d);
    }
  }
  if (intervals.empty() || exposures.empty()) return -1.0;
  // Medians: a frame left out of the sequence doubles one interval, a card
  // that stalled once lengthens another.
  const double exposure = median(exposures), interval = median(intervals);
  return std::clamp(1.0 - exposure / interval, 0.0, 0.9);
}

}  // namespace startrail_detail
