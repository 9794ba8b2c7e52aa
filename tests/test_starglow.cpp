#include "starglow/starglow.h"

#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

struct TrueStar {
  double x, y, amplitude;
};

// Gaussian star of the given per-channel colour added into a float BGR image.
void addStar(cv::Mat& image, double x, double y, double amplitude, double sigma, cv::Vec3f colour = {1, 1, 1}) {
  const int reach = static_cast<int>(std::ceil(5 * sigma));
  for (int r = std::max(0, static_cast<int>(y) - reach); r <= std::min(image.rows - 1, static_cast<int>(y) + reach); ++r)
    for (int c = std::max(0, static_cast<int>(x) - reach); c <= std::min(image.cols - 1, static_cast<int>(x) + reach);
         ++c) {
      const double g = amplitude * std::exp(-((c - x) * (c - x) + (r - y) * (r - y)) / (2 * sigma * sigma));
      image.at<cv::Vec3f>(r, c) += colour * static_cast<float>(g);
    }
}

// Stars on a grid with sub-pixel jitter and distinct amplitudes, far enough
// apart that no suppression radius joins two of them.
std::vector<TrueStar> starGrid(std::uint32_t seed, cv::Size size, int count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> jitter(-0.5, 0.5);
  std::vector<TrueStar> stars;
  const int perRow = std::max(1, (size.width - 40) / 40);
  count = std::min(count, perRow * std::max(1, (size.height - 40) / 40));
  for (int i = 0; i < count; ++i) {
    const double x = 30 + 40 * (i % perRow) + jitter(rng), y = 30 + 40 * (i / perRow) + jitter(rng);
    stars.push_back({x, y, 0.1 + 0.8 * (i * 7 % count) / count});
  }
  return stars;
}

cv::Mat renderField(cv::Size size, const std::vector<TrueStar>& stars, double background) {
  cv::Mat image(size, CV_32FC3, cv::Scalar::all(background));
  for (const TrueStar& s : stars) addStar(image, s.x, s.y, s.amplitude, 1.5);
  return image;
}

cv::Mat luminanceOf(const cv::Mat& image) {
  cv::Mat lum;
  cv::transform(image, lum, cv::Matx13f(0.0722f, 0.7152f, 0.2126f));
  return lum;
}

NL_StarDetection analyze(const cv::Mat& image, double starAmount, const cv::Mat& mask = cv::Mat()) {
  NL_StarGlowSettings s;
  s.starAmount = starAmount;
  return NL_analyzeStars(luminanceOf(image), image, mask, s);
}

const NL_StarCandidate* nearest(const std::vector<NL_StarCandidate>& found, double x, double y, double& distance) {
  const NL_StarCandidate* best = nullptr;
  distance = 1e9;
  for (const NL_StarCandidate& c : found) {
    const double d = std::hypot(c.x - x, c.y - y);
    if (d < distance) distance = d, best = &c;
  }
  return best;
}

// ---- Settings and report texts -------------------------------------------------

TEST(StarGlowSettings, DefaultsAndClamps) {
  const NL_StarGlowSettings d = NL_readStarGlowSettings("{}");
  EXPECT_EQ(d.starAmount, 30);
  EXPECT_EQ(d.glowStrength, 0.6);
  EXPECT_EQ(d.largeSplit, 89);
  EXPECT_EQ(d.colorSaturation, 400);
  EXPECT_EQ(d.outputMode, "glowOnly");
  EXPECT_FALSE(d.useSkyMask);

  const NL_StarGlowSettings c = NL_readStarGlowSettings(
      R"({"starAmount": 150, "glowStrength": -2, "smallGlowSize": 301, "mediumGlowSize": 900, "largeGlowSize": 1e4,)"
      R"( "mediumSplit": 2, "largeSplit": 3, "colorSaturation": 999, "softness": -1, "outputOpacity": 120,)"
      R"( "useSkyMask": true, "debugOverlay": true, "outputMode": "final"})");
  EXPECT_EQ(c.starAmount, 100);
  EXPECT_EQ(c.glowStrength, 0);
  EXPECT_EQ(c.smallGlowSize, 300);
  EXPECT_EQ(c.mediumGlowSize, 500);
  EXPECT_EQ(c.largeGlowSize, 900);
  EXPECT_EQ(c.mediumSplit, 5);
  EXPECT_EQ(c.largeSplit, 6);  // at least one above the medium split
  EXPECT_EQ(c.colorSaturation, 400);
  EXPECT_EQ(c.softness, 0);
  EXPECT_EQ(c.outputOpacity, 100);
  EXPECT_TRUE(c.useSkyMask && c.debugOverlay);
  EXPECT_EQ(c.outputMode, "final");
  EXPECT_EQ(NL_readStarGlowSettings(R"({"mediumSplit": 95, "largeSplit": 120})").largeSplit, 99);

  const NL_StarGlowJob job = NL_readStarGlowJob(R"({"progressPath": "/p2", "inputPath": "in\"x.png"})");
  EXPECT_EQ(job.progressPath, "/p2");
  EXPECT_EQ(job.inputPath, "in\"x.png");
  EXPECT_EQ(NL_readStarGlowJob(R"({"progress": "/p1", "progressPath": "/p2"})").progressPath, "/p1");
  // Escapes decode as in every other job: the tab once read as "t", naming another, existing file.
  const NL_StarGlowJob escaped = NL_readStarGlowJob(R"({"outputPath": "/o/x\tdone.tif", "inputPath": "C:\\in.tif"})");
  EXPECT_EQ(escaped.outputPath, "/o/x\tdone.tif");
  EXPECT_EQ(escaped.inputPath, "C:\\in.tif");
}

TEST(StarGlowReport, ByteExactFromHandBuiltRecords) {
  NL_StarGlowJob job;
  job.inputPath = "/in.png";
  job.outputPath = "/out.tif";
  job.skyMaskPath = "/mask.png";
  job.settings.useSkyMask = true;
  job.settings.starAmount = 12.3456789;
  job.settings.glowStrength = 1.0 / 3.0;
  job.settings.largeGlowSize = 1234567;
  EXPECT_EQ(NL_starGlowSettingsReport(job),
            "opencvDllStatus = ready\ninput = /in.png\noutput = /out.tif\noutputMode = glowOnly\n"
            "useSkyMask = on\ndebugOverlay = off\nskyMask = /mask.png\ndebugOverlayPath = \n"
            "starClasses = small, medium, large\nstarAmount = 12.3457\nglowStrength = 0.333333\n"
            "smallGlowSize = 3\nmediumGlowSize = 6\nlargeGlowSize = 1.23457e+06\nmediumSplit = 58\n"
            "largeSplit = 89\ncolorSaturation = 400\nsoftness = 40\n");

  NL_ReadinessResult wait;
  wait.size = 5000;
  wait.stable = 3;
  EXPECT_EQ(NL_starGlowReadinessReport(wait, "ab cd", 8),
            "inputFileSize = 5000\ninputContainer = unknown\ninputFilePrefix = ab cd\ninputFileStableChecks = 3 / 8\n");
  EXPECT_EQ(NL_starGlowWaitFailure(wait, 60000),
            "The exported temporary image never became complete within 60 seconds. Last validation: "
            "file size was not stable");
  wait.message = "PNG IEND chunk is not present yet";
  EXPECT_EQ(NL_starGlowWaitFailure(wait, 60000),
            "The exported temporary image never became complete within 60 seconds. Last validation: "
            "PNG IEND chunk is not present yet");
  EXPECT_EQ(NL_starGlowWaitDetail(81234, 5, 8), "Waiting for complete image data (size=81234 bytes, stable=5/8).");

  NL_StarDetection d;
  EXPECT_EQ(NL_starDetectionReport(d), "starDetectionThreshold = 0\nstarCandidates = 0\n");
  d.outcome = NL_StarDetectionOutcome::NoPeaks;
  d.threshold = 0.0123456789;
  EXPECT_EQ(NL_starDetectionReport(d), "starDetectionThreshold = 0.0123457\nstarCandidates = 0\n");
  d.outcome = NL_StarDetectionOutcome::NoneKept;
  d.starAmount = 0.04;
  d.detected = 17;
  EXPECT_EQ(NL_starDetectionReport(d),
            "starDetectionThreshold = 0.0123457\nstarAmount = 0.04\nstarCandidatesDetected = 17\n"
            "starCandidates = 0\nstarCandidateLimit = 0\n");
  d.outcome = NL_StarDetectionOutcome::Kept;
  d.signalMax = 0.75;
  d.limit = 3;
  d.stars.resize(3);
  d.classCount[0] = 1;
  d.classCount[1] = 1;
  d.classCount[2] = 1;
  d.q56 = 2.5;
  d.q88 = 1e-7;
  EXPECT_EQ(NL_starDetectionReport(d),
            "starDetector = star_analyze_local_maxima\nstarDetectionThreshold = 0.0123457\nstarSignalMax = 0.75\n"
            "starAmount = 0.04\nstarCandidatesDetected = 17\nstarCandidates = 3\nstarCandidateLimit = 3\n"
            "starClassSmall = 1\nstarClassMedium = 1\nstarClassLarge = 1\nmediumPercentile = 56\n"
            "largePercentile = 88\nmediumScoreThreshold = 2.5\nlargeScoreThreshold = 1e-07\n"
            "performanceStarMeasurement = star-analyze local maxima + duplicate suppression\n");
  EXPECT_EQ(NL_glowRenderReport(4),
            "performanceGlowRender = horizontal-band parallel render; full-frame thread buffers=0; bands=4\n");
}

