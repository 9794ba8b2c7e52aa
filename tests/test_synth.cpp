// The synthetic skies' own truths, checked the way the jobs' tests use them.
#include "synth/synth.h"

#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace {

using testsupport::readFile;
using testsupport::TempDir;

// Intensity centroid of the channel sum in a (2r+1)^2 window around guess,
// above a plane fitted to the window's border (the local sky and its gradient:
// a constant alone would leave the gradient's first moment in the centroid).
cv::Point2d centroid(const cv::Mat& image, cv::Point2d guess, int r) {
  const int cx = static_cast<int>(std::lround(guess.x)), cy = static_cast<int>(std::lround(guess.y));
  auto value = [&](int x, int y) {
    const cv::Vec3w p = image.depth() == CV_16U ? image.at<cv::Vec3w>(y, x)
                                                : cv::Vec3w(image.at<cv::Vec3b>(y, x));
    return double(p[0]) + p[1] + p[2];
  };
  double top = 0.0, bottom = 0.0, left = 0.0, right = 0.0;
  for (int d = -r; d <= r; ++d) {
    top += value(cx + d, cy - r), bottom += value(cx + d, cy + r);
    left += value(cx - r, cy + d), right += value(cx + r, cy + d);
  }
  const double n = 2 * r + 1;
  const double level = (top + bottom + left + right) / (4 * n);
  const double slopeX = (right - left) / (n * 2 * r), slopeY = (bottom - top) / (n * 2 * r);
  double sx = 0.0, sy = 0.0, s = 0.0;
  for (int y = cy - r; y <= cy + r; ++y) {
    for (int x = cx - r; x <= cx + r; ++x) {
      const double v = value(x, y) - level - slopeX * (x - cx) - slopeY * (y - cy);
      sx += v * x, sy += v * y, s += v;
    }
  }
  return {sx / s, sy / s};
}

synth::FrameSettings darkNoiseless(cv::Size size, synth::Psf psf) {
  synth::FrameSettings f;
  f.size = size;
  f.psf = psf;
  f.noise = false;
  f.skyLevel = 0.0;
  f.gradient = cv::Vec2d(0.0, 0.0);
  return f;
}

// Stars that no star of 1% of their flux approaches within 18 px, nor a
// brighter one within 30 px: the measuring window plus the wings of a
// neighbour in poor seeing.
bool isolated(const std::vector<synth::Star>& stars, const synth::FrameStar& s) {
  for (const synth::Star& o : stars) {
    const cv::Point2d d = o.position - s.reference;
    if (d.dot(d) < 1e-12) continue;
    if (d.dot(d) < 324.0 && o.flux > 0.01 * s.flux) return false;
    if (d.dot(d) < 900.0 && o.flux > s.flux) return false;
  }
  return true;
}

bool insideBy(const cv::Point2d& p, cv::Size size, double margin) {
  return p.x >= margin && p.y >= margin && p.x < size.width - margin && p.y < size.height - margin;
}

TEST(SynthStars, CentroidAndFluxMatchTheSubPixelPosition) {
  const cv::Point2d positions[] = {{100.37, 80.81}, {60.0, 50.5}, {150.93, 120.12}, {41.5, 140.25}};
  for (const synth::Psf psf : {synth::Psf::Gaussian, synth::Psf::Moffat}) {
    for (const double fwhm : {1.6, 3.0, 5.5}) {
      std::vector<synth::Star> stars;
      for (const cv::Point2d& p : positions) stars.push_back({p, 1.5, cv::Vec3d(0.9, 1.0, 1.1)});
      synth::FrameSettings f = darkNoiseless(cv::Size(200, 170), psf);
      f.fwhm = fwhm;
      synth::FrameTruth truth;
      const cv::Mat image = synth::renderFrame(stars, cv::Matx33d::eye(), f, 1, &truth);
      ASSERT_EQ(truth.stars.size(), stars.size());
      for (const synth::FrameStar& s : truth.stars) {
        const cv::Point2d c = centroid(image, s.position, 18);
        EXPECT_NEAR(c.x, s.position.x, 0.02) << "fwhm " << fwhm << " psf " << int(psf);
        EXPECT_NEAR(c.y, s.position.y, 0.02) << "fwhm " << fwhm << " psf " << int(psf);
        // Integrated photometry: the green channel holds the flux (within the wings cut off).
        const cv::Rect box(int(std::lround(s.position.x)) - 18, int(std::lround(s.position.y)) - 18, 37, 37);
        const double green = cv::sum(image(box))[1] / 65535.0;
        EXPECT_NEAR(green, 1.5, 1.5 * 0.02);
        EXPECT_FALSE(s.saturated);
      }
    }
  }
}

