// Star Trail job: parser, masks and composite, rejection, accumulation, driver.
// The concurrent worker run is also built with ThreadSanitizer by tools/checks/tsan.sh.
#include "startrail/startrail.h"
#include "startrail/detail/rejection_planes.h"
#include "startrail/detail/run_state.h"
#include "startrail/detail/frame_pool.h"
#include "startrail/detail/window_transforms.h"

#include "registration/registration.h"

#include "icc_files.h"
#include "opencv_setup.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <filesystem>
#include <cmath>
#include <limits>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

NLStarTrailNativeJob parseText(const TempDir& dir, const std::string& json) {
  const std::string path = dir.file("startrail_job_native.json");
  writeFile(path, json);
  return NL_parseStarTrailNativeJob(path);
}

TEST(StarTrailJob, DefaultsClampsAndWords) {
  TempDir dir;
  const NLStarTrailNativeJob d = parseText(dir, "{}");
  EXPECT_TRUE(d.inputs.empty());
  EXPECT_EQ(d.rejectionMode, "medium");
  EXPECT_EQ(d.foregroundMode, "none");
  EXPECT_EQ(d.temporalWindow, 5);
  EXPECT_EQ(d.maskGrowPx, 2);
  EXPECT_EQ(d.rejectionThresholdPct, 125.0);
  EXPECT_EQ(d.aircraftSensitivity, 75.0);
  EXPECT_FALSE(d.cometEnabled);
  EXPECT_EQ(d.cometStrength, 50.0);
  EXPECT_EQ(d.cometDirection, "forward");
  EXPECT_TRUE(d.blendingRefinementEnabled);
  EXPECT_EQ(d.blendingRefinementStrength, "standard");
  EXPECT_TRUE(NL_parseStarTrailNativeJob(dir.file("missing.json")).inputs.empty());

  const std::pair<const char*, int> windows[] = {{"4", 5}, {"2.5", 3}, {"10", 9}, {"9.5", 9}, {"-7", 3}, {"7", 7}};
  for (const auto& [text, expected] : windows)
    EXPECT_EQ(parseText(dir, std::string("{\"temporalWindow\": ") + text + "}").temporalWindow, expected) << text;
  const std::pair<const char*, int> grows[] = {{"-3", 0}, {"12", 8}, {"2.5", 3}};
  for (const auto& [text, expected] : grows)
    EXPECT_EQ(parseText(dir, std::string("{\"maskGrowPx\": ") + text + "}").maskGrowPx, expected) << text;

  NLStarTrailNativeJob high = parseText(dir, R"({"rejectionMode": "high"})");
  EXPECT_EQ(high.rejectionThresholdPct, 100.0);
  EXPECT_EQ(high.aircraftSensitivity, 100.0);
  NLStarTrailNativeJob low = parseText(dir, R"({"rejectionMode": "low", "aircraftSensitivity": 130})");
  EXPECT_EQ(low.rejectionThresholdPct, 150.0);
  EXPECT_EQ(low.aircraftSensitivity, 100.0);
  NLStarTrailNativeJob upper = parseText(dir, R"({"rejectionMode": "HIGH"})");
  EXPECT_EQ(upper.rejectionMode, "HIGH");
  EXPECT_EQ(upper.rejectionThresholdPct, 125.0);
  EXPECT_EQ(upper.aircraftSensitivity, 75.0);
  EXPECT_FALSE(NL_starTrailIsRejectionOff("HIGH"));
  EXPECT_FALSE(NL_starTrailIsRejectionOff("OFF"));
  for (const char* off : {"off", "Off", "false", "disabled", "none", "0"}) EXPECT_TRUE(NL_starTrailIsRejectionOff(off));
  EXPECT_EQ(parseText(dir, R"({"rejectionThresholdPct": 30})").rejectionThresholdPct, 50.0);
  EXPECT_EQ(parseText(dir, R"({"rejectionThresholdPct": 500})").rejectionThresholdPct, 220.0);
  EXPECT_EQ(parseText(dir, R"({"cometStrength": 140})").cometStrength, 100.0);
  EXPECT_EQ(parseText(dir, R"({"cometDirection": "Reverse"})").cometDirection, "forward");
  EXPECT_EQ(parseText(dir, R"({"cometDirection": "both"})").cometDirection, "both");
  EXPECT_EQ(parseText(dir, R"({"blendingRefinementStrength": "strong"})").blendingRefinementStrength, "strong");
  EXPECT_EQ(parseText(dir, R"({"blendingRefinementStrength": "Subtle"})").blendingRefinementStrength, "standard");
  EXPECT_FALSE(parseText(dir, R"({"cometEnabled": "true"})").cometEnabled);
  EXPECT_TRUE(parseText(dir, R"({"cometEnabled": 1})").cometEnabled);
  EXPECT_FALSE(parseText(dir, R"({"blendingRefinementEnabled": false})").blendingRefinementEnabled);

  const NLStarTrailNativeJob full = parseText(dir, R"({"inputs": [{"path": "a.tif"}, {"path": "b.tif"}],
    "foregroundInputs": ["f1.tif", "f2.tif"], "output": "o.tif", "skyOutput": "s.tif",
    "foregroundOutput": "fg.tif", "maskInput": "m.png", "progress": "p.txt", "resultLog": "r.txt",
    "foregroundMode": "stack"})");
  EXPECT_EQ(full.inputs, (std::vector<std::string>{"a.tif", "b.tif"}));
  EXPECT_EQ(full.foregroundInputs, (std::vector<std::string>{"f1.tif", "f2.tif"}));
  EXPECT_EQ(full.output + full.skyOutput + full.foregroundOutput + full.maskInput + full.progress + full.resultLog,
            "o.tifs.tiffg.tifm.pngp.txtr.txt");
  EXPECT_EQ(full.foregroundMode, "stack");
}

TEST(StarTrailJob, BooleanReader) {
  EXPECT_TRUE(NL_starTrailReadBool("{\"k\" :\n\t true}", "k", false));
  EXPECT_FALSE(NL_starTrailReadBool("{\"k\": false}", "k", true));
  EXPECT_TRUE(NL_starTrailReadBool("{\"k\": 1}", "k", false));
  EXPECT_FALSE(NL_starTrailReadBool("{\"k\": 0}", "k", true));
  EXPECT_TRUE(NL_starTrailReadBool("{\"k\": \"false\"}", "k", true));
  EXPECT_FALSE(NL_starTrailReadBool("{\"k\": yes}", "k", false));
  EXPECT_TRUE(NL_starTrailReadBool("{\"k\":   ", "k", true));
  EXPECT_TRUE(NL_starTrailReadBool("{\"other\": false}", "k", true));
  // The first occurrence wins, even inside a string value.
  EXPECT_FALSE(NL_starTrailReadBool("{\"note\": \"k\", \"x\": false, \"k\": true}", "k", true));
}

TEST(StarTrailWorker, NeighbourListsAndCometWeights) {
  using V = std::vector<int>;
  EXPECT_EQ(NL_starTrailNeighbourList(0, 10, 2), (V{1, 2, 3, 4}));
  EXPECT_EQ(NL_starTrailNeighbourList(1, 10, 2), (V{0, 2, 3, 4}));
  EXPECT_EQ(NL_starTrailNeighbourList(5, 10, 2), (V{4, 6, 3, 7}));
  EXPECT_EQ(NL_starTrailNeighbourList(9, 10, 2), (V{8, 7, 6, 5}));
  EXPECT_EQ(NL_starTrailNeighbourList(0, 2, 4), (V{1}));
  EXPECT_EQ(NL_starTrailNeighbourList(1, 3, 4), (V{0, 2}));
  EXPECT_EQ(NL_starTrailNeighbourList(3, 20, 9).size(), 10u);  // half window capped at 5

  NLStarTrailNativeJob job;
  EXPECT_EQ(NL_starTrailCometWeight(job, 0, 10), 1.0);  // comet off
  job.cometEnabled = true;
  job.cometStrength = 50.0;
  std::vector<double> forward, reverse;
  for (int i = 0; i < 10; ++i) forward.push_back(NL_starTrailCometWeight(job, i, 10));
  EXPECT_EQ(forward, (std::vector<double>{0, 0.25, 0.5, 0.75, 1, 1, 1, 1, 1, 1}));
  job.cometDirection = "reverse";
  for (int i = 0; i < 10; ++i) reverse.push_back(NL_starTrailCometWeight(job, i, 10));
  EXPECT_EQ(reverse, (std::vector<double>{1, 1, 1, 1, 1, 1, 0.75, 0.5, 0.25, 0}));
  job.cometDirection = "both";
  job.cometStrength = 100.0;
  std::vector<double> both;
  for (int i = 0; i < 5; ++i) both.push_back(NL_starTrailCometWeight(job, i, 5));
  EXPECT_EQ(both, (std::vector<double>{0, 0.25, 0.5, 0.25, 0}));
  job.cometDirection = "forward";
  job.cometStrength = 10.0;
  EXPECT_EQ(NL_starTrailCometWeight(job, 0, 5), 0.0);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(NL_starTrailCometWeight(job, i, 5), 1.0);
  job.cometStrength = 0.0;
  EXPECT_EQ(NL_starTrailCometWeight(job, 0, 5), 1.0);
  job.cometStrength = 50.0;
  EXPECT_EQ(NL_starTrailCometWeight(job, 0, 1), 1.0);
}

// Literal per-pixel transcription of the Lighten rules, for comparison.
template <typename T>
void naiveAccumulate(const cv::Mat& f, const cv::Mat& rej, double w, cv::Mat& acc, cv::Mat& bridge,
                     const cv::Mat& bridgeMask, const cv::Mat& sky) {
  const double V = sizeof(T) == 1 ? 255.0 : 65535.0;
  const int cn = f.channels();
  for (int y = 0; y < f.rows; ++y)
    for (int x = 0; x < f.cols; ++x) {
      if (!bridgeMask.empty() && bridgeMask.at<uchar>(y, x) != 0 && !bridge.empty())
        for (int c = 0; c < cn; ++c) {
          if (cn == 4 && c == 3) continue;
          const double n = w * f.ptr<T>(y)[x * cn + c];
          T& b = bridge.ptr<T>(y)[x * cn + c];
          if (b < n) b = T(std::min(n, V) + 0.5);
        }
      if (!sky.empty() && sky.at<uchar>(y, x) == 0) continue;
      if (!rej.empty() && rej.at<uchar>(y, x) != 0) continue;
      for (int c = 0; c < cn; ++c) {
        const double n = ((cn == 4 && c == 3) ? 1.0 : w) * f.ptr<T>(y)[x * cn + c];
        T& a = acc.ptr<T>(y)[x * cn + c];
        if (a < n) a = T(std::min(n, V) + 0.5);
      }
    }
}

cv::Mat randomMask(cv::Size size, double fraction, std::mt19937& rng) {
  cv::Mat m(size, CV_8U);
  std::uniform_real_distribution<double> u(0, 1);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) m.at<uchar>(y, x) = u(rng) < fraction ? 255 : 0;
  return m;
}

class AccumulateTypes : public ::testing::TestWithParam<int> {};

