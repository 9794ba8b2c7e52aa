// Frames spoiled by stray light or dew, found by how far they stand from
// their own night rather than by any fixed level: exposure, sky glow and
// sensor differ from night to night, and slow change within one is normal.
#include "startrail/startrail.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// The frame is measured at half size: a star still spans pixels, and a
// quarter of the pixels is read.
constexpr int kBlock = 16;       // px at half size: larger than a star, small against a cloud or a gradient
constexpr int kBaselineOthers = 8;

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + long(mid), v.end());
  return v[mid];
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  const size_t at = std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5));
  std::nth_element(v.begin(), v.begin() + long(at), v.end());
  return v[at];
}

struct Blocks {
  std::vector<double> skyLevels, groundLevels, skyNoise;
  cv::Mat level;  // per block, the median; NaN where not all sky
};

// Each block's median, and for sky blocks the noise read from its lower
// quartile (stars only ever lift the upper half).
Blocks blockLevels(const cv::Mat& plane, const cv::Mat& skyMask) {
  Blocks b;
  const int bx = std::max(plane.cols / kBlock, 1), by = std::max(plane.rows / kBlock, 1);
  b.level = cv::Mat(by, bx, CV_64F, cv::Scalar(std::nan("")));
  std::vector<float> values;
  for (int j = 0; j < by; ++j)
    for (int i = 0; i < bx; ++i) {
      const cv::Rect r(i * kBlock, j * kBlock, std::min(kBlock, plane.cols), std::min(kBlock, plane.rows));
      const double sky = skyMask.empty() ? 255.0 : cv::mean(skyMask(r))[0];
      if (sky > 0.0 && sky < 255.0) continue;  // the horizon: neither
      values.clear();
      for (int y = r.y; y < r.y + r.height; ++y) {
        const float* row = plane.ptr<float>(y) + r.x;
        values.insert(values.end(), row, row + r.width);
      }
      const size_t mid = values.size() / 2, low = values.size() / 4;
      std::nth_element(values.begin(), values.begin() + long(mid), values.end());
      const double m = values[mid];
      if (sky == 0.0) {
        b.groundLevels.push_back(m);
        continue;
      }
      std::nth_element(values.begin(), values.begin() + long(low), values.begin() + long(mid));
      b.skyLevels.push_back(m);
      b.skyNoise.push_back((m - values[low]) / 0.6745);
      b.level.at<double>(j, i) = m;
    }
  return b;
}

// Local maxima standing 8 noise above their block's sky, and for each how
// many pixels about it are above half its height: a star's size.
void findStars(const cv::Mat& plane, const cv::Mat& skyMask, const Blocks& b, double noise,
               NLStarTrailFrameMeasures& m) {
  cv::Mat peaks;
  cv::dilate(plane, peaks, cv::getStructuringElement(cv::MORPH_RECT, {3, 3}));
  std::vector<double> sizes;
  const double lift = 8.0 * std::max(noise, 0.5);
  for (int y = 3; y < plane.rows - 3; ++y) {
    const float* row = plane.ptr<float>(y);
    const float* top = peaks.ptr<float>(y);
    const int by = std::min(y / kBlock, b.level.rows - 1);
    for (int x = 3; x < plane.cols - 3; ++x) {
      if (row[x] != top[x] || (!skyMask.empty() && skyMask.at<uchar>(y, x) < 255)) continue;
      const double sky = b.level.at<double>(by, std::min(x / kBlock, b.level.cols - 1));
      if (!(row[x] > sky + lift)) continue;  // NaN (not a sky block) fails too
      const double half = sky + 0.5 * (row[x] - sky);
      int n = 0;
      for (int v = -3; v <= 3; ++v)
        for (int u = -3; u <= 3; ++u) n += plane.at<float>(y + v, x + u) > half;
      sizes.push_back(n);
    }
  }
  m.stars = double(sizes.size());
  m.starSize = median(sizes);
}

}  // namespace

NLStarTrailFrameMeasures NL_starTrailMeasureFrame(const cv::Mat& luminance, double fullScale, const cv::Mat& skyMask) {
  NLStarTrailFrameMeasures m;
  if (luminance.empty() || fullScale <= 0.0) return m;
  cv::Mat half, halfMask;
  cv::resize(luminance, half, cv::Size(std::max(luminance.cols / 2, 1), std::max(luminance.rows / 2, 1)), 0, 0,
             cv::INTER_AREA);
  if (!skyMask.empty()) cv::resize(skyMask, halfMask, half.size(), 0, 0, cv::INTER_AREA);
  const Blocks b = blockLevels(half, halfMask);
  if (b.skyLevels.empty()) return m;
  m.measured = true;
  m.step = 1.0 / fullScale;
  m.background = median(b.skyLevels) / fullScale;
  m.unevenness = (percentile(b.skyLevels, 0.9) - percentile(b.skyLevels, 0.1)) / fullScale;
  if (!b.groundLevels.empty()) m.ground = median(b.groundLevels) / fullScale;
  findStars(half, halfMask, b, median(b.skyNoise), m);
  return m;
}

