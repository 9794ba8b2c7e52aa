// The hybrid stack job: job file, gates, registered stacks, result log and driver, and
// the frame store its stages share.
#include "hybrid/hybrid.h"
#include "hybrid/detail/job_guard.h"
#include "hybrid/detail/registered_stack.h"

#include "plumbing/plumbing.h"
#include "icc_files.h"
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
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

const std::string kAverage = "registered-average-homography";
const std::string kMedian = "registered-median-homography";
const std::string kSigma = "registered-sigma-homography";

// A small noisy 16-bit deep-sky burst: 600 x 400, bright enough for a few
// hundred stars per frame, a satellite in frame 1; the last frame has poor
// seeing when poorSeeing is set.
synth::Scene smallScene(int frames, std::uint64_t seed, bool poorSeeing, int bits = 16, bool steadySeeing = false) {
  synth::StackSettings s;
  s.size = {600, 400};
  s.frames = frames;
  s.bits = bits;
  s.seed = seed;
  s.sky.density = 1.5e-3;
  s.sky.faintestFlux = 0.8;
  s.poorSeeingFrame = poorSeeing ? frames - 1 : -2;
  s.poorSeeingFwhm = 7.0;
  if (steadySeeing) s.fwhmMin = s.fwhmMax = 3.0;  // every frame shows the truth's star shape
  return synth::makeStackScene(s);
}

std::vector<std::string> writeFrames(const TempDir& dir, const std::vector<cv::Mat>& frames,
                                     const std::string& prefix = "frame") {
  std::vector<std::string> paths;
  for (size_t i = 0; i < frames.size(); ++i) {
    paths.push_back(dir.file(prefix + std::to_string(i) + ".tif"));
    EXPECT_TRUE(cv::imwrite(paths.back(), frames[i]));
  }
  return paths;
}

struct ProgressEntry {
  int percent = -1;
  std::string stage, detail;
};

ProgressEntry readProgress(const std::string& path) {
  ProgressEntry e;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("percent=", 0) == 0) e.percent = std::stoi(line.substr(8));
    if (line.rfind("stage=", 0) == 0) e.stage = line.substr(6);
    if (line.rfind("detail=", 0) == 0) e.detail = line.substr(7);
  }
  return e;
}

std::string jobText(const std::string& method, const std::string& output, const std::string& progress,
                    const std::string& log, const std::vector<std::string>& inputs, int keep = 100) {
  std::string text = "method=" + method + "\noutput=" + output + "\nprogress=" + progress + "\nresultLog=" + log +
                     "\nqualityKeepPercent=" + std::to_string(keep) + "\n";
  for (const std::string& p : inputs) text += "input=" + p + "\n";
  return text;
}

}  // namespace

// ---- Job file and method table ------------------------------------------------

TEST(StackJobFile, WindowsLineEndsBlanksAndCommentsReadLikeACleanFile) {
  TempDir dir;
  writeFile(dir.file("clean.txt"),
            "method=auto\noutput=/o/out.tif\nprogress=/o/p.txt\nresultLog=/o/log.txt\nqualityKeepPercent=70\n"
            "input=/f/a.tif\ninput=/f/b c.tif\n");
  writeFile(dir.file("messy.txt"),
            "# stack job\r\n\r\n  method =  auto \r\noutput\t= /o/out.tif\r\n   # input=/f/ignored.tif\r\n"
            "progress=/o/p.txt\r\nresultLog = /o/log.txt\r\nqualityKeepPercent = 70\r\nunknownKey = 5\r\n"
            "no equals sign here\r\ninput = /f/a.tif\r\ninput=/f/b c.tif   \r\n");
  const TestJobConfig clean = NL_readTestJobConfig(dir.file("clean.txt"));
  const TestJobConfig messy = NL_readTestJobConfig(dir.file("messy.txt"));
  EXPECT_EQ(clean.method, "auto");
  EXPECT_EQ(messy.method, clean.method);
  EXPECT_EQ(messy.output, clean.output);
  EXPECT_EQ(messy.progress, clean.progress);
  EXPECT_EQ(messy.resultLog, clean.resultLog);
  EXPECT_EQ(messy.qualityKeepPercent, 70);
  EXPECT_EQ(messy.inputs, (std::vector<std::string>{"/f/a.tif", "/f/b c.tif"}));
  EXPECT_EQ(messy.inputs, clean.inputs);
}

TEST(StackJobFile, RepeatsClampsAndDefaults) {
  TempDir dir;
  writeFile(dir.file("job.txt"), "output=/first.tif\noutput=/second.tif\ninput=a=b.tif\ninput=a=b.tif\ninput=\n"
                                 "qualityKeepPercent=10\n");
  const TestJobConfig job = NL_readTestJobConfig(dir.file("job.txt"));
  EXPECT_EQ(job.output, "/second.tif");
  EXPECT_EQ(job.inputs, (std::vector<std::string>{"a=b.tif", "a=b.tif", ""}));
  EXPECT_EQ(job.qualityKeepPercent, 50);
  for (const auto& [value, expected] : std::vector<std::pair<std::string, int>>{
           {"250", 100}, {"abc", 50}, {"75%", 75}, {"-20", 50}, {"100", 100},
           // Past the int range: a wrapping atoi made 2^32 + 80 read as 80.
           {"4294967376", 100}, {"99999999999999999999", 100}, {"-99999999999999999999", 50}}) {
    writeFile(dir.file("keep.txt"), "qualityKeepPercent=" + value + "\n");
    EXPECT_EQ(NL_readTestJobConfig(dir.file("keep.txt")).qualityKeepPercent, expected) << value;
  }
  const TestJobConfig missing = NL_readTestJobConfig(dir.file("missing.txt"));
  EXPECT_TRUE(missing.method.empty() && missing.output.empty() && missing.inputs.empty());
  EXPECT_EQ(missing.qualityKeepPercent, 100);
  EXPECT_EQ(trimTestString(" \t\v\f\r\n a b \r\n"), "a b");
}

TEST(StackJobFile, LogNumbersAreFixedTwoDecimals) {
  EXPECT_EQ(NL_formatDouble(0.0, 2), "0.00");
  EXPECT_EQ(NL_formatDouble(-3.5, 2), "-3.50");
  EXPECT_EQ(NL_formatDouble(1234.5678, 2), "1234.57");
  EXPECT_EQ(NL_formatDouble(9999.0, 6), "9999.000000");
}

TEST(StackMethods, OnlyTheLongNamesAndAutoAndAutoChoosesByCount) {
  for (const std::string& m : {kAverage, kMedian, kSigma, std::string("auto")}) EXPECT_TRUE(NL_isKnownStackMethod(m));
  for (const std::string m : {"Auto", "median", "", "registered-median-homography ", "AUTO"})
    EXPECT_FALSE(NL_isKnownStackMethod(m)) << m;
  EXPECT_EQ(NL_selectStackMethod("auto", 0), kAverage);
  EXPECT_EQ(NL_selectStackMethod("auto", 2), kAverage);
  EXPECT_EQ(NL_selectStackMethod("auto", 3), kMedian);
  EXPECT_EQ(NL_selectStackMethod("auto", 5), kMedian);
  EXPECT_EQ(NL_selectStackMethod("auto", 6), kSigma);
  EXPECT_EQ(NL_selectStackMethod("auto", 60), kSigma);
  EXPECT_EQ(NL_selectStackMethod(kMedian, 60), kMedian);
  EXPECT_EQ(NL_minFramesForMethod(kSigma), 3);
  EXPECT_EQ(NL_minFramesForMethod(kMedian), 2);
  EXPECT_EQ(NL_minFramesForMethod(kAverage), 2);
}

// ---- Frame quality filter -----------------------------------------------------