// A star drawn as the arc the sky traces in the exposure: its light centre is
// the arc's middle (the truth position), its flux is kept, and the arc has no
// gaps: a trail of such frames is continuous, not dotted.
TEST(SynthStars, ArcStarsKeepCentreAndFluxAndLeaveNoGaps) {
  const cv::Point2d pole(100.0, -400.0);
  const cv::Point2d nominal(100.3, 85.6);
  synth::FrameSettings f = darkNoiseless(cv::Size(200, 170), synth::Psf::Gaussian);
  f.fwhm = 2.4;
  f.arcPole = pole;
  f.arcDegrees = 3.0;  // 25 px of arc at 486 px from the pole
  const std::vector<synth::Star> stars = {{nominal, 2.0, cv::Vec3d(1.0, 1.0, 1.0)}};
  synth::FrameTruth truth;
  const cv::Mat image = synth::renderFrame(stars, cv::Matx33d::eye(), f, 1, &truth);
  ASSERT_EQ(truth.stars.size(), 1u);
  const cv::Point2d c = centroid(image, nominal, 24);
  EXPECT_NEAR(c.x, nominal.x, 0.02);
  EXPECT_NEAR(c.y, nominal.y + 486.6 * (std::cos(1.5 * CV_PI / 180.0) - 1.0) / 3.0, 0.05);  // the arc's sag
  const cv::Rect box(70, 60, 61, 50);
  EXPECT_NEAR(cv::sum(image(box))[1] / 65535.0, 2.0, 0.04);
  const double r = std::hypot(nominal.x - pole.x, nominal.y - pole.y);
  double lowest = 1e9;
  for (int k = -10; k <= 10; ++k) {  // along the arc's inner 80 %
    const double a = std::atan2(nominal.y - pole.y, nominal.x - pole.x) + k * 0.12 * CV_PI / 180.0;
    const cv::Point p(int(std::lround(pole.x + r * std::cos(a))), int(std::lround(pole.y + r * std::sin(a))));
    lowest = std::min(lowest, double(image.at<cv::Vec3w>(p)[1]));
  }
  EXPECT_GT(lowest, 0.5 * 2.0 * 65535.0 / 25.0 / (1.064 * 2.4));  // half the arc's mean line brightness
}

TEST(SynthStars, SparseSkyHasFewStarsAndOneSaturatedPlanet) {
  synth::StackSettings s;
  s.size = cv::Size(600, 400);
  s.frames = 2;
  s.bits = 8;
  s.sky = synth::sparseSky();
  s.skyLevel = 0.15;
  const synth::Scene scene = synth::makeStackScene(s);
  int planets = 0;
  for (const synth::Star& star : scene.stars) planets += star.fwhm > 0.0;
  EXPECT_EQ(planets, 1);
  EXPECT_LT(scene.stars.size(), 80u);
  bool planetClipped = false;
  for (const synth::FrameStar& fs : scene.truth[0].stars) planetClipped |= fs.fwhm > 5.0 && fs.saturated;
  EXPECT_TRUE(planetClipped);
  cv::Mat grey;
  cv::extractChannel(scene.frames[0], grey, 1);
  std::vector<uchar> v(grey.begin<uchar>(), grey.end<uchar>());
  std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
  EXPECT_NEAR(v[v.size() / 2], 0.15 * 255.0, 4.0);  // the bright, light-polluted sky
}

TEST(SynthStars, BrightStarsSaturateAtTheTypeMaximum) {
  for (const int bits : {8, 16}) {
    synth::FrameSettings f = darkNoiseless(cv::Size(64, 64), synth::Psf::Gaussian);
    f.bits = bits;
    f.noise = true;
    synth::FrameTruth truth;
    const std::vector<synth::Star> stars = {{{32.2, 31.7}, 60.0, {1, 1, 1}}, {{10.0, 10.0}, 0.5, {1, 1, 1}}};
    const cv::Mat image = synth::renderFrame(stars, cv::Matx33d::eye(), f, 3, &truth);
    const double top = bits == 8 ? 255.0 : 65535.0;
    double lo = 0.0, hi = 0.0;
    cv::minMaxLoc(image.reshape(1), &lo, &hi);
    EXPECT_EQ(hi, top);
    ASSERT_EQ(truth.stars.size(), 2u);
    EXPECT_TRUE(truth.stars[0].saturated);
    EXPECT_FALSE(truth.stars[1].saturated);
    EXPECT_EQ(image.depth(), bits == 8 ? CV_8U : CV_16U);
  }
}

