// Sky mask loader, blend mask and composite, automatic coverage crop.
#include "skyblend/skyblend.h"

#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/stat.h>
#endif

namespace {

using testsupport::TempDir;

// ---- Mask loader --------------------------------------------------------------

TEST(SkyMaskLoader, PrefersSortedSiblingAndNormalisesEveryLayout) {
  TempDir dir;
  std::string message;
  // A .png sibling sorts before the .tif the job names, so it is the one used.
  cv::imwrite(dir.file("m.tif"), cv::Mat(4, 6, CV_8UC1, cv::Scalar(10)));
  cv::imwrite(dir.file("m.png"), cv::Mat(4, 6, CV_8UC1, cv::Scalar(200)));
  cv::Mat mask = NL_loadSkyBlendMaskImage(dir.file("m.tif"), message);
  ASSERT_EQ(mask.type(), CV_8UC1);
  EXPECT_EQ(mask.at<uchar>(0, 0), 200);
  EXPECT_EQ(message, "loaded sky mask: " + dir.file("m.png"));

  // 16-bit: divided by 257, so full white stays full white.
  cv::Mat wide(4, 6, CV_16UC1, cv::Scalar(65535));
  wide.at<ushort>(1, 1) = 257 * 100;
  cv::imwrite(dir.file("w.tif"), wide);
  mask = NL_loadSkyBlendMaskImage(dir.file("w.tif"), message);
  ASSERT_EQ(mask.type(), CV_8UC1);
  EXPECT_EQ(mask.at<uchar>(0, 0), 255);
  EXPECT_EQ(mask.at<uchar>(1, 1), 100);
  EXPECT_EQ(message, "loaded sky mask: " + dir.file("w.tif") + " converted to 8-bit");

  // Float: stretched so the brightest value is white (0.5 -> 255, 0.25 -> 128).
  cv::Mat real(4, 6, CV_32FC1, cv::Scalar(0.25f));
  real.at<float>(0, 0) = 0.5f;
  cv::imwrite(dir.file("f.tif"), real);
  mask = NL_loadSkyBlendMaskImage(dir.file("f.tif"), message);
  ASSERT_EQ(mask.type(), CV_8UC1);
  EXPECT_EQ(mask.at<uchar>(0, 0), 255);
  EXPECT_EQ(mask.at<uchar>(2, 2), 128);

  // Colour and colour with alpha become grey; a transparent alpha is ignored.
  cv::imwrite(dir.file("c.png"), cv::Mat(4, 6, CV_8UC3, cv::Scalar(255, 255, 255)));
  cv::imwrite(dir.file("a.png"), cv::Mat(4, 6, CV_16UC4, cv::Scalar(65535, 65535, 65535, 0)));
  for (const char* name : {"c.png", "a.png"}) {
    mask = NL_loadSkyBlendMaskImage(dir.file(name), message);
    ASSERT_EQ(mask.type(), CV_8UC1) << name;
    EXPECT_EQ(cv::countNonZero(mask != 255), 0) << name;
  }
}

#if defined(__unix__) || defined(__APPLE__)
TEST(SkyMaskLoader, PipeSiblingIsNeverOpened) {
  TempDir dir;
  // Opening a pipe would wait for a writer that never comes.
  ASSERT_EQ(::mkfifo(dir.file("m.png").c_str(), 0600), 0);
  cv::imwrite(dir.file("m.tif"), cv::Mat(4, 6, CV_8UC1, cv::Scalar(77)));
  std::string message;
  const cv::Mat mask = NL_loadSkyBlendMaskImage(dir.file("m.tif"), message);
  ASSERT_FALSE(mask.empty());
  EXPECT_EQ(mask.at<uchar>(0, 0), 77);
  EXPECT_EQ(message, "loaded sky mask: " + dir.file("m.tif"));
}
#endif

// ---- Blend mask and composite ----------------------------------------------------

// A wavy horizon: sky above, ground below.
cv::Mat horizonMask(cv::Size size) {
  cv::Mat mask(size, CV_8UC1);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) {
      const double h = 0.6 * size.height + 8.0 * std::sin(x / 13.0);
      mask.at<uchar>(y, x) = y < h ? 255 : 0;
    }
  return mask;
}