TEST(FrameQuality, KeepCountRoundsUpAndHonoursTheMethodMinimum) {
  EXPECT_EQ(NL_qualityKeepCount(50, 2, 5), 3);
  EXPECT_EQ(NL_qualityKeepCount(100, 2, 7), 7);
  EXPECT_EQ(NL_qualityKeepCount(56, 2, 25), 15);  // 0.56 * 25 is just above 14 in doubles
  EXPECT_EQ(NL_qualityKeepCount(50, 3, 2), 2);
  EXPECT_EQ(NL_qualityKeepCount(50, 3, 4), 3);
  EXPECT_EQ(NL_qualityKeepCount(10, 2, 10), 5);
}

TEST(FrameQuality, RankingPutsValidSharpFramesFirstAndBreaksTiesByPosition) {
  std::vector<NLFrameQuality> f(6);
  for (int i = 0; i < 6; ++i) f[i].index = i;
  f[0].stars = 79, f[0].medianArea = 5.0;     // very few stars: invalid though sharp
  f[1].stars = 500, f[1].medianArea = 20.0;
  f[2].stars = 0, f[2].medianArea = 0.0;      // unreadable
  f[3].stars = 80, f[3].medianArea = 12.5;
  f[4].stars = 900, f[4].medianArea = 20.0;   // ties with frame 2 (index 1): later
  f[5].stars = 300, f[5].medianArea = 0.0;    // no area: invalid
  // Frames without stars to measure come after the one with a few.
  EXPECT_EQ(NL_rankFramesByQuality(f), (std::vector<int>{3, 1, 4, 0, 2, 5}));
  f[1].reason = "no stars above the noise";  // its specks were noise: ranked with the starless frames
  EXPECT_EQ(NL_rankFramesByQuality(f), (std::vector<int>{3, 4, 0, 2, 5, 1}));
}

TEST(FrameQuality, QualitySectionByteForByte) {
  std::vector<NLFrameQuality> f(2);
  f[0].index = 0, f[0].stars = 1000, f[0].sampled = 980, f[0].medianArea = 9.5, f[0].medianRadius = 1.7390,
  f[0].avgBrightness = 61.234, f[0].backgroundMean = 1965.126, f[0].backgroundStdDev = 88.004,
  f[0].score = 90.5, f[0].compactScore = 90.5, f[0].used = true, f[0].reason = "ok";
  f[1].index = 1, f[1].reason = "could not load image";
  f[0].path = "/night/IMG_0001.tif", f[1].path = "/night/IMG_0002.tif";
  const std::string expected =
      "Frame quality filter:\nqualityKeepPercent = 50\nRanking method = smaller median star area is better\n"
      "Quality reference frame = original frame 1 | medianArea=9.50\n"
      "Frame 1: used | score=90.50 | stars=1000 | sampled=980 | medianArea=9.50 | medianRadius=1.74 | "
      "avgBrightness=61.23 | backgroundMean=1965.13 | backgroundStdDev=88.00 | compact=90.50 | count=0.00 | "
      "brightness=0.00 | background=0.00 | reason=ok | file=IMG_0001.tif\n"
      "Frame 2: skipped | score=0.00 | stars=0 | sampled=0 | medianArea=0.00 | medianRadius=0.00 | "
      "avgBrightness=0.00 | backgroundMean=0.00 | backgroundStdDev=0.00 | compact=0.00 | count=0.00 | "
      "brightness=0.00 | background=0.00 | reason=could not load image | file=IMG_0002.tif\n"
      "Used frames after quality filter: 1 / 2\nSkipped by quality filter: 1\n";
  EXPECT_EQ(NL_formatFrameQualityLog(50, f, 0), expected);
  f[0].used = false;
  EXPECT_EQ(NL_formatFrameQualityLog(50, f, 0).find("Quality reference frame"), std::string::npos);
}

TEST(FrameQuality, BlurredFrameRanksLastAndIsDroppedAtKeepFifty) {
  TempDir dir;
  const synth::Scene scene = smallScene(4, 11, true);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  std::string log;
  const std::vector<std::string> kept = NL_filterInputsByFrameQuality(paths, 50, 2, log, dir.file("p.txt"));
  ASSERT_EQ(kept.size(), 2u) << log;
  if (getenv("SHOWLOG")) std::cout << log;
  EXPECT_EQ(std::find(kept.begin(), kept.end(), paths[3]), kept.end()) << log;
  std::vector<NLFrameQuality> q;
  for (int i = 0; i < 4; ++i) q.push_back(NL_measureFrameQuality(paths[i], i));
  EXPECT_EQ(NL_rankFramesByQuality(q).back(), 3) << log;
  for (int i = 0; i < 3; ++i) {
    EXPECT_GE(q[i].stars, 80) << log;
    EXPECT_GT(q[3].medianArea, 1.5 * q[i].medianArea) << log;
  }
  // The kept frames come sharpest first, and the log names the frame's verdict.
  EXPECT_EQ(kept[0], paths[NL_rankFramesByQuality(q)[0]]);
  EXPECT_NE(log.find("Frame 4: skipped | score="), std::string::npos) << log;
  EXPECT_NE(log.find("| reason=" + q[3].reason + " | file=frame3.tif\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Used frames after quality filter: 2 / 4\nSkipped by quality filter: 2\n"), std::string::npos);
  const ProgressEntry last = readProgress(dir.file("p.txt"));
  EXPECT_EQ(last.percent, 22);
  EXPECT_EQ(last.detail, "Analyzed frame 4 of 4.");
}

TEST(FrameQuality, StarlessAndOddFramesAreMeasuredNotFatal) {
  TempDir dir;
  std::vector<cv::Mat> frames = {cv::Mat(120, 160, CV_16UC3, cv::Scalar::all(3000)),
                                 cv::Mat(120, 160, CV_32FC1, cv::Scalar(0.25)),
                                 cv::Mat(120, 160, CV_8UC1, cv::Scalar(40))};
  const std::vector<std::string> paths = writeFrames(dir, frames);
  for (size_t i = 0; i < paths.size(); ++i) {
    const NLFrameQuality q = NL_measureFrameQuality(paths[i], int(i));
    EXPECT_EQ(q.reason, "no stars detected") << i;
    EXPECT_EQ(q.score, 0.0);
  }
  const NLFrameQuality grey = NL_measureFrameQuality(paths[2], 2);
  EXPECT_DOUBLE_EQ(grey.backgroundMean, 40.0);
}

// ---- Alignment quality gate ---------------------------------------------------

TEST(AlignmentGate, InlierFloorFollowsTheStarsTheReferenceOffers) {
  EXPECT_EQ(NL_alignmentInlierFloor(4500), 900);
  EXPECT_EQ(NL_alignmentInlierFloor(20000), 900);
  EXPECT_EQ(NL_alignmentInlierFloor(2250), 450);
  EXPECT_EQ(NL_alignmentInlierFloor(1000), 200);
  EXPECT_EQ(NL_alignmentInlierFloor(400), 80);
  EXPECT_EQ(NL_alignmentInlierFloor(0), 80);
}

TEST(AlignmentGate, LimitsAreInclusiveAndTheFirstFailingOneIsNamed) {
  NLAlignmentQuality q;
  q.ok = true;
  q.referenceStars = 4500;
  q.averageError = 0.35, q.inlierRatio = 0.65, q.inlierCount = 900;
  EXPECT_EQ(NL_alignmentGateFailure(q), "");
  q.inlierCount = 899;
  EXPECT_EQ(NL_alignmentGateFailure(q), "not enough reliable inliers for high precision gate");
  q.referenceStars = 2000;  // the floor is 400 here
  EXPECT_EQ(NL_alignmentGateFailure(q), "");
  q.inlierCount = 399;
  EXPECT_EQ(NL_alignmentGateFailure(q), "not enough reliable inliers for high precision gate");
  q.inlierCount = 900;
  q.inlierRatio = 0.6499;
  EXPECT_EQ(NL_alignmentGateFailure(q), "inlier ratio too low for high precision gate");
  q.averageError = 0.3501;
  EXPECT_EQ(NL_alignmentGateFailure(q), "alignment error too high for high precision gate");
  q.inlierRatio = 0.9;
  q.averageError = std::nan("");
  EXPECT_EQ(NL_alignmentGateFailure(q), "alignment error too high for high precision gate");
}