TEST_P(AccumulateTypes, MatchesNaiveLightenWithMasksWeightsAndAlpha) {
  const int type = GetParam();
  const cv::Size size(23, 17);
  std::mt19937 rng(77 + type);
  const double top = CV_MAT_DEPTH(type) == CV_16U ? 65535.0 : 255.0;
  cv::Mat acc = cv::Mat::zeros(size, type), bridge = acc.clone();
  cv::Mat naiveAcc = acc.clone(), naiveBridge = acc.clone();
  const cv::Mat bridgeMask = randomMask(size, 0.3, rng), sky = randomMask(size, 0.7, rng);
  std::vector<std::mutex> locks(size.height);
  NLStarTrailAccumulateTarget target{&acc, &bridge, &bridgeMask, &sky, &locks};
  const double weights[] = {1.0, 0.0, 0.25, 0.8, 1.0};
  for (double w : weights) {
    cv::Mat f(size, type);
    cv::randu(f, cv::Scalar::all(0), cv::Scalar::all(top));
    const cv::Mat rej = randomMask(size, 0.2, rng);
    NL_starTrailAccumulateFrame(f, rej, w, target);
    if (CV_MAT_DEPTH(type) == CV_16U) naiveAccumulate<ushort>(f, rej, w, naiveAcc, naiveBridge, bridgeMask, sky);
    else naiveAccumulate<uchar>(f, rej, w, naiveAcc, naiveBridge, bridgeMask, sky);
  }
  EXPECT_EQ(cv::norm(acc, naiveAcc, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(bridge, naiveBridge, cv::NORM_INF), 0.0);
  // Ground (sky mask 0) never receives anything.
  cv::Mat ground;
  acc.copyTo(ground, sky == 0);
  EXPECT_EQ(cv::countNonZero(ground.reshape(1)), 0);

  // Without masks and at weight 1 the result is the plain per-pixel maximum.
  cv::Mat plain = cv::Mat::zeros(size, type), expected = plain.clone();
  NLStarTrailAccumulateTarget bare{&plain, nullptr, nullptr, nullptr, nullptr};
  for (int k = 0; k < 4; ++k) {
    cv::Mat f(size, type);
    cv::randu(f, cv::Scalar::all(0), cv::Scalar::all(top));
    NL_starTrailAccumulateFrame(f, cv::Mat(), 1.0, bare);
    expected = cv::max(expected, f);
  }
  EXPECT_EQ(cv::norm(plain, expected, cv::NORM_INF), 0.0);
  // With a rejection mask alone, the maximum wherever the mask leaves the pixel.
  cv::Mat f(size, type);
  cv::randu(f, cv::Scalar::all(0), cv::Scalar::all(top));
  const cv::Mat rej = randomMask(size, 0.3, rng);
  expected = cv::max(plain, f);
  plain.copyTo(expected, rej);
  NL_starTrailAccumulateFrame(f, rej, 1.0, bare);
  EXPECT_EQ(cv::norm(plain, expected, cv::NORM_INF), 0.0);
  // A streak's mask sets a few rows only; the rows around it take the whole frame's maximum.
  cv::Mat streak = cv::Mat::zeros(size, CV_8U);
  streak(cv::Rect(3, 5, 17, 3)).setTo(255);
  cv::randu(f, cv::Scalar::all(0), cv::Scalar::all(top));
  expected = cv::max(plain, f);
  plain.copyTo(expected, streak);
  NL_starTrailAccumulateFrame(f, streak, 1.0, bare);
  EXPECT_EQ(cv::norm(plain, expected, cv::NORM_INF), 0.0);
  // A lone rejected pixel at a row's start, on either side of an eight-byte
  // step or at its end still keeps its row off the plain maximum.
  cv::Mat lone = cv::Mat::zeros(size, CV_8U);
  const int columns[] = {0, 7, 8, 15, 16, size.width - 1};
  for (int k = 0; k < 6; ++k) lone.at<uchar>(2 * k + 1, columns[k]) = 255;
  cv::randu(f, cv::Scalar::all(0), cv::Scalar::all(top));
  expected = cv::max(plain, f);
  plain.copyTo(expected, lone);
  NL_starTrailAccumulateFrame(f, lone, 1.0, bare);
  EXPECT_EQ(cv::norm(plain, expected, cv::NORM_INF), 0.0);
}

INSTANTIATE_TEST_SUITE_P(DepthsAndChannels, AccumulateTypes,
                         ::testing::Values(CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_16UC3, CV_16UC4));

TEST(StarTrailWorker, FourthChannelKeepsFullWeight) {
  cv::Mat acc = cv::Mat::zeros(2, 2, CV_16UC4), bridge = acc.clone();
  const cv::Mat bridgeMask(2, 2, CV_8U, cv::Scalar(255));
  NLStarTrailAccumulateTarget target{&acc, &bridge, &bridgeMask, nullptr, nullptr};
  NL_starTrailAccumulateFrame(cv::Mat(2, 2, CV_16UC4, cv::Scalar(100, 200, 300, 65535)), cv::Mat(), 0.0, target);
  EXPECT_EQ(acc.at<cv::Vec4w>(1, 1), cv::Vec4w(0, 0, 0, 65535));
  EXPECT_EQ(bridge.at<cv::Vec4w>(1, 1), cv::Vec4w(0, 0, 0, 0));
  NL_starTrailAccumulateFrame(cv::Mat(2, 2, CV_16UC4, cv::Scalar(100, 200, 301, 7)), cv::Mat(), 0.5, target);
  EXPECT_EQ(acc.at<cv::Vec4w>(0, 1), cv::Vec4w(50, 100, 151, 65535));  // 150.5 rounds up
  EXPECT_EQ(bridge.at<cv::Vec4w>(0, 1), cv::Vec4w(50, 100, 151, 0));
}

// ---- Rejection masks -----------------------------------------------------------

cv::Mat starField(cv::Size size, int type, unsigned seed, int count = 25) {
  std::mt19937 rng(seed);
  cv::Mat f(size, type, cv::Scalar::all(CV_MAT_DEPTH(type) == CV_16U ? 1500 : 6));
  std::uniform_int_distribution<int> px(3, size.width - 4), py(3, size.height - 4);
  const double top = CV_MAT_DEPTH(type) == CV_16U ? 60000.0 : 240.0;
  for (int s = 0; s < count; ++s) cv::circle(f, {px(rng), py(rng)}, 1, cv::Scalar::all(top), -1);
  return f;
}

TEST(StarTrailRejection, StreaksGoDotsStayBlackDoesNotVote) {
  const cv::Size size(160, 120);
  const cv::Mat base = starField(size, CV_16UC3, 3);
  cv::Mat frame = base.clone();
  cv::line(frame, {10, 100}, {150, 20}, cv::Scalar::all(40000), 2);  // satellite
  cv::rectangle(frame, {30, 10}, {31, 10}, cv::Scalar::all(40000), -1);  // 2-pixel dot
  const std::vector<cv::Mat> neighbours = {base, base.clone(), base.clone(), base.clone()};
  const cv::Mat mask = NL_starTrailBuildRegisteredOutlierMask(frame, neighbours, "medium", 2, 125.0, 75.0);
  ASSERT_FALSE(mask.empty());
  EXPECT_EQ(mask.at<uchar>(60, 80), 255);  // on the streak
  EXPECT_EQ(mask.at<uchar>(10, 30), 0);    // the isolated dot is not a trail
  EXPECT_EQ(cv::countNonZero(mask(cv::Rect(0, 0, 20, 20))), 0);
  // Stars present in every frame are never flagged.
  EXPECT_TRUE(NL_starTrailBuildRegisteredOutlierMask(base, neighbours, "high", 2, 100.0, 100.0).empty());
  EXPECT_TRUE(NL_starTrailBuildRegisteredOutlierMask(frame, {}, "medium", 2, 125.0, 75.0).empty());

  // Neighbours that are black there (outside the warped area) do not vote.
  std::vector<cv::Mat> black(4, cv::Mat::zeros(size, CV_16UC3));
  EXPECT_TRUE(NL_starTrailBuildRegisteredOutlierMask(frame, black, "medium", 2, 125.0, 75.0).empty());
  const cv::Mat fallback = NL_starTrailBuildOutlierMask(frame, black, "medium", 0, 125.0);
  ASSERT_FALSE(fallback.empty());
  EXPECT_EQ(fallback.at<uchar>(60, 80), 255);
  // The fallback returns an all-zero mask rather than none.
  const cv::Mat quiet = NL_starTrailBuildOutlierMask(base, neighbours, "medium", 2, 125.0);
  ASSERT_FALSE(quiet.empty());
  EXPECT_EQ(cv::countNonZero(quiet), 0);
  // Growth widens the streak mask by the grow radius.
  const cv::Mat thin = NL_starTrailBuildRegisteredOutlierMask(frame, neighbours, "medium", 0, 125.0, 75.0);
  EXPECT_GT(cv::countNonZero(mask), cv::countNonZero(thin));
}

// The masks label only the flagged pixels. Every component must be the one
// OpenCV's whole-grid labelling finds (8-connected), with its pixels and box,
// on masks of odd widths, flags on every border and corner, shapes joined
// only diagonally or only further down, and densities up to half the grid.
TEST(StarTrailRejection, FlagComponentsAreTheWholeGridLabelling) {
  std::mt19937 rng(11);
  const std::vector<cv::Size> sizes = {{1, 1}, {1, 37}, {45, 1}, {7, 5}, {64, 9}, {203, 131}};
  for (const cv::Size size : sizes)
    for (const double density : {0.0, 0.01, 0.2, 0.5}) {
      cv::Mat mask = cv::Mat::zeros(size, CV_8U);
      std::bernoulli_distribution on(density);
      for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) mask.at<uchar>(y, x) = on(rng) ? 1 + rng() % 255 : 0;
      if (size.width > 140 && size.height > 90) {
        // a U closed only at its foot, a diagonal chain, and flags on the corners and edges
        cv::rectangle(mask, {20, 2}, {22, 40}, 255, -1);
        cv::rectangle(mask, {30, 2}, {32, 40}, 255, -1);
        cv::rectangle(mask, {20, 41}, {32, 41}, 255, -1);
        for (int d = 0; d < 30; ++d) mask.at<uchar>(50 + d, 100 + d) = 255;
        for (const cv::Point p : {cv::Point(0, 0), cv::Point(size.width - 1, 0), cv::Point(0, size.height - 1),
                                  cv::Point(size.width - 1, size.height - 1), cv::Point(size.width - 1, 60)})
          mask.at<uchar>(p) = 255;
      }
      cv::Mat labels, stats, centroids;
      const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
      const std::vector<startrail_detail::FlagComponent> found = startrail_detail::flagComponents(mask);
      ASSERT_EQ(int(found.size()), count - 1) << size << " " << density;
      std::vector<char> seen(size_t(count), 0);
      for (const startrail_detail::FlagComponent& c : found) {
        ASSERT_FALSE(c.pixels.empty());
        const int label = labels.at<int>(c.pixels.front());
        ASSERT_GT(label, 0);
        EXPECT_FALSE(seen[size_t(label)]) << "label " << label << " split";
        seen[size_t(label)] = 1;
        EXPECT_EQ(int(c.pixels.size()), stats.at<int>(label, cv::CC_STAT_AREA));
        for (const cv::Point& p : c.pixels) ASSERT_EQ(labels.at<int>(p), label) << p;
        EXPECT_EQ(c.box, cv::Rect(stats.at<int>(label, cv::CC_STAT_LEFT), stats.at<int>(label, cv::CC_STAT_TOP),
                                  stats.at<int>(label, cv::CC_STAT_WIDTH), stats.at<int>(label, cv::CC_STAT_HEIGHT)));
      }
      cv::Mat painted = cv::Mat::zeros(size, CV_8U);
      for (const startrail_detail::FlagComponent& c : found) startrail_detail::paintComponent(c, painted);
      EXPECT_EQ(cv::countNonZero(painted != (mask != 0)), 0);
    }
}

// Streaks that leave the frame across each edge and through a corner, in
// separate regions of a frame whose width is no multiple of eight, are taken
// whole up to the last pixel, beside a star field that stays.
TEST(StarTrailRejection, StreaksAcrossEveryEdgeAreTakenToTheEdge) {
  const cv::Size size(333, 203);
  const cv::Mat base = starField(size, CV_16UC1, 21, 60);
  cv::Mat frame = base.clone();
  const std::vector<std::pair<cv::Point, cv::Point>> streaks = {
      {{0, 30}, {120, 60}}, {{332, 20}, {220, 90}}, {{150, 0}, {170, 80}}, {{200, 202}, {260, 120}},
      {{0, 202}, {70, 140}}};
  for (const auto& s : streaks) cv::line(frame, s.first, s.second, cv::Scalar(40000), 2);
  const std::vector<cv::Mat> neighbours(4, base);
  const cv::Mat mask = NL_starTrailBuildRegisteredOutlierMask(frame, neighbours, "medium", 0, 100.0, 0.0);
  ASSERT_FALSE(mask.empty());
  cv::Mat drawn;
  cv::compare(frame, base, drawn, cv::CMP_GT);
  EXPECT_EQ(cv::countNonZero(drawn & ~mask), 0);  // every streak pixel, the edge ones too
  EXPECT_EQ(cv::countNonZero(mask & ~drawn), 0);  // and nothing else
  for (const cv::Point p : {cv::Point(0, 30), cv::Point(332, 20), cv::Point(150, 0), cv::Point(200, 202),
                            cv::Point(0, 202)})
    EXPECT_EQ(mask.at<uchar>(p), 255) << p;
}