// ---- Detection -------------------------------------------------------------------

TEST(StarGlowDetect, FindsTrueStarsAndClassesByFixedPercentiles) {
  const cv::Size size(360, 240);
  const std::vector<TrueStar> truth = starGrid(11, size, 25);
  const NL_StarDetection d = analyze(renderField(size, truth, 0.05), 100);
  ASSERT_EQ(d.outcome, NL_StarDetectionOutcome::Kept);
  ASSERT_EQ(d.stars.size(), truth.size());
  EXPECT_EQ(d.detected, truth.size());
  EXPECT_EQ(d.limit, truth.size());
  for (std::size_t i = 1; i < d.stars.size(); ++i) EXPECT_GE(d.stars[i - 1].score, d.stars[i].score);

  // Equal widths make the score grow with amplitude: with 25 stars the index
  // rules trunc(24 * 0.56) = 13 and trunc(24 * 0.88) = 21 give 4 large, 8 medium, 13 small.
  std::vector<TrueStar> byBrightness = truth;
  std::sort(byBrightness.begin(), byBrightness.end(),
            [](const TrueStar& a, const TrueStar& b) { return a.amplitude > b.amplitude; });
  for (std::size_t rank = 0; rank < byBrightness.size(); ++rank) {
    double distance = 0;
    const NL_StarCandidate* c = nearest(d.stars, byBrightness[rank].x, byBrightness[rank].y, distance);
    ASSERT_NE(c, nullptr);
    EXPECT_LT(distance, 1.0) << "rank " << rank;
    EXPECT_EQ(c->starClass, rank < 4 ? 2 : (rank < 12 ? 1 : 0)) << "rank " << rank;
    EXPECT_GE(c->radius, 1.0);
    EXPECT_LE(c->radius, 14.0);
  }
  EXPECT_EQ(d.classCount[2], 4u);
  EXPECT_EQ(d.classCount[1], 8u);
  EXPECT_EQ(d.classCount[0], 13u);

  // starAmount 1: ceil(0.01^1.18 * 25) = 1, and a lone star is large.
  const NL_StarDetection one = analyze(renderField(size, truth, 0.05), 1);
  ASSERT_EQ(one.stars.size(), 1u);
  EXPECT_EQ(one.limit, 1u);
  EXPECT_EQ(one.stars[0].starClass, 2);
  EXPECT_NEAR(one.stars[0].x, byBrightness[0].x, 1.0);
  EXPECT_NEAR(one.stars[0].y, byBrightness[0].y, 1.0);
}