TEST(AlignmentGate, SectionByteForByte) {
  std::vector<NLAlignmentGateResult> r(5);
  r[0].used = true;
  r[1].verdict = NLAlignmentVerdict::LoadFailed;
  r[2].verdict = NLAlignmentVerdict::Mismatch;
  r[3].verdict = NLAlignmentVerdict::Registered;
  r[3].used = true;
  NLAlignmentQuality& q = r[3].quality;
  q.mode = "shift", q.matchCount = 420, q.inlierCount = 410, q.inlierRatio = 410.0 / 420.0, q.averageError = 0.0213,
  q.medianError = 0.018, q.maxError = 0.09, q.centerError = 0.02, q.edgeError = 0.025;
  r[4].verdict = NLAlignmentVerdict::Registered;
  r[4].reason = "too few stars in moving frame";
  r[4].quality.movingStars = 12;
  // Positions are ranks; the file names say which frames they are, as in the quality section.
  const char* names[] = {"/n/IMG_7.tif", "/n/IMG_2.tif", "IMG_3.tif", "/n/IMG_1.tif", "/n/IMG_9.tif"};
  for (int i = 0; i < 5; ++i) r[i].path = names[i];
  const std::string expected =
      "Alignment quality gate:\nFrame 1: reference | used | file=IMG_7.tif\n"
      "Frame 2: skipped | could not load image | file=IMG_2.tif\n"
      "Frame 3: skipped | size/type mismatch | file=IMG_3.tif\n"
      "Frame 4: used | mode=shift | matches=420 | inliers=410 | ratio=0.976190 | avgError=0.021300 | "
      "medianError=0.018000 | maxError=0.090000 | centerError=0.020000 | edgeError=0.025000 | "
      "cornerError=9999.000000 | file=IMG_1.tif\n"
      "Frame 5: skipped | too few stars in moving frame | mode= | stars=12 | matches=0 | inliers=0 | "
      "ratio=0.000000 | avgError=9999.000000 | medianError=9999.000000 | maxError=9999.000000 | "
      "centerError=9999.000000 | edgeError=9999.000000 | cornerError=9999.000000 | file=IMG_9.tif\n"
      "Used frames after alignment gate: 2 / 5\nSkipped by alignment gate: 3\n";
  EXPECT_EQ(NL_formatAlignmentGateLog(r, 2, 4), expected + "performanceAlignment = parallel frames, threads=4\n");
  EXPECT_EQ(NL_formatAlignmentGateLog(r, 3, 2),
            expected + "Warning: alignment gate left too few frames for selected method.\n"
                       "performanceAlignment = parallel frames, threads=2\n");
}

TEST(AlignmentGate, UnrelatedSkyOtherSizeAndUnreadableFramesAreDroppedWithTheirReason) {
  TempDir dir;
  const synth::Scene scene = smallScene(3, 21, false);
  std::vector<cv::Mat> frames = scene.frames;
  frames.push_back(smallScene(1, 99, false).frames[0]);       // another part of the sky
  cv::Mat smaller;
  cv::resize(scene.frames[1], smaller, cv::Size(580, 400));
  frames.push_back(smaller);
  std::vector<std::string> paths = writeFrames(dir, frames);
  writeFile(dir.file("broken.tif"), "not an image");
  paths.push_back(dir.file("broken.tif"));
  std::string log;
  const std::vector<std::string> kept = NL_filterInputsByAlignmentQuality(paths, 3, log, dir.file("p.txt"));
  EXPECT_EQ(kept, (std::vector<std::string>{paths[0], paths[1], paths[2]})) << log;
  if (getenv("SHOWLOG")) std::cout << log;
  EXPECT_NE(log.find("Frame 2: used | mode="), std::string::npos) << log;
  EXPECT_NE(log.find("Frame 3: used | mode="), std::string::npos) << log;
  EXPECT_NE(log.find("Frame 4: skipped | "), std::string::npos) << log;
  EXPECT_NE(log.find("Frame 5: skipped | size/type mismatch | file=frame4.tif\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Frame 6: skipped | could not load image | file=broken.tif\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Used frames after alignment gate: 3 / 6\nSkipped by alignment gate: 3\n"
                     "performanceAlignment = parallel frames, threads="),
            std::string::npos)
      << log;
  const ProgressEntry last = readProgress(dir.file("p.txt"));
  EXPECT_EQ(last.percent, 33);
  EXPECT_EQ(last.detail, "Checked alignment 5 of 5.");
}

// A soft frame of a small field can rank first on its few bright cores; as
// the reference it would fail every pair, so the next frame in rank that
// holds enough stars takes its place and goes first to the stacks, and the
// soft frame is judged against it like any other.
TEST(AlignmentGate, AFirstFrameTooPoorInStarsGivesWayToTheNextThatCarriesThem) {
  TempDir dir;
  for (int bits : {16, 8}) {
    const synth::Scene scene = smallScene(4, 40 + bits, false, bits);
    std::vector<cv::Mat> frames = scene.frames;
    // thin cloud: only the brightest dozen stars still show, the sky unchanged
    cv::Mat soft;
    cv::GaussianBlur(frames[3], soft, cv::Size(0, 0), 5.0);
    frames.insert(frames.begin(), soft);
    frames.pop_back();
    const std::vector<std::string> paths = writeFrames(dir, frames, "b" + std::to_string(bits) + "_");
    std::string log;
    const std::vector<std::string> kept = NL_filterInputsByAlignmentQuality(paths, 2, log);
    ASSERT_GE(kept.size(), 3u) << log;
    EXPECT_EQ(kept[0], paths[1]) << log;
    EXPECT_EQ(std::count(kept.begin(), kept.end(), paths[0]), 0) << log;
    EXPECT_NE(log.find("Frame 1: reference | used | file=b" + std::to_string(bits) + "_1.tif"), std::string::npos)
        << log;
  }
}

TEST(AlignmentGate, UnreadableReferenceKeepsEveryFrame) {
  TempDir dir;
  const std::vector<std::string> paths = {dir.file("gone.tif"), dir.file("b.tif"), dir.file("c.tif")};
  writeFile(paths[0], "");
  std::string log = "before\n";
  EXPECT_EQ(NL_filterInputsByAlignmentQuality(paths, 2, log), paths);
  EXPECT_EQ(log, "before\nAlignment quality gate failed: could not load reference frame.\n");
  log.clear();
  EXPECT_EQ(NL_filterInputsByAlignmentQuality({paths[1]}, 2, log), std::vector<std::string>{paths[1]});
  EXPECT_EQ(log, "");
}

// ---- Driver -------------------------------------------------------------------

