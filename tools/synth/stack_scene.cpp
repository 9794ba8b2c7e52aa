// Deep-sky stacking scene: one fixed sky seen through a known homography per
// frame, with changing seeing, noise, hot pixels and a satellite streak.
#include "synth/synth.h"

#include "synth/detail/random.h"
#include "synth/detail/scene_parts.h"

#include <algorithm>
#include <stdexcept>

namespace synth {
namespace {

// Frame 0 is the reference: identity. The others wander like an unguided
// mount: a shift of tens of pixels, a fraction of a degree of field rotation,
// and a focus-breathing scale change of a few parts per thousand.
std::vector<cv::Matx33d> frameMatrices(const StackSettings& s, detail::Rng& rng) {
  const cv::Point2d centre((s.size.width - 1) * 0.5, (s.size.height - 1) * 0.5);
  std::vector<cv::Matx33d> h(s.frames, cv::Matx33d::eye());
  for (int i = 1; i < s.frames; ++i) {
    // Drawn one by one (y first), since the order a compiler evaluates arguments in is its own: every build renders one scene.
    const double shiftY = rng.uniform(-s.maxShift, s.maxShift);
    const cv::Vec2d shift(rng.uniform(-s.maxShift, s.maxShift), shiftY);
    const double degrees = rng.uniform(-s.maxRotationDeg, s.maxRotationDeg);
    const double scale = 1.0 + rng.uniform(-s.maxScale, s.maxScale);
    h[i] = makeHomography(centre, degrees, scale, shift);
  }
  return h;
}

FrameSettings frameSettings(const StackSettings& s, int i, detail::Rng& rng) {
  FrameSettings f;
  f.size = s.size;
  f.bits = s.bits;
  f.psf = s.psf;
  f.noise = s.noise;
  f.hotPixels = s.hotPixels;
  f.sensorSeed = detail::mixSeed(s.seed, 0x5e5);
  const int poor = s.poorSeeingFrame == -1 ? (s.frames >= 4 ? s.frames - 1 : -2) : s.poorSeeingFrame;
  // The reference gets good seeing, as a photographer would pick it.
  const double t = i == 0 ? 0.25 : rng.uniform();
  f.fwhm = i == poor ? s.poorSeeingFwhm : s.fwhmMin + t * (s.fwhmMax - s.fwhmMin);
  // Light pollution brightens the sky and steepens its gradient alike.
  const double pollution = s.skyLevel / 0.03;
  f.skyLevel = s.skyLevel * (1.0 + rng.uniform(-0.08, 0.08));
  const double gradientY = 0.010 + rng.uniform(-0.003, 0.003);  // y first, as for the shifts
  f.gradient = cv::Vec2d(0.004 + rng.uniform(-0.002, 0.002), gradientY) * pollution;
  if (i > 0) f.distortion.k1 = rng.uniform(-s.distortionK1, s.distortionK1);
  return f;
}

TrailTruth addStreak(cv::Mat& signal, const cv::Size size, int frame, detail::Rng& rng) {
  TrailTruth t;
  t.frame = frame;
  t.kind = TrailKind::Satellite;
  // Enter on the left edge, leave on the right, at independent heights.
  t.from = cv::Point2d(-5.0, rng.uniform(0.1, 0.9) * size.height);
  t.to = cv::Point2d(size.width + 5.0, rng.uniform(0.1, 0.9) * size.height);
  addSatellite(signal, t.mask, t.from, t.to, 1.8, 0.3, cv::Vec3d(1.0, 1.0, 1.0));
  return t;
}

}  // namespace

Scene makeStackScene(const StackSettings& s) {
  detail::checkSceneShape(s.size, s.frames, s.bits);
  detail::Rng rng(detail::mixSeed(s.seed, 0x57ac));
  Scene scene;
  scene.name = "stack";
  const std::vector<cv::Matx33d> h = frameMatrices(s, rng);
  scene.stars = makeSky(s.sky, skyRegion(h, s.size, 12.0), s.seed);
  const int streak = s.streakFrame == -1 ? (s.frames >= 2 ? 1 : -2) : s.streakFrame;
  for (int i = 0; i < s.frames; ++i) {
    const FrameSettings f = frameSettings(s, i, rng);
    cv::Mat signal = renderSignal(scene.stars, h[i], f);
    if (i == 0) {
      FrameSettings clean = f;
      clean.noise = false;
      clean.hotPixels = 0;
      scene.noiselessReference = quantize(signal, clean, 0);
    }
    if (i == streak) scene.trails.push_back(addStreak(signal, s.size, i, rng));
    scene.frames.push_back(quantize(signal, f, detail::mixSeed(s.seed, 0xf7a, i)));
    scene.truth.push_back(detail::frameTruth(scene.stars, h[i], f, scene.frames.back(), cv::Mat()));
  }
  return scene;
}

}  // namespace synth
