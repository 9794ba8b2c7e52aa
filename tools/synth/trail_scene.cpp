// Star-trail time-lapse: the sky turns about the celestial pole over a fixed
// landscape; satellites and aircraft cross a few frames.
#include "synth/synth.h"

#include "synth/detail/random.h"
#include "synth/detail/scene_parts.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

namespace synth {
namespace {

void checkSettings(const TrailSettings& s) {
  detail::checkSceneShape(s.size, s.frames, s.bits);
  if (s.groundFraction < 0.0 || s.groundFraction > 0.9) throw std::invalid_argument("ground fraction out of range");
  if (s.dutyCycle < 0.0 || s.dutyCycle > 1.0) throw std::invalid_argument("duty cycle out of range (0 to 1)");
}

// {-1} picks frames spread over the sequence at the given fractions, each
// moved to the nearest frame not yet used (nor in `taken`), dropped when
// there is none; explicit lists are kept as given, minus frames outside
// the sequence.
std::vector<int> chooseFrames(const std::vector<int>& asked, int frames,
                              std::initializer_list<double> fractions, const std::vector<int>& taken = {}) {
  std::set<int> chosen;
  if (asked.size() == 1 && asked[0] == -1) {
    const auto busy = [&](int i) { return std::count(taken.begin(), taken.end(), i) > 0 || chosen.count(i) > 0; };
    for (double f : fractions) {
      const int want = static_cast<int>(std::lround(f * (frames - 1)));
      int pick = want;
      for (int d = 1; busy(pick) && d < frames; ++d) {
        if (want + d < frames && !busy(want + d)) pick = want + d;
        else if (want - d >= 0 && !busy(want - d)) pick = want - d;
      }
      if (!busy(pick)) chosen.insert(pick);  // no free frame left: fewer trails
    }
  } else {
    chosen.insert(asked.begin(), asked.end());
  }
  std::vector<int> out;
  for (int i : chosen) {
    if (i >= 0 && i < frames) out.push_back(i);
  }
  return out;
}

cv::Point2d polePosition(const TrailSettings& s) {
  if (s.pole.x >= 0.0 || s.pole.y >= 0.0) return s.pole;
  return cv::Point2d(s.size.width * 0.5, -0.6 * s.size.height);
}

// A point on the sky part of the frame's border, on the given side.
cv::Point2d borderPoint(int side, cv::Size size, double skyHeight, detail::Rng& rng) {
  switch (side) {
    case 0: return {-4.0, rng.uniform(0.05, 0.9) * skyHeight};
    case 1: return {size.width + 4.0, rng.uniform(0.05, 0.9) * skyHeight};
    default: return {rng.uniform(0.1, 0.9) * size.width, -4.0};
  }
}

TrailTruth injectTrail(TrailKind kind, int frame, cv::Size size, double skyHeight, detail::Rng& rng,
                       cv::Mat& layer) {
  TrailTruth t;
  t.frame = frame;
  t.kind = kind;
  const int entry = rng.below(3);
  t.from = borderPoint(entry, size, skyHeight, rng);
  t.to = borderPoint(entry == 1 ? 0 : 1, size, skyHeight, rng);
  if (kind == TrailKind::Satellite) {
    // Peak drawn before width, one by one: the order a compiler evaluates arguments in is its own.
    const double peak = rng.uniform(0.15, 0.5);
    addSatellite(layer, t.mask, t.from, t.to, rng.uniform(1.5, 2.3), peak);
  } else {
    // An aircraft covers only part of the frame in one exposure.
    t.to = t.from + (t.to - t.from) * rng.uniform(0.45, 0.8);
    addAircraft(layer, t.mask, t.from, t.to, rng.uniform(14.0, 24.0), 0.9, 0.04);
  }
  return t;
}

}  // namespace

Scene makeTrailScene(const TrailSettings& s) {
  checkSettings(s);
  detail::Rng rng(detail::mixSeed(s.seed, 0x7a11));
  Scene scene;
  scene.name = "trail";
  const cv::Point2d pole = polePosition(s);
  // The sky turns by +angle per frame, so a frame maps back onto the
  // reference by turning the other way about the pole.
  std::vector<cv::Matx33d> h(s.frames);
  for (int i = 0; i < s.frames; ++i) h[i] = makeHomography(pole, -i * s.degreesPerFrame, 1.0, {0, 0});
  scene.stars = makeSky(s.sky, detail::skyRegion(h, s.size, 12.0), s.seed);
  const std::vector<double> horizon = detail::horizonProfile(s.size, s.groundFraction, s.seed);
  scene.skyMask = detail::skyMaskFromHorizon(horizon, s.size);
  const cv::Mat ground = detail::groundSignal(s.size, 0.006, 0, s.groundLights, s.seed);
  const double skyHeight = *std::min_element(horizon.begin(), horizon.end());
  // Trails in the first and last frames (which have neighbours on one side
  // only) and in frames next to each other (a trail in a neighbour too).
  const std::vector<int> satellites = chooseFrames(s.satelliteFrames, s.frames, {0.0, 0.2, 0.5, 0.8, 1.0});
  const std::vector<int> aircraft =
      chooseFrames(s.aircraftFrames, s.frames, {0.05, 0.35, 0.65, 0.95}, satellites);

  FrameSettings f;
  f.size = s.size;
  f.bits = s.bits;
  f.fwhm = s.fwhm;
  f.noise = s.noise;
  f.skyLevel = s.skyLevel;
  // The shutter is open for dutyCycle of each frame's turn: stars draw arcs
  // that join into continuous trails in the Lighten.
  f.arcDegrees = s.dutyCycle * s.degreesPerFrame;
  f.arcPole = pole;
  for (int i = 0; i < s.frames; ++i) {
    cv::Mat signal = renderSignal(scene.stars, h[i], f, scene.skyMask);
    detail::composeGround(signal, ground, scene.skyMask);
    const std::uint64_t noiseSeed = detail::mixSeed(s.seed, 0xf7a, i);
    const cv::Mat clean = quantize(signal, f, noiseSeed);
    const bool sat = std::count(satellites.begin(), satellites.end(), i) > 0;
    const bool air = std::count(aircraft.begin(), aircraft.end(), i) > 0;
    for (int k = 0; k < int(sat) + int(air); ++k) {
      cv::Mat layer = cv::Mat::zeros(s.size, CV_32FC3);
      TrailTruth t = injectTrail(sat && k == 0 ? TrailKind::Satellite : TrailKind::Aircraft, i,
                                 s.size, skyHeight, rng, layer);
      detail::addOnSky(signal, layer, t.mask, scene.skyMask);
      scene.trails.push_back(t);
    }
    // Same noise seed: a frame and its clean twin differ only where a trail lies.
    scene.frames.push_back(sat || air ? quantize(signal, f, noiseSeed) : clean);
    if (i == 0) scene.cleanLighten = clean.clone();
    else scene.cleanLighten = cv::max(scene.cleanLighten, clean);
    scene.truth.push_back(detail::frameTruth(scene.stars, h[i], f, scene.frames.back(), scene.skyMask));
  }
  return scene;
}

}  // namespace synth