// The workers do not warp their neighbours: each is sampled through its
// transform where the frame stands above the threshold. That must flag what
// comparing against the warped neighbours flags, and a frame pixel that falls
// off a neighbour's grid must not take a vote from it.
TEST(StarTrailRejection, SampledNeighboursFlagWhatWarpedOnesFlag) {
  const cv::Size size(300, 220);
  cv::Mat base;
  cv::GaussianBlur(starField(size, CV_16UC3, 9, 160), base, {0, 0}, 1.2);  // soft stars, as seeing makes them
  cv::Mat frame = base.clone();
  cv::line(frame, {10, 200}, {290, 30}, cv::Scalar::all(40000), 2);
  const cv::Mat framePlane = startrail_detail::luminancePlane(frame);
  std::vector<cv::Mat> planes, warped, toFrame;
  for (int k = 0; k < 4; ++k) {
    // Neighbour k sees the sky turned and shifted by a fraction of a pixel.
    const cv::Mat toNeighbour = (cv::Mat_<double>(3, 3) << std::cos(0.002 * (k + 1)), -std::sin(0.002 * (k + 1)),
                                 0.37 * (k - 1.5), std::sin(0.002 * (k + 1)), std::cos(0.002 * (k + 1)),
                                 -0.21 * k, 0, 0, 1);
    cv::Mat image, onFrame;
    cv::warpPerspective(base, image, toNeighbour, size, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    planes.push_back(startrail_detail::luminancePlane(image));
    toFrame.push_back(toNeighbour.inv());
    cv::warpPerspective(planes.back(), onFrame, toFrame.back(), size, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    warped.push_back(onFrame);
  }
  const cv::Mat sampled =
      startrail_detail::registeredOutlierMask(framePlane, planes, toFrame, 65535.0, "medium", 0, 125.0, 75.0, planes);
  const cv::Mat reference =
      startrail_detail::registeredOutlierMask(framePlane, warped, {}, 65535.0, "medium", 0, 125.0, 75.0, planes);
  ASSERT_FALSE(sampled.empty());
  ASSERT_FALSE(reference.empty());
  EXPECT_EQ(sampled.at<uchar>(115, 150), 255);  // on the streak
  const cv::Rect inner(3, 3, size.width - 6, size.height - 6);
  EXPECT_LE(cv::countNonZero(sampled(inner) != reference(inner)), cv::countNonZero(reference) / 50);

  // A neighbour whose transform puts every frame pixel off its grid does not
  // vote, so with only such neighbours nothing is flagged.
  const cv::Mat away = (cv::Mat_<double>(3, 3) << 1, 0, 5000, 0, 1, 0, 0, 0, 1);
  EXPECT_TRUE(startrail_detail::registeredOutlierMask(framePlane, planes, std::vector<cv::Mat>(4, away), 65535.0,
                                                      "medium", 0, 125.0, 75.0, {})
                  .empty());
}

// A worker keeps its working masks for its next frame. Frame after frame,
// of other sizes and depths between, with the last result still held, each
// mask must be the one a fresh thread makes: no flag of an earlier frame
// left behind, no result written over by the next.
TEST(StarTrailRejection, MasksFrameAfterFrameOnOneThreadAsOnAFreshOne) {
  struct Night {
    cv::Mat frame;
    std::vector<cv::Mat> neighbours;
  };
  const auto night = [](cv::Size size, int type, unsigned seed, cv::Point a, cv::Point b) {
    Night n;
    const cv::Mat base = starField(size, type, seed, 40);
    const double bright = CV_MAT_DEPTH(type) == CV_16U ? 40000.0 : 160.0;
    n.frame = base.clone();
    cv::line(n.frame, a, b, cv::Scalar::all(bright), 2);
    for (int k = 0; k < 12; ++k)  // an aircraft's blinking lights across the sky
      cv::rectangle(n.frame, cv::Rect(20 + 14 * k, size.height - 30 - 5 * k, 2, 2), cv::Scalar::all(bright), -1);
    n.neighbours.assign(4, base);
    return n;
  };
  const std::vector<Night> nights = {night({300, 220}, CV_16UC3, 4, {10, 10}, {290, 120}),
                                     night({300, 220}, CV_16UC1, 8, {150, 0}, {40, 219}),
                                     night({257, 311}, CV_8UC1, 12, {0, 300}, {256, 20})};
  const auto mask = [](const Night& n) {
    std::vector<cv::Mat> planes;
    for (const cv::Mat& neighbour : n.neighbours) planes.push_back(startrail_detail::luminancePlane(neighbour));
    startrail_detail::StreakRequest request;
    request.keepMasks = true;
    return startrail_detail::registeredOutlierMask(startrail_detail::luminancePlane(n.frame), planes, {},
                                                   startrail_detail::fullScaleOf(n.frame), "medium", 1, 100.0, 80.0,
                                                   {}, request);
  };
  std::vector<cv::Mat> fresh(nights.size());
  for (size_t i = 0; i < nights.size(); ++i) std::thread([&, i] { fresh[i] = mask(nights[i]); }).join();
  for (const cv::Mat& m : fresh) ASSERT_GT(cv::countNonZero(m), 200);
  std::vector<cv::Mat> held;
  for (const size_t i : {1, 0, 2, 0, 0, 1}) {
    held.push_back(mask(nights[i]));
    ASSERT_EQ(held.back().size(), fresh[i].size());
    EXPECT_EQ(cv::countNonZero(held.back() != fresh[i]), 0) << "night " << i << " as mask " << held.size();
  }
  EXPECT_EQ(cv::countNonZero(held[1] != fresh[0]), 0);  // still the same after four more frames
  // A frame its neighbours explain, masked on masks another night left
  // flags in: nothing stands out; the next night after it is whole again.
  Night quiet = nights[0];
  quiet.frame = quiet.neighbours[0];
  EXPECT_TRUE(mask(quiet).empty());
  EXPECT_EQ(cv::countNonZero(mask(nights[0]) != fresh[0]), 0);
}

TEST(StarTrailRejection, AircraftDotsOnALineAreCaught) {
  const cv::Size size(220, 120);
  const cv::Mat base = starField(size, CV_8UC1, 9);
  cv::Mat frame = base.clone();
  // Blinking lights: 2 x 2 dots every 12 px along a line, each too small for the shape filter.
  for (int x = 10; x < 210; x += 12) cv::rectangle(frame, {x, 60 + x / 10}, {x + 1, 61 + x / 10}, cv::Scalar(250), -1);
  const std::vector<cv::Mat> neighbours(3, base);
  const cv::Mat medium = NL_starTrailBuildRegisteredOutlierMask(frame, neighbours, "medium", 0, 125.0, 100.0);
  ASSERT_FALSE(medium.empty());
  EXPECT_GT(cv::countNonZero(medium), 40);
  EXPECT_EQ(medium.at<uchar>(60 + 10, 106), 255);
  // "low" and a zero sensitivity skip the aircraft step: every dot stays.
  const cv::Mat low = NL_starTrailBuildRegisteredOutlierMask(frame, neighbours, "low", 0, 125.0, 100.0);
  EXPECT_EQ(cv::countNonZero(low), 0);
  const cv::Mat off = NL_starTrailBuildRegisteredOutlierMask(frame, neighbours, "medium", 0, 125.0, 0.0);
  EXPECT_EQ(cv::countNonZero(off), 0);
}

// Neighbours are `stars` blurred by `kernel` (what a warp's interpolation
// leaves); the frame adds a line of aircraft lights below them. Every light
// is flagged, no star is.
void expectStarsStayLightsGo(const cv::Mat& stars, const cv::Mat& kernel, const std::string& mode,
                             double sensitivity) {
  cv::Mat resampled;
  cv::sepFilter2D(stars, resampled, -1, kernel, kernel);
  cv::Mat frame = stars.clone();
  for (int x = 12; x < 190; x += 14) cv::rectangle(frame, {x, 80 + x / 8}, {x + 1, 81 + x / 8}, cv::Scalar(40000), -1);
  const std::vector<cv::Mat> neighbours(4, resampled);
  const cv::Mat mask = NL_starTrailBuildRegisteredOutlierMask(frame, neighbours, mode, 2, 100.0, sensitivity);
  ASSERT_FALSE(mask.empty());
  for (int x = 12; x < 190; x += 14) EXPECT_EQ(mask.at<uchar>(80 + x / 8, x), 255) << "light at " << x;
  EXPECT_EQ(cv::countNonZero(mask.rowRange(20, 41)), 0);  // every star and its rim stay
  // Nor does any shape rule take a star for a trail.
  const cv::Mat noAircraft = NL_starTrailBuildRegisteredOutlierMask(stars, neighbours, mode, 0, 100.0, 0.0);
  EXPECT_TRUE(noAircraft.empty() || cv::countNonZero(noAircraft) == 0);
}

// A frame's bright stars are sharper than the same stars resampled in its
// registered neighbours, so their rims exceed the neighbours' median, and a
// small star loses its peak so that it is flagged whole; a line of such stars
// must not be mistaken for an aircraft, while real lights on the same frame
// still are.
TEST(StarTrailRejection, SharedBrightStarsAreNotAircraft) {
  const cv::Size size(200, 120);
  cv::Mat discs(size, CV_16UC1, cv::Scalar(2000));
  for (int x = 20; x <= 180; x += 32) cv::circle(discs, {x, 30}, 3, cv::Scalar(60000), -1, cv::LINE_8);
  // Two half-pixel bilinear shifts, there and back.
  expectStarsStayLightsGo(discs, (cv::Mat_<float>(1, 3) << 0.25f, 0.5f, 0.25f), "medium", 75.0);

  // Seeing of about 2.4 px FWHM, bright but unsaturated, under the widening of
  // one bilinear warp at half-pixel offsets (variance 1/4 a side).
  cv::Mat seeing(size, CV_16UC1, cv::Scalar(2000));
  for (int x = 20; x <= 180; x += 40)
    for (int y = 25; y <= 35; ++y)
      for (int u = x - 5; u <= x + 5; ++u) {
        const double r2 = (u - x - 0.3) * (u - x - 0.3) + (y - 30.2) * (y - 30.2);
        seeing.at<uint16_t>(y, u) = cv::saturate_cast<uint16_t>(2000.0 + 56000.0 * std::exp(-r2 / 2.1));
      }
  expectStarsStayLightsGo(seeing, (cv::Mat_<float>(1, 3) << 0.125f, 0.75f, 0.125f), "high", 100.0);
}

// Warped by the sky's motion, a neighbour's landscape moves: its ground rises
// over this frame's sky along the horizon and its lights leave their places.
// Against the unmoved neighbours of a fixed camera neither is new, while a
// satellite over the sky is new against both.
TEST(StarTrailRejection, TheMovedLandscapeOfWarpedNeighboursIsNotNew) {
  const cv::Size size(300, 200);
  const auto landscape = [&](int rise, bool satellite) {
    cv::Mat f(size, CV_16UC3, cv::Scalar::all(9800));  // a bright, light-polluted sky
    std::vector<cv::Point> ground{{0, 200}, {0, 140 - rise}};
    for (int x = 0; x <= 300; x += 10) ground.push_back({x, 140 - rise + (x / 10 % 2 ? -6 : 0)});
    ground.push_back({300, 200});
    cv::fillPoly(f, std::vector<std::vector<cv::Point>>{ground}, cv::Scalar::all(1000));
    cv::circle(f, {60, 175 - rise}, 2, cv::Scalar::all(50000), -1);  // a light on the ground
    if (satellite) cv::line(f, {10, 20}, {290, 70}, cv::Scalar::all(45000), 2);
    return f;
  };
  const cv::Mat frame = landscape(0, true);
  // the first frame of a sequence: every neighbour is later, the sky turned one way
  const std::vector<cv::Mat> warped = {landscape(2, false), landscape(4, false), landscape(6, false),
                                       landscape(8, false)};
  const std::vector<cv::Mat> unmoved(4, landscape(0, false));
  const cv::Rect horizon(0, 120, 300, 80);
  const cv::Mat skyOnly = NL_starTrailBuildRegisteredOutlierMask(frame, warped, "medium", 2, 100.0, 75.0);
  ASSERT_FALSE(skyOnly.empty());
  EXPECT_GT(cv::countNonZero(skyOnly(horizon)), 300);  // the horizon band would be cut out
  const cv::Mat mask = NL_starTrailBuildRegisteredOutlierMask(frame, warped, "medium", 2, 100.0, 75.0, unmoved);
  ASSERT_FALSE(mask.empty());
  EXPECT_EQ(cv::countNonZero(mask(horizon)), 0);
  EXPECT_EQ(mask.at<uchar>(45, 150), 255);  // on the satellite
}

// In the first frame of a sequence every neighbour is later, so the sky's
// motion lifts all their ground over the band just above this frame's
// horizon: a star trail there has nothing but moved ground to be compared
// with and is kept, while a satellite over open sky still goes.
TEST(StarTrailRejection, AStarJustAboveTheHorizonIsNotComparedWithMovedGround) {
  const cv::Size size(300, 200);
  const auto sky = [&](int rise, bool news) {
    cv::Mat f(size, CV_16UC1, cv::Scalar(9800));
    f.rowRange(140 - rise, size.height).setTo(1000);
    if (news) {
      cv::line(f, {100, 137}, {126, 136}, cv::Scalar(40000), 2);  // the star's arc in this exposure
      cv::line(f, {10, 20}, {290, 70}, cv::Scalar(45000), 2);     // a satellite
    }
    return f;
  };
  const cv::Mat frame = sky(0, true);
  const std::vector<cv::Mat> moved = {sky(4, false), sky(6, false), sky(8, false), sky(10, false)};
  const std::vector<cv::Mat> unmoved(4, sky(0, false));
  const cv::Mat mask = NL_starTrailBuildRegisteredOutlierMask(frame, moved, "medium", 2, 100.0, 75.0, unmoved);
  ASSERT_FALSE(mask.empty());
  EXPECT_EQ(cv::countNonZero(mask(cv::Rect(90, 125, 50, 15))), 0);
  EXPECT_EQ(mask.at<uchar>(45, 150), 255);
}

// ---- Sky mask, bridge and composite ---------------------------------------------

TEST(StarTrailMasks, SkyMaskLevelsAndFailures) {
  TempDir dir;
  cv::Mat m8(4, 6, CV_8U, cv::Scalar(0));
  m8.colRange(0, 3).setTo(128);
  m8.col(3).setTo(127);
  const std::string p8 = dir.file("m8.png");
  ASSERT_TRUE(cv::imwrite(p8, m8));
  std::string message = "untouched";
  cv::Mat sky = NL_starTrailLoadBinarySkyMask(p8, {6, 4}, message);
  ASSERT_FALSE(sky.empty());
  EXPECT_EQ(cv::countNonZero(sky), 12);
  EXPECT_EQ(sky.at<uchar>(0, 2), 255);
  EXPECT_EQ(sky.at<uchar>(0, 3), 0);
  EXPECT_EQ(message, "untouched");
  EXPECT_TRUE(NL_starTrailLoadBinarySkyMask("", {6, 4}, message).empty());
  EXPECT_EQ(message, "untouched");

  cv::Mat m16(2, 2, CV_16UC3, cv::Scalar::all(32767));
  m16.at<cv::Vec3w>(0, 0) = cv::Vec3w(32768, 32768, 32768);
  const std::string p16 = dir.file("m16.tif");
  ASSERT_TRUE(cv::imwrite(p16, m16));
  sky = NL_starTrailLoadBinarySkyMask(p16, {2, 2}, message);
  EXPECT_EQ(sky.at<uchar>(0, 0), 255);
  EXPECT_EQ(cv::countNonZero(sky), 1);
  EXPECT_TRUE(NL_starTrailLoadBinarySkyMask(p16, {3, 2}, message).empty());
  EXPECT_EQ(message, "sky mask size mismatch.");
}

TEST(StarTrailMasks, BridgeBandFollowsTheEdge) {
  TempDir dir;
  cv::Mat mask(120, 160, CV_8U, cv::Scalar(0));
  mask.rowRange(0, 60).setTo(255);
  const std::string path = dir.file("mask.png");
  ASSERT_TRUE(cv::imwrite(path, mask));
  const cv::Mat band = NL_starTrailBuildThreeZoneBridgeMask(path, {160, 120}, "standard");
  ASSERT_FALSE(band.empty());
  double lo, hi;
  cv::minMaxLoc(band, &lo, &hi);
  EXPECT_LE(hi, 209.0);
  EXPECT_GE(hi, 200.0);
  EXPECT_EQ(band.at<uchar>(60, 80), band.at<uchar>(59, 80));
  EXPECT_GT(band.at<uchar>(60, 80), 190);
  EXPECT_EQ(band.at<uchar>(0, 80), 0);
  EXPECT_EQ(band.at<uchar>(119, 80), 0);
  const cv::Mat strong = NL_starTrailBuildThreeZoneBridgeMask(path, {160, 120}, "strong");
  EXPECT_GT(cv::countNonZero(strong), cv::countNonZero(band));
  EXPECT_TRUE(NL_starTrailBuildThreeZoneBridgeMask(path, {161, 120}, "standard").empty());
  const std::string white = dir.file("white.png");
  ASSERT_TRUE(cv::imwrite(white, cv::Mat(40, 40, CV_8U, cv::Scalar(255))));
  EXPECT_EQ(cv::countNonZero(NL_starTrailBuildThreeZoneBridgeMask(white, {40, 40}, "subtle")), 0);
}

TEST(StarTrailMasks, CompositeZonesAlphaAndFailures) {
  TempDir dir;
  const cv::Size size(20, 10);
  std::mt19937 rng(4);
  cv::Mat sky(size, CV_16UC4), fg(size, CV_16UC4), bridge(size, CV_16UC4);
  for (cv::Mat* m : {&sky, &fg, &bridge}) cv::randu(*m, cv::Scalar::all(0), cv::Scalar::all(65535));
  cv::Mat mask(size, CV_8U, cv::Scalar(0));
  mask.rowRange(0, 5).setTo(200);
  cv::Mat bridgeMask = randomMask(size, 0.5, rng);
  bridgeMask.setTo(100, bridgeMask);
  const std::string sp = dir.file("sky.tif"), fp = dir.file("fg.tif"), mp = dir.file("mask.png"),
                    op = dir.file("out.tif");
  ASSERT_TRUE(cv::imwrite(sp, sky) && cv::imwrite(fp, fg) && cv::imwrite(mp, mask));
  std::string message;
  ASSERT_TRUE(NL_starTrailCompositeSkyForeground(sp, fp, mp, op, message, &bridge, &bridgeMask)) << message;
  const cv::Mat out = cv::imread(op, -1);
  ASSERT_EQ(out.type(), CV_16UC4);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x)
      for (int c = 0; c < 4; ++c) {
        const double s = sky.at<cv::Vec4w>(y, x)[c], f = fg.at<cv::Vec4w>(y, x)[c], a = bridge.at<cv::Vec4w>(y, x)[c];
        const double k = y < 5 ? 1.0 : 0.0, b = bridgeMask.at<uchar>(y, x) / 255.0;
        const double base = k * s + (1 - k) * f;
        const double expected = c == 3 ? std::max(s, f) : b * a + (1 - b) * base;
        ASSERT_EQ(out.at<cv::Vec4w>(y, x)[c], ushort(std::floor(expected + 0.5))) << y << "," << x << "," << c;
      }
  // No bridge: a hard switch.
  ASSERT_TRUE(NL_starTrailCompositeSkyForeground(sp, fp, mp, op, message, nullptr, &bridgeMask));
  const cv::Mat hard = cv::imread(op, -1);
  EXPECT_EQ(hard.at<cv::Vec4w>(2, 3)[1], sky.at<cv::Vec4w>(2, 3)[1]);
  EXPECT_EQ(hard.at<cv::Vec4w>(7, 3)[1], fg.at<cv::Vec4w>(7, 3)[1]);

  EXPECT_FALSE(NL_starTrailCompositeSkyForeground(sp, fp, "", op, message, nullptr, nullptr));
  EXPECT_EQ(message, "Composite failed: missing sky, foreground, mask or output path.");
  const std::string f8 = dir.file("fg8.tif");
  ASSERT_TRUE(cv::imwrite(f8, cv::Mat(size, CV_8UC4, cv::Scalar::all(3))));
  EXPECT_FALSE(NL_starTrailCompositeSkyForeground(sp, f8, mp, op, message, nullptr, nullptr));
  EXPECT_EQ(message, "Composite failed: sky and foreground size/type mismatch.");
  const std::string small = dir.file("small.png");
  ASSERT_TRUE(cv::imwrite(small, cv::Mat(3, 3, CV_8U, cv::Scalar(255))));
  EXPECT_FALSE(NL_starTrailCompositeSkyForeground(sp, fp, small, op, message, nullptr, nullptr));
  EXPECT_EQ(message, "Composite failed: mask size mismatch.");
  const std::string bad = dir.file("no/dir/out.tif");
  EXPECT_FALSE(NL_starTrailCompositeSkyForeground(sp, fp, mp, bad, message, nullptr, nullptr));
  EXPECT_EQ(message, "Composite failed: could not write output: " + bad + " (No such file or directory)");
  EXPECT_FALSE(NL_isImageCompatibleForStarTrail(cv::Mat(), cv::Mat()));
  EXPECT_FALSE(NL_isImageCompatibleForStarTrail(cv::Mat(2, 2, CV_8UC3), cv::Mat(2, 2, CV_8UC4)));
  EXPECT_TRUE(NL_isImageCompatibleForStarTrail(cv::Mat(2, 2, CV_8UC3), cv::Mat(2, 2, CV_8UC3)));
}

// ---- Driver pieces -----------------------------------------------------------------

TEST(StarTrailDriver, NumberedOutputNamesAndWorkerPlan) {
  TempDir dir;
  const std::string b = dir.file("b.tif");
  EXPECT_EQ(NL_starTrailChooseOutputPath(b), b);
  writeFile(b, "x");
  writeFile(dir.file("b_1.tif"), "x");
  EXPECT_EQ(NL_starTrailChooseOutputPath(b), dir.file("b_2.tif"));
  std::filesystem::create_directories(dir.file("dir.v2"));
  const std::string plain = dir.file("dir.v2/result");
  writeFile(plain, "x");
  EXPECT_EQ(NL_starTrailChooseOutputPath(plain), dir.file("dir.v2/result_1.tif"));

  EXPECT_EQ(NL_starTrailWorkerCount(12, 100), 10);
  EXPECT_EQ(NL_starTrailWorkerCount(1, 100), 1);
  EXPECT_EQ(NL_starTrailWorkerCount(0, 100), 4);
  EXPECT_EQ(NL_starTrailWorkerCount(0, 2), 2);
  EXPECT_EQ(NL_starTrailWorkerCount(64, 100), 52);
  EXPECT_EQ(NL_starTrailEstimatedBytesPerWorker(100, false, 4, 3), 600u);  // min(8, 2) + 4
  EXPECT_EQ(NL_starTrailEstimatedBytesPerWorker(100, true, 2, 30), 300u);
  EXPECT_EQ(NL_starTrailEstimatedBytesPerWorker(100, false, 2, 30), 800u);
  EXPECT_EQ(NL_starTrailFormatMegabytes(0), "0");
  EXPECT_EQ(NL_starTrailFormatMegabytes(3u * 1048576u + 1048575u), "4");
#if defined(__linux__) || defined(__APPLE__)
  EXPECT_GT(NL_starTrailAvailablePhysicalMemory(), 0u);
#endif
}

TEST(StarTrailDriver, ResultLogTextIsExact) {
  NLStarTrailRunReport r;
  r.job.rejectionMode = "high";
  r.job.temporalWindow = 7;
  r.job.maskGrowPx = 3;
  r.job.cometEnabled = true;
  r.job.cometStrength = 12.5;
  r.job.cometDirection = "both";
  r.job.blendingRefinementEnabled = false;
  r.job.blendingRefinementStrength = "subtle";
  r.job.maskInput = "m.png";
  r.job.skyOutput = "s.tif";
  r.job.output = "o_1.tif";
  r.job.foregroundOutput = "fg.tif";
  r.job.foregroundInputs = {"f.tif"};
  r.requestedOutput = "o.tif";
  r.frames = 12;
  r.workers = 2;
  r.availablePhysicalBytes = 2048ull * 1048576ull;
  r.estimatedBytesPerWorker = 1572864;  // 1.5 MB rounds to 2
  r.rejectedMaskPixels = 4321;
  r.timingMs = 987;
  const std::string expected =
      "Star Trail native job completed.\nstatus=success\nframes=12\nrejectionMode=high\ntemporalWindow=7\n"
      "maskGrowPx=3\nworkers=2\ncometEnabled=true\ncometStrength=12.5\ncometDirection=both\n"
      "availablePhysicalRamMB=2048\nestimatedBytesPerWorkerMB=2\n"
      "engineMode=registered-local-window-rejection-v4.0-manual-rejection-controls\n"
      "foregroundStackEngine=landscape-fixed-sigma-stack-v44-no-brightness-remap\n"
      "aircraftBlinkRejection=manual-sensitivity-v40\n"
      "memoryMode=single-output-image-current-neighbors-only-no-partial-stacks\n"
      "progressDetail=simple-processed-frames-only\n"
      "rejectionPresetTuning=v40-manual-threshold-and-aircraft-sensitivity\n"
      "skyMaskProcessing=v45-startrail-sky-only-foreground-protected-compile-fix\n"
      "intermediateOutputPolicy=v47-final-output-only-delete-temp-sidecars\n"
      "cometMode=v71-range-fade-all-processing-paths\n"
      "foregroundEdgeRepair=v80-blending-refinement-edge-band-clean-comet-bridge\n"
      "blendingRefinementEnabled=0\nblendingRefinementStrength=subtle\nmaskInput=m.png\nskyOutput=s.tif\n"
      "rejectedMaskPixels=4321\ntimingMs=987\nrequestedOutput=o.tif\noutput=o_1.tif\nforegroundOutput=fg.tif\n";
  EXPECT_EQ(NL_starTrailSuccessLog(r), expected);
  // The conditional lines disappear with their conditions.
  r.job.maskInput.clear();
  r.job.skyOutput.clear();
  r.requestedOutput = r.job.output;
  r.job.foregroundInputs.clear();
  r.job.cometStrength = 50;
  const std::string shorter = NL_starTrailSuccessLog(r);
  EXPECT_EQ(shorter.find("maskInput="), std::string::npos);
  EXPECT_EQ(shorter.find("requestedOutput="), std::string::npos);
  EXPECT_EQ(shorter.find("foregroundOutput="), std::string::npos);
  EXPECT_NE(shorter.find("\ncometStrength=50\n"), std::string::npos);
  EXPECT_NE(shorter.find("timingMs=987\noutput=o_1.tif\n"), std::string::npos);
  EXPECT_EQ(NL_starTrailFailureLog("boom"), "Star Trail native job failed.\nstatus=failed\nerror=boom\n");
}

// ---- Whole runs -------------------------------------------------------------------

struct Scene {
  std::vector<cv::Mat> frames;  // what the job reads
  cv::Mat cleanLighten;         // per-pixel maximum without the injected streak
  cv::Mat streakMask;           // where the streak was drawn
};

// A slowly drifting star field (1 px per frame, so the trails are continuous)
// with one satellite streak in frame 3.
const cv::Size kTrailSize(320, 240);

Scene trailScene(int count, int type) {
  Scene s;
  const cv::Size size = kTrailSize;
  // Over a hundred matched stars per pair: with fewer than 80 the registration
  // skips its sub-pixel refinement, and a tenth of a pixel of misfit is enough
  // to flag the rims of these hard-edged stars as outliers.
  const cv::Mat stars = starField(size + cv::Size(40, 40), type, 21, 300);
  for (int i = 0; i < count; ++i) s.frames.push_back(stars(cv::Rect(20 + i, 20, size.width, size.height)).clone());
  s.cleanLighten = cv::Mat::zeros(size, type);
  for (const cv::Mat& f : s.frames) s.cleanLighten = cv::max(s.cleanLighten, f);
  s.streakMask = cv::Mat::zeros(size, CV_8U);
  cv::line(s.streakMask, {10, 220}, {310, 30}, cv::Scalar(255), 2);
  s.frames[3].setTo(cv::Scalar::all(CV_MAT_DEPTH(type) == CV_16U ? 45000 : 180), s.streakMask);
  return s;
}

struct JobFiles {
  std::vector<std::string> inputs;
  std::string job, output, progress, log;
};

std::string jsonList(const std::vector<std::string>& paths) {
  std::string out = "[";
  for (size_t i = 0; i < paths.size(); ++i) out += (i ? ", {\"path\": \"" : "{\"path\": \"") + paths[i] + "\"}";
  return out + "]";
}

// Frames as OpenCV writes them by default (LZW), or uncompressed when asked.
JobFiles writeJob(const TempDir& dir, const std::vector<cv::Mat>& frames, const std::string& extra,
                  bool uncompressed = false) {
  JobFiles j;
  const std::vector<int> params = uncompressed ? std::vector<int>{cv::IMWRITE_TIFF_COMPRESSION, 1} : std::vector<int>{};
  for (size_t i = 0; i < frames.size(); ++i) {
    j.inputs.push_back(dir.file("frame" + std::to_string(i) + ".tif"));
    EXPECT_TRUE(cv::imwrite(j.inputs.back(), frames[i], params));
  }
  j.job = dir.file("startrail_job_native.json");
  j.output = dir.file("trail.tif");
  j.progress = dir.file("progress.txt");
  j.log = dir.file("result.txt");
  writeFile(j.job, "{\"type\": \"startrail-native-job\", \"inputs\": " + jsonList(j.inputs) +
                       ", \"output\": \"" + j.output + "\", \"progress\": \"" + j.progress +
                       "\", \"resultLog\": \"" + j.log + "\"" + extra + "}");
  return j;
}

std::string logValue(const std::string& log, const std::string& key) {
  const size_t at = log.find("\n" + key + "=");
  if (at == std::string::npos) return "<missing>";
  const size_t start = at + key.size() + 2;
  return log.substr(start, log.find('\n', start) - start);
}

TEST(StarTrailRun, DirectLightenIsThePerPixelMaximum) {
  TempDir dir;
  const Scene scene = trailScene(7, CV_16UC3);
  const JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"Off\"");
  const int threadsBefore = cv::getNumThreads();
  const std::string log = NL_runStarTrailNativeJob(j.job);
  EXPECT_EQ(cv::getNumThreads(), threadsBefore);
  ASSERT_EQ(log.rfind("Star Trail native job completed.\nstatus=success\nframes=7\nrejectionMode=Off\n", 0), 0u)
      << log;
  EXPECT_EQ(readFile(j.log), log);
  EXPECT_EQ(logValue(log, "rejectedMaskPixels"), "0");
  EXPECT_EQ(logValue(log, "output"), j.output);
  EXPECT_EQ(logValue(log, "requestedOutput"), "<missing>");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 27);  // no mask, sky, requested or foreground lines
  cv::Mat expected = cv::Mat::zeros(scene.frames[0].size(), scene.frames[0].type());
  for (const cv::Mat& f : scene.frames) expected = cv::max(expected, f);
  EXPECT_EQ(cv::norm(cv::imread(j.output, -1), expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(readFile(j.progress),
            "percent=100\nstage=Completed\ndetail=Native Star Trail workflow finished.\n"
            "writer=module landscape-progress-monotonic-v2\n");

  // A second run finds the first result and numbers its own.
  const std::string again = NL_runStarTrailNativeJob(j.job);
  EXPECT_EQ(logValue(again, "requestedOutput"), j.output);
  EXPECT_EQ(logValue(again, "output"), dir.file("trail_1.tif"));
  EXPECT_EQ(cv::norm(cv::imread(dir.file("trail_1.tif"), -1), expected, cv::NORM_INF), 0.0);
}

// Runs the job on one worker, then planned for the given thread count:
// whatever order the workers take the frames in, the rejected pixel count
// and the image are the same. Returns the one-worker log.
std::string expectWorkerCountChangesNothing(const JobFiles& j, unsigned threads, const std::string& workers) {
  const std::string one = NL_runStarTrailNativeJob(j.job, 1);
  EXPECT_NE(one.find("status=success"), std::string::npos) << one;
  EXPECT_EQ(logValue(one, "workers"), "1");
  EXPECT_NE(logValue(one, "rejectedMaskPixels"), "0");
  const std::string many = NL_runStarTrailNativeJob(j.job, threads);
  EXPECT_NE(many.find("status=success"), std::string::npos) << many;
  EXPECT_EQ(logValue(many, "workers"), workers);
  EXPECT_EQ(logValue(many, "rejectedMaskPixels"), logValue(one, "rejectedMaskPixels"));
  const cv::Mat single = cv::imread(logValue(one, "output"), cv::IMREAD_UNCHANGED);
  EXPECT_FALSE(single.empty());
  EXPECT_EQ(cv::norm(cv::imread(logValue(many, "output"), cv::IMREAD_UNCHANGED), single, cv::NORM_INF), 0.0);
  return one;
}

TEST(StarTrailRun, RejectionRemovesTheStreakAndKeepsTheTrails) {
  TempDir dir;
  const Scene scene = trailScene(8, CV_16UC3);
  const JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"medium\", \"maskGrowPx\": 2");
  const std::string log = expectWorkerCountChangesNothing(j, 8, "7");
  ASSERT_EQ(logValue(log, "output"), j.output);
  const cv::Mat result = cv::imread(j.output, -1);
  // Off the streak's grown band the result is the clean Lighten truth.
  cv::Mat band;
  cv::dilate(scene.streakMask, band, cv::getStructuringElement(cv::MORPH_ELLIPSE, {9, 9}));
  cv::Mat diff;
  cv::absdiff(result, scene.cleanLighten, diff);
  diff.setTo(cv::Scalar::all(0), band);
  EXPECT_EQ(cv::norm(diff, cv::NORM_INF), 0.0);
  // On the streak the bright line is gone: nothing near the streak's level remains.
  cv::Mat onStreak = cv::Mat::zeros(result.size(), result.type());
  result.copyTo(onStreak, scene.streakMask);
  cv::Mat truthOnStreak = cv::Mat::zeros(result.size(), result.type());
  scene.cleanLighten.copyTo(truthOnStreak, scene.streakMask);
  cv::Mat lifted;
  cv::subtract(onStreak, truthOnStreak, lifted);
  EXPECT_LT(cv::countNonZero(lifted.reshape(1) > 1000), 3);
}