namespace {

double measureOf(const NLStarTrailFrameMeasures& m, NLStarTrailFrameMeasure which) {
  switch (which) {
    case NLStarTrailFrameMeasure::background: return m.background;
    case NLStarTrailFrameMeasure::unevenness: return m.unevenness;
    case NLStarTrailFrameMeasure::stars: return m.stars;
    case NLStarTrailFrameMeasure::starSize: return m.starSize;
    case NLStarTrailFrameMeasure::ground: return m.ground;
  }
  return 0.0;
}

// How a measure must move to count: its direction, the least ratio to the
// baseline, and whether it is a level (whose scatter is at least one sensor unit).
struct Rule {
  NLStarTrailFrameMeasure measure;
  bool up;
  double ratio;
  bool level;
  bool sky;
};
const Rule kRules[] = {
    {NLStarTrailFrameMeasure::background, true, 1.3, true, true},
    {NLStarTrailFrameMeasure::unevenness, true, 2.0, true, true},
    {NLStarTrailFrameMeasure::stars, false, 0.6, false, true},
    {NLStarTrailFrameMeasure::starSize, true, 1.6, false, true},
    {NLStarTrailFrameMeasure::ground, true, 1.5, true, false},
};
constexpr double kJump = 5.0;  // robust standard deviations

// The frames the baseline of frame i is read from: a window of up to
// kBaselineOthers others about it, held inside the sequence at its ends.
std::vector<int> baselineFrames(int i, int n) {
  const int span = std::min(n, kBaselineOthers + 1);
  const int start = std::clamp(i - span / 2, 0, n - span);
  std::vector<int> out;
  for (int k = start; k < start + span; ++k)
    if (k != i) out.push_back(k);
  return out;
}

// How many robust standard deviations frame i's measure stands beyond its
// baseline in the rule's direction; 0 unless it also passes the ratio.
double jump(const std::vector<NLStarTrailFrameMeasures>& ms, int i, const Rule& r, double& baseline) {
  std::vector<double> v;
  for (int k : baselineFrames(i, int(ms.size())))
    if (ms[size_t(k)].measured && measureOf(ms[size_t(k)], r.measure) >= 0.0) v.push_back(measureOf(ms[size_t(k)], r.measure));
  const double x = measureOf(ms[size_t(i)], r.measure);
  if (v.size() < 2 || x < 0.0) return 0.0;
  baseline = median(v);
  for (double& d : v) d = std::abs(d - baseline);
  const double floor = std::max(0.03 * std::abs(baseline), r.level ? ms[size_t(i)].step : 1.0);
  const double sigma = std::max(1.4826 * median(v), floor);
  const double z = (r.up ? x - baseline : baseline - x) / sigma;
  const bool farEnough = r.up ? x > r.ratio * baseline : x < r.ratio * baseline;
  return farEnough && z >= kJump ? z : 0.0;
}

// Wider stars alone may be a satellite's or an aircraft's peaks (the
// rejection's business); a dewed lens also loses the faint stars.
bool fewerStars(const std::vector<NLStarTrailFrameMeasures>& ms, int i) {
  std::vector<double> v;
  for (int k : baselineFrames(i, int(ms.size())))
    if (ms[size_t(k)].measured) v.push_back(ms[size_t(k)].stars);
  return !v.empty() && ms[size_t(i)].stars < 0.8 * median(v);
}

bool judgeFrame(const std::vector<NLStarTrailFrameMeasures>& ms, int i, NLStarTrailBadFrame& out) {
  double worstSky = 0.0, worstGround = 0.0;
  for (const Rule& r : kRules) {
    double baseline = 0.0;
    double z = jump(ms, i, r, baseline);
    if (r.measure == NLStarTrailFrameMeasure::starSize && !fewerStars(ms, i)) z = 0.0;
    double& worst = r.sky ? worstSky : worstGround;
    if (z <= worst) continue;
    worst = z;
    // The sky's reason is named before the ground's: it costs the trail.
    if (r.sky || worstSky == 0.0) {
      out.measure = r.measure;
      out.value = measureOf(ms[size_t(i)], r.measure);
      out.baseline = baseline;
    }
  }
  out.frame = i;
  out.sky = worstSky > 0.0;
  out.ground = worstGround > 0.0;
  return out.sky || out.ground;
}

}  // namespace

NLStarTrailBadFrameVerdict NL_starTrailJudgeFrames(const std::vector<NLStarTrailFrameMeasures>& measures,
                                                   bool withMask) {
  NLStarTrailBadFrameVerdict v;
  v.wholeFrame = !withMask;
  const int n = int(measures.size());
  int skyBad = 0;
  for (int i = 0; i < n; ++i) {
    NLStarTrailBadFrame bad;
    if (!measures[size_t(i)].measured || !judgeFrame(measures, i, bad)) continue;
    v.found.push_back(bad);
    skyBad += bad.sky;
  }
  v.tooMany = 2 * int(v.found.size()) > n;
  v.tooFewLeft = !v.tooMany && n - skyBad < 2;
  return v;
}