TEST(HybridJob, EveryValidationTextEndsInTheLogAndAFinalProgressEntry) {
  TempDir dir;
  const std::string progress = dir.file("progress.txt"), log = dir.file("log.txt");
  const std::vector<std::string> two = {dir.file("a.tif"), dir.file("b.tif")};
  const std::vector<std::pair<std::string, std::string>> cases = {
      {jobText("Auto", dir.file("o.tif"), progress, log, two),
       "Lumivex Hybrid test currently supports average, median, sigma or auto."},
      {jobText("median", dir.file("o.tif"), progress, log, two),
       "Lumivex Hybrid test currently supports average, median, sigma or auto."},
      {jobText(kMedian, "", progress, log, two), "Lumivex Hybrid test failed: output is empty."},
      {jobText(kSigma, dir.file("o.tif"), progress, log, {two[0]}),
       "Lumivex Hybrid test failed: at least two inputs are required."},
  };
  for (const auto& [text, message] : cases) {
    writeFile(dir.file("job.txt"), text);
    EXPECT_EQ(NL_runLumivexJob(dir.file("job.txt")), message);
    EXPECT_EQ(readFile(log), message);
    const ProgressEntry last = readProgress(progress);
    EXPECT_EQ(last.percent, 100);
    EXPECT_EQ(last.stage, "Failed");
    EXPECT_EQ(last.detail, message);
  }
  // A job file that is not there: the method text, then which file could not be read.
  EXPECT_EQ(NL_runLumivexJob(dir.file("no_such_job.txt")),
            "Lumivex Hybrid test currently supports average, median, sigma or auto. (job file could not be read: " +
                dir.file("no_such_job.txt") + ")");
}

// The running job's progress path is published for as long as it runs: a
// path left there earlier is replaced, and nothing stays behind once the job
// has ended, refused or not.
TEST(HybridJob, PublishedProgressPathIsClearedWhenTheJobEnds) {
  TempDir dir;
  const std::string progress = dir.file("progress.txt"), log = dir.file("log.txt");
  {
    std::lock_guard<std::mutex> lock(NL_gLumivexProgressMutex);
    NL_gLumivexProgressPath = dir.file("left_by_an_earlier_job.txt");
  }
  writeFile(dir.file("job.txt"), jobText(kMedian, "", progress, log, {dir.file("a.tif"), dir.file("b.tif")}));
  EXPECT_EQ(NL_runLumivexJob(dir.file("job.txt")), "Lumivex Hybrid test failed: output is empty.");
  std::lock_guard<std::mutex> lock(NL_gLumivexProgressMutex);
  EXPECT_EQ(NL_gLumivexProgressPath, "");
  EXPECT_FALSE(std::filesystem::exists(dir.file("left_by_an_earlier_job.txt")));
}

TEST(HybridJob, EscapingExceptionStillWritesTheFailureLogAndProgress) {
  TempDir dir;
  TestJobConfig job;
  job.progress = dir.file("progress.txt");
  job.resultLog = dir.file("log.txt");
  NL_writeProgressFile(job.progress, 40, "Creating Stacked Image", "Creating a registered median stack.");
  NLHybridJobOutcome outcome;
  EXPECT_THROW(hybrid_detail::runGuarded(job, outcome,
                                        [](NLHybridJobOutcome& o) -> std::string {
                                          o.selectedMethod = "registered-median-homography";
                                          o.qualityLog = "Frame quality filter:\n";
                                          throw std::runtime_error("out of memory while warping");
                                        }),
               std::runtime_error);
  EXPECT_EQ(readFile(job.resultLog),
            "Lumivex Hybrid stack failed.\nerror = out of memory while warping\n"
            "selectedMethod = registered-median-homography\ntimingQualityMs = 0\ntimingAlignmentMs = 0\n"
            "timingStackMs = 0\nFrame quality filter:\n");
  const ProgressEntry last = readProgress(job.progress);
  EXPECT_EQ(last.percent, 100);
  EXPECT_EQ(last.stage, "Failed");
  NLHybridJobOutcome other;
  EXPECT_ANY_THROW(hybrid_detail::runGuarded(job, other, [](NLHybridJobOutcome&) -> std::string { throw 42; }));
  EXPECT_NE(readFile(job.resultLog).find("error = unknown exception\n"), std::string::npos);
}

TEST(HybridJob, ResultLogSectionsInOrder) {
  NLHybridJobOutcome o;
  o.success = true;
  o.selectedMethod = kMedian;
  o.qualityMs = 12, o.alignmentMs = 345, o.stackMs = 6789;
  o.qualityLog = "Q\n", o.alignmentLog = "A\n", o.stackText = "Median stack success.\noutput = x";
  EXPECT_EQ(NL_formatHybridJobLog(o),
            "Lumivex Hybrid stack completed.\nselectedMethod = registered-median-homography\ntimingQualityMs = 12\n"
            "timingAlignmentMs = 345\ntimingStackMs = 6789\nQ\nA\nMedian stack success.\noutput = x");
  o.success = false;
  EXPECT_EQ(NL_formatHybridJobLog(o).rfind("Lumivex Hybrid stack failed.\nselectedMethod = ", 0), 0u);

  NLStackReport r;
  r.kind = NLStackKind::Sigma;
  r.output = "/o/s.tif", r.inputs = 7, r.width = 612, r.height = 409, r.threads = 2;
  r.localCorrection = "localCorrection = not used";
  r.loadMs = 1, r.transformMs = 2, r.warpMs = 3, r.combineMs = 4, r.writeMs = 5;
  EXPECT_EQ(NL_formatStackReport(r),
            "Sigma stack success.\noutput = /o/s.tif\ninputs = 7\ncanvas = 612 x 409\n"
            "performance = OpenCV parallel quality/alignment/transforms/rows, threads=2\n"
            "performanceSigma = parallel transforms + no per-pixel value vector, streaming two-pass clip\n"
            "timingSigmaLoadMs = 1\ntimingSigmaTransformMs = 2\ntimingSigmaWarpMs = 3\ntimingSigmaCombineMs = 4\n"
            "timingSigmaWriteMs = 5\nlocalCorrection = not used\nsigmaLow = 2.000000\nsigmaHigh = 2.000000");
  r.kind = NLStackKind::Average;
  EXPECT_EQ(NL_formatStackReport(r),
            "Average stack success.\noutput = /o/s.tif\ninputs = 7\ncanvas = 612 x 409\n"
            "performance = OpenCV parallel quality/alignment/transforms/rows, threads=2\nlocalCorrection = not used");
}

TEST(HybridJob, UnsafePathsAreRefusedAndNeverOverwriteAnInput) {
  TempDir dir;
  const synth::Scene scene = smallScene(2, 31, false);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  const std::string before = readFile(paths[0]);
  writeFile(dir.file("job.txt"), jobText(kAverage, paths[1], dir.file("p.txt"), paths[0], paths));
  const std::string text = NL_runLumivexJob(dir.file("job.txt"));
  EXPECT_EQ(text, "Lumivex Hybrid test failed: output " + paths[1] + " is the same file as input frame " + paths[1]);
  EXPECT_EQ(readFile(paths[0]), before);  // the result log named an input: not written
  EXPECT_EQ(readProgress(dir.file("p.txt")).stage, "Failed");
  EXPECT_EQ(NL_runLumivexJob(dir.path()).rfind("Lumivex Hybrid test failed: job file is not a regular file: ", 0), 0u);
}

// ---- Registered stacks ----------------------------------------------------------