TEST(BlendMask, FeatherOnlyInsideTheBandAboveTheHorizon) {
  const cv::Size size(160, 120);
  const cv::Mat user = horizonMask(size);
  // A speck the brush missed high in the sky is closed, not feathered around.
  cv::Mat specked = user.clone();
  specked(cv::Rect(100, 20, 2, 2)).setTo(0);
  const NLBlendMask m = NL_buildBlendMask(specked, size);
  // Exact distance from each pixel to the nearest ground pixel of the user's mask.
  cv::Mat distance;
  cv::distanceTransform(user, distance, cv::DIST_L2, cv::DIST_MASK_PRECISE, CV_32F);
  int ramp = 0;
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) {
      const float a = m.alpha.at<float>(y, x), d = distance.at<float>(y, x);
      if (std::abs(x - 100) < 12 && y < 34) continue;  // around the speck
      ASSERT_GE(a, 0.0f);
      ASSERT_LE(a, 1.0f);
      // Ground, and the 4 px pulled back from the horizon, take no sky at all.
      if (d <= 3.0f) {
        ASSERT_EQ(a, 0.0f) << x << "," << y;
      }
      // Beyond the inset plus the 18 px ramp the sky is taken whole.
      if (d >= 4.0f + 18.0f + 1.5f) {
        ASSERT_EQ(a, 1.0f) << x << "," << y;
      }
      ramp += a > 0.0f && a < 1.0f;
    }
  EXPECT_GT(ramp, 18 * size.width / 2);
  EXPECT_EQ(m.alpha.at<float>(20, 100), 1.0f);
  // The sky touching the top edge is kept there: the image edge is not ground.
  EXPECT_EQ(m.inset.at<uchar>(0, 20), 255);
  EXPECT_EQ(m.alpha.at<float>(0, 20), 1.0f);

  // A sky strip 10 px wide is only partly blended in, even at its centre.
  cv::Mat strip = cv::Mat::zeros(size, CV_8UC1);
  strip.rowRange(50, 60).setTo(255);
  const NLBlendMask s = NL_buildBlendMask(strip, size);
  double top = 0.0;
  cv::minMaxLoc(s.alpha, nullptr, &top);
  EXPECT_GT(top, 0.0);
  EXPECT_LT(top, 0.1);
}

TEST(BlendMask, SmallerMaskIsResizedAndMidGreyIsGround) {
  cv::Mat half = cv::Mat::zeros(60, 80, CV_8UC1);
  half.rowRange(0, 30).setTo(255);
  const NLBlendMask m = NL_buildBlendMask(half, cv::Size(160, 120));
  ASSERT_EQ(m.inset.size(), cv::Size(160, 120));
  EXPECT_EQ(m.inset.at<uchar>(50, 80), 255);
  EXPECT_EQ(m.inset.at<uchar>(70, 80), 0);
  const NLBlendMask grey = NL_buildBlendMask(cv::Mat(60, 80, CV_8UC1, cv::Scalar(128)), cv::Size(60, 80));
  EXPECT_EQ(cv::countNonZero(grey.inset), 0);
}

class CompositeTypes : public ::testing::TestWithParam<int> {};