TEST(SynthSensor, NoiseFollowsShotAndReadNoiseAndHotPixelsStayPut) {
  synth::FrameSettings f;
  f.size = cv::Size(256, 200);
  f.hotPixels = 9;
  const cv::Mat flat(f.size, CV_32FC3, cv::Scalar::all(0.1));
  const cv::Mat a = synth::quantize(flat, f, 11), b = synth::quantize(flat, f, 12);
  // 2000 electrons at 0.1 of a 20000-electron full scale, plus 6 e- read noise.
  const double expected = std::sqrt(0.1 * f.fullWell + f.readNoise * f.readNoise) / f.fullWell * 65535.0;
  cv::Mat hotA, hotB;
  cv::inRange(a, cv::Scalar::all(0), cv::Scalar::all(0.1 * 65535 + 8 * expected), hotA);
  cv::inRange(b, cv::Scalar::all(0), cv::Scalar::all(0.1 * 65535 + 8 * expected), hotB);
  hotA = ~hotA, hotB = ~hotB;
  EXPECT_EQ(cv::norm(hotA, hotB, cv::NORM_INF), 0.0) << "hot pixels moved between frames";
  EXPECT_GE(cv::countNonZero(hotA), 5);
  EXPECT_LE(cv::countNonZero(hotA), 9);
  cv::Scalar mean, sd;
  cv::meanStdDev(a, mean, sd, ~hotA);
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(mean[c], 0.1 * 65535.0, 2.0);
    EXPECT_NEAR(sd[c], expected, 0.02 * expected);
  }
  EXPECT_GT(cv::norm(a, b, cv::NORM_L1, ~hotA), 0.0) << "frames share their noise";
}

TEST(SynthStars, SkyFollowsThePowerLaw) {
  synth::SkySettings sky;
  sky.starCount = 40000;
  const cv::Rect2d region(-20.0, 10.0, 300.0, 200.0);
  const std::vector<synth::Star> stars = synth::makeSky(sky, region, 9);
  ASSERT_EQ(stars.size(), 40000u);
  int above1 = 0, above10 = 0;
  for (const synth::Star& s : stars) {
    ASSERT_TRUE(region.contains(s.position));
    ASSERT_GE(s.flux, sky.faintestFlux);
    ASSERT_LE(s.flux, sky.brightestFlux);
    above1 += s.flux > 10 * sky.faintestFlux;
    above10 += s.flux > 100 * sky.faintestFlux;
  }
  // N(> F) ~ F^-0.8: each decade of flux holds 10^-0.8 of the stars above it.
  EXPECT_NEAR(double(above1) / stars.size(), std::pow(10.0, -0.8), 0.01);
  EXPECT_NEAR(double(above10) / above1, std::pow(10.0, -0.8), 0.03);
}

// Frame i's star, measured, taken through its truth matrix, lands on the same
// star measured in the reference frame.
TEST(SynthStack, TruthMatricesCarryStarsOntoTheReference) {
  synth::StackSettings s;
  s.size = cv::Size(400, 300);
  s.frames = 4;
  s.noise = false;
  s.hotPixels = 0;
  s.streakFrame = -2;
  s.sky.density = 4e-4;
  s.sky.faintestFlux = 0.3;  // every star bright enough to measure
  const synth::Scene scene = synth::makeStackScene(s);
  ASSERT_EQ(scene.frames.size(), 4u);
  ASSERT_EQ(scene.truth.size(), 4u);
  EXPECT_EQ(scene.truth[0].frameToReference, cv::Matx33d::eye());
  EXPECT_EQ(scene.truth[3].fwhm, s.poorSeeingFwhm);
  for (int i = 1; i < 4; ++i) {
    const synth::FrameTruth& t = scene.truth[i];
    EXPECT_GT(cv::norm(t.frameToReference - cv::Matx33d::eye()), 1e-3);
    int checked = 0;
    for (const synth::FrameStar& fs : t.stars) {
      const cv::Point2d mapped = synth::applyHomography(t.frameToReference, fs.position);
      ASSERT_NEAR(mapped.x, fs.reference.x, 1e-9);
      ASSERT_NEAR(mapped.y, fs.reference.y, 1e-9);
      if (fs.saturated || !isolated(scene.stars, fs)) continue;
      if (!insideBy(fs.position, s.size, 20.0) || !insideBy(fs.reference, s.size, 20.0)) continue;
      const cv::Point2d inFrame = centroid(scene.frames[i], fs.position, 11);
      const cv::Point2d onReference = synth::applyHomography(t.frameToReference, inFrame);
      const cv::Point2d inReference = centroid(scene.frames[0], onReference, 11);
      EXPECT_NEAR(onReference.x, inReference.x, 0.05) << "frame " << i;
      EXPECT_NEAR(onReference.y, inReference.y, 0.05) << "frame " << i;
      ++checked;
    }
    EXPECT_GE(checked, 5) << "frame " << i << " checked " << checked;
  }
  // The noiseless reference is frame 0 without noise: here, frame 0 itself.
  EXPECT_EQ(cv::norm(scene.noiselessReference, scene.frames[0], cv::NORM_INF), 0.0);
}