// Uncompressed frames are read straight into buffers the workers reuse from
// frame to frame: a buffer handed on while a frame or a neighbour still used
// it would show as another image. 8- and 16-bit, grey and colour, both paths,
// one worker and several: the same image and mask count as from LZW frames.
TEST(StarTrailRun, ReusedFrameBuffersGiveTheImageOfFreshOnes) {
  for (const int type : {CV_16UC3, CV_8UC1}) {
    const Scene scene = trailScene(7, type);
    for (const std::string mode : {"off", "medium"}) {
      SCOPED_TRACE(mode + " type " + std::to_string(type));
      TempDir lzwDir, plainDir;
      const std::string extra = ", \"rejectionMode\": \"" + mode + "\", \"temporalWindow\": 3";
      const JobFiles lzw = writeJob(lzwDir, scene.frames, extra);
      const JobFiles plain = writeJob(plainDir, scene.frames, extra, true);
      const std::string fresh = NL_runStarTrailNativeJob(lzw.job, 1);
      ASSERT_NE(fresh.find("status=success"), std::string::npos) << fresh;
      const cv::Mat expected = cv::imread(lzw.output, cv::IMREAD_UNCHANGED);
      for (const unsigned threads : {1u, 4u}) {
        const std::string reused = NL_runStarTrailNativeJob(plain.job, threads);
        ASSERT_NE(reused.find("status=success"), std::string::npos) << reused;
        EXPECT_EQ(logValue(reused, "rejectedMaskPixels"), logValue(fresh, "rejectedMaskPixels"));
        EXPECT_EQ(cv::norm(cv::imread(logValue(reused, "output"), cv::IMREAD_UNCHANGED), expected, cv::NORM_INF), 0.0);
      }
    }
  }
}