// The alpha is written over the distances and the sky and ramp counted in the
// same pass: each must equal the plain three-plane computation, bit for bit,
// on masks of every shape (ragged horizons, holes, slivers, a resized mask,
// all sky, no sky) and odd sizes, so that a row or a count lost between
// workers, or a distance read after its alpha replaced it, shows.
TEST(BlendMask, AlphaAndCountsEqualThePlainPlanes) {
  std::mt19937 rng(20261209);
  const cv::Size sizes[] = {{317, 211}, {160, 120}, {1003, 67}, {41, 509}};
  for (int round = 0; round < 12; ++round) {
    const cv::Size size = sizes[round % 4];
    cv::Mat user(round % 3 == 2 ? cv::Size(size.width / 2 + 1, size.height / 2 + 1) : size, CV_8UC1);
    std::uniform_int_distribution<int> level(0, 255);
    const double horizon = 0.2 + 0.6 * (round % 5) / 4.0;
    for (int y = 0; y < user.rows; ++y)
      for (int x = 0; x < user.cols; ++x) {
        const double edge = user.rows * (horizon + 0.1 * std::sin(x * 0.07 * (1 + round % 4)));
        user.at<uchar>(y, x) = uchar(y < edge ? 255 : (level(rng) < 8 ? 200 : 0));
      }
    for (int hole = 0; hole < 6; ++hole)  // ground specks and sky slivers of several sizes
      cv::circle(user, {level(rng) * user.cols / 256, level(rng) * user.rows / 256}, 1 + hole * 3,
                 cv::Scalar(hole % 2 ? 255 : 0), -1);
    if (round == 10) user.setTo(255);
    if (round == 11) user.setTo(0);
    const NLBlendMask m = NL_buildBlendMask(user, size);
    cv::Mat distance, plain(size, CV_32F);
    cv::distanceTransform(m.inset, distance, cv::DIST_L2, 3, CV_32F);
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x) {
        const float t = std::clamp(distance.at<float>(y, x) / 18.0f, 0.0f, 1.0f);
        plain.at<float>(y, x) = m.inset.at<uchar>(y, x) ? t * t * (3.0f - 2.0f * t) : 0.0f;
      }
    ASSERT_EQ(m.alpha.type(), CV_32FC1);
    ASSERT_EQ(cv::norm(m.alpha, plain, cv::NORM_INF), 0.0) << "round " << round;
    ASSERT_EQ(std::memcmp(m.alpha.data, plain.data, plain.total() * sizeof(float)), 0) << "round " << round;
    const cv::Mat ramp = (plain < 0.999f) & m.inset;
    EXPECT_EQ(m.counted.sky, cv::countNonZero(m.inset)) << "round " << round;
    EXPECT_EQ(m.counted.ramp, cv::countNonZero(ramp)) << "round " << round;
  }
  // The counts mean something: a ragged horizon leaves sky and a ramp to count.
  const NLBlendMask h = NL_buildBlendMask(horizonMask(cv::Size(160, 120)), cv::Size(160, 120));
  EXPECT_GT(h.counted.ramp, 160 * 10);
  EXPECT_GT(h.counted.sky, h.counted.ramp);
}

TEST_P(CompositeTypes, MatchesPlainWeightedSum) {
  const int type = GetParam();
  const double top = CV_MAT_DEPTH(type) == CV_16U ? 65535.0 : 255.0;
  cv::Mat sky(23, 31, type), ground(23, 31, type), alpha(23, 31, CV_32F);
  cv::randu(sky, cv::Scalar::all(0), cv::Scalar::all(top));
  cv::randu(ground, cv::Scalar::all(0), cv::Scalar::all(top));
  cv::randu(alpha, -0.2, 1.2);  // outside 0..1 is clamped
  const cv::Mat out = NL_compositeSkyOverForeground(sky, ground, alpha);
  ASSERT_EQ(out.type(), type);
  cv::Mat s, g, expected;
  sky.convertTo(s, CV_64F);
  ground.convertTo(g, CV_64F);
  cv::Mat a;
  cv::min(cv::max(alpha, 0.0), 1.0, a);
  a.convertTo(a, CV_64F);
  cv::Mat weight;
  cv::merge(std::vector<cv::Mat>(sky.channels(), a), weight);
  expected = s.mul(weight) + g.mul(cv::Scalar::all(1.0) - weight);
  cv::Mat got, diff;
  out.convertTo(got, CV_64F);
  cv::absdiff(got, expected, diff);
  double worst = 0.0;
  cv::minMaxLoc(diff.reshape(1), nullptr, &worst);
  EXPECT_LE(worst, 0.5 + 1e-9);
  // Ground and open sky keep their stack's value exactly.
  int ends = 0;
  for (int y = 0; y < out.rows; ++y)
    for (int x = 0; x < out.cols; ++x) {
      const float w = alpha.at<float>(y, x);
      if (w > 0.0f && w < 1.0f) continue;
      ++ends;
      const cv::Mat& from = w <= 0.0f ? ground : sky;
      EXPECT_EQ(cv::norm(out(cv::Rect(x, y, 1, 1)), from(cv::Rect(x, y, 1, 1)), cv::NORM_INF), 0.0) << x << "," << y;
    }
  EXPECT_GT(ends, 100);
}