TEST(SynthStack, DistortionMovesStarsAwayFromThePureHomography) {
  const cv::Size size(400, 300);
  synth::FrameSettings f = darkNoiseless(size, synth::Psf::Gaussian);
  f.distortion.k1 = 0.004;
  const cv::Matx33d h = synth::makeHomography({199.5, 149.5}, 0.3, 1.002, {7.25, -4.5});
  std::vector<synth::Star> stars = {{{30.0, 25.0}, 2.0, {1, 1, 1}}, {{370.0, 280.0}, 2.0, {1, 1, 1}},
                                    {{200.0, 150.0}, 2.0, {1, 1, 1}}};
  synth::FrameTruth truth;
  const cv::Mat image = synth::renderFrame(stars, h, f, 1, &truth);
  ASSERT_EQ(truth.stars.size(), 3u);
  EXPECT_EQ(truth.distortion.k1, 0.004);
  for (const synth::FrameStar& s : truth.stars) {
    const cv::Point2d c = centroid(image, s.position, 10);
    EXPECT_NEAR(c.x, s.position.x, 0.02);
    EXPECT_NEAR(c.y, s.position.y, 0.02);
    const cv::Point2d undistorted = synth::applyHomography(h.inv(), s.reference);
    const double residual = cv::norm(undistorted - s.position);
    // Corners move by k1 * R^2 / R = k1 * R ~ 1 px; the centre stays put.
    if (insideBy(s.reference, size, 60.0)) EXPECT_LT(residual, 0.01);
    else EXPECT_GT(residual, 0.3);
  }
}

TEST(SynthGeometry, HomographyRoundTripAndConvention) {
  const cv::Matx33d h = synth::makeHomography({100.0, 50.0}, 0.4, 0.998, {12.5, -3.25});
  const cv::Point2d p(17.25, 88.5);
  const cv::Point2d q = synth::applyHomography(h, p);
  const cv::Point2d back = synth::referenceToFrame(q, h, synth::Distortion(), cv::Size(200, 100));
  EXPECT_NEAR(back.x, p.x, 1e-9);
  EXPECT_NEAR(back.y, p.y, 1e-9);
  // The centre of rotation moves only by the shift: catches a transposed matrix.
  const cv::Point2d c = synth::applyHomography(h, {100.0, 50.0});
  EXPECT_NEAR(c.x, 112.5, 1e-9);
  EXPECT_NEAR(c.y, 46.75, 1e-9);
  // Positive degrees turn +x towards +y (image rows grow downwards).
  const cv::Point2d e = synth::applyHomography(synth::makeHomography({0, 0}, 90.0, 1.0, {0, 0}), {1.0, 0.0});
  EXPECT_NEAR(e.x, 0.0, 1e-12);
  EXPECT_NEAR(e.y, 1.0, 1e-12);
}

class SynthTrailMasks : public ::testing::TestWithParam<int> {};