// A pooled buffer goes to the next frame of its size and type only, never
// while another image header still shows it, and the pool keeps no more
// idle buffers than it was told.
TEST(StarTrailBuffers, PoolHandsOnOnlyBuffersNobodyElseHolds) {
  startrail_detail::FramePool pool(2);
  cv::Mat a = pool.take({64, 32}, CV_16UC3);
  const uchar* memory = a.data;
  cv::Mat stillShown = a;
  pool.give(a);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(pool.idle(), 0u);  // stillShown holds it
  EXPECT_NE(pool.take({64, 32}, CV_16UC3).data, memory);
  pool.give(stillShown);
  EXPECT_EQ(pool.idle(), 1u);
  EXPECT_TRUE(pool.take({64, 32}, CV_32F).data != memory);  // another type: a new buffer
  EXPECT_EQ(pool.take({64, 32}, CV_16UC3).data, memory);
  EXPECT_EQ(pool.idle(), 0u);
  {
    std::shared_ptr<const cv::Mat> shared = pool.share(pool.take({8, 8}, CV_32F));
    const std::shared_ptr<const cv::Mat> second = shared;
    shared.reset();
    EXPECT_EQ(pool.idle(), 0u);  // the frame is still held
  }
  EXPECT_EQ(pool.idle(), 1u);
  cv::Mat x = pool.take({4, 4}, CV_8U), y = pool.take({4, 4}, CV_8U), z = pool.take({4, 4}, CV_8U);
  pool.give(x), pool.give(y), pool.give(z);
  EXPECT_EQ(pool.idle(), 2u);
  // Images the pool did not hand out, and buffers dropped, never make it hold more.
  cv::Mat stranger(4, 4, CV_8U), dropped = pool.take({3, 3}, CV_8U), again = dropped;
  pool.give(stranger);
  pool.drop(dropped);
  again.release();
  EXPECT_EQ(pool.idle(), 2u);
  cv::Mat whole(10, 10, CV_8U);
  cv::Mat part = whole(cv::Rect(2, 2, 5, 5));
  whole.release();
  startrail_detail::FramePool other(4);
  other.give(part);  // a view into a larger buffer is not a frame's buffer
  EXPECT_EQ(other.idle(), 0u);
}