INSTANTIATE_TEST_SUITE_P(DepthsAndChannels, CompositeTypes,
                         ::testing::Values(CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_16UC3, CV_16UC4));

// ---- Coverage crop -----------------------------------------------------------------

NLSkyCoverage coverageOf(cv::Size size, int frames) {
  return NLSkyCoverage{frames, cv::Mat(size, CV_16UC1, cv::Scalar(frames))};
}

TEST(CoverageCrop, MinimumFramesRoundUpWithFloorOfTwo) {
  EXPECT_EQ(NL_coverageCropMinFrames(10), 6);
  EXPECT_EQ(NL_coverageCropMinFrames(7), 5);
  EXPECT_EQ(NL_coverageCropMinFrames(5), 3);
  EXPECT_EQ(NL_coverageCropMinFrames(3), 2);
  EXPECT_EQ(NL_coverageCropMinFrames(2), 2);
}

TEST(CoverageCrop, TrimsBadBordersWithPaddingAndJudgesOnlySkyLines) {
  const cv::Size size(200, 150);
  cv::Mat sky(size, CV_8UC1, cv::Scalar(255));
  sky.rowRange(100, 150).setTo(0);  // ground below row 100
  NLSkyCoverage cov = coverageOf(size, 10);
  cov.map.rowRange(0, 20).setTo(3);                          // top strip: below 6 frames
  cov.map.colRange(190, 200).setTo(5);                       // right strip
  cov.map(cv::Rect(0, 20, 3, 10)).setTo(1);                  // left: 10 of 80 kept sky rows bad, 12.5 %
  cov.map(cv::Rect(3, 20, 1, 8)).setTo(1);                   // next column: 8 of 80, exactly 10 %: good
  cov.map.rowRange(130, 150).setTo(0);                       // under the ground: not sky, not judged
  NLCoverageCrop c = NL_planCoverageCrop(sky, cov);
  ASSERT_TRUE(c.offReason.empty());
  EXPECT_EQ(c.minFrames, 6);
  EXPECT_EQ(c.top, 24);
  EXPECT_EQ(c.left, 3 + 4);
  EXPECT_EQ(c.right, 10 + 4);
  EXPECT_EQ(c.bottom, 0);
  EXPECT_EQ(c.rect, cv::Rect(7, 24, 200 - 7 - 14, 150 - 24));

  // A bottom line with fewer sky pixels than 3 % of the width counts as good.
  cv::Mat speck = cv::Mat::zeros(size, CV_8UC1);
  speck.rowRange(0, 140).setTo(255);
  speck(cv::Rect(0, 140, 5, 10)).setTo(255);
  NLSkyCoverage low = coverageOf(size, 4);
  low.map.rowRange(140, 150).setTo(0);
  c = NL_planCoverageCrop(speck, low);
  EXPECT_EQ(c.bottom, 0);
  speck(cv::Rect(0, 140, 6, 10)).setTo(255);  // 6 = trunc(0.03 * 200): now judged, and bad
  c = NL_planCoverageCrop(speck, low);
  EXPECT_EQ(c.bottom, 10 + 4);
}

TEST(CoverageCrop, OffWithoutUsableCoverage) {
  const cv::Mat sky(40, 50, CV_8UC1, cv::Scalar(255));
  EXPECT_EQ(NL_planCoverageCrop(sky, NLSkyCoverage{}).offReason, "no coverage map");
  EXPECT_EQ(NL_planCoverageCrop(sky, coverageOf(sky.size(), 1)).offReason, "no coverage map");
  NLSkyCoverage wrongType{5, cv::Mat(40, 50, CV_8UC1, cv::Scalar(5))};
  EXPECT_EQ(NL_planCoverageCrop(sky, wrongType).offReason, "no coverage map");
  EXPECT_EQ(NL_planCoverageCrop(sky, coverageOf(cv::Size(50, 41), 5)).offReason, "coverage size mismatch");
  // Fully covered: the rule runs and keeps everything.
  const NLCoverageCrop all = NL_planCoverageCrop(sky, coverageOf(sky.size(), 5));
  EXPECT_TRUE(all.offReason.empty());
  EXPECT_EQ(all.rect, cv::Rect(0, 0, 50, 40));
}

