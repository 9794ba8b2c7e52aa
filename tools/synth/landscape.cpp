// The fixed foreground of the trail and sky-blend scenes, and the footprint
// of a scene's frames on the sky.
#include "synth/detail/scene_parts.h"

#include "synth/detail/random.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace synth {
namespace detail {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Smooth random texture in about [-1, 1]: a grid of `coarsest` random cells across the
// width blown up with cubic interpolation, summed over octaves (finer ones weaker).
cv::Mat valueNoise(cv::Size size, int coarsest, int octaves, Rng& rng) {
  cv::Mat sum = cv::Mat::zeros(size, CV_32F);
  double amplitude = 1.0, total = 0.0;
  for (int o = 0, cells = coarsest; o < octaves; ++o, cells *= 2, amplitude *= 0.55) {
    const int gw = cells + 1;
    const int gh = std::max(2, cells * size.height / std::max(1, size.width) + 1);
    cv::Mat grid(gh, gw, CV_32F);
    for (int i = 0; i < grid.rows * grid.cols; ++i) grid.at<float>(i) = float(rng.uniform(-1.0, 1.0));
    cv::Mat up;
    cv::resize(grid, up, size, 0, 0, cv::INTER_CUBIC);
    sum += up * amplitude;
    total += amplitude;
  }
  return sum / total;
}

void addBuilding(cv::Mat& ground, double level, Rng& rng) {
  const int w = std::max(6, static_cast<int>(ground.cols * rng.uniform(0.03, 0.07)));
  const int h = std::max(5, static_cast<int>(w * rng.uniform(0.5, 0.9)));
  const int x = rng.below(std::max(1, ground.cols - w));
  const int y = ground.rows - h - rng.below(std::max(1, ground.rows / 8));
  const cv::Rect wall = cv::Rect(x, y, w, h) & cv::Rect(0, 0, ground.cols, ground.rows);
  ground(wall).setTo(cv::Scalar(level * 1.6, level * 1.7, level * 1.9));
  // Lit windows: warm, sharp-edged, a hard test of any edge-aware blend.
  const int win = std::max(2, w / 8);
  for (int wx = wall.x + win; wx + win < wall.x + wall.width; wx += 2 * win) {
    if (rng.uniform() < 0.4) continue;
    const cv::Rect r = cv::Rect(wx, wall.y + wall.height / 3, win, win) & wall;
    ground(r).setTo(cv::Scalar(0.25, 0.45, 0.7));
  }
}

void addLight(cv::Mat& ground, Rng& rng) {
  // Drawn one by one (y first), since the order a compiler evaluates arguments in is its own: every build renders one scene.
  const double y = ground.rows * rng.uniform(0.82, 0.97);
  const cv::Point2d c(rng.uniform(0.05, 0.95) * ground.cols, y);
  const double sigma = rng.uniform(0.8, 1.6), peak = rng.uniform(0.6, 2.0);
  const int r = static_cast<int>(std::ceil(5.0 * sigma));
  for (int y = std::max(0, int(c.y) - r); y <= std::min(ground.rows - 1, int(c.y) + r); ++y) {
    cv::Vec3f* row = ground.ptr<cv::Vec3f>(y);
    for (int x = std::max(0, int(c.x) - r); x <= std::min(ground.cols - 1, int(c.x) + r); ++x) {
      const double d2 = (x - c.x) * (x - c.x) + (y - c.y) * (y - c.y);
      const double v = peak * std::exp(-0.5 * d2 / (sigma * sigma));
      row[x] += cv::Vec3f(float(0.45 * v), float(0.75 * v), float(v));  // sodium-warm
    }
  }
}

}  // namespace

std::vector<double> horizonProfile(cv::Size size, double groundFraction, std::uint64_t seed) {
  Rng rng(mixSeed(seed, 0x40c));
  const double base = size.height * (1.0 - groundFraction);
  double phase[3], freq[3];
  for (int k = 0; k < 3; ++k) phase[k] = rng.uniform(0.0, kTwoPi), freq[k] = (k + 1) * rng.uniform(0.7, 1.4);
  std::vector<double> horizon(size.width);
  double trees = 0.0;
  for (int x = 0; x < size.width; ++x) {
    const double t = double(x) / std::max(1, size.width);
    double hills = 0.0;
    for (int k = 0; k < 3; ++k) hills += std::sin(kTwoPi * freq[k] * t + phase[k]) / (k + 1);
    // A tree line: a bounded random walk a few pixels high.
    trees = 0.85 * trees + rng.uniform(-1.0, 1.0) * 0.01 * size.height;
    horizon[x] = std::max(1.0, base - 0.05 * size.height * hills - std::abs(trees));
  }
  return horizon;
}

cv::Mat skyMaskFromHorizon(const std::vector<double>& horizon, cv::Size size) {
  cv::Mat mask(size, CV_8UC1);
  for (int y = 0; y < size.height; ++y) {
    uchar* row = mask.ptr<uchar>(y);
    for (int x = 0; x < size.width; ++x) row[x] = y < horizon[x] ? 255 : 0;
  }
  return mask;
}

cv::Mat groundSignal(cv::Size size, double level, int buildings, int lights, std::uint64_t seed) {
  Rng rng(mixSeed(seed, 0x9e0));
  const cv::Mat rock = valueNoise(size, 12, 5, rng);
  const cv::Mat grass = valueNoise(size, 90, 2, rng);
  cv::Mat ground(size, CV_32FC3);
  for (int y = 0; y < size.height; ++y) {
    const float* r = rock.ptr<float>(y);
    const float* g = grass.ptr<float>(y);
    cv::Vec3f* out = ground.ptr<cv::Vec3f>(y);
    for (int x = 0; x < size.width; ++x) {
      const double v = level * std::max(0.05, 1.0 + 0.6 * r[x] + 0.25 * g[x]);
      out[x] = cv::Vec3f(float(0.8 * v), float(v), float(0.9 * v));  // green-brown earth
    }
  }
  for (int i = 0; i < buildings; ++i) addBuilding(ground, level, rng);
  for (int i = 0; i < lights; ++i) addLight(ground, rng);
  return ground;
}

void composeGround(cv::Mat& signal, const cv::Mat& ground, const cv::Mat& skyMask) {
  ground.copyTo(signal, 255 - skyMask);
}

void addOnSky(cv::Mat& signal, cv::Mat& layer, cv::Mat& mask, const cv::Mat& skyMask) {
  layer.setTo(cv::Scalar::all(0), 255 - skyMask);
  mask &= skyMask;
  signal += layer;
}

}  // namespace detail
}  // namespace synth
