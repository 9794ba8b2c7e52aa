// The sky-blend scene (a drifting sky over a fixed, structured foreground),
// the single glow frame and the pair of consecutive frames.
#include "synth/synth.h"

#include "synth/detail/random.h"
#include "synth/detail/scene_parts.h"

#include <cmath>
#include <stdexcept>

namespace synth {
namespace {

// Glow classes: faint pinpoints, medium stars, bright bloated ones. The
// bright class is rendered wider, as scattering in the optics would.
struct GlowClass {
  double share;        // of the star count
  double fluxMin, fluxMax;
  double fwhm;
};
const GlowClass kGlowClasses[] = {
    {0.70, 0.05, 0.6, 2.2},
    {0.22, 0.6, 6.0, 3.2},
    {0.08, 6.0, 80.0, 5.0},
};

}  // namespace

Scene makeSkyBlendScene(const SkyBlendSettings& s) {
  detail::checkSceneShape(s.size, s.frames, s.bits);
  Scene scene;
  scene.name = "skyblend";
  const cv::Point2d centre((s.size.width - 1) * 0.5, (s.size.height - 1) * 0.5);
  // The sky moves by +drift per frame in frame coordinates, so frame i maps
  // back by the opposite turn and shift.
  std::vector<cv::Matx33d> h(s.frames);
  for (int i = 0; i < s.frames; ++i) {
    h[i] = makeHomography(centre, -i * s.rotationPerFrameDeg, 1.0, -double(i) * s.driftPerFrame);
  }
  scene.stars = makeSky(s.sky, skyRegion(h, s.size, 12.0), s.seed);
  const std::vector<double> horizon = detail::horizonProfile(s.size, s.groundFraction, s.seed);
  scene.skyMask = detail::skyMaskFromHorizon(horizon, s.size);
  const cv::Mat ground = detail::groundSignal(s.size, 0.05, 3, 5, s.seed);
  FrameSettings f;
  f.size = s.size;
  f.bits = s.bits;
  f.fwhm = s.fwhm;
  f.noise = s.noise;
  for (int i = 0; i < s.frames; ++i) {
    cv::Mat signal = renderSignal(scene.stars, h[i], f, scene.skyMask);
    detail::composeGround(signal, ground, scene.skyMask);
    scene.frames.push_back(quantize(signal, f, detail::mixSeed(s.seed, 0xf7a, i)));
    scene.truth.push_back(detail::frameTruth(scene.stars, h[i], f, scene.frames.back(), scene.skyMask));
  }
  return scene;
}

Scene makeGlowScene(const GlowSettings& s) {
  detail::checkSceneShape(s.size, 1, s.bits);
  Scene scene;
  scene.name = "glow";
  const cv::Rect2d region(0.0, 0.0, s.size.width, s.size.height);
  FrameSettings f;
  f.size = s.size;
  f.bits = s.bits;
  f.noise = s.noise;
  f.skyLevel = 0.02;
  std::uint64_t salt = 0;
  for (const GlowClass& c : kGlowClasses) {
    SkySettings sky;
    sky.starCount = std::max(1, static_cast<int>(std::lround(c.share * s.starCount)));
    sky.faintestFlux = c.fluxMin;
    sky.brightestFlux = c.fluxMax;
    sky.powerLaw = 1.0;
    sky.colourSpread = 0.25;  // vivid colours make colour-aware glow visible
    for (Star star : makeSky(sky, region, detail::mixSeed(s.seed, 0x6100, salt++))) {
      star.fwhm = c.fwhm;
      scene.stars.push_back(star);
    }
  }
  f.fwhm = kGlowClasses[0].fwhm;
  const cv::Mat signal = renderSignal(scene.stars, cv::Matx33d::eye(), f);
  scene.frames.push_back(quantize(signal, f, detail::mixSeed(s.seed, 0xf7a, 0)));
  scene.truth.push_back(detail::frameTruth(scene.stars, cv::Matx33d::eye(), f, scene.frames[0], cv::Mat()));
  return scene;
}

Scene makeTurningPair(const TurningPairSettings& s) {
  detail::checkSceneShape(s.size, 2, s.bits);
  Scene scene;
  scene.name = "pair";
  const cv::Point2d pole(0.4 * s.size.width, -0.8 * s.size.height);
  const std::vector<cv::Matx33d> h{cv::Matx33d::eye(), makeHomography(pole, s.degrees, 1.0, s.shift)};
  scene.stars = makeSky(s.sky, skyRegion(h, s.size, 12.0), s.seed);
  FrameSettings f;
  f.size = s.size;
  f.bits = s.bits;
  f.skyLevel = s.bits == 8 ? 0.1 : 0.02;  // an 8-bit sky sits well above its quantisation
  f.hotPixels = s.hotPixels;
  f.sensorSeed = s.seed;
  for (int i = 0; i < 2; ++i) {
    f.fwhm = i == 0 ? s.fwhm : s.movingFwhm;
    scene.truth.emplace_back();
    scene.frames.push_back(renderFrame(scene.stars, h[size_t(i)], f, detail::mixSeed(s.seed, 0x9a1, i),
                                       &scene.truth.back()));
  }
  return scene;
}

}  // namespace synth