TEST(StarGlowDetect, BrightestIsolatedStarsOfTheSyntheticGlowSceneWithinAPixel) {
  synth::GlowSettings gs;
  gs.size = cv::Size(600, 400);
  gs.starCount = 150;
  gs.seed = 5;
  const synth::Scene scene = synth::makeGlowScene(gs);
  const NL_StarDetection d = analyze(NL_toFloatBgr(scene.frames[0]), 100);
  std::vector<synth::FrameStar> truth = scene.truth[0].stars;
  std::sort(truth.begin(), truth.end(), [](const auto& a, const auto& b) { return a.flux > b.flux; });
  // Only stars with no comparable neighbour inside the largest suppression radius
  // and away from the border measure cleanly as single stars.
  auto isolated = [&](const synth::FrameStar& s) {
    if (s.position.x < 10 || s.position.y < 10 || s.position.x > gs.size.width - 11 ||
        s.position.y > gs.size.height - 11)
      return false;
    for (const synth::FrameStar& o : truth)
      if (&o != &s && o.flux > 0.05 * s.flux && cv::norm(o.position - s.position) < 24) return false;
    return true;
  };
  int checked = 0;
  for (const synth::FrameStar& s : truth) {
    if (checked == 10) break;
    if (!isolated(s)) continue;
    double distance = 0;
    const NL_StarCandidate* c = nearest(d.stars, s.position.x, s.position.y, distance);
    ASSERT_NE(c, nullptr);
    EXPECT_LT(distance, 1.0) << "flux " << s.flux << " at " << s.position;
    if (checked == 0) {
      EXPECT_EQ(c->starClass, 2);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 10);
}

// The signal from exact blurs, as the detector was first written: the coarse
// skies must stay within a thousandth of its peak on skies of every kind, so
// the same stars clear the threshold.
cv::Mat exactSignal(const cv::Mat& luminance, const cv::Mat& mask) {
  cv::Mat small, large;
  cv::GaussianBlur(luminance, small, cv::Size(), 10.0, 10.0, cv::BORDER_REPLICATE);
  cv::GaussianBlur(luminance, large, cv::Size(), 45.0, 45.0, cv::BORDER_REPLICATE);
  cv::Mat hpSmall = luminance - small, hpLarge = luminance - large, signal;
  hpSmall = cv::max(hpSmall, 0.0);
  hpLarge = cv::max(hpLarge, 0.0) * 0.65f;
  signal = cv::max(hpSmall, hpLarge);
  if (!mask.empty()) signal.setTo(0.0f, mask == 0);
  return signal;
}

TEST(StarGlowDetect, SignalFromCoarseSkiesMatchesExactBlursOnEverySky) {
  struct Sky {
    cv::Size size;
    int stars;
    int bits;
    bool masked;
  };
  for (const Sky& sky : {Sky{{900, 600}, 400, 16, false}, Sky{{1201, 799}, 60, 16, true}, Sky{{640, 480}, 250, 8, false},
                         Sky{{97, 61}, 12, 16, false}}) {
    synth::GlowSettings gs;
    gs.size = sky.size;
    gs.starCount = sky.stars;
    gs.seed = std::uint64_t(sky.stars);
    const synth::Scene scene = synth::makeGlowScene(gs);
    cv::Mat frame = scene.frames[0];
    if (sky.bits == 8) frame.convertTo(frame, CV_8U, 1.0 / 257.0);
    cv::Mat image = NL_toFloatBgr(frame);
    // a light-polluted corner: a steep gradient the wide sky must follow
    for (int y = 0; y < image.rows; ++y)
      for (int x = 0; x < image.cols; ++x) image.at<cv::Vec3f>(y, x) += cv::Vec3f::all(0.3f * x / image.cols * y / image.rows);
    cv::Mat mask;
    if (sky.masked) {
      mask = cv::Mat(image.size(), CV_8U, cv::Scalar(255));
      mask.rowRange(image.rows * 2 / 3, image.rows).setTo(0);
    }
    const cv::Mat lum = luminanceOf(image);
    const cv::Mat expected = exactSignal(lum, mask), got = NL_starGlowSignal(lum, mask);
    double peak = 0.0;
    cv::minMaxLoc(expected, nullptr, &peak);
    EXPECT_LE(cv::norm(got, expected, cv::NORM_INF), 1e-3 * peak) << sky.size;
    if (!mask.empty()) {
      EXPECT_EQ(cv::countNonZero(got.rowRange(image.rows * 2 / 3, image.rows)), 0);
    }
  }
}

// Handing the luminance over lets detection write its signal over it; the
// stars, threshold and classes are those of the copy that keeps it, with a
// mask and without.
TEST(StarGlowDetect, ConsumedLuminanceGivesTheSameStars) {
  synth::GlowSettings gs;
  gs.size = cv::Size(500, 331);
  gs.starCount = 180;
  gs.seed = 12;
  const cv::Mat image = NL_toFloatBgr(synth::makeGlowScene(gs).frames[0]);
  cv::Mat mask(image.size(), CV_8UC1, cv::Scalar(255));
  mask.rowRange(250, 331).setTo(0);
  for (const cv::Mat& m : {cv::Mat(), mask}) {
    NL_StarGlowSettings settings;
    settings.starAmount = 70;
    const cv::Mat kept = luminanceOf(image), keptCopy = kept.clone();
    const NL_StarDetection a = NL_analyzeStars(kept, image, m, settings);
    const NL_StarDetection b = NL_analyzeStars(luminanceOf(image), image, m, settings);
    EXPECT_EQ(cv::norm(kept, keptCopy, cv::NORM_INF), 0.0);  // the kept luminance is untouched
    EXPECT_EQ(a.threshold, b.threshold);
    EXPECT_EQ(a.signalMax, b.signalMax);
    ASSERT_EQ(a.stars.size(), b.stars.size());
    ASSERT_GT(a.stars.size(), 20u);
    for (size_t i = 0; i < a.stars.size(); ++i) {
      EXPECT_EQ(a.stars[i].x, b.stars[i].x);
      EXPECT_EQ(a.stars[i].score, b.stars[i].score);
      EXPECT_EQ(a.stars[i].starClass, b.stars[i].starClass);
    }
  }
}

TEST(StarGlowDetect, EmptyAndTinyImagesAndTheLimitOfZero) {
  std::ostringstream black;
  const cv::Mat zero(64, 64, CV_32FC3, cv::Scalar::all(0));
  EXPECT_TRUE(NL_detectStars(luminanceOf(zero), zero, cv::Mat(), NL_StarGlowSettings{}, black).empty());
  EXPECT_EQ(black.str(), "starDetectionThreshold = 0\nstarCandidates = 0\n");

  cv::Mat flat(12, 80, CV_32FC3, cv::Scalar::all(0));
  addStar(flat, 40, 6, 0.8, 1.5);
  std::ostringstream tiny;
  EXPECT_TRUE(NL_detectStars(luminanceOf(flat), flat, cv::Mat(), NL_StarGlowSettings{}, tiny).empty());
  const std::string tinyLog = tiny.str();
  EXPECT_EQ(tinyLog.rfind("starDetectionThreshold = ", 0), 0u);
  EXPECT_NE(tinyLog.find("\nstarCandidates = 0\n"), std::string::npos);
  EXPECT_EQ(std::count(tinyLog.begin(), tinyLog.end(), '\n'), 2);

  const cv::Size size(200, 120);
  const NL_StarDetection none = analyze(renderField(size, starGrid(3, size, 6), 0.0), 0.04);
  EXPECT_EQ(none.outcome, NL_StarDetectionOutcome::NoneKept);
  EXPECT_EQ(none.limit, 0u);
  EXPECT_EQ(none.detected, 6u);
}

TEST(StarGlowDetect, DuplicateSuppressionRadiusFollowsBrightness) {
  // A bright reference star sets the maximum; the pair 10 px apart is faint
  // (radius 8: both kept) or moderately bright (radius 13: the second is dropped).
  for (const double pair : {0.08, 0.3}) {
    cv::Mat image(120, 200, CV_32FC3, cv::Scalar::all(0));
    addStar(image, 150.2, 60.3, 1.0, 1.5);
    addStar(image, 40.0, 60.0, pair, 1.5);
    addStar(image, 50.0, 60.0, pair, 1.5);
    const NL_StarDetection d = analyze(image, 100);
    EXPECT_EQ(d.stars.size(), pair < 0.12 ? 3u : 2u) << "pair amplitude " << pair;
  }
}

TEST(StarGlowDetect, ColourRatiosAndMask) {
  cv::Mat image(100, 160, CV_32FC3, cv::Scalar::all(0));
  addStar(image, 50.3, 50.6, 0.8, 1.5, cv::Vec3f(0.05f, 0.5f, 1.0f));
  addStar(image, 120.0, 50.0, 0.8, 1.5);
  const NL_StarDetection d = analyze(image, 100);
  ASSERT_EQ(d.stars.size(), 2u);
  double distance = 0;
  const NL_StarCandidate* red = nearest(d.stars, 50.3, 50.6, distance);
  const double lum = 0.2126 * 1.0 + 0.7152 * 0.5 + 0.0722 * 0.05;
  EXPECT_NEAR(red->colorR, 1.0 / lum, 1e-3);
  EXPECT_NEAR(red->colorG, 0.5 / lum, 1e-3);
  EXPECT_EQ(red->colorB, 0.25);  // 0.05 / lum is below the floor
  const NL_StarCandidate* white = nearest(d.stars, 120, 50, distance);
  EXPECT_NEAR(white->colorR, 1.0, 1e-3);

  // A warm star on a blue sky keeps its own colour: the sky is not the star's light.
  cv::Mat sky(100, 160, CV_32FC3, cv::Scalar(0.10, 0.07, 0.05));
  addStar(sky, 60.4, 50.2, 0.3, 1.5, cv::Vec3f(0.6f, 0.85f, 1.0f));
  const NL_StarDetection warm = analyze(sky, 100);
  ASSERT_EQ(warm.stars.size(), 1u);
  const double warmLum = 0.2126 * 1.0 + 0.7152 * 0.85 + 0.0722 * 0.6;
  EXPECT_NEAR(warm.stars[0].colorR, 1.0 / warmLum, 1e-2);
  EXPECT_NEAR(warm.stars[0].colorB, 0.6 / warmLum, 1e-2);

  // The colour comes from the float image: all zero there gives neutral ratios.
  const cv::Mat black(image.size(), CV_32FC3, cv::Scalar::all(0));
  const NL_StarDetection neutral = NL_analyzeStars(luminanceOf(image), black, cv::Mat(), NL_StarGlowSettings{100});
  ASSERT_FALSE(neutral.stars.empty());
  for (const NL_StarCandidate& c : neutral.stars) EXPECT_TRUE(c.colorB == 1 && c.colorG == 1 && c.colorR == 1);

  // Stars outside the mask are never found.
  cv::Mat mask(image.size(), CV_8UC1, cv::Scalar(0));
  mask.colRange(90, 160).setTo(255);
  const NL_StarDetection masked = analyze(image, 100, mask);
  ASSERT_EQ(masked.stars.size(), 1u);
  EXPECT_NEAR(masked.stars[0].x, 120.0, 0.5);
}

// ---- Rendering ---------------------------------------------------------------------

// Direct evaluation of the glow of every prepared star at every pixel, in double.
cv::Mat naiveGlow(cv::Size size, const std::vector<NL_PreparedGlowStar>& stars, const cv::Mat& mask) {
  cv::Mat out(size, CV_32FC3, cv::Scalar::all(0));
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) {
      if (!mask.empty() && !mask.at<uchar>(y, x)) continue;
      double sum[3] = {0, 0, 0};
      for (const NL_PreparedGlowStar& g : stars) {
        if (x < g.x0 || x >= g.x1 || y < g.y0 || y >= g.y1) continue;
        const double d2 = (x - g.x) * (x - g.x) + (y - g.y) * (y - g.y);
        if (d2 > g.reach2) continue;
        const double w = g.intensity * (0.58 * std::exp(-0.5 * d2 / (g.sigmaCore * g.sigmaCore)) +
                                        0.34 * std::exp(-0.5 * d2 / (g.sigmaSoft * g.sigmaSoft)) +
                                        0.08 * std::pow(d2 / (0.18 * g.extent2 + 1e-6) + 1, -g.haloPower));
        sum[0] += g.tintB * w, sum[1] += g.tintG * w, sum[2] += g.tintR * w;
      }
      for (int c = 0; c < 3; ++c) out.at<cv::Vec3f>(y, x)[c] = static_cast<float>(std::min(sum[c], 1.6));
    }
  return out;
}

std::vector<NL_StarCandidate> randomCandidates(std::uint32_t seed, cv::Size size, int count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<NL_StarCandidate> stars(count);
  for (NL_StarCandidate& s : stars) {
    s.x = u(rng) * (size.width + 20) - 10;  // some just outside the frame
    s.y = u(rng) * (size.height + 20) - 10;
    s.peak = 0.05 + 0.9 * u(rng);
    s.flux = 40 * u(rng);
    s.radius = 1 + 6 * u(rng);
    s.score = s.flux * s.peak;
    s.colorB = 0.5 + u(rng), s.colorG = 0.8 + 0.4 * u(rng), s.colorR = 0.6 + u(rng);
    s.starClass = static_cast<int>(u(rng) * 3);
  }
  return stars;
}