namespace {

cv::Mat greyOf(const cv::Mat& image) {
  cv::Mat grey = image, out;
  if (image.channels() == 3) cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(out, CV_32F);
  return out;
}

// Difference to the truth without its smooth part: the frames' sky levels
// and gradients differ by design, stars, noise and streaks do not.
cv::Mat detailDifference(const cv::Mat& image, const cv::Mat& truth) {
  cv::Mat diff = greyOf(image) - greyOf(truth), smooth;
  cv::GaussianBlur(diff, smooth, cv::Size(0, 0), 20.0);
  return diff - smooth;
}

// PSNR on the sky between the stars: resampling reshapes bright star cores
// by a few percent, which would drown the noise this measures.
double psnr(const cv::Mat& image, const cv::Mat& truth) {
  const double top = truth.depth() == CV_16U ? 65535.0 : 255.0;
  cv::Mat starless = cv::abs(detailDifference(truth, cv::Mat::zeros(truth.size(), truth.type()))) < 0.002 * top;
  cv::erode(starless, starless, cv::Mat(), cv::Point(-1, -1), 3);
  const cv::Rect inner(30, 30, truth.cols - 60, truth.rows - 60);
  const cv::Mat d = detailDifference(image, truth);
  return 10.0 * std::log10(top * top / cv::mean(d(inner).mul(d(inner)), starless(inner))[0]);
}

// The reference frame's place on the canvas: the truth's bounding box, then
// the best match within a pixel (the fitted corners differ from the truth's).
cv::Rect referenceOnCanvas(const cv::Mat& stack, const synth::Scene& scene, size_t frames) {
  const cv::Size size = scene.frames[0].size();
  double minX = 0, minY = 0;
  for (size_t i = 1; i < frames; ++i)
    for (const cv::Point2d c : {cv::Point2d(0, 0), cv::Point2d(size.width, 0), cv::Point2d(0, size.height),
                                cv::Point2d(size.width, size.height)}) {
      const cv::Point2d p = synth::applyHomography(scene.truth[i].frameToReference, c);
      minX = std::min(minX, p.x), minY = std::min(minY, p.y);
    }
  cv::Rect best;
  double bestError = 1e300;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const cv::Rect r(int(std::ceil(-minX)) + dx, int(std::ceil(-minY)) + dy, size.width, size.height);
      if (r.x < 0 || r.y < 0 || r.br().x > stack.cols || r.br().y > stack.rows) continue;
      const cv::Mat d = detailDifference(stack(r), scene.noiselessReference);
      const double e = cv::mean(d.mul(d))[0];
      if (e < bestError) bestError = e, best = r;
    }
  return best;
}

// Mean detail difference to the truth on the satellite's pixels, seen in the reference frame.
double streakExcess(const cv::Mat& onReference, const synth::Scene& scene) {
  const synth::TrailTruth& t = scene.trails.at(0);
  cv::Mat mask;
  cv::warpPerspective(t.mask, mask, cv::Mat(scene.truth[t.frame].frameToReference), t.mask.size(),
                      cv::INTER_NEAREST);
  return cv::mean(detailDifference(onReference, scene.noiselessReference), mask)[0];
}

struct StackRun {
  bool ok = false;
  std::string text;
  cv::Mat image;
};

using StackFunction = bool (*)(const std::vector<std::string>&, const std::string&, std::string&,
                               const std::string&, NLJobFrames*);

StackRun runStack(StackFunction f, const std::vector<std::string>& inputs, const std::string& output,
                  const std::string& progress = std::string(), NLJobFrames* store = nullptr) {
  StackRun r;
  r.ok = f(inputs, output, r.text, progress, store);
  if (r.ok) r.image = cv::imread(output, cv::IMREAD_UNCHANGED);
  return r;
}

}  // namespace

TEST(RegisteredStacks, CleanerThanAFrameAndTheSatelliteGoneFromMedianAndSigma) {
  TempDir dir;
  const synth::Scene scene = smallScene(8, 41, false, 16, true);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  const double framePsnr = psnr(scene.frames[0], scene.noiselessReference);
  std::map<std::string, double> excess;
  for (const auto& [name, f] : std::vector<std::pair<std::string, StackFunction>>{
           {"median", NL_registeredMedianHomography},
           {"sigma", NL_registeredSigmaHomography},
           {"average", NL_registeredAverageHomography}}) {
    const StackRun run = runStack(f, paths, dir.file(name + ".tif"));
    ASSERT_TRUE(run.ok) << run.text;
    EXPECT_EQ(run.image.type(), CV_16UC3);
    const cv::Mat onReference = run.image(referenceOnCanvas(run.image, scene, paths.size()));
    EXPECT_GT(psnr(onReference, scene.noiselessReference), framePsnr + 4.0) << name;
    excess[name] = streakExcess(onReference, scene);
  }
  // One frame in six carries the streak: the average keeps a sixth of it.
  EXPECT_GT(excess["average"], 20.0 * std::max(std::abs(excess["median"]), 1.0));
  EXPECT_GT(excess["average"], 20.0 * std::max(std::abs(excess["sigma"]), 1.0));
}

TEST(RegisteredStacks, MoreFramesGiveACleanerStack) {
  TempDir dir;
  const synth::Scene scene = smallScene(8, 43, false, 8, true);
  std::vector<std::string> paths = writeFrames(dir, scene.frames);
  std::vector<double> gain;
  // The reference frame's colour profile goes with the stack.
  const std::vector<std::uint8_t> profile = testicc::profile(9);
  ASSERT_TRUE(NL_writeImageFile(paths[0], scene.frames[0], profile, nullptr));
  for (size_t n : {2u, 4u, 8u}) {
    const std::vector<std::string> first(paths.begin(), paths.begin() + n);
    const StackRun run = runStack(NL_registeredAverageHomography, first, dir.file("avg.tif"));
    ASSERT_TRUE(run.ok) << run.text;
    EXPECT_EQ(NL_readIccProfile(dir.file("avg.tif")), profile);
    EXPECT_EQ(run.image.type(), CV_8UC3);
    gain.push_back(psnr(run.image(referenceOnCanvas(run.image, scene, n)), scene.noiselessReference));
  }
  EXPECT_GT(gain[1], gain[0] + 1.0);
  EXPECT_GT(gain[2], gain[1] + 1.0);
}

// Bands of rows against the whole canvas at once, with a local correction in
// play (distorted frames) so the band edges of the correction's resampling are crossed.
TEST(RegisteredStacks, BandsOfRowsEqualTheWholeCanvasWithinOneUnit) {
  TempDir dir;
  synth::StackSettings s;
  s.size = {520, 360};
  s.frames = 4;
  s.seed = 47;
  s.sky.density = 1.5e-3;
  s.sky.faintestFlux = 0.8;
  s.poorSeeingFrame = -2;
  s.distortionK1 = 0.03;
  const synth::Scene scene = synth::makeStackScene(s);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  for (const hybrid_detail::StackMethod* m : {&hybrid_detail::medianMethod(), &hybrid_detail::sigmaMethod()}) {
    std::string wholeText, bandText;
    ASSERT_TRUE(hybrid_detail::runRegisteredStack(*m, paths, dir.file("whole.tif"), wholeText, "", 100000))
        << wholeText;
    ASSERT_TRUE(hybrid_detail::runRegisteredStack(*m, paths, dir.file("bands.tif"), bandText, "", 7)) << bandText;
    const cv::Mat whole = cv::imread(dir.file("whole.tif"), cv::IMREAD_UNCHANGED);
    const cv::Mat bands = cv::imread(dir.file("bands.tif"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(whole.size(), bands.size());
    cv::Mat diff;
    cv::absdiff(whole, bands, diff);
    EXPECT_LE(cv::norm(diff, cv::NORM_INF), 1.0) << wholeText;
    EXPECT_LT(cv::countNonZero(diff.reshape(1)), int(diff.total()) / 100);
    EXPECT_EQ(wholeText.find("localCorrectionFrames = 0 /"), std::string::npos) << wholeText;
  }
}

TEST(RegisteredStacks, BadInputEndsInItsOwnText) {
  TempDir dir;
  const synth::Scene scene = smallScene(3, 53, false);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  const std::string out = dir.file("out.tif");
  StackRun r = runStack(NL_registeredSigmaHomography, {paths[0], paths[1]}, out);
  EXPECT_EQ(r.text, "Sigma stack failed: at least three input files are required.");
  r = runStack(NL_registeredMedianHomography, {paths[0]}, out);
  EXPECT_EQ(r.text, "Median stack failed: at least two input files are required.");

  cv::Mat other;
  scene.frames[2].convertTo(other, CV_8UC3, 1.0 / 257.0);
  const std::string eightBit = dir.file("eight.tif");
  cv::imwrite(eightBit, other);
  r = runStack(NL_registeredMedianHomography, {paths[0], paths[1], eightBit}, out);
  EXPECT_EQ(r.text, "Median stack failed: input image size/type mismatch: " + eightBit);

  std::vector<cv::Mat> floats;
  for (const cv::Mat& f : scene.frames) {
    cv::Mat g;
    f.convertTo(g, CV_32FC3, 1.0 / 65535.0);
    floats.push_back(g);
  }
  const std::vector<std::string> floatPaths = writeFrames(dir, floats, "float");
  r = runStack(NL_registeredSigmaHomography, floatPaths, out);
  EXPECT_EQ(r.text, "Sigma stack failed: only 8-bit and 16-bit images are currently supported.");
  r = runStack(NL_registeredMedianHomography, floatPaths, out);
  EXPECT_EQ(r.text, "Median stack failed: only 8-bit and 16-bit images are currently supported.");
  // The average takes any depth: float frames give a float stack.
  r = runStack(NL_registeredAverageHomography, floatPaths, dir.file("float_average.tif"));
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.image.type(), CV_32FC3);

  const std::string flat = dir.file("flat.tif");
  cv::imwrite(flat, cv::Mat(scene.frames[0].size(), CV_16UC3, cv::Scalar::all(2000)));
  r = runStack(NL_registeredMedianHomography, {paths[0], flat}, out);
  EXPECT_EQ(r.text.rfind("Median stack failed: ", 0), 0u);
  EXPECT_FALSE(r.ok);

  const std::string nowhere = dir.file("missing_folder/out.tif");
  r = runStack(NL_registeredAverageHomography, paths, nowhere);
  EXPECT_EQ(r.text, "Average stack failed: could not write output: " + nowhere + " (No such file or directory)");
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing_folder")));
  EXPECT_FALSE(std::filesystem::exists(out));  // no failure above left an image behind
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 9);  // no partial files
}

