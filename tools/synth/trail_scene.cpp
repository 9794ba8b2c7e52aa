// Star-trail time-lapse: the sky turns about the celestial pole over a fixed
// landscape; satellites and aircraft cross a few frames.
#include "synth/synth.h"

#include "synth/detail/random.h"
#include "synth/detail/scene_parts.h"

#include <opencv2/imgproc.hpp>

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
  if (s.gaplessTruth && s.dutyCycle <= 0.0) throw std::invalid_argument("a gapless truth needs an open shutter");
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

// One trail to draw into one frame.
struct Injection {
  TrailKind kind = TrailKind::Satellite;
  cv::Point2d from, to;
  double width = 2.0, peak = 0.3, spacing = 18.0;
};

Injection satellitePath(const TrailSettings& s, double skyHeight, detail::Rng& rng) {
  Injection t;
  const int entry = rng.below(3);
  t.from = borderPoint(entry, s.size, skyHeight, rng);
  t.to = borderPoint(entry == 1 ? 0 : 1, s.size, skyHeight, rng);
  // Peak drawn before width, one by one: the order a compiler evaluates arguments in is its own.
  t.peak = rng.uniform(s.satellitePeakMin, s.satellitePeakMax);
  t.width = rng.uniform(s.satelliteWidthMin, s.satelliteWidthMax);
  return t;
}

// The aircraft's path in each frame it crosses: within one exposure it
// covers only part of the frame; over several it goes on along one line,
// with a short gap where the shutter was closed.
std::vector<Injection> aircraftPaths(const TrailSettings& s, double skyHeight, detail::Rng& rng) {
  Injection t;
  t.kind = TrailKind::Aircraft;
  const int entry = rng.below(3);
  t.from = borderPoint(entry, s.size, skyHeight, rng);
  const cv::Point2d end = borderPoint(entry == 1 ? 0 : 1, s.size, skyHeight, rng);
  const double share = rng.uniform(0.45, 0.8);
  t.spacing = rng.uniform(s.aircraftSpacingMin, s.aircraftSpacingMax);
  t.peak = s.aircraftTrailPeak;
  if (s.aircraftFrameSpan <= 1) {
    t.to = t.from + (end - t.from) * share;
    return {t};
  }
  std::vector<Injection> out;
  const cv::Point2d path = end - t.from, start = t.from;
  for (int k = 0; k < s.aircraftFrameSpan; ++k) {
    t.from = start + path * (double(k) / s.aircraftFrameSpan);
    t.to = start + path * ((k + s.dutyCycle) / s.aircraftFrameSpan);
    out.push_back(t);
  }
  return out;
}

cv::Point2d radiantOf(const TrailSettings& s) {
  if (s.radiant != cv::Point2d(-1.0, -1.0)) return s.radiant;
  return cv::Point2d(-0.2 * s.size.width, -0.4 * s.size.height);
}

// A meteor somewhere over the sky, pointing away from the radiant.
Injection meteorPath(const TrailSettings& s, double skyHeight, detail::Rng& rng) {
  Injection t;
  t.kind = TrailKind::Meteor;
  t.from = cv::Point2d(rng.uniform(0.15, 0.75) * s.size.width, rng.uniform(0.1, 0.6) * skyHeight);
  cv::Point2d away = t.from - radiantOf(s);
  away *= 1.0 / std::max(1e-9, std::sqrt(away.dot(away)));
  t.to = t.from + away * rng.uniform(0.08, 0.22) * std::min(s.size.width, s.size.height);
  t.width = rng.uniform(1.8, 3.0);
  t.peak = rng.uniform(s.meteorPeakMin, s.meteorPeakMax);
  return t;
}