TEST(StarGlowRender, PreparedStarFollowsTheShapeRules) {
  NL_StarCandidate s;
  s.x = 100.5;
  s.y = 40.2;
  s.score = 10, s.peak = 0.5, s.flux = 20, s.radius = 3, s.starClass = 2;
  s.colorB = 0.25, s.colorG = 1.0, s.colorR = 1.5;
  const std::vector<NL_PreparedGlowStar> p = NL_prepareGlowStars({s}, cv::Size(200, 60), NL_StarGlowSettings{});
  ASSERT_EQ(p.size(), 1u);
  // E = 1.12 * 8 * (0.72 + 0.045 * 3) * (0.3 + 1.7) = 15.3216, R = ceil(2.25 E) = 35.
  EXPECT_NEAR(p[0].extent2, 15.3216 * 15.3216, 1e-9);
  EXPECT_EQ(p[0].reach2, 35.0 * 35.0);
  EXPECT_EQ(p[0].x0, 101 - 35);
  EXPECT_EQ(p[0].x1, 101 + 36);
  EXPECT_EQ(p[0].y0, 5);
  EXPECT_EQ(p[0].y1, 60);  // clipped at the bottom edge
  EXPECT_NEAR(p[0].intensity, 0.6 * 0.92 * 1.08 * 0.8, 1e-12);
  EXPECT_NEAR(p[0].sigmaCore, 0.28 * 15.3216, 1e-9);
  EXPECT_NEAR(p[0].sigmaSoft, (0.48 + 0.18 * 0.4) * 15.3216, 1e-9);
  EXPECT_NEAR(p[0].haloPower, 2.4 + 2 * 0.6, 1e-12);
  EXPECT_NEAR(p[0].tintB, 0.05, 1e-12);          // 1 + 2.76 * (0.25 - 1) clamps
  EXPECT_NEAR(p[0].tintR, 1 + 2.76 * 0.5, 1e-12);  // tint gain 0.62 * 4 + 0.28
  EXPECT_NEAR(p[0].tintG, 1.0, 1e-12);

  NL_StarGlowSettings tinyGlow;
  tinyGlow.largeGlowSize = 0.01;
  EXPECT_TRUE(NL_prepareGlowStars({s}, cv::Size(200, 60), tinyGlow).empty());
  s.x = -80;  // rectangle entirely left of the image
  EXPECT_TRUE(NL_prepareGlowStars({s}, cv::Size(200, 60), NL_StarGlowSettings{}).empty());
}

TEST(StarGlowRender, MatchesNaiveReferenceAndIgnoresThreadCount) {
  const cv::Size size(150, 97);
  const std::vector<NL_StarCandidate> stars = randomCandidates(5, size, 40);
  NL_StarGlowSettings settings;
  settings.glowStrength = 2.0;
  settings.largeGlowSize = 14;
  cv::Mat mask(size, CV_8UC1, cv::Scalar(255));
  cv::circle(mask, cv::Point(40, 70), 25, cv::Scalar(0), cv::FILLED);
  const int threadsBefore = cv::getNumThreads();
  std::vector<cv::Mat> layers;
  for (int threads : {1, 4}) {
    cv::setNumThreads(threads);
    cv::Mat glow(size, CV_32FC3, cv::Scalar::all(0));
    std::ostringstream log;
    const int bands = NL_renderGlow(glow, stars, mask, settings, log);
    EXPECT_EQ(bands, 2 * threads);
    EXPECT_EQ(log.str(), NL_glowRenderReport(bands));
    layers.push_back(glow);
  }
  cv::setNumThreads(threadsBefore);
  EXPECT_EQ(cv::norm(layers[0], layers[1], cv::NORM_INF), 0.0);  // per-pixel sums keep star order
  const cv::Mat reference = naiveGlow(size, NL_prepareGlowStars(stars, size, settings), mask);
  EXPECT_LT(cv::norm(layers[0], reference, cv::NORM_INF), 2e-5);
  EXPECT_GT(cv::norm(reference, cv::NORM_INF), 0.05);
  double top = 0;
  cv::minMaxLoc(layers[0].reshape(1), nullptr, &top);
  EXPECT_LE(top, 1.6f);
}

TEST(StarGlowRender, MaskEdgeCeilingOneRowAndNothingToDraw) {
  NL_StarCandidate s;
  s.x = 30, s.y = 20, s.score = 1, s.peak = 0.9, s.flux = 200, s.radius = 5, s.starClass = 2;
  s.colorR = 2.8;
  NL_StarGlowSettings strong;
  strong.glowStrength = 3;
  cv::Mat mask(40, 60, CV_8UC1, cv::Scalar(0));
  mask.colRange(0, 34).setTo(255);
  cv::Mat glow(40, 60, CV_32FC3, cv::Scalar::all(0));
  std::ostringstream log;
  NL_renderGlow(glow, {s}, mask, strong, log);
  EXPECT_EQ(cv::countNonZero(glow.colRange(34, 60).reshape(1)), 0);  // nothing over the foreground
  EXPECT_GT(glow.at<cv::Vec3f>(20, 33)[2], 0.0f);                     // right up to the edge
  EXPECT_FLOAT_EQ(glow.at<cv::Vec3f>(20, 30)[2], 1.6f);               // clipped core

  cv::Mat row(1, 50, CV_32FC3, cv::Scalar::all(0));
  s.x = 10, s.y = 0;
  EXPECT_EQ(NL_renderGlow(row, {s}, cv::Mat(), NL_StarGlowSettings{}, log), 1);
  EXPECT_GT(row.at<cv::Vec3f>(0, 10)[1], 0.0f);

  for (const auto& tweak : {std::make_pair(&NL_StarGlowSettings::outputOpacity, 0.0),
                            std::make_pair(&NL_StarGlowSettings::glowStrength, 0.0)}) {
    NL_StarGlowSettings off;
    off.*tweak.first = tweak.second;
    cv::Mat layer(40, 60, CV_32FC3, cv::Scalar::all(0));
    std::ostringstream quiet;
    EXPECT_EQ(NL_renderGlow(layer, {s}, cv::Mat(), off, quiet), 0);
    EXPECT_EQ(cv::countNonZero(layer.reshape(1)), 0);
    EXPECT_EQ(quiet.str(), "");
  }
  cv::Mat wrong(4, 4, CV_32FC1);
  EXPECT_THROW(NL_renderGlow(wrong, {s}, cv::Mat(), NL_StarGlowSettings{}, log), cv::Exception);
}

// The layer handed out a few rows at a time while it is drawn holds exactly
// what the whole-layer renderer draws: every size (one row, fewer rows than
// a piece, sizes no piece divides), with a mask, on 1 and 3 threads; each
// row comes exactly once, and with nothing to draw every row still comes, zero.
TEST(StarGlowRender, PiecesHoldTheWholeLayerOnEverySizeAndThreadCount) {
  const int threadsBefore = cv::getNumThreads();
  NL_StarGlowSettings settings;
  settings.glowStrength = 2.5;
  settings.largeGlowSize = 20;
  for (const cv::Size size : {cv::Size(150, 97), cv::Size(50, 1), cv::Size(61, 7), cv::Size(311, 203)})
    for (const bool masked : {false, true})
      for (const int threads : {1, 3}) {
        SCOPED_TRACE(testing::Message() << size << (masked ? " masked" : "") << " threads " << threads);
        cv::setNumThreads(threads);
        const std::vector<NL_StarCandidate> stars = randomCandidates(static_cast<std::uint32_t>(size.area()), size, 30);
        cv::Mat mask;
        if (masked) {
          mask = cv::Mat(size, CV_8UC1, cv::Scalar(255));
          cv::circle(mask, cv::Point(size.width / 3, size.height / 2), size.height / 3 + 1, cv::Scalar(0), cv::FILLED);
        }
        cv::Mat whole(size, CV_32FC3, cv::Scalar::all(0)), pieces(size, CV_32FC3, cv::Scalar::all(-1));
        std::ostringstream wholeLog, piecesLog;
        const int bands = NL_renderGlow(whole, stars, mask, settings, wholeLog);
        std::vector<std::atomic<int>> handed(static_cast<size_t>(size.height));
        const int pieceBands = NL_renderGlowPieces(size, stars, mask, settings, piecesLog, [&](int y0, cv::Mat& piece) {
          ASSERT_EQ(piece.type(), CV_32FC3);
          ASSERT_EQ(piece.cols, size.width);
          for (int y = y0; y < y0 + piece.rows; ++y) ++handed[static_cast<size_t>(y)];
          piece.copyTo(pieces.rowRange(y0, y0 + piece.rows));
        });
        EXPECT_EQ(pieceBands, bands);
        EXPECT_EQ(piecesLog.str(), wholeLog.str());
        for (const std::atomic<int>& n : handed) ASSERT_EQ(n.load(), 1);
        EXPECT_EQ(cv::norm(pieces, whole, cv::NORM_INF), 0.0);
        EXPECT_GT(cv::norm(whole, cv::NORM_INF), 0.0);
      }
  cv::setNumThreads(threadsBefore);

  NL_StarGlowSettings off;
  off.outputOpacity = 0;
  const cv::Size size(40, 30);
  std::vector<int> handed(30, 0);
  std::ostringstream quiet;
  EXPECT_EQ(NL_renderGlowPieces(size, randomCandidates(3, size, 5), cv::Mat(), off, quiet, [&](int y0, cv::Mat& piece) {
              for (int y = y0; y < y0 + piece.rows; ++y) ++handed[static_cast<size_t>(y)];
              EXPECT_EQ(cv::countNonZero(piece.reshape(1)), 0);
            }),
            0);
  EXPECT_EQ(quiet.str(), "");
  EXPECT_EQ(handed, std::vector<int>(30, 1));
}

