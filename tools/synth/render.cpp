// Star fields: sky generation, geometry, point-spread rendering in bands.
#include "synth/synth.h"

#include "synth/detail/random.h"
#include "synth/detail/scene_parts.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace synth {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Light below this level (full-scale units, ~0.07 of a 16-bit step) is not drawn.
constexpr double kFaintestDrawn = 1.0e-6;
constexpr int kMaxRadius = 60;

// A star placed in one frame, ready for band rendering.
struct Placed {
  cv::Point2d p;
  double flux;
  cv::Vec3d colour;
  int radius;
  double fwhm;
};

double gaussianSigma(double fwhm) { return fwhm / 2.3548200450309493; }

double moffatAlpha(double fwhm, double beta) {
  return fwhm / (2.0 * std::sqrt(std::pow(2.0, 1.0 / beta) - 1.0));
}

int patchRadius(const FrameSettings& f, double fwhm, double flux) {
  double r = 0.0;
  if (f.psf == Psf::Gaussian) {
    const double s = gaussianSigma(fwhm);
    const double peak = flux / (2.0 * kPi * s * s);
    r = s * std::sqrt(2.0 * std::log(std::max(peak / kFaintestDrawn, 2.718281828)));
  } else {
    const double a = moffatAlpha(fwhm, f.moffatBeta);
    const double peak = flux * (f.moffatBeta - 1.0) / (kPi * a * a);
    r = a * std::pow(std::max(peak / kFaintestDrawn, 1.0), 1.0 / (2.0 * f.moffatBeta));
  }
  return std::min(kMaxRadius, static_cast<int>(std::ceil(r)) + 1);
}

// Share of a unit Gaussian's light falling in [x - 0.5, x + 0.5] around centre c:
// integrating over the pixel rather than sampling its centre keeps the
// centroid exact and avoids aliasing of sharp stars.
double gaussianPixelShare(double x, double c, double sigma) {
  const double k = 1.0 / (sigma * std::sqrt(2.0));
  return 0.5 * (std::erf((x + 0.5 - c) * k) - std::erf((x - 0.5 - c) * k));
}

double moffatDensity(double dx, double dy, double alpha, double beta) {
  const double norm = (beta - 1.0) / (kPi * alpha * alpha);
  return norm * std::pow(1.0 + (dx * dx + dy * dy) / (alpha * alpha), -beta);
}

// Pixel-integrated Moffat: supersampled where the profile curves fast, a
// single centre sample in the smooth wings.
double moffatPixelShare(double dx, double dy, double alpha, double beta) {
  const int n = (dx * dx + dy * dy < 4.0 * alpha * alpha) ? 6 : 1;
  double sum = 0.0;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      sum += moffatDensity(dx + (i + 0.5) / n - 0.5, dy + (j + 0.5) / n - 0.5, alpha, beta);
    }
  }
  return sum / (n * n);
}

void fillBackground(cv::Mat& signal, int y, const FrameSettings& f) {
  const double w = std::max(1, f.size.width - 1), h = std::max(1, f.size.height - 1);
  const double rowLevel = f.skyLevel + f.gradient[1] * (y / h - 0.5);
  cv::Vec3f* row = signal.ptr<cv::Vec3f>(y);
  for (int x = 0; x < signal.cols; ++x) {
    const double v = rowLevel + f.gradient[0] * (x / w - 0.5);
    // Light-polluted skies are warmer than the stars: a faint red-brown tint.
    row[x] = cv::Vec3f(static_cast<float>(v * 0.85), static_cast<float>(v),
                       static_cast<float>(v * 1.12));
  }
}

void addStarRow(cv::Mat& signal, int y, const Placed& s, const FrameSettings& f,
                const std::vector<double>& shareX, const uchar* maskRow) {
  const int x0 = std::max(0, static_cast<int>(std::lround(s.p.x)) - s.radius);
  const int x1 = std::min(signal.cols - 1, static_cast<int>(std::lround(s.p.x)) + s.radius);
  const bool gaussian = f.psf == Psf::Gaussian;
  const double shareY = gaussian ? gaussianPixelShare(y, s.p.y, gaussianSigma(s.fwhm)) : 0.0;
  const double alpha = moffatAlpha(s.fwhm, f.moffatBeta);
  cv::Vec3f* row = signal.ptr<cv::Vec3f>(y);
  for (int x = x0; x <= x1; ++x) {
    if (maskRow && maskRow[x] == 0) continue;
    const double share = gaussian ? shareX[x - x0] * shareY
                                  : moffatPixelShare(x - s.p.x, y - s.p.y, alpha, f.moffatBeta);
    const double v = s.flux * share;
    for (int c = 0; c < 3; ++c) row[x][c] += static_cast<float>(v * s.colour[c]);
  }
}