TEST(HybridJob, GatesDropTheBlurredAndUnrelatedFramesAndAutoChoosesAgain) {
  TempDir dir;
  const synth::Scene scene = smallScene(5, 59, true);   // frame 5 has poor seeing
  std::vector<cv::Mat> frames = scene.frames;
  frames.push_back(smallScene(1, 61, false).frames[0]);  // another part of the sky
  const std::vector<std::string> paths = writeFrames(dir, frames);
  const std::string progress = dir.file("progress.txt"), log = dir.file("log.txt"), out = dir.file("out.tif");
  writeFile(dir.file("job.txt"), jobText("auto", out, progress, log, paths, 80));
  const std::string text = NL_runLumivexJob(dir.file("job.txt"));
  EXPECT_EQ(readFile(log), text);
  ASSERT_EQ(text.rfind("Lumivex Hybrid stack completed.\nselectedMethod = registered-median-homography\n"
                       "timingQualityMs = ", 0), 0u) << text;
  size_t at = 0;
  for (const char* section : {"\ntimingAlignmentMs = ", "\ntimingStackMs = ", "\nFrame quality filter:\n",
                              "\nUsed frames after quality filter: 5 / 6\n", "\nAlignment quality gate:\n",
                              "\nUsed frames after alignment gate: 4 / 5\n",
                              "\nMedian stack success.\noutput = "}) {
    const size_t found = text.find(section, at);
    ASSERT_NE(found, std::string::npos) << section << "\n" << text;
    at = found;
  }
  // The blurred frame ranks last and is the one the quality filter leaves out.
  EXPECT_NE(text.find("Frame 5: skipped | score="), std::string::npos) << text;
  const ProgressEntry last = readProgress(progress);
  EXPECT_EQ(last.percent, 100);
  EXPECT_EQ(last.stage, "Completed");
  EXPECT_EQ(last.detail, "Stacking finished successfully.");
  EXPECT_FALSE(cv::imread(out, cv::IMREAD_UNCHANGED).empty());
}

// Frames an imaging run really holds besides the sky: the lens cap left on,
// a blank export, a frame of pure sensor noise, one that cannot be read. The
// noise frames' thousands of tiny specks used to rank first and become the
// reference, so nothing registered and the whole stack failed.
TEST(HybridJob, FramesWithoutStarsRankLastAndNeverBecomeTheReference) {
  for (int bits : {16, 8}) {
    SCOPED_TRACE(bits);
    TempDir dir;
    const synth::Scene scene = smallScene(3, 71 + bits, false, bits);
    const int type = scene.frames[0].type();
    const double full = bits == 16 ? 65535.0 : 255.0;
    cv::Mat noise(scene.frames[0].size(), type), cap(noise.size(), type), blank(noise.size(), type, cv::Scalar::all(0.05 * full));
    cv::RNG(bits).fill(noise, cv::RNG::UNIFORM, 0.0, full);
    cv::RNG(bits + 1).fill(cap, cv::RNG::NORMAL, 0.02 * full, 0.004 * full);
    std::vector<cv::Mat> frames = {noise, scene.frames[0], cap, scene.frames[1], blank, scene.frames[2]};
    std::vector<std::string> paths = writeFrames(dir, frames);
    writeFile(dir.file("unreadable.tif"), "not an image");  // waited for 6 s, as a file still being written
    paths.insert(paths.begin() + 2, dir.file("unreadable.tif"));
    const std::string log = dir.file("log.txt");
    writeFile(dir.file("job.txt"), jobText("auto", dir.file("out.tif"), dir.file("p.txt"), log, paths));
    const std::string text = NL_runLumivexJob(dir.file("job.txt"));
    ASSERT_EQ(text.rfind("Lumivex Hybrid stack completed.\nselectedMethod = registered-median-homography\n", 0), 0u)
        << text;
    // The reference is a frame of the sky, and only the sky frames go on.
    const size_t reference = text.find("Quality reference frame = original frame ");
    ASSERT_NE(reference, std::string::npos) << text;
    const char referenceFrame = text[reference + 41];
    EXPECT_TRUE(referenceFrame == '2' || referenceFrame == '5' || referenceFrame == '7') << text;
    for (const char* line :
         {"Frame 1: skipped | score=0.00 | ", "Frame 3: skipped | score=0.00 | ", "Frame 4: skipped | score=0.00 | ",
          "Frame 6: skipped | score=0.00 | "})
      EXPECT_NE(text.find(line), std::string::npos) << line << text;
    for (const char* reason :
         {"reason=no stars above the noise | file=frame0.tif\n", "reason=could not load image | file=unreadable.tif\n",
          "reason=no stars detected | file=frame4.tif\n"})
      EXPECT_NE(text.find(reason), std::string::npos) << reason << text;
    EXPECT_NE(text.find("Used frames after quality filter: 3 / 7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Used frames after alignment gate: 3 / 3\n"), std::string::npos) << text;
    // The alignment section names its frames by file as the quality section does.
    const std::map<char, std::string> fileOfFrame = {{'2', "frame1.tif"}, {'5', "frame3.tif"}, {'7', "frame5.tif"}};
    EXPECT_NE(text.find("Frame 1: reference | used | file=" + fileOfFrame.at(referenceFrame) + "\n"), std::string::npos)
        << text;
  }
}