// The luminance plane written into a reused buffer is the plumbing's
// luminance rounded to float, for every depth and channel count.
TEST(StarTrailBuffers, LuminancePlaneIsThePlumbingsLuminance) {
  cv::RNG rng(3);
  cv::Mat reused(5, 5, CV_32F, cv::Scalar(-1));
  for (const int type : {CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_16UC3, CV_16UC4}) {
    cv::Mat image(37, 53, type);
    rng.fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_8U ? 256 : 65536);
    startrail_detail::luminancePlaneInto(image, reused);
    ASSERT_EQ(reused.size(), image.size());
    std::vector<double> row(size_t(image.cols));
    for (int y = 0; y < image.rows; ++y) {
      NL_luminanceRow(image, y, row.data());
      for (int x = 0; x < image.cols; ++x) ASSERT_EQ(reused.at<float>(y, x), float(row[size_t(x)])) << type;
    }
  }
}

// Small enough for the ThreadSanitizer suite: four workers take the frames
// out of order, share decodes through the frame cache and add rows under the
// per-row locks, so a race shows as another image or mask count than one
// worker's.
TEST(StarTrailRun, FourWorkersGiveOneWorkersImage) {
  TempDir dir;
  const Scene scene = trailScene(5, CV_8UC3);
  const JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"high\", \"temporalWindow\": 3");
  expectWorkerCountChangesNothing(j, 5, "4");
}

// A worker that finds a shared step under way is told so at once instead of
// blocking; when the step fails, the worker waiting for it is released and
// runs it itself, and a step once done is never run again.
TEST(StarTrailRun, SharedStepRunsOnceAndSurvivesAFailure) {
  startrail_detail::SharedStep step;
  std::atomic<bool> seenUnderWay{false};
  std::atomic<int> runs{0};
  bool secondAsked = false, secondDone = false;
  std::thread second([&] {
    while (step.untouched()) std::this_thread::yield();  // until the first has started
    secondAsked = !step.tryRun([&] { runs++; });  // under way: not run here
    seenUnderWay = true;
    step.waitWhileRunning();
    secondDone = step.tryRun([&] { runs++; });  // the first failed: this one runs it
  });
  EXPECT_THROW(step.tryRun([&] {
    runs++;
    while (!seenUnderWay) std::this_thread::yield();
    throw std::runtime_error("decode failed");
  }),
               std::runtime_error);
  second.join();
  EXPECT_TRUE(secondAsked);
  EXPECT_TRUE(secondDone);
  EXPECT_EQ(runs.load(), 2);
  EXPECT_TRUE(step.tryRun([&] { runs++; }));
  EXPECT_EQ(runs.load(), 2);
  EXPECT_FALSE(step.untouched());
}

// The worker as a plain loop: registration of every pair from scratch, every
// neighbour decoded again, one frame after the other.
cv::Mat straightforwardTrail(const std::vector<cv::Mat>& frames, const NLStarTrailNativeJob& job) {
  const int n = int(frames.size());
  cv::Mat acc = cv::Mat::zeros(frames[0].size(), frames[0].type());
  NLStarTrailAccumulateTarget target{&acc, nullptr, nullptr, nullptr, nullptr};
  const int maxShift = std::max(std::min(frames[0].cols, frames[0].rows) / 3, 160);
  for (int i = 0; i < n; ++i) {
    std::vector<cv::Mat> neighbours, unmoved;
    int unregistered = 0;
    for (int k : NL_starTrailNeighbourList(i, n, job.temporalWindow / 2)) {
      unmoved.push_back(frames[k]);
      cv::Mat h, warped;
      NLStarMatchList matches;
      if (NL_buildHomographyTransform(frames[i], frames[k], 3.2, 3200, maxShift, 18.0, h, matches) && !h.empty()) {
        cv::warpPerspective(frames[k], warped, h, frames[i].size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
        neighbours.push_back(warped);
      } else {
        neighbours.push_back(frames[k]);
        ++unregistered;
      }
    }
    cv::Mat mask = NL_starTrailBuildRegisteredOutlierMask(frames[i], neighbours, job.rejectionMode, job.maskGrowPx,
                                                          job.rejectionThresholdPct, job.aircraftSensitivity, unmoved);
    if (mask.empty() && unregistered > 0)
      mask = NL_starTrailBuildOutlierMask(frames[i], neighbours, job.rejectionMode, job.maskGrowPx,
                                          job.rejectionThresholdPct);
    NL_starTrailAccumulateFrame(frames[i], mask, NL_starTrailCometWeight(job, i, n), target);
  }
  return acc;
}

TEST(StarTrailRun, SyntheticTimeLapseLosesItsSatellitesAndAircraft) {
  TempDir dir;
  synth::TrailSettings settings;
  settings.size = {640, 400};
  settings.frames = 10;
  const synth::Scene scene = synth::makeTrailScene(settings);
  ASSERT_FALSE(scene.trails.empty());
  // The sky has enough stars that neighbours are registered, not compared unaligned.
  cv::Mat h;
  NLStarMatchList matches;
  ASSERT_TRUE(NL_buildHomographyTransform(scene.frames[4], scene.frames[5], 3.2, 3200, 160, 18.0, h, matches));
  const JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"medium\"");
  const std::string log = NL_runStarTrailNativeJob(j.job);
  ASSERT_NE(log.find("status=success"), std::string::npos) << log;
  const cv::Mat result = cv::imread(j.output, -1);
  cv::Mat trails = cv::Mat::zeros(result.size(), CV_8U);
  for (const synth::TrailTruth& t : scene.trails) trails |= t.mask;
  {
    // Off the trails the sky is the clean Lighten but for a few star pixels
    // (bright stars crowding an aircraft's line); taking the rims of shared
    // bright stars for aircraft lights would lose twice as many.
    cv::Mat band, lost, gray;
    cv::dilate(trails, band, cv::getStructuringElement(cv::MORPH_ELLIPSE, {9, 9}));
    cv::subtract(scene.cleanLighten, result, lost);
    cv::cvtColor(lost, gray, cv::COLOR_BGR2GRAY);
    EXPECT_LT(cv::countNonZero((gray > 2000) & ~band), int(gray.total() / 1000));
  }
  // On the injected trails the result stays near the clean Lighten truth: a
  // left-over streak would stand out by far more than the noise.
  const auto standingOut = [&](const cv::Mat& image) {
    cv::Mat excess, gray;
    cv::subtract(image, scene.cleanLighten, excess);
    cv::cvtColor(excess, gray, cv::COLOR_BGR2GRAY);
    return cv::countNonZero((gray > 0.1 * 65535) & trails);
  };
  cv::Mat naive = cv::Mat::zeros(result.size(), result.type());
  for (const cv::Mat& f : scene.frames) naive = cv::max(naive, f);
  const int total = cv::countNonZero(trails);
  EXPECT_GT(standingOut(naive), total / 3);  // the plain maximum keeps the trails
  // The few left are the faint tips of the streaks, below the threshold in their frame.
  EXPECT_LT(standingOut(result), total / 50);
}

synth::Scene sparseArcSequence(int frames) {
  synth::TrailSettings settings;
  settings.size = {720, 480};
  settings.frames = frames;
  settings.bits = 8;
  settings.sky = synth::sparseSky();
  settings.sky.density = 4.0e-4;  // a small frame: a few hundred stars above the noise, as on a large sparse one
  settings.sky.planets = 0;
  settings.skyLevel = 0.15;
  return synth::makeTrailScene(settings);
}

// A sparse, light-polluted sky whose stars are the arcs of each exposure:
// the neighbours register, and the satellites and aircraft go, including
// those in the first and last frames and in neighbouring frames.
TEST(StarTrailRun, SparseArcSequenceLosesItsSatellitesAndAircraft) {
  TempDir dir;
  const synth::Scene scene = sparseArcSequence(9);
  cv::Mat h;
  NLStarMatchList matches;
  EXPECT_TRUE(NL_buildHomographyTransform(scene.frames[4], scene.frames[5], 3.2, 3200, 160, 18.0, h, matches));
  const JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"medium\"");
  const std::string log = NL_runStarTrailNativeJob(j.job);
  ASSERT_NE(log.find("status=success"), std::string::npos) << log;
  const synth::RejectionFigures f = synth::rejectionFigures(scene, cv::imread(j.output, -1));
  RecordProperty("satelliteLeft", std::to_string(f.satelliteLeft));
  RecordProperty("aircraftLeft", std::to_string(f.aircraftLeft));
  RecordProperty("starsLost", std::to_string(f.starsLost));
  EXPECT_LT(f.satelliteLeft, 0.02);
  EXPECT_LT(f.aircraftLeft, 0.10);
  EXPECT_LT(f.starsLost, 0.005);
}

// A short night of a dense sky (some 1300 stars found in each 900 x 600
// frame above its landscape, one every 17 px) turning a tenth of a degree a
// frame, the shutter open half of each interval: consecutive frames register
// on their true relation, and the satellites, in the first frame and a
// middle one, go.
TEST(StarTrailRun, DenseSlowlyTurningNightLosesItsSatellites) {
  TempDir dir;
  synth::TrailSettings settings;
  settings.size = {900, 600};
  settings.frames = 6;
  settings.degreesPerFrame = 0.1;
  settings.dutyCycle = 0.5;
  settings.sky.density = 2.0e-2;
  settings.sky.faintestFlux = 0.1;
  settings.sky.brightestFlux = 1.5;
  settings.satelliteFrames = {0, 3};
  settings.aircraftFrames = {};
  const synth::Scene scene = synth::makeTrailScene(settings);
  ASSERT_EQ(scene.trails.size(), 2u);
  ASSERT_GT(NL_findStarCandidates(scene.frames[0], NL_kTrailRegistration.sigmaFactor, 0).size(), 1000u);
  const NLRegistrationSettings& t = NL_kTrailRegistration;
  for (int i = 0; i + 1 < settings.frames; ++i) {
    cv::Mat h;
    NLStarMatchList matches;
    ASSERT_TRUE(NL_buildHomographyTransform(scene.frames[size_t(i)], scene.frames[size_t(i) + 1], t.sigmaFactor,
                                            t.starBudget, NL_trailMaxShift(settings.size), t.tolerance, h, matches))
        << "frames " << i << " and " << i + 1;
    const cv::Matx33d truth =
        scene.truth[size_t(i)].frameToReference.inv() * scene.truth[size_t(i) + 1].frameToReference;
    double worst = 0.0;
    for (const cv::Point2d p : {cv::Point2d(0, 0), cv::Point2d(899, 0), cv::Point2d(0, 599), cv::Point2d(899, 599),
                                cv::Point2d(450, 300)})
      worst = std::max(worst, cv::norm(NL_projectPoint(h, p) - synth::applyHomography(truth, p)));
    EXPECT_LT(worst, 0.1) << "frames " << i << " and " << i + 1;
  }
  const JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"medium\"");
  const std::string log = NL_runStarTrailNativeJob(j.job);
  ASSERT_NE(log.find("status=success"), std::string::npos) << log;
  EXPECT_EQ(log.find("rejectedMaskPixels=0\n"), std::string::npos) << log;
  const synth::RejectionFigures f = synth::rejectionFigures(scene, cv::imread(j.output, -1));
  RecordProperty("satelliteLeft", std::to_string(f.satelliteLeft));
  RecordProperty("starsLost", std::to_string(f.starsLost));
  EXPECT_LT(f.satelliteLeft, 0.02);
  EXPECT_LT(f.starsLost, 0.005);
}