void renderBand(cv::Mat& signal, const cv::Range& rows, const std::vector<Placed>& placed,
                const FrameSettings& f, const cv::Mat& skyMask) {
  std::vector<double> shareX;
  for (int y = rows.start; y < rows.end; ++y) fillBackground(signal, y, f);
  for (const Placed& s : placed) {
    const int cy = static_cast<int>(std::lround(s.p.y));
    const int y0 = std::max(rows.start, cy - s.radius), y1 = std::min(rows.end - 1, cy + s.radius);
    if (y0 > y1) continue;
    const int x0 = std::max(0, static_cast<int>(std::lround(s.p.x)) - s.radius);
    const int x1 = std::min(signal.cols - 1, static_cast<int>(std::lround(s.p.x)) + s.radius);
    if (x0 > x1) continue;
    shareX.resize(x1 - x0 + 1);
    if (f.psf == Psf::Gaussian) {
      const double sigma = gaussianSigma(s.fwhm);
      for (int x = x0; x <= x1; ++x) shareX[x - x0] = gaussianPixelShare(x, s.p.x, sigma);
    }
    for (int y = y0; y <= y1; ++y) {
      addStarRow(signal, y, s, f, shareX, skyMask.empty() ? nullptr : skyMask.ptr<uchar>(y));
    }
  }
}

cv::Point2d turned(const cv::Point2d& p, const cv::Point2d& pole, double radians) {
  const double c = std::cos(radians), s = std::sin(radians);
  const cv::Point2d d = p - pole;
  return pole + cv::Point2d(c * d.x - s * d.y, s * d.x + c * d.y);
}

// A star's light spread along the arc the sky traces while the shutter is
// open: samples no more than 0.4 px apart, so the trail is continuous.
void placeArc(const Placed& star, const FrameSettings& f, std::vector<Placed>& placed) {
  const double sweep = f.arcDegrees * kPi / 180.0;
  const cv::Point2d d = star.p - f.arcPole;
  const double length = std::sqrt(d.dot(d)) * std::abs(sweep);
  const int n = std::max(1, static_cast<int>(std::ceil(length / 0.4)));
  for (int k = 0; k < n; ++k) {
    Placed sample = star;
    sample.p = turned(star.p, f.arcPole, sweep * ((k + 0.5) / n - 0.5));
    sample.flux = star.flux / n;
    placed.push_back(sample);
  }
}

std::vector<Placed> placeStars(const std::vector<Star>& stars, const cv::Matx33d& h,
                               const FrameSettings& f) {
  std::vector<Placed> placed;
  placed.reserve(stars.size());
  for (const Star& s : stars) {
    const cv::Point2d p = referenceToFrame(s.position, h, f.distortion, f.size);
    const double fwhm = s.fwhm > 0.0 ? s.fwhm : f.fwhm;
    const int r = patchRadius(f, fwhm, s.flux * std::max({s.colour[0], s.colour[1], s.colour[2]}));
    if (p.x < -r || p.y < -r || p.x > f.size.width + r || p.y > f.size.height + r) continue;
    if (f.arcDegrees != 0.0) placeArc({p, s.flux, s.colour, r, fwhm}, f, placed);
    else placed.push_back({p, s.flux, s.colour, r, fwhm});
  }
  return placed;
}

}  // namespace

cv::Point2d applyHomography(const cv::Matx33d& h, const cv::Point2d& p) {
  const cv::Vec3d q = h * cv::Vec3d(p.x, p.y, 1.0);
  return {q[0] / q[2], q[1] / q[2]};
}

cv::Point2d referenceToFrame(const cv::Point2d& reference, const cv::Matx33d& frameToReference,
                             const Distortion& distortion, cv::Size frameSize) {
  const cv::Point2d u = applyHomography(frameToReference.inv(), reference);
  if (distortion.k1 == 0.0) return u;
  const cv::Point2d c((frameSize.width - 1) * 0.5, (frameSize.height - 1) * 0.5);
  const double r2max = 0.25 * (double(frameSize.width) * frameSize.width +
                               double(frameSize.height) * frameSize.height);
  const cv::Point2d d = u - c;
  return c + d * (1.0 + distortion.k1 * (d.x * d.x + d.y * d.y) / r2max);
}

cv::Matx33d makeHomography(cv::Point2d centre, double degrees, double scale, cv::Vec2d shift) {
  const double a = degrees * kPi / 180.0;
  const double c = std::cos(a) * scale, s = std::sin(a) * scale;
  // q = S R (p - centre) + centre + shift
  return cv::Matx33d(c, -s, centre.x - c * centre.x + s * centre.y + shift[0],
                     s, c, centre.y - s * centre.x - c * centre.y + shift[1],
                     0.0, 0.0, 1.0);
}