// ---- Blend end to end and its report -------------------------------------------------

TEST(Blend, ReportTextByteForByte) {
  NLBlendReport r;
  r.output = "/o/b.tif";
  r.mask = "/o/m.png";
  r.maskLoad = "loaded sky mask: /o/m.png";
  r.reference = "/o/f0.tif";
  r.skyPixels = 1234;
  r.totalPixels = 5000;
  r.edgeRampPixels = 77;
  r.crop.offReason.clear();
  r.crop.frames = 7;
  r.crop.minFrames = 5;
  r.crop.rect = cv::Rect(0, 24, 96, 26);
  r.crop.top = 24;
  r.crop.right = 4;
  EXPECT_EQ(NL_formatBlendReport(r),
            "Blend preview success.\noutput = /o/b.tif\nmask = /o/m.png\nmaskLoad = loaded sky mask: /o/m.png\n"
            "blendMaskMode = foreground stack base + registered sky stack + inset smoothstep feather\n"
            "reference = /o/f0.tif\nreferenceUsage = alignment only, not mixed into final composite\n"
            "blendMaskThreshold = 128\nblendMaskHoleClosePx = 2\nblendMaskInsetPx = 4\nblendMaskFeatherPx = 18\n"
            "blendMaskSkyPixels = 1234 / 5000\nblendMaskSkyPercent = 24.68\nblendMaskEdgeRampPixels = 77\n"
            "autoCoverageCrop = on\nautoCoverageCropMode = sky-stack contribution coverage\n"
            "autoCoverageCropFrames = 7\nautoCoverageCropMinFrames = 5\nautoCoverageCropRequiredRatio = 0.60\n"
            "autoCoverageCropMaxBadSkyRatio = 0.10\nautoCoverageCropPaddingPx = 4\n"
            "autoCoverageCropRect = x=0, y=24, w=96, h=26\n"
            "autoCoverageCropPixels = left=0, top=24, right=4, bottom=0\n"
            "foregroundProtection = no-reference final composite + inset sky edge + smoothstep feather + auto "
            "coverage crop\n");
  r.crop = NLCoverageCrop();
  const std::string off = NL_formatBlendReport(r);
  EXPECT_NE(off.find("blendMaskEdgeRampPixels = 77\nautoCoverageCrop = off | reason=no coverage map\n"
                     "foregroundProtection = "),
            std::string::npos);
}