// Where the neighbours cannot be registered, the fallback still takes the
// satellites and aircraft: straight, long and absent from the neighbours,
// unlike the short residues the unaligned stars leave.
TEST(StarTrailRejection, FallbackStillTakesStraightLongStreaks) {
  const synth::Scene scene = sparseArcSequence(9);
  for (const synth::TrailTruth& t : scene.trails) {
    std::vector<cv::Mat> unaligned;
    for (int k : NL_starTrailNeighbourList(t.frame, 9, 2)) unaligned.push_back(scene.frames[size_t(k)]);
    const cv::Mat mask = NL_starTrailBuildOutlierMask(scene.frames[size_t(t.frame)], unaligned, "medium", 2, 100.0);
    ASSERT_FALSE(mask.empty());
    // The trail's pixels that stand clearly above the sky are under the mask.
    cv::Mat diff, grey;
    cv::subtract(scene.frames[size_t(t.frame)], scene.cleanLighten, diff);
    cv::cvtColor(diff, grey, cv::COLOR_BGR2GRAY);
    const cv::Mat visible = (grey > 0.05 * 255.0) & t.mask;
    const double caught = double(cv::countNonZero(visible & mask)) / std::max(1, cv::countNonZero(visible));
    EXPECT_GT(caught, t.kind == synth::TrailKind::Satellite ? 0.98 : 0.9) << "frame " << t.frame;
  }
}

// The job registers consecutive frames once, composes the transforms of a
// window from them and warps luminance alone; the straightforward loop
// registers and warps every pair in full colour. The job must take as much
// of the satellites and aircraft and lose no more star trail, with any
// worker count giving the same image.
TEST(StarTrailRun, SharedRegistrationsRejectAsWellAsThePerPairLoop) {
  TempDir dir;
  synth::TrailSettings settings;
  settings.size = {800, 540};
  settings.frames = 9;
  settings.seed = 7;
  const synth::Scene scene = synth::makeTrailScene(settings);
  const JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"high\", \"temporalWindow\": 7");
  const std::string log = NL_runStarTrailNativeJob(j.job, 3);
  ASSERT_NE(log.find("status=success"), std::string::npos) << log;
  const cv::Mat result = cv::imread(j.output, -1);
  const synth::RejectionFigures job = synth::rejectionFigures(scene, result);
  const synth::RejectionFigures loop =
      synth::rejectionFigures(scene, straightforwardTrail(scene.frames, NL_parseStarTrailNativeJob(j.job)));
  // A hundredth of the pixels either way is a few pixels at the tips of the trails.
  EXPECT_LE(job.satelliteLeft, loop.satelliteLeft + 0.01);
  EXPECT_LE(job.aircraftLeft, loop.aircraftLeft + 0.01);
  EXPECT_LE(job.starsLost, loop.starsLost + 0.01);
  RecordProperty("jobFigures", std::to_string(job.satelliteLeft) + " " + std::to_string(job.aircraftLeft) + " " +
                                   std::to_string(job.starsLost));
  RecordProperty("loopFigures", std::to_string(loop.satelliteLeft) + " " + std::to_string(loop.aircraftLeft) + " " +
                                    std::to_string(loop.starsLost));

  const std::string single = NL_runStarTrailNativeJob(j.job, 1);
  EXPECT_EQ(logValue(single, "rejectedMaskPixels"), logValue(log, "rejectedMaskPixels"));
  EXPECT_EQ(cv::norm(cv::imread(logValue(single, "output"), -1), result, cv::NORM_INF), 0.0);
}

// A 1000x660 trail scene with each frame's luminance plane and the stars a
// rejection registration matches.
struct TrailPlanes {
  synth::Scene scene;
  cv::Size size;
  std::vector<cv::Mat> planes;
  std::vector<std::vector<NLStarCandidate>> stars;
};

TrailPlanes planesAndStars(int frames, std::uint64_t seed) {
  synth::TrailSettings settings;
  settings.size = {1000, 660};
  settings.frames = frames;
  settings.seed = seed;
  TrailPlanes t{synth::makeTrailScene(settings), settings.size, {}, {}};
  for (const cv::Mat& f : t.scene.frames) {
    t.planes.push_back(startrail_detail::luminancePlane(f));
    t.stars.push_back(startrail_detail::selectTrailStars(t.planes.back()));
  }
  return t;
}

// Across a window the sky turns by up to a degree about a pole above the
// frame: the transform composed from consecutive registrations lands where
// a registration of the pair itself does, and both where the truth does.
TEST(StarTrailRegistration, ComposedTransformsAgreeWithDirectOnes) {
  const TrailPlanes t = planesAndStars(5, 11);
  const synth::Scene& scene = t.scene;
  const std::vector<cv::Mat>& planes = t.planes;
  const std::vector<std::vector<NLStarCandidate>>& stars = t.stars;
  std::vector<cv::Mat> toPrevious(planes.size());
  for (size_t k = 1; k < planes.size(); ++k) {
    toPrevious[k] = startrail_detail::registerTrailPair(planes[k - 1], stars[k - 1], planes[k], stars[k]);
    ASSERT_FALSE(toPrevious[k].empty()) << "link " << k;
  }
  const cv::Size size = t.size;
  for (const auto& [i, k] : std::vector<std::pair<int, int>>{{0, 4}, {4, 0}, {1, 3}, {3, 1}, {2, 0}}) {
    const cv::Mat chain = startrail_detail::composeOnto(toPrevious, i, k);
    const cv::Mat direct = startrail_detail::registerTrailPair(planes[size_t(i)], stars[size_t(i)],
                                                               planes[size_t(k)], stars[size_t(k)]);
    ASSERT_FALSE(direct.empty()) << i << " <- " << k;
    EXPECT_LT(startrail_detail::transformDisagreement(chain, direct, size), 0.75) << i << " <- " << k;
    const cv::Mat truth = cv::Mat(scene.truth[size_t(i)].frameToReference.inv() *
                                  scene.truth[size_t(k)].frameToReference);
    EXPECT_LT(startrail_detail::transformDisagreement(chain, truth, size), 0.5) << i << " <- " << k;
  }
  // A missing link leaves nothing to compose; the pair is then registered itself.
  toPrevious[2] = cv::Mat();
  EXPECT_TRUE(startrail_detail::composeOnto(toPrevious, 0, 3).empty());
  EXPECT_TRUE(startrail_detail::composeOnto(toPrevious, 3, 1).empty());
  EXPECT_FALSE(startrail_detail::composeOnto(toPrevious, 3, 2).empty());
  EXPECT_EQ(startrail_detail::transformDisagreement(cv::Mat(), toPrevious[1], size),
            std::numeric_limits<double>::infinity());
}

// A block's check registers its pair from the stars near where the composed
// links put them. A chain that has drifted, by less than the matching reach
// or far beyond it, must still come back as the pair's true transform, so
// that the drift shows as a disagreement.
TEST(StarTrailRegistration, ACheckSeededByADriftedChainFindsTheTruth) {
  const TrailPlanes t = planesAndStars(3, 17);
  const synth::Scene& scene = t.scene;
  const std::vector<cv::Mat>& planes = t.planes;
  const std::vector<std::vector<NLStarCandidate>>& stars = t.stars;
  const cv::Mat truth = cv::Mat(scene.truth[0].frameToReference.inv() * scene.truth[2].frameToReference);
  const cv::Point2f centre(500.f, 330.f);
  std::vector<cv::Mat> drifts;
  for (const cv::Point2d shift : {cv::Point2d(1.5, -1.0), cv::Point2d(3.0, 2.5), cv::Point2d(40.0, -25.0)}) {
    cv::Mat moved = cv::Mat::eye(3, 3, CV_64F);
    moved.at<double>(0, 2) = shift.x;
    moved.at<double>(1, 2) = shift.y;
    drifts.push_back(moved);
  }
  for (const double degrees : {0.3, -1.0}) {
    cv::Mat r = cv::Mat::eye(3, 3, CV_64F);
    cv::getRotationMatrix2D(centre, degrees, 1.0).copyTo(r.rowRange(0, 2));
    drifts.push_back(r);
  }
  for (const cv::Mat& drift : drifts) {
    const cv::Mat chain = drift * truth;
    const cv::Mat checked = startrail_detail::registerTrailPair(planes[0], stars[0], planes[2], stars[2], chain);
    ASSERT_FALSE(checked.empty()) << drift;
    EXPECT_LT(startrail_detail::transformDisagreement(checked, truth, t.size), 0.3) << drift;
    EXPECT_GT(startrail_detail::transformDisagreement(checked, chain, t.size), 0.75) << drift;
  }
}

TEST(StarTrailRun, SkyMaskKeepsTheGroundAndBridgesTheEdge) {
  TempDir dir;
  Scene scene = trailScene(6, CV_16UC3);
  const int kHorizon = 140;
  std::vector<std::string> fgPaths;
  std::vector<cv::Mat> fgFrames;
  for (int i = 0; i < 3; ++i) {
    fgFrames.push_back(cv::Mat(kTrailSize, CV_16UC3, cv::Scalar(3000 + 100 * i, 5000, 7000 - 50 * i)));
    fgPaths.push_back(dir.file("fg" + std::to_string(i) + ".tif"));
    ASSERT_TRUE(cv::imwrite(fgPaths.back(), fgFrames.back()));
  }
  cv::Mat mask(kTrailSize, CV_8U, cv::Scalar(0));
  mask.rowRange(0, kHorizon).setTo(255);
  const std::string maskPath = dir.file("mask.png");
  ASSERT_TRUE(cv::imwrite(maskPath, mask));
  std::string fgList = "[";
  for (size_t i = 0; i < fgPaths.size(); ++i) fgList += (i ? ", \"" : "\"") + fgPaths[i] + "\"";
  fgList += "]";
  const std::string sky = dir.file("sky.tif"), fg = dir.file("fgstack.tif");
  const JobFiles j = writeJob(dir, scene.frames,
                              ", \"foregroundInputs\": " + fgList + ", \"maskInput\": \"" + maskPath +
                                  "\", \"skyOutput\": \"" + sky + "\", \"foregroundOutput\": \"" + fg + "\"");
  const std::string log = NL_runStarTrailNativeJob(j.job);
  ASSERT_NE(log.find("status=success"), std::string::npos) << log;
  EXPECT_EQ(logValue(log, "maskInput"), maskPath);
  EXPECT_EQ(logValue(log, "skyOutput"), sky);
  EXPECT_EQ(logValue(log, "foregroundOutput"), fg);
  EXPECT_FALSE(std::ifstream(sky).is_open());  // intermediates removed
  EXPECT_FALSE(std::ifstream(fg).is_open());
  const cv::Mat out = cv::imread(j.output, -1);
  ASSERT_EQ(out.size(), kTrailSize);
  // Ground far from the edge is exactly the foreground stack (sigma of constants: their mean).
  const cv::Vec3w ground(3100, 5000, 6950);
  const cv::Mat bridge = NL_starTrailBuildThreeZoneBridgeMask(maskPath, kTrailSize, "standard");
  int pureGround = 0;
  for (int y = kHorizon; y < kTrailSize.height; ++y)
    for (int x = 0; x < kTrailSize.width; ++x) {
      if (bridge.at<uchar>(y, x) != 0) continue;
      ASSERT_EQ(out.at<cv::Vec3w>(y, x), ground) << y << "," << x;
      ++pureGround;
    }
  EXPECT_GT(pureGround, 0);
  // The bridge takes the unmasked maximum of every frame (streak included: the
  // seam is never rejected) and blends it in by its weight on both sides.
  cv::Mat everything = cv::Mat::zeros(out.size(), out.type());
  for (const cv::Mat& f : scene.frames) everything = cv::max(everything, f);
  cv::Mat streakBand;
  cv::dilate(scene.streakMask, streakBand, cv::getStructuringElement(cv::MORPH_ELLIPSE, {9, 9}));
  int checked = 0;
  for (int y = 0; y < kTrailSize.height; ++y)
    for (int x = 0; x < kTrailSize.width; ++x) {
      if (y < kHorizon && streakBand.at<uchar>(y, x)) continue;
      const double b = bridge.at<uchar>(y, x) / 255.0;
      for (int c = 0; c < 3; ++c) {
        const double base = y < kHorizon ? double(scene.cleanLighten.at<cv::Vec3w>(y, x)[c]) : double(ground[c]);
        const double expected = std::floor(b * everything.at<cv::Vec3w>(y, x)[c] + (1 - b) * base + 0.5);
        ASSERT_EQ(out.at<cv::Vec3w>(y, x)[c], expected) << y << "," << x << "," << c;
      }
      checked += bridge.at<uchar>(y, x) > 0;
    }
  EXPECT_GT(checked, kTrailSize.width * 20);
}