// Each trail mask covers exactly the pixels where the frame differs from the
// same frame rendered without trails (same noise), except where the sky
// already clipped every channel.
TEST_P(SynthTrailMasks, CoverExactlyTheInjectedPixels) {
  synth::TrailSettings s;
  s.size = cv::Size(240, 160);
  s.frames = 8;
  s.bits = GetParam();
  s.noise = s.bits == 16;  // 8-bit rounding could swallow a one-step trail edge under noise
  s.satelliteFrames = {3};
  s.aircraftFrames = {3, 5};
  const synth::Scene scene = synth::makeTrailScene(s);
  s.satelliteFrames = {};
  s.aircraftFrames = {};
  const synth::Scene clean = synth::makeTrailScene(s);
  ASSERT_EQ(scene.trails.size(), 3u);
  const double top = s.bits == 8 ? 255.0 : 65535.0;
  cv::Mat expectedLighten = clean.frames[0].clone();
  for (int i = 0; i < s.frames; ++i) {
    expectedLighten = cv::max(expectedLighten, clean.frames[i]);
    cv::Mat union_ = cv::Mat::zeros(s.size, CV_8UC1);
    for (const synth::TrailTruth& t : scene.trails) {
      if (t.frame == i) union_ |= t.mask;
    }
    cv::Mat diff, changed, clipped;
    cv::absdiff(scene.frames[i], clean.frames[i], diff);
    cv::transform(diff, changed, cv::Matx13f(1, 1, 1));
    changed = changed > 0;
    cv::inRange(clean.frames[i], cv::Scalar::all(top), cv::Scalar::all(top), clipped);
    EXPECT_EQ(cv::countNonZero(changed & ~union_), 0) << "frame " << i;
    EXPECT_EQ(cv::countNonZero(union_ & ~changed & ~clipped), 0) << "frame " << i;
    EXPECT_EQ(cv::countNonZero(union_ & ~scene.skyMask), 0) << "trail drawn on the ground";
  }
  for (const synth::TrailTruth& t : scene.trails) EXPECT_GT(cv::countNonZero(t.mask), 40);
  EXPECT_EQ(scene.trails[0].kind, synth::TrailKind::Satellite);
  EXPECT_EQ(scene.trails[2].kind, synth::TrailKind::Aircraft);
  EXPECT_EQ(cv::norm(scene.cleanLighten, expectedLighten, cv::NORM_INF), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Depths, SynthTrailMasks, ::testing::Values(8, 16));

// By default trails cross the first and the last frame and two frames next
// to each other, where a neighbour cannot hide a trail in the median alone.
TEST(SynthTrail, DefaultTrailsTouchTheEndsAndNeighbouringFrames) {
  for (const int frames : {6, 12, 24}) {
    synth::TrailSettings s;
    s.size = cv::Size(160, 120);
    s.frames = frames;
    const synth::Scene scene = synth::makeTrailScene(s);
    std::set<int> with;
    for (const synth::TrailTruth& t : scene.trails) with.insert(t.frame);
    EXPECT_TRUE(with.count(0)) << frames;
    EXPECT_TRUE(with.count(frames - 1)) << frames;
    bool adjacent = false;
    for (int i : with) adjacent |= with.count(i + 1) > 0;
    EXPECT_TRUE(adjacent) << frames;
  }
}

// The streaks a photographer meets: an aircraft goes on along one line
// through consecutive frames, a meteor points away from the radiant and
// brightens then fades, a satellite's brightness changes along its length.
TEST(SynthTrail, AircraftMeteorAndVaryingSatelliteGeometry) {
  synth::TrailSettings s;
  s.size = cv::Size(400, 300);
  s.frames = 8;
  s.satelliteFrames = {1};
  s.satelliteVariation = 0.2;
  s.aircraftFrames = {3};
  s.aircraftFrameSpan = 3;
  s.meteorFrames = {1, 6};
  s.radiant = {-50.0, -80.0};
  const synth::Scene scene = synth::makeTrailScene(s);
  std::vector<const synth::TrailTruth*> air, meteors;
  const synth::TrailTruth* satellite = nullptr;
  for (const synth::TrailTruth& t : scene.trails) {
    if (t.kind == synth::TrailKind::Aircraft) air.push_back(&t);
    else if (t.kind == synth::TrailKind::Meteor) meteors.push_back(&t);
    else satellite = &t;
    ASSERT_EQ(t.strength.type(), CV_32FC1);
    EXPECT_EQ(cv::countNonZero((t.strength > 0) & ~t.mask), 0);
  }
  ASSERT_EQ(air.size(), 3u);
  ASSERT_EQ(meteors.size(), 2u);
  ASSERT_NE(satellite, nullptr);
  const auto cross = [](cv::Point2d a, cv::Point2d b) { return a.x * b.y - a.y * b.x; };
  for (size_t k = 0; k < air.size(); ++k) {
    EXPECT_EQ(air[k]->frame, 3 + int(k));
    EXPECT_NEAR(cross(air[k]->to - air[0]->from, air[0]->to - air[0]->from) / cv::norm(air[0]->to - air[0]->from),
                0.0, 1e-6) << "off the aircraft's line";
    if (k > 0) {
      EXPECT_LT(cv::norm(air[k]->from - air[k - 1]->to), 0.1 * cv::norm(air[0]->to - air[0]->from));
    }
  }
  const auto strengthAt = [](const synth::TrailTruth& t, double f) {
    const cv::Point2d p = t.from + (t.to - t.from) * f;
    return double(t.strength.at<float>(cvRound(p.y), cvRound(p.x)));
  };
  for (const synth::TrailTruth* m : meteors) {
    const cv::Point2d out = m->from - s.radiant, along = m->to - m->from;
    EXPECT_GT(out.dot(along) / cv::norm(out) / cv::norm(along), 0.999) << "not from the radiant";
    EXPECT_LT(strengthAt(*m, 0.05), 0.5 * strengthAt(*m, 0.68));
    EXPECT_LT(strengthAt(*m, 0.95), 0.5 * strengthAt(*m, 0.68));
  }
  EXPECT_NEAR(strengthAt(*satellite, 0.9) / strengthAt(*satellite, 0.1), 0.84, 0.04);
}

TEST(SynthTrail, StarsTurnAboutThePoleAndGroundStaysFixed) {
  synth::TrailSettings s;
  s.size = cv::Size(240, 160);
  s.frames = 4;
  s.noise = false;
  s.satelliteFrames = {};
  s.aircraftFrames = {};
  s.degreesPerFrame = 1.0;
  const synth::Scene scene = synth::makeTrailScene(s);
  const cv::Point2d pole(120.0, -96.0);
  for (int i = 0; i < s.frames; ++i) {
    const cv::Mat ground = 255 - scene.skyMask;
    cv::Mat diff;
    cv::absdiff(scene.frames[i], scene.frames[0], diff);
    EXPECT_EQ(cv::norm(diff, cv::NORM_INF, ground), 0.0) << "the landscape moved";
    for (const synth::FrameStar& fs : scene.truth[i].stars) {
      const cv::Point2d a = fs.reference - pole, b = fs.position - pole;
      EXPECT_NEAR(std::atan2(b.y, b.x) - std::atan2(a.y, a.x), i * CV_PI / 180.0, 1e-9);
      EXPECT_NEAR(cv::norm(a), cv::norm(b), 1e-9);
      EXPECT_EQ(scene.skyMask.at<uchar>(int(std::lround(fs.position.y)), int(std::lround(fs.position.x))), 255);
    }
  }
}

// Each spoiled frame differs from its clean twin (same seeds) only where its
// kind reaches: headlights the ground, a cloud the sky, the moon and dawn
// both; dew spreads the stars without lifting the sky. The slow changes
// move every frame but the first.
TEST(SynthTrail, SpoiledFramesDifferFromTheirCleanTwinOnlyWhereTheirKindReaches) {
  synth::TrailSettings s;
  s.size = cv::Size(240, 160);
  s.frames = 6;
  s.satelliteFrames = {};
  s.aircraftFrames = {};
  const synth::Scene clean = synth::makeTrailScene(s);
  using K = synth::BadFrameKind;
  s.badFrames = {{4, K::Dew, 1.0}, {1, K::Headlights, 1.0}, {2, K::Cloud, 1.0}, {0, K::Moon, 1.0}, {5, K::Dawn, 1.0}};
  const synth::Scene spoiled = synth::makeTrailScene(s);
  ASSERT_EQ(spoiled.badFrames.size(), 5u);
  for (size_t k = 0; k < 5; ++k) EXPECT_EQ(spoiled.badFrames[k].frame, int(k == 3 ? 4 : k < 3 ? k : 5)) << k;
  const cv::Mat sky = clean.skyMask, ground = 255 - clean.skyMask;
  const auto change = [&](int i, const cv::Mat& where) {
    cv::Mat a, b;
    clean.frames[size_t(i)].convertTo(a, CV_64F);
    spoiled.frames[size_t(i)].convertTo(b, CV_64F);
    return cv::mean(cv::Mat(b - a), where)[0] / 65535.0;
  };
  EXPECT_EQ(change(1, sky), 0.0);
  EXPECT_GT(change(1, ground), 0.02);
  EXPECT_EQ(change(2, ground), 0.0);
  EXPECT_GT(change(2, sky), 0.01);
  EXPECT_GT(change(0, sky), 0.05);
  EXPECT_GT(change(0, ground), 0.05);
  EXPECT_GT(change(5, sky), 0.05);
  EXPECT_LT(std::abs(change(4, sky)), 0.001) << "dew spreads the stars, it does not light the sky";
  EXPECT_GT(cv::norm(clean.frames[4], spoiled.frames[4], cv::NORM_INF), 0.05 * 65535);
  EXPECT_EQ(cv::norm(clean.frames[3], spoiled.frames[3], cv::NORM_INF), 0.0);
  EXPECT_FALSE(synth::badFrameSpoilsSky(K::Headlights));
  EXPECT_TRUE(synth::badFrameSpoilsSky(K::Dew));

  synth::TrailSettings slow = s;
  slow.badFrames = {};
  slow.nightBrightening = 1.0;
  slow.exposureDrift = 0.5;
  const synth::Scene drifting = synth::makeTrailScene(slow);
  EXPECT_EQ(cv::norm(clean.frames[0], drifting.frames[0], cv::NORM_INF), 0.0);
  const cv::Scalar first = cv::mean(drifting.frames[0], sky), last = cv::mean(drifting.frames[5], sky);
  EXPECT_GT(last[1], 2.5 * first[1]) << "twice the sky level, half as much gain again";
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Same seed, same bytes, whatever the thread count; another seed, other frames.
TEST(SynthFiles, SameSeedGivesIdenticalFiles) {
  for (const std::string& name : synth::sceneNames()) {
    TempDir a, b, c;
    synth::SceneRequest r;
    r.scene = name;
    r.size = cv::Size(200, 150);
    r.frames = 3;
    r.seed = 42;
    synth::SceneFiles fa, fb, fc;
    std::string error;
    r.dir = a.path();
    ASSERT_TRUE(synth::writeScene(r, fa, error)) << error;
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    r.dir = b.path();
    const bool wroteB = synth::writeScene(r, fb, error);
    cv::setNumThreads(threads);
    ASSERT_TRUE(wroteB) << error;
    r.dir = c.path();
    r.seed = 43;
    ASSERT_TRUE(synth::writeScene(r, fc, error)) << error;
    ASSERT_EQ(filesIn(a.path()), filesIn(b.path()));
    for (const std::string& f : filesIn(a.path())) {
      EXPECT_EQ(readFile(a.file(f)), replaceAll(readFile(b.file(f)), b.path(), a.path())) << name << " " << f;
    }
    EXPECT_NE(readFile(fa.frames[0]), readFile(fc.frames[0])) << name;
  }
}

// Frames asked for as an editor exports them hold the same pixels, LZW-compressed.
TEST(SynthFiles, LzwFramesHoldTheSamePixels) {
  TempDir plain, lzw;
  synth::SceneRequest r;
  r.scene = "stack";
  r.size = cv::Size(240, 160);
  r.frames = 2;
  synth::SceneFiles fp, fl;
  std::string error;
  r.dir = plain.path();
  ASSERT_TRUE(synth::writeScene(r, fp, error)) << error;
  r.dir = lzw.path();
  r.lzwFrames = true;
  ASSERT_TRUE(synth::writeScene(r, fl, error)) << error;
  for (size_t i = 0; i < fp.frames.size(); ++i) {
    const std::string bytes = readFile(fl.frames[i]);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_NE(bytes, readFile(fp.frames[i]));
    const cv::Mat a = cv::imread(fp.frames[i], cv::IMREAD_UNCHANGED), b = cv::imread(fl.frames[i], cv::IMREAD_UNCHANGED);
    ASSERT_EQ(a.type(), b.type());
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
  }
}

// The string value after the first occurrence of "key", unescaped the way the
// jobs' readers unescape it (backslash takes the next character).
std::string jsonString(const std::string& text, const std::string& key, size_t from = 0) {
  size_t at = text.find("\"" + key + "\"", from);
  if (at == std::string::npos) return "";
  at = text.find('"', text.find(':', at) + 1);
  std::string out;
  for (size_t i = at + 1; i < text.size() && text[i] != '"'; ++i) out += text[i] == '\\' ? text[++i] : text[i];
  return out;
}

// Every "path" string inside the array that follows "key".
std::vector<std::string> pathList(const std::string& text, const std::string& key) {
  const size_t open = text.find('[', text.find("\"" + key + "\""));
  const size_t close = text.find(']', open);
  std::vector<std::string> out;
  for (size_t at = text.find("\"path\"", open); at < close; at = text.find("\"path\"", at + 1)) {
    out.push_back(jsonString(text, "path", at));
  }
  return out;
}

std::vector<double> numbersAfter(const std::string& text, const std::string& key, size_t from, int count) {
  size_t at = text.find("\"" + key + "\"", from);
  std::vector<double> out;
  if (at == std::string::npos) return out;
  const char* p = text.c_str() + at + key.size() + 2;
  while (int(out.size()) < count && *p) {
    if ((*p >= '0' && *p <= '9') || *p == '-') {
      char* end = nullptr;
      out.push_back(std::strtod(p, &end));
      p = end;
    } else {
      ++p;
    }
  }
  return out;
}

TEST(SynthFiles, TruthAndJobFilesReadBackAsTheJobsReadThem) {
  TempDir dir;
  synth::StackSettings s;
  s.size = cv::Size(200, 150);
  s.frames = 3;
  const synth::Scene scene = synth::makeStackScene(s);
  synth::SceneFiles files;
  std::string error;
  ASSERT_TRUE(synth::writeSceneFiles(scene, dir.path(), files, error)) << error;
  const std::string truth = readFile(files.truth);
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    at = truth.find("\"frameToReference\"", at + 1);
    const std::vector<double> m = numbersAfter(truth, "frameToReference", at, 9);
    ASSERT_EQ(m.size(), 9u);
    for (int k = 0; k < 9; ++k) EXPECT_EQ(m[k], scene.truth[i].frameToReference(k / 3, k % 3)) << i;
  }
  EXPECT_EQ(numbersAfter(truth, "width", 0, 1).at(0), 200.0);
  EXPECT_NE(truth.find("\"width\": 200,"), std::string::npos);  // plain integers, no exponent form
  EXPECT_EQ(jsonString(truth, "noiselessReference"), "noiseless_reference.tif");
  ASSERT_EQ(files.trailMasks.size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(files.trailMasks[0]));

  const std::string job = readFile(files.job);
  EXPECT_EQ(std::filesystem::path(files.job).filename(), "stack_job.txt");
  EXPECT_NE(job.find("\nmethod=auto\n"), std::string::npos);
  for (const std::string& f : files.frames) EXPECT_NE(job.find("\ninput=" + f + "\n"), std::string::npos);
  EXPECT_NE(job.find("\nresultLog=" + dir.file("stack_result_log.txt") + "\n"), std::string::npos);

  for (const char* name : {"trail", "skyblend", "glow"}) {
    TempDir d;
    synth::SceneRequest r;
    r.scene = name;
    r.dir = d.path();
    r.size = cv::Size(160, 120);
    r.frames = 3;
    synth::SceneFiles f;
    ASSERT_TRUE(synth::writeScene(r, f, error)) << error;
    const std::string text = readFile(f.job);
    EXPECT_EQ(jsonString(text, "resultLog").rfind(d.path(), 0), 0u) << name;
    EXPECT_EQ(jsonString(text, "progress").rfind(d.path(), 0), 0u) << name;
    if (std::string(name) == "trail") {
      EXPECT_NE(f.job.find("startrail_job_native"), std::string::npos);
      EXPECT_EQ(jsonString(text, "type"), "startrail-native-job");
      EXPECT_EQ(pathList(text, "inputs"), f.frames);
      EXPECT_EQ(jsonString(text, "maskInput"), f.skyMask);
      EXPECT_FALSE(cv::imread(f.cleanLighten, cv::IMREAD_UNCHANGED).empty());
    } else if (std::string(name) == "skyblend") {
      EXPECT_NE(f.job.find("skyblend_job_native"), std::string::npos);
      EXPECT_EQ(jsonString(text, "type"), "skyblend-native-job");
      EXPECT_EQ(pathList(text, "inputs"), f.frames);
      EXPECT_EQ(jsonString(text, "referencePath"), f.frames[0]);
      EXPECT_EQ(jsonString(text, "blend", text.find("\"outputs\"")), d.file("skyblend_blend.tif"));
      const cv::Mat mask = cv::imread(f.skyMask, cv::IMREAD_UNCHANGED);
      EXPECT_EQ(mask.type(), CV_8UC1);
    } else {
      EXPECT_NE(f.job.find("star_glow_job_native"), std::string::npos);
      EXPECT_EQ(jsonString(text, "type"), "star-glow-native-job");
      EXPECT_EQ(jsonString(text, "inputPath"), f.frames[0]);
      // Shortest round-trip text: what a photographer would type, and exact.
      EXPECT_NE(text.find("\"glowStrength\": 0.6,"), std::string::npos) << text;
      // The glow job waits for a file of at least 4096 bytes.
      EXPECT_GE(std::filesystem::file_size(f.frames[0]), 4096u);
    }
    const cv::Mat frame = cv::imread(f.frames[0], cv::IMREAD_UNCHANGED);
    EXPECT_EQ(frame.type(), CV_16UC3) << name;
  }
}

TEST(SynthFiles, BadRequestsFailWithAMessage) {
  TempDir dir;
  synth::SceneFiles files;
  std::string error;
  synth::SceneRequest r;
  r.dir = dir.path();
  r.scene = "nebula";
  EXPECT_FALSE(synth::writeScene(r, files, error));
  EXPECT_NE(error.find("unknown scene"), std::string::npos);
  r.scene = "glow";
  r.bits = 12;
  EXPECT_FALSE(synth::writeScene(r, files, error));
  EXPECT_EQ(error, "depth must be 8 or 16");
  r.bits = 8;
  r.size = cv::Size(8, 8);
  EXPECT_FALSE(synth::writeScene(r, files, error));
  EXPECT_TRUE(filesIn(dir.path()).empty());
}

}  // namespace