TEST(HybridJob, TwoFramesForSigmaAndUnregistrableFramesFailWithTheGateText) {
  TempDir dir;
  const synth::Scene scene = smallScene(2, 67, false);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  writeFile(dir.file("job.txt"), jobText(kSigma, dir.file("out.tif"), dir.file("p.txt"), dir.file("log.txt"), paths));
  std::string text = NL_runLumivexJob(dir.file("job.txt"));
  EXPECT_EQ(text.rfind("Lumivex Hybrid stack failed.\nselectedMethod = registered-sigma-homography\n", 0), 0u);
  EXPECT_NE(text.find("Quality/alignment gates left too few frames for selected method.\nFrame quality filter:\n"),
            std::string::npos) << text;
  EXPECT_EQ(readProgress(dir.file("p.txt")).stage, "Failed");

  std::vector<cv::Mat> flats(3, cv::Mat(300, 400, CV_16UC1, cv::Scalar(1200)));
  const std::vector<std::string> flatPaths = writeFrames(dir, flats, "flat");
  writeFile(dir.file("job.txt"), jobText("auto", dir.file("out.tif"), dir.file("p.txt"), dir.file("log.txt"), flatPaths));
  text = NL_runLumivexJob(dir.file("job.txt"));
  // Frames without a star are never taken, so the gate has nothing to align.
  EXPECT_NE(text.find("Used frames after quality filter: 0 / 3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Quality/alignment gates left too few frames for selected method.\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.tif")));
}