// Files left in the folder whose names say a run made them for itself.
std::vector<std::string> ownTemporaries(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    if (name.find(".lumivex-") != std::string::npos) names.push_back(name);
  }
  return names;
}

// The composite's sky and foreground intermediates were written over files of
// those names and then deleted.
TEST(StarTrailRun, CompositeIntermediatesNeverTouchExistingFiles) {
  TempDir dir;
  const Scene scene = trailScene(4, CV_16UC3);
  const std::string mask = dir.file("mask.png");
  cv::Mat maskImage(kTrailSize, CV_8UC1, cv::Scalar(0));
  maskImage.rowRange(0, kTrailSize.height / 2).setTo(255);
  ASSERT_TRUE(cv::imwrite(mask, maskImage));
  for (const bool composites : {true, false}) {
    SCOPED_TRACE(composites ? "composite made" : "composite fails");
    const JobFiles j = writeJob(dir, scene.frames, "");
    const std::string keep = dir.file("keep.tif"), keepSky = dir.file("keep_sky.tif");
    writeFile(keep, "the user's own file");
    writeFile(keepSky, "another of the user's files");
    // the foreground frame differs in depth from the sky when the composite is to fail
    const std::string fore = dir.file("fore.tif");
    ASSERT_TRUE(cv::imwrite(fore, composites ? scene.frames[1] : cv::Mat(kTrailSize, CV_8UC3, cv::Scalar::all(9))));
    std::string text = readFile(j.job);
    text.insert(text.rfind('}'), ", \"rejectionMode\": \"off\", \"maskInput\": \"" + mask +
                                     "\", \"foregroundInputs\": [\"" + fore + "\"], \"skyOutput\": \"" + keepSky +
                                     "\", \"foregroundOutput\": \"" + keep + "\"");
    writeFile(j.job, text);
    const std::string log = NL_runStarTrailNativeJob(j.job);
    EXPECT_EQ(log.find("status=success") != std::string::npos, composites) << log;
    if (!composites) {
      EXPECT_NE(log.find("Composite failed: sky and foreground size/type mismatch."), std::string::npos);
    }
    EXPECT_EQ(readFile(keepSky), "another of the user's files");
    EXPECT_EQ(readFile(keep), "the user's own file");
    EXPECT_TRUE(ownTemporaries(dir).empty());
    std::filesystem::remove(j.output);
  }
}

// An editor exports wide-gamut frames with their profile; the trail must
// keep it, or its colours shift when it is opened.
TEST(StarTrailRun, TheFirstFramesColourProfileReachesTheResult) {
  TempDir dir;
  const std::vector<std::uint8_t> tiffProfile = testicc::profile(7), pngProfile = testicc::profile(8, 900);
  {
    const Scene scene = trailScene(4, CV_16UC3);
    const JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"off\"");
    ASSERT_TRUE(NL_writeImageFile(j.inputs[0], scene.frames[0], tiffProfile, nullptr));
    ASSERT_NE(NL_runStarTrailNativeJob(j.job).find("status=success"), std::string::npos);
    EXPECT_EQ(NL_readIccProfile(j.output), tiffProfile);
  }
  {
    // An 8-bit PNG first frame, and a sky mask: the composite keeps it too.
    const Scene scene = trailScene(4, CV_8UC3);
    const std::string fg = dir.file("fg.tif"), mask = dir.file("mask.png"), png = dir.file("first.png");
    ASSERT_TRUE(cv::imwrite(fg, cv::Mat(kTrailSize, CV_8UC3, cv::Scalar(20, 40, 60))));
    cv::Mat sky(kTrailSize, CV_8U, cv::Scalar(0));
    sky.rowRange(0, 150).setTo(255);
    ASSERT_TRUE(cv::imwrite(mask, sky));
    const std::vector<std::uint8_t> bytes = testicc::pngWithProfile(scene.frames[0], pngProfile);
    writeFile(png, std::string(bytes.begin(), bytes.end()));
    JobFiles j = writeJob(dir, scene.frames,
                          ", \"rejectionMode\": \"off\", \"foregroundInputs\": [\"" + fg + "\"], \"maskInput\": \"" +
                              mask + "\", \"foregroundOutput\": \"" + dir.file("fgstack.tif") + "\"");
    std::string text = readFile(j.job);
    text.replace(text.find(j.inputs[0]), j.inputs[0].size(), png);
    writeFile(j.job, text);
    const std::string log = NL_runStarTrailNativeJob(j.job);
    ASSERT_NE(log.find("status=success"), std::string::npos) << log;
    EXPECT_EQ(NL_readIccProfile(logValue(log, "output")), pngProfile);
  }
}

// The job's own text names the frame; what differs follows it, so a user
// knows whether to re-export, convert or drop the frame.
TEST(StarTrailRun, AMismatchedFrameSaysWhatDiffers) {
  TempDir dir;
  const cv::Size size(64, 48);
  const cv::Mat first(size, CV_16UC3, cv::Scalar(100, 200, 300));
  const std::vector<std::pair<cv::Mat, std::string>> cases = {
      {cv::Mat(size, CV_8UC3, cv::Scalar::all(1)), "8-bit, the first frame 16-bit"},
      {cv::Mat(size, CV_16UC1, cv::Scalar(1)), "1 channel, the first frame 3 channels"},
      {cv::Mat(size, CV_16UC4, cv::Scalar::all(1)), "4 channels, the first frame 3 channels"},
      {cv::Mat(size, CV_32FC3, cv::Scalar::all(0.5)), "32-bit float, the first frame 16-bit"},
      {cv::Mat(1, 1, CV_16UC3, cv::Scalar::all(1)), "1 x 1 pixels, the first frame 64 x 48"},
      {cv::Mat(5, 7, CV_8UC1, cv::Scalar(1)),
       "7 x 5 pixels, the first frame 64 x 48; 8-bit, the first frame 16-bit; 1 channel, the first frame 3 channels"}};
  for (const auto& [frame, difference] : cases) {
    SCOPED_TRACE(difference);
    const JobFiles j = writeJob(dir, {first, first, frame}, ", \"rejectionMode\": \"off\"");
    EXPECT_EQ(NL_runStarTrailNativeJob(j.job),
              "Star Trail native job failed.\nstatus=failed\nerror=Star Trail failed: input size/type mismatch: " +
                  j.inputs[2] + " (" + difference + ")\n");
  }
  // An empty file is no image at all (it is waited for first, as a file still being written).
  EXPECT_EQ(NL_starTrailFrameDifference(first, cv::Mat(), dir.file("frame2.tif")), "could not be decoded");
  EXPECT_EQ(NL_starTrailFrameDifference(first, cv::Mat(), dir.file("gone.tif")), "is missing");
  const std::string whole = readFile(dir.file("frame0.tif"));
  writeFile(dir.file("cut.tif"), whole.substr(0, whole.size() / 2));
  EXPECT_EQ(NL_starTrailFrameDifference(first, cv::Mat(), dir.file("cut.tif")),
            "could not be decoded: the TIFF file ends before the image data it lists");
  std::filesystem::create_directory(dir.file("folder.tif"));
  EXPECT_EQ(NL_starTrailFrameDifference(first, cv::Mat(), dir.file("folder.tif")), "is not a regular file");
}

TEST(StarTrailRun, BadInputEndsInTheFailureLog) {
  TempDir dir;
  const Scene scene = trailScene(4, CV_8UC1);
  const int threadsBefore = cv::getNumThreads();
  {
    const JobFiles j = writeJob(dir, {scene.frames[0]}, "");
    const std::string log = NL_runStarTrailNativeJob(j.job);
    EXPECT_EQ(log, "Star Trail native job failed.\nstatus=failed\nerror=Star Trail failed: at least two input "
                   "frames are required.\n");
    EXPECT_EQ(readFile(j.log), log);
    EXPECT_EQ(readFile(j.progress), "percent=100\nstage=Failed\ndetail=Star Trail failed: at least two input "
                                    "frames are required.\nwriter=module landscape-progress-monotonic-v2\n");
  }
  // Frame 1 is decoded early, beside the reference; it fails just as a later one does.
  for (int bad : {1, 2}) {
    for (const char* mode : {"off", "medium"}) {
      SCOPED_TRACE(std::to_string(bad) + mode);
      std::vector<cv::Mat> frames = scene.frames;
      frames[bad] = cv::Mat(60, 80, CV_8UC1, cv::Scalar(1));
      const JobFiles j = writeJob(dir, frames, std::string(", \"rejectionMode\": \"") + mode + "\"");
      const std::string log = NL_runStarTrailNativeJob(j.job);
      EXPECT_EQ(log, "Star Trail native job failed.\nstatus=failed\nerror=Star Trail failed: input size/type "
                     "mismatch: " + j.inputs[bad] + " (80 x 60 pixels, the first frame 320 x 240)\n");
      EXPECT_EQ(cv::getNumThreads(), threadsBefore);
    }
  }
  {
    const JobFiles j = writeJob(dir, {cv::Mat(8, 8, CV_32FC1, cv::Scalar(1)), cv::Mat(8, 8, CV_32FC1)}, "");
    EXPECT_NE(NL_runStarTrailNativeJob(j.job).find("error=Star Trail failed: only 8-bit and 16-bit images are "
                                                   "supported.\n"), std::string::npos);
  }
  {
    const std::string mask = dir.file("wrong.png");
    ASSERT_TRUE(cv::imwrite(mask, cv::Mat(10, 10, CV_8U, cv::Scalar(255))));
    const JobFiles j = writeJob(dir, scene.frames, ", \"maskInput\": \"" + mask +
                                                       "\", \"foregroundInputs\": [\"a.tif\"], \"foregroundOutput\": \"" +
                                                       dir.file("f.tif") + "\"");
    EXPECT_NE(NL_runStarTrailNativeJob(j.job).find("error=Star Trail failed: active sky mask could not be "
                                                   "prepared. sky mask size mismatch.\n"), std::string::npos);
    EXPECT_EQ(cv::getNumThreads(), threadsBefore);
  }
  {
    JobFiles j = writeJob(dir, scene.frames, ", \"rejectionMode\": \"off\"");
    std::string text = readFile(j.job);
    const std::string bad = dir.file("no/such/dir/out.tif");
    text.replace(text.find(j.output), j.output.size(), bad);
    writeFile(j.job, text);
    EXPECT_NE(NL_runStarTrailNativeJob(j.job).find("error=Star Trail failed: could not write sky output: " + bad),
              std::string::npos);
  }
}

}  // namespace