TEST(StarGlowRender, ScreenCompositeAndOverlay) {
  cv::Mat image(2, 3, CV_32FC3, cv::Scalar(0.5f, 1.0f, 0.0f));
  image.at<cv::Vec3f>(1, 2) = cv::Vec3f(-0.5f, 1.5f, 0.25f);
  cv::Mat glow(2, 3, CV_32FC3, cv::Scalar(0.5f, 0.3f, 1.6f));
  const cv::Mat out = NL_screenComposite(image, glow);
  EXPECT_FLOAT_EQ(out.at<cv::Vec3f>(0, 0)[0], 0.75f);
  EXPECT_FLOAT_EQ(out.at<cv::Vec3f>(0, 0)[1], 1.0f);  // white stays white
  EXPECT_FLOAT_EQ(out.at<cv::Vec3f>(0, 0)[2], 1.0f);  // glow above 1 counts as 1
  EXPECT_FLOAT_EQ(out.at<cv::Vec3f>(1, 2)[0], 0.5f);  // negative image counts as 0
  EXPECT_FLOAT_EQ(out.at<cv::Vec3f>(1, 2)[1], 1.0f);
  NL_screenCompositeInto(image, glow);
  EXPECT_EQ(cv::norm(out, glow, cv::NORM_INF), 0.0);

  NL_StarCandidate a, b, outside;
  a.x = 20.7, a.y = 20.2, a.score = 2, a.peak = 1, a.radius = 2, a.starClass = 2;
  b.x = 60, b.y = 30, b.score = 0.1, b.peak = 0.1, b.radius = 1, b.starClass = 0;
  outside.x = -3, outside.y = 5;
  const cv::Mat overlay = NL_drawStarGlowDebugOverlay(cv::Size(80, 50), {a, b, outside});
  ASSERT_EQ(overlay.type(), CV_16UC4);
  EXPECT_EQ(overlay.at<cv::Vec4w>(45, 20), cv::Vec4w(0, 0, 0, 0));  // inside the rings, off the crosses
  const cv::Vec4w centre = overlay.at<cv::Vec4w>(20, 20);  // cross at the truncated centroid
  EXPECT_EQ(centre[2], 65535);
  EXPECT_EQ(centre[1], static_cast<ushort>(std::lround(0.62 * 65535)));  // t = 1 for the strongest star
  EXPECT_EQ(centre[3], static_cast<ushort>(std::lround(0.92 * 65535)));
  EXPECT_EQ(overlay.at<cv::Vec4w>(30, 60 + 4)[2], 65535);
  EXPECT_EQ(overlay.at<cv::Vec4w>(30, 60 + 5)[2], 0);  // arms are 4 px long
}

// ---- Input conversion ---------------------------------------------------------------

class StarGlowToFloat : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(StarGlowToFloat, ScalesWhiteToOneAndKeepsBgrOrder) {
  const auto [depth, channels] = GetParam();
  const double white = depth == CV_8U ? 255 : (depth == CV_16U ? 65535 : 1);
  cv::Mat src(3, 4, CV_MAKETYPE(depth, channels), cv::Scalar::all(0));
  const cv::Scalar px(white, white / 5, white / 4, white);  // B, G, R, A
  src.setTo(px);
  const cv::Mat out = NL_toFloatBgr(src);
  ASSERT_EQ(out.type(), CV_32FC3);
  const cv::Vec3f v = out.at<cv::Vec3f>(2, 3);
  const double tol = depth == CV_8U ? 1.0 / 255 : 1e-4;
  if (channels == 1) {
    EXPECT_NEAR(v[0], 1.0, tol);
    EXPECT_EQ(v[0], v[2]);
  } else {
    EXPECT_NEAR(v[0], 1.0, tol);
    EXPECT_NEAR(v[1], 0.2, tol);
    EXPECT_NEAR(v[2], 0.25, tol);
  }
}

INSTANTIATE_TEST_SUITE_P(DepthByChannels, StarGlowToFloat,
                         ::testing::Combine(::testing::Values(CV_8U, CV_16U, CV_32F), ::testing::Values(1, 3, 4)));

TEST(StarGlowToFloatEdges, RejectsTwoChannelsAndCleansFloatSamples) {
  try {
    NL_toFloatBgr(cv::Mat(2, 2, CV_8UC2, cv::Scalar::all(1)));
    FAIL() << "two channels accepted";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Unsupported channel count.");
  }
  EXPECT_THROW(NL_toFloatBgr(cv::Mat()), cv::Exception);
  cv::Mat f(1, 3, CV_32FC3, cv::Scalar(0.5f, -0.2f, 2.0f));
  f.at<cv::Vec3f>(0, 1) = cv::Vec3f(std::nanf(""), INFINITY, -INFINITY);
  const cv::Mat out = NL_toFloatBgr(f);
  EXPECT_EQ(out.at<cv::Vec3f>(0, 0), cv::Vec3f(0.5f, 0.0f, 2.0f));
  EXPECT_EQ(out.at<cv::Vec3f>(0, 1), cv::Vec3f(0, 0, 0));
}

// The frame the job reads a few rows or one star's rectangle at a time holds
// the samples of the whole-image conversion, bit for bit, on every depth and
// channel layout, on rectangles at every edge, and so does its luminance.
TEST(StarGlowFloatFrame, EveryRectangleAndTheLuminanceAreTheWholeConversion) {
  std::mt19937 rng(77);
  for (const int depth : {CV_8U, CV_16U, CV_16S, CV_32F, CV_64F})
    for (const int channels : {1, 3, 4})
      for (const cv::Size size : {cv::Size(37, 23), cv::Size(1003, 5), cv::Size(1, 9)}) {
        SCOPED_TRACE(testing::Message() << "depth " << depth << " channels " << channels << " " << size);
        cv::Mat src(size, CV_MAKETYPE(depth, channels));
        const double top = depth == CV_8U ? 255 : (depth == CV_32F || depth == CV_64F ? 1.3 : 65535);
        cv::randu(src, cv::Scalar::all(depth == CV_16S || depth == CV_32F ? -0.2 * top : 0), cv::Scalar::all(top));
        const cv::Mat whole = NL_toFloatBgr(src);
        const NL_FloatBgrFrame frame(src);
        ASSERT_EQ(frame.size(), size);
        std::uniform_int_distribution<int> px(0, size.width - 1), py(0, size.height - 1);
        std::vector<cv::Rect> areas = {cv::Rect(cv::Point(), size), cv::Rect(size.width - 1, size.height - 1, 1, 1)};
        for (int i = 0; i < 12; ++i) {
          const cv::Point a(px(rng), py(rng)), b(px(rng), py(rng));
          areas.push_back(cv::Rect(a, b) | cv::Rect(a, cv::Size(1, 1)));
        }
        cv::Mat piece;
        for (const cv::Rect& area : areas) {
          frame.read(area, piece);
          ASSERT_EQ(piece.type(), CV_32FC3);
          ASSERT_EQ(piece.size(), area.size());
          EXPECT_EQ(cv::norm(piece, whole(area), cv::NORM_INF), 0.0) << area;
        }
        EXPECT_EQ(cv::norm(frame.luminance(), luminanceOf(whole), cv::NORM_INF), 0.0);
      }
  try {
    NL_FloatBgrFrame(cv::Mat(2, 2, CV_16UC2, cv::Scalar::all(1)));
    FAIL() << "two channels accepted";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Unsupported channel count.");
  }
  EXPECT_THROW(NL_FloatBgrFrame{cv::Mat()}, cv::Exception);
}