TEST(HybridJob, TwoJobsAtOnceEachKeepTheirOwnProgressFile) {
  TempDir dir;
  struct Job {
    std::string path, progress, log;
    int frames;
    std::string text;
    std::set<std::string> details;
  };
  std::vector<Job> jobs(2);
  for (int j = 0; j < 2; ++j) {
    Job& job = jobs[j];
    job.frames = 3 + j;
    const synth::Scene scene = smallScene(job.frames, 71 + j, false);
    const std::vector<std::string> paths = writeFrames(dir, scene.frames, "job" + std::to_string(j) + "_");
    job.path = dir.file("job" + std::to_string(j) + ".txt");
    job.progress = dir.file("progress" + std::to_string(j) + ".txt");
    job.log = dir.file("log" + std::to_string(j) + ".txt");
    writeFile(job.path, jobText(kMedian, dir.file("out" + std::to_string(j) + ".tif"), job.progress, job.log, paths));
  }
  std::atomic<int> running{2};
  std::vector<std::thread> threads;
  for (Job& job : jobs)
    threads.emplace_back([&job, &running] {
      job.text = NL_runLumivexJob(job.path);
      --running;
    });
  while (running > 0) {
    for (Job& job : jobs) job.details.insert(readProgress(job.progress).detail);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  for (std::thread& t : threads) t.join();
  for (const Job& job : jobs) {
    EXPECT_EQ(job.text.rfind("Lumivex Hybrid stack completed.\n", 0), 0u) << job.text;
    EXPECT_EQ(readProgress(job.progress).stage, "Completed");
    const std::string own = " of " + std::to_string(job.frames) + ".";
    const std::string ownGate = " of " + std::to_string(job.frames - 1) + ".";
    for (const std::string& d : job.details) {
      const bool counted = d.rfind("Analyzed frame ", 0) == 0 || d.rfind("Loading frame ", 0) == 0;
      if (counted) {
        EXPECT_NE(d.find(own), std::string::npos) << d;
      }
      if (d.rfind("Checked alignment ", 0) == 0) {
        EXPECT_NE(d.find(ownGate), std::string::npos) << d;
      }
    }
  }
}

// ---- What the stages of a job share (NLJobFrames) -----------------------------

namespace {

// A log without its timing lines, the only lines a rerun may change.
std::string withoutTimings(const std::string& log) {
  std::istringstream in(log);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (line.find("Ms = ") == std::string::npos) out += line + "\n";
  return out;
}

double maxDifference(const std::string& a, const std::string& b) {
  const cv::Mat x = cv::imread(a, cv::IMREAD_UNCHANGED), y = cv::imread(b, cv::IMREAD_UNCHANGED);
  if (x.empty() || x.size() != y.size() || x.type() != y.type()) return 1e9;
  return cv::norm(x, y, cv::NORM_INF);
}

struct Gated {
  std::string qualityLog, alignmentLog;
  std::vector<std::string> frames;
};

Gated runGates(const std::vector<std::string>& paths, int minFrames, NLJobFrames* store) {
  Gated g;
  const std::vector<std::string> filtered =
      NL_filterInputsByFrameQuality(paths, 100, minFrames, g.qualityLog, std::string(), store);
  if (store) store->keepImagesOf(filtered);
  g.frames = NL_filterInputsByAlignmentQuality(filtered, minFrames, g.alignmentLog, std::string(), store);
  if (store) store->keepImagesOf(g.frames);
  return g;
}

}  // namespace

TEST(JobFrames, HoldsFramesWithinItsBudgetAndKeysFitsByReferenceAndSettings) {
  const cv::Mat frame(100, 100, CV_16UC3, cv::Scalar::all(7));  // 60000 bytes
  NLJobFrames store(150000);
  store.recordFrame("a", frame, nullptr);
  store.recordFrame("b", frame, nullptr);
  store.recordFrame("c", frame, nullptr);  // over the budget: read again where needed
  store.recordFrame("gone", cv::Mat(), nullptr);
  EXPECT_EQ(store.heldImageBytes(), 120000u);
  EXPECT_FALSE(store.image("a").empty());
  EXPECT_EQ(store.image("a").data, frame.data);  // shared, not copied
  EXPECT_TRUE(store.image("c").empty());
  EXPECT_FALSE(store.unreadable("c"));
  EXPECT_TRUE(store.unreadable("gone"));
  EXPECT_FALSE(store.unreadable("never seen"));
  store.keepImagesOf({"b", "c"});
  EXPECT_TRUE(store.image("a").empty());
  EXPECT_EQ(store.heldImageBytes(), 60000u);
  store.recordFrame("c", frame, nullptr);  // room again
  EXPECT_EQ(store.heldImageBytes(), 120000u);
  store.releaseImages();
  EXPECT_EQ(store.heldImageBytes(), 0u);

  NLJobFrames::Fit fit{cv::Mat::eye(3, 3, CV_64F), NLStarMatchList(3)};
  store.recordFit("ref", 4500, 12.0, "b", fit);
  NLJobFrames::Fit out;
  EXPECT_TRUE(store.fit("ref", 4500, 12.0, "b", out));
  EXPECT_EQ(out.matches.size(), 3u);
  EXPECT_FALSE(store.fit("other ref", 4500, 12.0, "b", out));
  EXPECT_FALSE(store.fit("ref", 3000, 16.0, "b", out));
  EXPECT_FALSE(store.fit("ref", 4500, 12.0, "a", out));

  // The default budget: 6 GiB, or a third of a smaller machine's memory (an
  // 8 GB laptop must not hold 5.4 GiB of frames); no overflow on a huge one.
  EXPECT_EQ(NLJobFrames::imageBudgetFor(0), NLJobFrames::kDefaultImageBudget);
  EXPECT_EQ(NLJobFrames::imageBudgetFor(std::uint64_t(8) << 30), (std::uint64_t(8) << 30) / 3);
  EXPECT_EQ(NLJobFrames::imageBudgetFor(std::uint64_t(1) << 62), NLJobFrames::kDefaultImageBudget);
}

// The stages with a shared store against each stage on its own (reading and
// detecting for itself, the stack registering anew): the same logs and the
// same stacked pixels for every method, including when the store no longer
// holds the frames (the median and the average after the sigma stack took
// them) and when the stack's first frame is not the gate's reference.
TEST(JobFrames, StagesWithTheStoreEqualTheStagesOnTheirOwn) {
  TempDir dir;
  const synth::Scene scene = smallScene(5, 101, false);
  std::vector<cv::Mat> frames = scene.frames;
  frames.push_back(smallScene(1, 103, false).frames[0]);  // another part of the sky: the gate drops it
  const std::vector<std::string> paths = writeFrames(dir, frames);

  NLJobFrames store;
  const Gated own = runGates(paths, 3, nullptr);
  const Gated shared = runGates(paths, 3, &store);
  EXPECT_EQ(shared.qualityLog, own.qualityLog);
  EXPECT_EQ(shared.alignmentLog, own.alignmentLog);
  ASSERT_EQ(shared.frames, own.frames);
  ASSERT_EQ(shared.frames.size(), 5u) << shared.alignmentLog;
  EXPECT_EQ(std::find(shared.frames.begin(), shared.frames.end(), paths[5]), shared.frames.end());

  // The gate's fits are kept for the frames it passed, none for the one it dropped.
  NLJobFrames::Fit fit;
  for (size_t i = 1; i < shared.frames.size(); ++i)
    EXPECT_TRUE(store.fit(shared.frames[0], 4500, 12.0, shared.frames[i], fit)) << i;
  EXPECT_FALSE(store.fit(shared.frames[0], 4500, 12.0, paths[5], fit));
  EXPECT_TRUE(store.image(paths[5]).empty());  // the dropped frame's pixels are let go
  EXPECT_FALSE(store.image(shared.frames[1]).empty());

  for (const auto& [name, f] : std::vector<std::pair<std::string, StackFunction>>{
           {"sigma", NL_registeredSigmaHomography},
           {"median", NL_registeredMedianHomography},
           {"average", NL_registeredAverageHomography}}) {
    const StackRun alone = runStack(f, shared.frames, dir.file(name + "_alone.tif"));
    const StackRun reused = runStack(f, shared.frames, dir.file(name + "_shared.tif"), std::string(), &store);
    ASSERT_TRUE(alone.ok) << alone.text;
    ASSERT_TRUE(reused.ok) << reused.text;
    EXPECT_EQ(store.heldImageBytes(), 0u);  // the stack holds the frames, not the store
    EXPECT_EQ(maxDifference(dir.file(name + "_alone.tif"), dir.file(name + "_shared.tif")), 0.0) << name;
    std::string expected = withoutTimings(alone.text);
    const std::string aloneName = name + "_alone.tif", sharedName = name + "_shared.tif";
    expected.replace(expected.find(aloneName), aloneName.size(), sharedName);
    EXPECT_EQ(withoutTimings(reused.text), expected) << name;
    EXPECT_NE(reused.text.find("inputs = 5\n"), std::string::npos) << reused.text;
  }

  // Another first frame: the gate's fits were made on another reference and are not taken.
  std::vector<std::string> reordered = shared.frames;
  std::swap(reordered[0], reordered[1]);
  const StackRun alone = runStack(NL_registeredSigmaHomography, reordered, dir.file("swap_alone.tif"));
  const StackRun reused =
      runStack(NL_registeredSigmaHomography, reordered, dir.file("swap_shared.tif"), std::string(), &store);
  ASSERT_TRUE(alone.ok && reused.ok) << alone.text << reused.text;
  EXPECT_EQ(maxDifference(dir.file("swap_alone.tif"), dir.file("swap_shared.tif")), 0.0);
}

// The whole job (which shares one store across its stages) writes what the
// stages give on their own: the same result log but for its timings, and the
// same stacked pixels.
TEST(JobFrames, JobEqualsItsStagesRunOnTheirOwn) {
  TempDir dir;
  const synth::Scene scene = smallScene(4, 107, false);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  const std::string out = dir.file("out.tif"), log = dir.file("log.txt");
  const Gated own = runGates(paths, 3, nullptr);
  const StackRun alone = runStack(NL_registeredSigmaHomography, own.frames, out);
  ASSERT_TRUE(alone.ok) << alone.text;
  const cv::Mat aloneImage = cv::imread(out, cv::IMREAD_UNCHANGED);
  writeFile(dir.file("job.txt"), jobText(kSigma, out, dir.file("p.txt"), log, paths));
  const std::string text = NL_runLumivexJob(dir.file("job.txt"));
  EXPECT_EQ(withoutTimings(text), withoutTimings("Lumivex Hybrid stack completed.\nselectedMethod = " + kSigma +
                                                 "\n" + own.qualityLog + own.alignmentLog + alone.text));
  const cv::Mat jobImage = cv::imread(out, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(jobImage.size(), aloneImage.size());
  EXPECT_EQ(cv::norm(jobImage, aloneImage, cv::NORM_INF), 0.0);
}

// A frame the quality filter could not read is not waited for again: the
// gate and the stack take the store's word for it.
TEST(JobFrames, AFrameTheFilterCouldNotReadIsNotReadAgain) {
  TempDir dir;
  const synth::Scene scene = smallScene(3, 109, false);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  NLJobFrames store;
  store.recordFrame(paths[2], cv::Mat(), nullptr);  // as if it had been unreadable then
  std::string log;
  const std::vector<std::string> kept = NL_filterInputsByAlignmentQuality(paths, 2, log, std::string(), &store);
  EXPECT_EQ(kept, (std::vector<std::string>{paths[0], paths[1]})) << log;
  EXPECT_NE(log.find("Frame 3: skipped | could not load image | file=frame2.tif\n"), std::string::npos) << log;
  const StackRun run = runStack(NL_registeredMedianHomography, paths, dir.file("out.tif"), std::string(), &store);
  EXPECT_EQ(run.text, "Median stack failed: could not load input: " + paths[2]);
}

// The sigma and average stacks take the gate's fits as they are (no second
// registration): fits recorded from the stack's own registration give its
// result, and a fit moved 100 px to the left (far beyond the scene's shifts)
// widens the canvas.
TEST(JobFrames, SigmaAndAverageStacksTakeTheRecordedFits) {
  TempDir dir;
  const synth::Scene scene = smallScene(3, 113, false);
  const std::vector<std::string> paths = writeFrames(dir, scene.frames);
  std::vector<cv::Mat> transforms;
  std::vector<NLStarMatchList> matches;
  double minX, minY, maxX, maxY;
  std::string error;
  ASSERT_TRUE(NL_computeHomographyTransformsParallel(scene.frames, 4500, 12.0, transforms, matches, minX, minY, maxX,
                                                     maxY, error));
  NLJobFrames store;
  for (size_t i = 1; i < paths.size(); ++i) store.recordFit(paths[0], 4500, 12.0, paths[i], {transforms[i], matches[i]});
  const StackRun alone = runStack(NL_registeredAverageHomography, paths, dir.file("alone.tif"));
  const StackRun reused = runStack(NL_registeredAverageHomography, paths, dir.file("reused.tif"), std::string(), &store);
  ASSERT_TRUE(alone.ok && reused.ok) << alone.text << reused.text;
  EXPECT_EQ(maxDifference(dir.file("alone.tif"), dir.file("reused.tif")), 0.0);
  const int width = int(std::ceil(maxX - minX));
  EXPECT_NE(reused.text.find("canvas = " + std::to_string(width) + " x "), std::string::npos) << reused.text;

  const cv::Mat shift = (cv::Mat_<double>(3, 3) << 1, 0, -100, 0, 1, 0, 0, 0, 1);
  NLJobFrames moved;
  for (size_t i = 1; i < paths.size(); ++i)
    moved.recordFit(paths[0], 4500, 12.0, paths[i], {i == 1 ? cv::Mat(shift * transforms[i]) : transforms[i], matches[i]});
  const StackRun wrong = runStack(NL_registeredSigmaHomography, paths, dir.file("wrong.tif"), std::string(), &moved);
  ASSERT_TRUE(wrong.ok) << wrong.text;
  EXPECT_EQ(wrong.text.find("canvas = " + std::to_string(width) + " x "), std::string::npos) << wrong.text;
}