std::vector<Star> makeSky(const SkySettings& sky, const cv::Rect2d& region, std::uint64_t seed) {
  detail::Rng rng(detail::mixSeed(seed, 0x5ca1ab1e));
  const int count = sky.starCount > 0 ? sky.starCount
                                      : static_cast<int>(std::lround(sky.density * region.area()));
  std::vector<Star> stars;
  stars.reserve(count);
  for (int i = 0; i < count; ++i) {
    Star s;
    s.position = {region.x + rng.uniform() * region.width, region.y + rng.uniform() * region.height};
    // Inverse of N(> F) ~ F^-k, truncated at the brightest flux.
    const double u = 1.0 - rng.uniform();
    s.flux = std::min(sky.brightestFlux, sky.faintestFlux * std::pow(u, -1.0 / sky.powerLaw));
    // Cool stars are redder, hot ones bluer; green stays 1 so the flux reads in green.
    const double tilt = std::max(-0.4, std::min(0.4, rng.normal() * sky.colourSpread));
    s.colour = cv::Vec3d(1.0 - tilt, 1.0, 1.0 + tilt);
    stars.push_back(s);
  }
  // Drawn after the stars, so a sky without planets is the same sky.
  for (int i = 0; i < sky.planets; ++i) {
    Star p;
    p.position = {region.x + rng.uniform(0.2, 0.8) * region.width, region.y + rng.uniform(0.2, 0.8) * region.height};
    p.flux = sky.planetFlux;
    p.fwhm = sky.planetFwhm;
    p.colour = cv::Vec3d(0.8, 1.0, 1.15);
    stars.push_back(p);
  }
  return stars;
}

cv::Rect2d skyRegion(const std::vector<cv::Matx33d>& frameToReference, cv::Size size, double margin) {
  double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
  const cv::Point2d corners[4] = {{-0.5, -0.5}, {size.width - 0.5, -0.5},
                                  {-0.5, size.height - 0.5}, {size.width - 0.5, size.height - 0.5}};
  for (const cv::Matx33d& h : frameToReference) {
    for (const cv::Point2d& c : corners) {
      const cv::Point2d q = applyHomography(h, c);
      x0 = std::min(x0, q.x), y0 = std::min(y0, q.y), x1 = std::max(x1, q.x), y1 = std::max(y1, q.y);
    }
  }
  return cv::Rect2d(x0 - margin, y0 - margin, x1 - x0 + 2 * margin, y1 - y0 + 2 * margin);
}

SkySettings sparseSky() {
  SkySettings sky;
  sky.density = 2.0e-4;
  sky.faintestFlux = 0.25;
  sky.brightestFlux = 120.0;
  sky.powerLaw = 0.7;
  sky.planets = 1;
  return sky;
}

cv::Mat renderSignal(const std::vector<Star>& stars, const cv::Matx33d& frameToReference,
                     const FrameSettings& frame, const cv::Mat& skyMask) {
  CV_Assert(frame.size.width > 0 && frame.size.height > 0 && frame.fwhm > 0.0);
  CV_Assert(skyMask.empty() || (skyMask.type() == CV_8UC1 && skyMask.size() == frame.size));
  cv::Mat signal(frame.size, CV_32FC3);
  const std::vector<Placed> placed = placeStars(stars, frameToReference, frame);
  cv::parallel_for_(cv::Range(0, frame.size.height), [&](const cv::Range& rows) {
    renderBand(signal, rows, placed, frame, skyMask);
  }, std::max(1.0, frame.size.height / 64.0));
  return signal;
}

void detail::checkSceneShape(cv::Size size, int frames, int bits) {
  if (size.width < 16 || size.height < 16) throw std::invalid_argument("frame size too small (16x16 at least)");
  if (frames < 1) throw std::invalid_argument("at least one frame is needed");
  if (bits != 8 && bits != 16) throw std::invalid_argument("depth must be 8 or 16");
}

FrameTruth detail::frameTruth(const std::vector<Star>& stars, const cv::Matx33d& frameToReference,
                              const FrameSettings& frame, const cv::Mat& image, const cv::Mat& skyMask) {
  FrameTruth truth;
  truth.frameToReference = frameToReference;
  truth.fwhm = frame.fwhm;
  truth.distortion = frame.distortion;
  const double top = frame.bits == 8 ? 255.0 : 65535.0;
  for (const Star& s : stars) {
    const cv::Point2d p = referenceToFrame(s.position, frameToReference, frame.distortion, frame.size);
    const int x = static_cast<int>(std::lround(p.x)), y = static_cast<int>(std::lround(p.y));
    if (x < 0 || y < 0 || x >= frame.size.width || y >= frame.size.height) continue;
    if (!skyMask.empty() && skyMask.at<uchar>(y, x) == 0) continue;
    FrameStar fs{p, s.position, s.flux, s.colour, s.fwhm > 0.0 ? s.fwhm : frame.fwhm, false};
    double lo = 0.0, hi = 0.0;
    cv::minMaxLoc(image(cv::Rect(x, y, 1, 1)).reshape(1), &lo, &hi);
    fs.saturated = hi >= top;
    truth.stars.push_back(fs);
  }
  return truth;
}

cv::Mat renderFrame(const std::vector<Star>& stars, const cv::Matx33d& frameToReference,
                    const FrameSettings& frame, std::uint64_t seed, FrameTruth* truth) {
  const cv::Mat image = quantize(renderSignal(stars, frameToReference, frame), frame, seed);
  if (truth) *truth = detail::frameTruth(stars, frameToReference, frame, image, cv::Mat());
  return image;
}

}  // namespace synth