// ---- Readiness --------------------------------------------------------------------

std::string encode(const cv::Mat& image, const std::string& ext) {
  std::vector<uchar> bytes;
  EXPECT_TRUE(cv::imencode(ext, image, bytes));
  return std::string(bytes.begin(), bytes.end());
}

// A 16-bit star field whose PNG is comfortably above the 4096-byte floor.
cv::Mat testFrame16(std::uint32_t seed, cv::Size size) {
  cv::Mat f = renderField(size, starGrid(seed, size, 12), 0.08);
  cv::Mat noise(size, CV_32FC3);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::NORMAL, 0, 0.002);
  f += noise;
  cv::Mat out;
  f.convertTo(out, CV_16UC3, 65535);
  return out;
}

std::string bigTiffHeader(std::uint16_t offsetSize, std::uint64_t offset) {
  std::string h = "II";
  h += std::string("\x2B\x00", 2);
  h += static_cast<char>(offsetSize & 255);
  h += static_cast<char>(offsetSize >> 8);
  h += std::string(2, '\0');
  for (int i = 0; i < 8; ++i) h += static_cast<char>((offset >> (8 * i)) & 255);
  return h;
}

TEST(StarGlowReadiness, StructureChecksOfPngAndTiff) {
  TempDir dir;
  const std::string png = encode(testFrame16(1, cv::Size(96, 64)), ".png");
  auto check = [&](const std::string& bytes) {
    writeFile(dir.file("t"), bytes);
    return NL_validateTemporaryImage(dir.file("t"), bytes.size());
  };
  NL_TemporaryImageCheck r = check(png);
  EXPECT_TRUE(r.ready);
  EXPECT_EQ(r.container, "PNG");
  EXPECT_EQ(check(png.substr(0, png.size() - 12)).message, "PNG IEND chunk is not present yet");
  EXPECT_EQ(check(png.substr(0, 20)).message, "PNG header is incomplete");
  std::string broken = png;
  broken[12] = 'X';
  EXPECT_EQ(check(broken).message, "PNG IHDR chunk is incomplete");
  broken = png;
  broken.replace(16, 4, std::string(4, '\0'));
  EXPECT_EQ(check(broken).message, "PNG dimensions are invalid");
  EXPECT_EQ(check("\x89PN").message, "image signature is incomplete");
  r = check("GIF89a-not-an-export");
  EXPECT_EQ(r.container, "unknown");
  EXPECT_EQ(r.message, "unsupported temporary image signature");
  r = NL_validateTemporaryImage(dir.file("missing"), 0);
  EXPECT_EQ(r.message, "file is not readable yet");
  EXPECT_EQ(r.container, "");

  const std::string tif = encode(testFrame16(2, cv::Size(40, 30)), ".tif");
  r = check(tif);
  EXPECT_TRUE(r.ready) << r.message;
  EXPECT_EQ(r.container, "TIFF");
  // Big-endian offset 0x00000100 = 256: present in a 300-byte file, absent in a 200-byte one.
  const std::string mm = std::string("MM\x00\x2A\x00\x00\x01\x00", 8);
  EXPECT_TRUE(check(mm + std::string(292, '\0')).ready);
  EXPECT_EQ(check(mm + std::string(192, '\0')).message, "first TIFF directory is not fully present yet");
  EXPECT_EQ(check(std::string("II\x2A\x00\x00\x00\x00\x00", 8) + std::string(100, 'x')).message,
            "first TIFF directory is not fully present yet");
  EXPECT_EQ(check("IM" + std::string(20, '\0')).message, "unsupported temporary image signature");
  EXPECT_EQ(check(std::string("II\x2C\x00", 4) + std::string(20, '\0')).message, "unsupported TIFF header version");
  EXPECT_EQ(check(bigTiffHeader(4, 16) + std::string(100, '\0')).message, "invalid BigTIFF header");
  EXPECT_EQ(check(bigTiffHeader(8, 16).substr(0, 12)).message, "invalid BigTIFF header");
  EXPECT_TRUE(check(bigTiffHeader(8, 16) + std::string(100, '\0')).ready);
  EXPECT_EQ(check(bigTiffHeader(8, ~0ull) + std::string(100, '\0')).message,
            "first TIFF directory is not fully present yet");
  std::string message;
  writeFile(dir.file("b"), bigTiffHeader(8, 0x1000));
  EXPECT_FALSE(NL_isPlausibleTiffFile(dir.file("b"), 0x1001, message));
  EXPECT_TRUE(NL_isPlausibleTiffFile(dir.file("b"), 0x1002, message));

  EXPECT_EQ(NL_fileHexPrefix(dir.file("missing")), "unavailable");
  writeFile(dir.file("h"), std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDRxyz", 19));
  EXPECT_EQ(NL_fileHexPrefix(dir.file("h")), "89 50 4e 47 0d 0a 1a 0a 00 00 00 0d 49 48 44 52");
}

NL_ReadinessWaitSettings quickWait(int limitMs) {
  NL_ReadinessWaitSettings w;
  w.limitMs = limitMs;
  w.pollMs = 10;
  return w;
}

TEST(StarGlowReadiness, SlowWriterIsDecodedOnlyWhenComplete) {
  TempDir dir;
  const std::string png = encode(testFrame16(4, cv::Size(160, 120)), ".png");
  const std::string path = dir.file("export.png");
  std::atomic<bool> finished{false};
  std::thread writer([&] {
    std::ofstream out(path, std::ios::binary);
    const std::size_t step = png.size() / 6 + 1;
    for (std::size_t at = 0; at < png.size(); at += step) {
      out.write(png.data() + at, static_cast<std::streamsize>(std::min(step, png.size() - at)));
      out.flush();
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    out.close();
    finished = true;
  });
  std::vector<int> percents;
  const NL_ReadinessResult r =
      NL_waitForTemporaryImage(path, quickWait(10000), [&](int p, const std::string&) { percents.push_back(p); });
  const bool finishedWhenReady = finished;
  writer.join();
  EXPECT_TRUE(r.ready);
  EXPECT_TRUE(finishedWhenReady);
  EXPECT_EQ(r.size, png.size());
  EXPECT_EQ(r.stable, 8);
  EXPECT_FALSE(cv::imread(path, cv::IMREAD_UNCHANGED).empty());
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 14);
  for (int p : percents) EXPECT_TRUE(p >= 8 && p <= 14);

  const std::string partial = dir.file("partial.png");
  writeFile(partial, png.substr(0, png.size() - 12));
  const NL_ReadinessResult stuck = NL_waitForTemporaryImage(partial, quickWait(200), nullptr);
  EXPECT_FALSE(stuck.ready);
  EXPECT_EQ(stuck.message, "PNG IEND chunk is not present yet");
  EXPECT_EQ(stuck.container, "PNG");
}

// ---- Whole job ---------------------------------------------------------------------

struct JobFiles {
  TempDir dir;
  std::string job = dir.file("star_glow_job_native.json");
  std::string input = dir.file("input.png");
  std::string output = dir.file("glow.tif");
  std::string log = dir.file("result.txt");
  std::string progress = dir.file("progress.txt");
  std::string mask = dir.file("mask.png");
  std::string overlay = dir.file("overlay.png");
};

std::string quote(const std::string& s) { return "\"" + s + "\""; }

// Job JSON with the files of f; extra members are spliced in verbatim.
void writeJob(const JobFiles& f, const std::string& extra, bool withInput = true, bool withOutput = true) {
  std::string j = "{\n  \"type\": \"star-glow-native-job\",\n";
  if (withInput) j += "  \"inputPath\": " + quote(f.input) + ",\n";
  if (withOutput) j += "  \"outputPath\": " + quote(f.output) + ",\n";
  j += "  \"resultLog\": " + quote(f.log) + ",\n  \"progress\": " + quote(f.progress) + extra + "\n}\n";
  writeFile(f.job, j);
}

NL_StarGlowJobTiming quickTiming(int limitMs = 5000) {
  NL_StarGlowJobTiming t;
  t.wait = quickWait(limitMs);
  t.settleMs = 0;
  t.maskRetryLimitMs = 30;
  return t;
}

std::vector<std::string> logKeys(const std::string& log) {
  std::vector<std::string> keys;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) keys.push_back(line.substr(0, line.find(" = ")));
  return keys;
}

std::string logValue(const std::string& log, const std::string& key) {
  const std::string needle = "\n" + key + " = ";
  const std::size_t at = log.find(needle);
  if (at == std::string::npos) return "<absent>";
  const std::size_t start = at + needle.size();
  return log.substr(start, log.find('\n', start) - start);
}