// Every trail of the sequence by frame. The satellites and aircraft draw
// from rng frame by frame, satellite first; the meteors from their own.
std::vector<std::vector<Injection>> planTrails(const TrailSettings& s, double skyHeight, detail::Rng& rng) {
  std::vector<std::vector<Injection>> plan(size_t(s.frames));
  const std::vector<int> satellites = chooseFrames(s.satelliteFrames, s.frames, {0.0, 0.2, 0.5, 0.8, 1.0});
  const std::vector<int> aircraft = chooseFrames(s.aircraftFrames, s.frames, {0.05, 0.35, 0.65, 0.95}, satellites);
  for (int i = 0; i < s.frames; ++i) {
    if (std::count(satellites.begin(), satellites.end(), i)) plan[size_t(i)].push_back(satellitePath(s, skyHeight, rng));
    if (!std::count(aircraft.begin(), aircraft.end(), i)) continue;
    const std::vector<Injection> paths = aircraftPaths(s, skyHeight, rng);
    for (size_t k = 0; k < paths.size() && i + int(k) < s.frames; ++k) plan[size_t(i) + k].push_back(paths[k]);
  }
  detail::Rng meteors(detail::mixSeed(s.seed, 0x3e7e));
  for (int i : chooseFrames(s.meteorFrames, s.frames, {})) plan[size_t(i)].push_back(meteorPath(s, skyHeight, meteors));
  return plan;
}

TrailTruth inject(const Injection& in, int frame, const TrailSettings& s, cv::Mat& layer) {
  TrailTruth t;
  t.frame = frame;
  t.kind = in.kind;
  t.from = in.from;
  t.to = in.to;
  if (in.kind == TrailKind::Satellite) {
    if (s.satelliteVariation > 0.0) addVaryingSatellite(layer, t.mask, in.from, in.to, in.width, in.peak, s.satelliteVariation);
    else addSatellite(layer, t.mask, in.from, in.to, in.width, in.peak);
  } else if (in.kind == TrailKind::Aircraft) {
    addAircraft(layer, t.mask, in.from, in.to, in.spacing, s.aircraftDotPeak, in.peak);
  } else {
    addMeteor(layer, t.mask, in.from, in.to, in.width, in.peak);
  }
  return t;
}

// The stars of frame i as they scintillate: the lower a star stands, the
// more air it shines through and the more its brightness changes.
std::vector<Star> twinkled(const std::vector<Star>& stars, const TrailSettings& s, double skyHeight, int i) {
  if (s.twinkle <= 0.0) return stars;
  detail::Rng rng(detail::mixSeed(s.seed, 0x7ce, i));
  std::vector<Star> out = stars;
  for (Star& star : out) {
    const double low = std::clamp(star.position.y / std::max(skyHeight, 1.0), 0.0, 1.0);
    star.flux *= std::max(0.05, 1.0 + s.twinkle * low * low * rng.normal());
  }
  return out;
}

// Frame i as a camera without pauses would have taken it: the shutter open
// from this exposure's start to the next one's, the stars' light per unit of
// time unchanged (so a trail is as bright per pixel, only longer), the same
// scintillation and noise seed; the last frame as the camera took it.
cv::Mat gaplessFrame(const TrailSettings& s, FrameSettings f, const std::vector<Star>& twinkling, cv::Point2d pole,
                     int i, const cv::Mat& ground, const cv::Mat& skyMask, std::uint64_t noiseSeed) {
  std::vector<Star> stars = twinkling;
  double middle = i;  // of the exposure, in frame intervals
  if (i + 1 < s.frames) {
    middle = i + 0.5 * (1.0 - s.dutyCycle);
    f.arcDegrees = s.degreesPerFrame;
    for (Star& star : stars) star.flux /= s.dutyCycle;
  }
  cv::Mat signal = renderSignal(stars, makeHomography(pole, -middle * s.degreesPerFrame, 1.0, {0, 0}), f, skyMask);
  detail::composeGround(signal, ground, skyMask);
  return quantize(signal, f, noiseSeed);
}