TEST(Blend, WritesCroppedCompositeAndFailsWithoutWriting) {
  TempDir dir;
  const cv::Size size(120, 90);
  cv::Mat sky(size, CV_16UC3), ground(size, CV_16UC3);
  cv::randu(sky, cv::Scalar::all(20000), cv::Scalar::all(40000));
  ground.setTo(cv::Scalar(1000, 2000, 3000));
  cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
  mask.rowRange(0, 60).setTo(255);
  cv::imwrite(dir.file("sky.tif"), sky);
  cv::imwrite(dir.file("fg.tif"), ground);
  cv::imwrite(dir.file("mask.png"), mask);
  NLSkyCoverage cov = coverageOf(size, 5);
  cov.map.rowRange(0, 6).setTo(2);
  std::string message;
  ASSERT_TRUE(NL_blendSkyForegroundWithMask(dir.file("sky.tif"), dir.file("fg.tif"), "ref.tif", dir.file("mask.png"),
                                            dir.file("out.tif"), message, cov))
      << message;
  const cv::Mat out = cv::imread(dir.file("out.tif"), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(out.size(), cv::Size(120, 90 - 10));
  // Deep sky is the sky stack, the ground the foreground stack, shifted by the crop.
  EXPECT_EQ(cv::norm(out(cv::Rect(0, 0, 120, 20)), sky(cv::Rect(0, 10, 120, 20)), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(out.rowRange(50, 80), ground.rowRange(60, 90), cv::NORM_INF), 0.0);
  EXPECT_NE(message.find("blendMaskSkyPixels = " + std::to_string(56 * 120) + " / 10800\n"), std::string::npos)
      << message;
  EXPECT_NE(message.find("autoCoverageCropRect = x=0, y=10, w=120, h=80\n"), std::string::npos);

  // An all-ground mask gives back the foreground, uncropped without coverage.
  cv::imwrite(dir.file("grey.png"), cv::Mat(size, CV_8UC1, cv::Scalar(128)));
  ASSERT_TRUE(NL_blendSkyForegroundWithMask(dir.file("sky.tif"), dir.file("fg.tif"), "r", dir.file("grey.png"),
                                            dir.file("flat.tif"), message));
  EXPECT_EQ(cv::norm(cv::imread(dir.file("flat.tif"), cv::IMREAD_UNCHANGED), ground, cv::NORM_INF), 0.0);
  EXPECT_NE(message.find("blendMaskSkyPercent = 0.00\nblendMaskEdgeRampPixels = 0\n"), std::string::npos);

  // Mismatching stacks, and an output that cannot be written, leave no file.
  cv::imwrite(dir.file("small.tif"), ground(cv::Rect(0, 0, 60, 45)));
  EXPECT_FALSE(NL_blendSkyForegroundWithMask(dir.file("sky.tif"), dir.file("small.tif"), "r", dir.file("mask.png"),
                                             dir.file("bad.tif"), message));
  EXPECT_EQ(message, "Blend failed: sky and foreground size/type mismatch.");
  const std::string unwritable = dir.file("missing/folder/out.tif");
  EXPECT_FALSE(NL_blendSkyForegroundWithMask(dir.file("sky.tif"), dir.file("fg.tif"), "r", dir.file("mask.png"),
                                             unwritable, message));
  EXPECT_EQ(message, "Blend failed: could not write output: " + unwritable + " (No such file or directory)");
  EXPECT_FALSE(std::filesystem::exists(dir.file("bad.tif")));
}

// ---- Sky mask blocks of the sky stack report -------------------------------------------

TEST(SkyStackReport, MaskBlocksByteForByte) {
  using State = NLSkyMaskUse::State;
  NLSkyMaskUse use;
  EXPECT_EQ(NL_formatSkyRegistrationMaskBlock(use), "skyRegistrationMask = off | no mask path supplied\n");
  EXPECT_EQ(NL_formatSkyStackMaskBlock(use), "skyStackMask = off | no mask path supplied\n");
  use.state = State::LoadFailed;
  use.load = "could not load sky mask. Tried: /m.png exists=no; ";
  EXPECT_EQ(NL_formatSkyRegistrationMaskBlock(use),
            "skyRegistrationMask = failed\nskyRegistrationMaskReason = could not load sky mask. Tried: /m.png "
            "exists=no; \n");
  EXPECT_EQ(NL_formatSkyStackMaskBlock(use),
            "skyStackMask = failed\nskyStackMaskReason = could not load sky mask. Tried: /m.png exists=no; \n"
            "skyStackMaskFallback = off | using canvas masks only\n");
  use.state = State::TooFew;
  EXPECT_EQ(NL_formatSkyRegistrationMaskBlock(use),
            "skyRegistrationMask = failed\nskyRegistrationMaskReason = too few usable sky pixels after mask erosion\n");
  EXPECT_EQ(NL_formatSkyStackMaskBlock(use),
            "skyStackMask = failed\nskyStackMaskReason = too few usable sky pixels after edge protection erosion\n"
            "skyStackMaskFallback = off | using canvas masks only\n");
  use.state = State::On;
  use.source = "/m.tif";
  use.load = "loaded sky mask: /m.png";
  use.pixels = 2;
  use.total = 3;
  EXPECT_EQ(NL_formatSkyRegistrationMaskBlock(use),
            "skyRegistrationMask = on\nskyRegistrationMaskSource = /m.tif\nskyRegistrationMaskLoad = loaded sky "
            "mask: /m.png\nskyRegistrationMaskPixels = 2 / 3\nskyRegistrationMaskPercent = 66.67\n"
            "skyRegistrationMaskErosion = 15 px\n");
  EXPECT_EQ(NL_formatSkyStackMaskBlock(use),
            "skyStackMask = on\nskyStackMaskSource = /m.tif\nskyStackMaskLoad = loaded sky mask: /m.png\n"
            "skyStackMaskThreshold = 128\nskyStackMaskErosion = 8 px\nskyStackMaskPixels = 2 / 3\n"
            "skyStackMaskPercent = 66.67\n");
}

}  // namespace