void expectFailure(const JobFiles& f, const std::string& log, const std::string& message) {
  EXPECT_NE(log.find("\nstatus = failed\nerror = " + message + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.substr(log.size() - message.size() - 1), message + "\n");
  EXPECT_EQ(readFile(f.log), log);
  EXPECT_EQ(readFile(f.progress).substr(0, 32 + message.size()), "percent=100\nstage=Failed\ndetail=" + message);
  EXPECT_FALSE(std::filesystem::exists(f.output));
}

std::size_t partialFiles(const std::string& folder) {
  std::size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    n += e.path().filename().string().find("partial") != std::string::npos;
  return n;
}

TEST(StarGlowJob, FinalCompositeRunsEndToEndWithEveryLogKeyInOrder) {
  JobFiles f;
  const cv::Mat frame = testFrame16(8, cv::Size(256, 192));
  ASSERT_TRUE(cv::imwrite(f.input, frame));
  cv::Mat mask(96, 128, CV_8UC1, cv::Scalar(255));  // half size: resized to the frame
  mask.rowRange(72, 96).setTo(0);                    // foreground at the bottom
  ASSERT_TRUE(cv::imwrite(f.mask, mask));
  writeJob(f, ",\n  \"outputMode\": \"final\", \"useSkyMask\": true, \"skyMaskPath\": " + quote(f.mask) +
                  ", \"debugOverlay\": true, \"debugOverlayPath\": " + quote(f.overlay) + ", \"starAmount\": 100");
  const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
  const std::vector<std::string> expected = {
      "Native Star Glow result.", "job", "opencvDllStatus", "input", "output", "outputMode", "useSkyMask",
      "debugOverlay", "skyMask", "debugOverlayPath", "starClasses", "starAmount", "glowStrength", "smallGlowSize",
      "mediumGlowSize", "largeGlowSize", "mediumSplit", "largeSplit", "colorSaturation", "softness",
      "inputFileSize", "inputContainer", "inputFilePrefix", "inputFileStableChecks", "inputDecodeMs",
      "inputDecodeMethod", "inputDepth", "inputChannels", "canvas", "skyMaskResize", "skyMaskLoad",
      "skyMaskPixels", "starDetector", "starDetectionThreshold", "starSignalMax", "starAmount",
      "starCandidatesDetected", "starCandidates", "starCandidateLimit", "starClassSmall", "starClassMedium",
      "starClassLarge", "mediumPercentile", "largePercentile", "mediumScoreThreshold", "largeScoreThreshold",
      "performanceStarMeasurement", "debugOverlay", "debugOverlayPath", "performanceGlowRender", "write", "status"};
  EXPECT_EQ(logKeys(log), expected) << log;
  EXPECT_EQ(readFile(f.log), log);
  EXPECT_EQ(logValue(log, "status"), "success");
  EXPECT_EQ(logValue(log, "inputContainer"), "PNG");
  EXPECT_EQ(logValue(log, "inputFileSize"), std::to_string(std::filesystem::file_size(f.input)));
  EXPECT_EQ(logValue(log, "inputFilePrefix"), "89 50 4e 47 0d 0a 1a 0a 00 00 00 0d 49 48 44 52");
  EXPECT_EQ(logValue(log, "inputFileStableChecks"), "8 / 8");
  EXPECT_EQ(logValue(log, "inputDecodeMethod"), "imread");
  EXPECT_EQ(logValue(log, "inputDepth"), "2");
  EXPECT_EQ(logValue(log, "inputChannels"), "3");
  EXPECT_EQ(logValue(log, "canvas"), "256 x 192");
  EXPECT_EQ(logValue(log, "skyMaskResize"), "256 x 192");
  EXPECT_EQ(logValue(log, "starCandidates"), "12");
  EXPECT_EQ(logValue(log, "debugOverlayPath"), f.overlay);
  EXPECT_EQ(readFile(f.progress), "percent=100\nstage=Completed\ndetail=Star Glow finished successfully.\n"
                                  "writer=module landscape-progress-monotonic-v2\n");

  const cv::Mat out = cv::imread(f.output, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(out.type(), CV_16UC3);
  ASSERT_EQ(out.size(), frame.size());
  cv::Mat lower;
  cv::compare(out, frame, lower, cv::CMP_LT);
  EXPECT_EQ(cv::countNonZero(lower.reshape(1)), 0);  // a screen blend never darkens
  // Foreground rows (mask eroded, so start a little below its edge) are untouched.
  EXPECT_LE(cv::norm(out.rowRange(148, 192), frame.rowRange(148, 192), cv::NORM_INF), 1.0);
  EXPECT_GT(cv::norm(out.rowRange(0, 140), frame.rowRange(0, 140), cv::NORM_INF), 3000.0);
  const cv::Mat overlay = cv::imread(f.overlay, cv::IMREAD_UNCHANGED);
  EXPECT_EQ(overlay.type(), CV_16UC4);
  EXPECT_EQ(partialFiles(f.dir.path()), 0u);
}

TEST(StarGlowJob, GlowOnlyModesAndStarAmountZero) {
  JobFiles f;
  const cv::Mat frame = testFrame16(9, cv::Size(200, 150));
  ASSERT_TRUE(cv::imwrite(f.input, frame));
  writeJob(f, ",\n  \"outputMode\": \"Final\"");  // not exactly "final": glow layer only
  std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
  EXPECT_EQ(logValue(log, "status"), "success") << log;
  cv::Mat out = cv::imread(f.output, cv::IMREAD_UNCHANGED);
  EXPECT_EQ(out.at<cv::Vec3w>(5, 195), cv::Vec3w(0, 0, 0));  // no sky background in a glow layer
  EXPECT_GT(cv::norm(out, cv::NORM_INF), 1000.0);

  writeJob(f, ",\n  \"starAmount\": 0, \"outputMode\": \"glowOnly\"");
  log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
  EXPECT_NE(log.find("\ncanvas = 200 x 150\nstarAmountNoEffect = true\nstarCandidates = 0\nwrite = success\n"),
            std::string::npos)
      << log;
  out = cv::imread(f.output, cv::IMREAD_UNCHANGED);
  EXPECT_EQ(out.size(), frame.size());
  EXPECT_EQ(cv::countNonZero(out.reshape(1)), 0);
}

// What the job wrote before it drew the glow a few rows at a time: the whole
// layer, the screen blend over it and the 16-bit conversion of the result.
// With a sky mask, the mask as the job loads it (binary, eroded twice).
cv::Mat wholeLayerResult(const std::string& input, const NL_StarGlowSettings& settings,
                         const std::string& maskPath = "") {
  const cv::Mat image = NL_toFloatBgr(cv::imread(input, cv::IMREAD_UNCHANGED));
  cv::Mat mask;
  if (!maskPath.empty()) {
    cv::threshold(cv::imread(maskPath, cv::IMREAD_GRAYSCALE), mask, 16, 255, cv::THRESH_BINARY);
    cv::erode(mask, mask, cv::Mat(), cv::Point(-1, -1), 2);
  }
  std::ostringstream log;
  const std::vector<NL_StarCandidate> stars = NL_detectStars(luminanceOf(image), image, mask, settings, log);
  cv::Mat glow(image.size(), CV_32FC3, cv::Scalar::all(0));
  NL_renderGlow(glow, stars, mask, settings, log);
  if (settings.outputMode == "final") NL_screenCompositeInto(image, glow);
  cv::Mat out;
  glow.convertTo(out, CV_16UC3, 65535.0);
  return out;
}

// The job's result against the whole-layer pipeline on skies of every kind
// it decodes: 16-bit colour (whose buffer the result reuses), 8-bit, grey and
// colour with alpha, dense and sparse, composite and glow layer alone, with
// and without a sky mask cutting through stars. Not a sample may differ.
TEST(StarGlowJob, ResultIsTheWholeLayerPipelinesOnEveryKindOfSky) {
  struct Sky {
    cv::Size size;
    int stars;
    int depth, channels;
    bool final;
    double amount;
    bool masked = false;
  };
  for (const Sky& sky : {Sky{{700, 430}, 300, CV_16U, 3, true, 60}, Sky{{512, 300}, 40, CV_8U, 3, false, 100},
                         Sky{{333, 257}, 120, CV_16U, 1, true, 30}, Sky{{401, 199}, 200, CV_16U, 4, false, 80},
                         Sky{{640, 17}, 30, CV_8U, 4, true, 100}, Sky{{517, 389}, 250, CV_16U, 3, true, 100, true},
                         Sky{{463, 301}, 90, CV_8U, 3, true, 70, true}}) {
    SCOPED_TRACE(testing::Message() << sky.size << " depth " << sky.depth << " channels " << sky.channels);
    synth::GlowSettings gs;
    gs.size = sky.size;
    gs.starCount = sky.stars;
    gs.seed = std::uint64_t(sky.stars + sky.channels);
    cv::Mat frame = synth::makeGlowScene(gs).frames[0];
    if (sky.depth == CV_8U) frame.convertTo(frame, CV_8U, 1.0 / 257.0);
    if (sky.channels == 1) cv::cvtColor(frame, frame, cv::COLOR_BGR2GRAY);
    if (sky.channels == 4) cv::cvtColor(frame, frame, cv::COLOR_BGR2BGRA);
    JobFiles f;
    f.input = f.dir.file("input.tif");
    ASSERT_TRUE(cv::imwrite(f.input, frame));
    NL_StarGlowSettings settings;
    settings.starAmount = sky.amount;
    settings.outputMode = sky.final ? "final" : "glowOnly";
    std::string maskKeys;
    if (sky.masked) {
      // A ragged horizon: columns of different heights, so the edge crosses stars.
      cv::Mat mask(frame.size(), CV_8UC1, cv::Scalar(255));
      for (int x = 0; x < mask.cols; ++x) mask.col(x).rowRange(mask.rows / 2 + (x * 37) % 90, mask.rows).setTo(0);
      ASSERT_TRUE(cv::imwrite(f.mask, mask));
      maskKeys = ", \"useSkyMask\": true, \"skyMaskPath\": " + quote(f.mask);
    }
    writeJob(f, ",\n  \"outputMode\": " + quote(settings.outputMode) + ", \"starAmount\": " +
                    std::to_string(sky.amount) + ", \"inputComplete\": true" + maskKeys);
    const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
    ASSERT_EQ(logValue(log, "status"), "success") << log;
    ASSERT_NE(logValue(log, "starCandidates"), "0") << log;
    const cv::Mat out = cv::imread(f.output, cv::IMREAD_UNCHANGED),
                  expected = wholeLayerResult(f.input, settings, sky.masked ? f.mask : "");
    ASSERT_EQ(out.type(), CV_16UC3);
    EXPECT_EQ(cv::norm(out, expected, cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(out, cv::NORM_INF), 1000.0);
  }
}

TEST(StarGlowJob, FloatTiffInputIsScaledAsWhiteOne) {
  JobFiles f;
  f.input = f.dir.file("input.tif");
  cv::Mat frame;
  testFrame16(10, cv::Size(120, 90)).convertTo(frame, CV_32FC3, 1.0 / 65535);
  ASSERT_TRUE(cv::imwrite(f.input, frame));
  writeJob(f, "");
  const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
  EXPECT_EQ(logValue(log, "status"), "success") << log;
  EXPECT_EQ(logValue(log, "inputContainer"), "TIFF");
  EXPECT_EQ(logValue(log, "inputDepth"), "5");
  EXPECT_EQ(logValue(log, "starCandidates"), logValue(log, "starCandidateLimit"));
  EXPECT_NE(logValue(log, "starCandidates"), "0");
}

TEST(StarGlowJob, EveryFailureReachesLogFileAndProgress) {
  {
    JobFiles f;
    EXPECT_EQ(NL_runStarGlowNativeJob(f.job), "Native Star Glow result.\njob = " + f.job +
                                                  "\nstatus = failed\nerror = Could not read Star Glow job JSON.\n");
    writeFile(f.job, "this is not json at all");
    EXPECT_NE(NL_runStarGlowNativeJob(f.job).find("error = Job type is not star-glow-native-job.\n"),
              std::string::npos);
    writeFile(f.job, "{\"type\": \"startrail-native-job\", \"resultLog\": " + quote(f.log) +
                         ", \"progressPath\": " + quote(f.progress) + "}");
    expectFailure(f, NL_runStarGlowNativeJob(f.job), "Job type is not star-glow-native-job.");
  }
  for (const bool input : {false, true}) {
    JobFiles f;
    writeJob(f, "", input, false);
    const std::string log = NL_runStarGlowNativeJob(f.job);
    expectFailure(f, log, input ? "Missing outputPath." : "Missing inputPath.");
    EXPECT_NE(log.find("\nsoftness = 40\nstatus = failed\n"), std::string::npos);
  }
  {
    JobFiles f;  // a PNG whose IEND never arrives
    const std::string png = encode(testFrame16(12, cv::Size(160, 120)), ".png");
    writeFile(f.input, png.substr(0, png.size() - 12));
    writeJob(f, "");
    const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming(1000));
    expectFailure(f, log,
                  "The exported temporary image never became complete within 1 seconds. Last validation: "
                  "PNG IEND chunk is not present yet");
    EXPECT_EQ(logValue(log, "inputFileStableChecks"), "0 / 8");
  }
  {
    JobFiles f;  // below the size floor
    writeFile(f.input, encode(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(9)), ".png"));
    writeJob(f, "");
    expectFailure(f, NL_runStarGlowNativeJobWithTiming(f.job, quickTiming(300)),
                  "The exported temporary image never became complete within 0 seconds. Last validation: "
                  "file size was not stable");
  }
  {
    JobFiles f;
    f.input = f.dir.file("input.tif");
    writeFile(f.input, bigTiffHeader(4, 16) + std::string(5000, '\0'));
    writeJob(f, "");
    const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming(300));
    expectFailure(f, log,
                  "The exported temporary image never became complete within 0 seconds. Last validation: "
                  "invalid BigTIFF header");
    EXPECT_EQ(logValue(log, "inputContainer"), "TIFF");
    EXPECT_EQ(logValue(log, "inputFilePrefix"), "49 49 2b 00 04 00 00 00 10 00 00 00 00 00 00 00");
  }
  {
    JobFiles f;  // structurally complete, but the pixel data is garbage
    std::string png = encode(testFrame16(13, cv::Size(160, 120)), ".png");
    std::fill(png.begin() + 60, png.end() - 20, 'Z');
    writeFile(f.input, png);
    writeJob(f, "");
    const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
    expectFailure(f, log,
                  "OpenCV could not decode the completed temporary image with either imread or in-memory imdecode.");
    EXPECT_EQ(logValue(log, "inputDecodeMethod"), "failed");
  }
}