// Frame i's own exposure moved on with the sky through the pause after it,
// the brightest of the copies at every pixel: all that carrying the frame's
// light can give (an arc shorter than a star's image is dimmer than a
// continuous trail); the last frame as the camera took it.
cv::Mat carriedFrame(const TrailSettings& s, const FrameSettings& f, const std::vector<Star>& twinkling,
                     cv::Point2d pole, int i, const cv::Mat& ground, const cv::Mat& skyMask, std::uint64_t noiseSeed) {
  const double gap = i + 1 < s.frames ? 1.0 - s.dutyCycle : 0.0;
  double reach = 0.0;  // px, the farthest corner's motion over one interval
  for (const cv::Point2d c : {cv::Point2d(0, 0), cv::Point2d(s.size.width, 0), cv::Point2d(0, s.size.height),
                              cv::Point2d(s.size.width, s.size.height)})
    reach = std::max(reach, cv::norm(c - pole) * s.degreesPerFrame * CV_PI / 180.0);
  const int copies = std::max(1, int(std::ceil(gap * reach / 0.5)));
  cv::Mat signal;
  for (int k = 0; k <= copies; ++k) {
    const double at = i + gap * k / copies;
    const cv::Mat one = renderSignal(twinkling, makeHomography(pole, -at * s.degreesPerFrame, 1.0, {0, 0}), f, skyMask);
    signal = k == 0 ? one : cv::max(signal, one);
  }
  detail::composeGround(signal, ground, skyMask);
  return quantize(signal, f, noiseSeed);
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
  scene.stars = makeSky(s.sky, skyRegion(h, s.size, 12.0), s.seed);
  const std::vector<double> horizon = detail::horizonProfile(s.size, s.groundFraction, s.seed);
  scene.skyMask = detail::skyMaskFromHorizon(horizon, s.size);
  const cv::Mat ground = detail::groundSignal(s.size, 0.006, 0, s.groundLights, s.seed);
  const double skyHeight = *std::min_element(horizon.begin(), horizon.end());
  // Trails in the first and last frames (which have neighbours on one side
  // only) and in frames next to each other (a trail in a neighbour too).
  const std::vector<std::vector<Injection>> plan = planTrails(s, skyHeight, rng);

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
  f.fullWell = s.fullWell;
  for (const BadFrame& b : s.badFrames)
    if (b.frame >= 0 && b.frame < s.frames) scene.badFrames.push_back(b);
  std::sort(scene.badFrames.begin(), scene.badFrames.end(),
            [](const BadFrame& a, const BadFrame& b) { return a.frame < b.frame; });
  for (int i = 0; i < s.frames; ++i) {
    const double t = s.frames > 1 ? double(i) / (s.frames - 1) : 0.0;
    const BadFrame* bad = detail::badFrameAt(scene.badFrames, i);
    f.skyLevel = s.skyLevel * (1.0 + s.nightBrightening * t);
    // Dew on the lens spreads every star over a wider disc.
    f.fwhm = (bad && bad->kind == BadFrameKind::Dew) ? s.fwhm * (1.0 + 2.5 * bad->strength) : s.fwhm;
    cv::Mat signal = renderSignal(twinkled(scene.stars, s, skyHeight, i), h[i], f, scene.skyMask);
    detail::composeGround(signal, ground, scene.skyMask);
    if (bad) detail::spoilFrame(signal, *bad, scene.skyMask);
    if (s.exposureDrift != 0.0) signal *= 1.0 + s.exposureDrift * t;
    const std::uint64_t noiseSeed = detail::mixSeed(s.seed, 0xf7a, i);
    const cv::Mat clean = quantize(signal, f, noiseSeed);
    for (const Injection& in : plan[size_t(i)]) {
      cv::Mat layer = cv::Mat::zeros(s.size, CV_32FC3);
      TrailTruth t = inject(in, i, s, layer);
      detail::addOnSky(signal, layer, t.mask, scene.skyMask);
      cv::cvtColor(layer, t.strength, cv::COLOR_BGR2GRAY);
      scene.trails.push_back(t);
    }
    // Same noise seed: a frame and its clean twin differ only where a trail lies.
    scene.frames.push_back(plan[size_t(i)].empty() ? clean : quantize(signal, f, noiseSeed));
    if (i == 0) scene.cleanLighten = clean.clone();
    else scene.cleanLighten = cv::max(scene.cleanLighten, clean);
    if (s.gaplessTruth) {
      const std::vector<Star> twinkling = twinkled(scene.stars, s, skyHeight, i);
      const cv::Mat gapless = gaplessFrame(s, f, twinkling, pole, i, ground, scene.skyMask, noiseSeed);
      const cv::Mat carried = carriedFrame(s, f, twinkling, pole, i, ground, scene.skyMask, noiseSeed);
      scene.gaplessLighten = i == 0 ? gapless : cv::max(scene.gaplessLighten, gapless);
      scene.carriedLighten = i == 0 ? carried : cv::max(scene.carriedLighten, carried);
    }
    scene.truth.push_back(detail::frameTruth(scene.stars, h[i], f, scene.frames.back(), scene.skyMask));
  }
  return scene;
}

}  // namespace synth