TEST(StarGlowJob, MaskAndWriteFailuresLeaveNoOutput) {
  {
    JobFiles f;
    ASSERT_TRUE(cv::imwrite(f.input, testFrame16(14, cv::Size(120, 90))));
    writeJob(f, ",\n  \"useSkyMask\": true");
    const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
    expectFailure(f, log, "Sky Only is enabled, but sky mask could not be loaded.");
    EXPECT_NE(log.find("\ncanvas = 120 x 90\nstatus = failed\n"), std::string::npos) << log;
  }
  {
    JobFiles f;
    ASSERT_TRUE(cv::imwrite(f.input, testFrame16(15, cv::Size(120, 90))));
    writeJob(f, ",\n  \"useSkyMask\": true, \"skyMaskPath\": " + quote(f.dir.file("no_mask.png")));
    const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
    expectFailure(f, log, "Sky Only is enabled, but sky mask could not be loaded.");
    EXPECT_NE(log.find("\ncanvas = 120 x 90\nskyMaskLoad = failed\nstatus = failed\n"), std::string::npos) << log;
  }
  {
    JobFiles f;
    ASSERT_TRUE(cv::imwrite(f.input, testFrame16(16, cv::Size(120, 90))));
    f.output = f.dir.file("missing_folder/glow.tif");
    writeJob(f, "");
    expectFailure(f, NL_runStarGlowNativeJobWithTiming(f.job, quickTiming()),
                  "Could not write output image. (No such file or directory)");
  }
  {
    JobFiles f;  // no encoder for the extension: an earlier result stays as it was
    ASSERT_TRUE(cv::imwrite(f.input, testFrame16(17, cv::Size(120, 90))));
    f.output = f.dir.file("glow.unknownext");
    writeFile(f.output, "previous result");
    writeJob(f, "");
    const std::string log = NL_runStarGlowNativeJobWithTiming(f.job, quickTiming());
    EXPECT_NE(log.find("error = Could not write output image. (no image format is written for the extension "
                       ".unknownext)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(readFile(f.output), "previous result");
    EXPECT_EQ(partialFiles(f.dir.path()), 0u);
  }
}

}  // namespace
