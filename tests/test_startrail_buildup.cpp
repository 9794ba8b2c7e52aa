// Star Trail build-up: the trail image after every N frames, as files and a video.
#include "startrail/startrail.h"
#include "startrail/detail/build_up.h"

#include "opencv_setup.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#if defined(LUMIVEX_HAVE_VIDEOIO)
#include <opencv2/videoio.hpp>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

// ---- Names, counts and keys ----------------------------------------------------

TEST(StarTrailBuildUp, CountsNamesAndKeys) {
  using V = std::vector<int>;
  EXPECT_EQ(NL_starTrailBuildUpCounts(10, 3), (V{3, 6, 9, 10}));  // the last frame always ends the sequence
  EXPECT_EQ(NL_starTrailBuildUpCounts(9, 3), (V{3, 6, 9}));
  EXPECT_EQ(NL_starTrailBuildUpCounts(4, 1), (V{1, 2, 3, 4}));
  EXPECT_EQ(NL_starTrailBuildUpCounts(4, 10), (V{4}));
  EXPECT_EQ(NL_starTrailBuildUpCounts(3, 0), (V{1, 2, 3}));
  EXPECT_EQ(NL_starTrailBuildUpCounts(5, 2147483647), (V{5}));

  EXPECT_EQ(NL_starTrailBuildUpName(1, "tif"), "buildup_0001.tif");
  EXPECT_EQ(NL_starTrailBuildUpName(12345, "jpg"), "buildup_12345.jpg");
  EXPECT_TRUE(NL_starTrailIsBuildUpName("buildup_0042.tif", "tif"));
  EXPECT_TRUE(NL_starTrailIsBuildUpName("buildup_12345.jpg", "jpg"));
  for (const char* other : {"buildup_0042.jpg", "buildup_.tif", "buildup_00a1.tif", "xbuildup_0001.tif", "buildup_0001.tiff"})
    EXPECT_FALSE(NL_starTrailIsBuildUpName(other, "tif")) << other;

  TempDir dir;
  const std::string path = dir.file("startrail_job_native.json");
  writeFile(path, "{}");
  const NLStarTrailNativeJob none = NL_parseStarTrailNativeJob(path);
  EXPECT_FALSE(NL_starTrailWantsBuildUp(none));
  EXPECT_EQ(none.buildUpEvery, 1);
  EXPECT_EQ(none.buildUpFormat, "tif");
  writeFile(path, R"({"buildUpOutput": "/b", "buildUpEvery": 2.6, "buildUpFormat": "jpg"})");
  const NLStarTrailNativeJob some = NL_parseStarTrailNativeJob(path);
  EXPECT_TRUE(NL_starTrailWantsBuildUp(some));
  EXPECT_EQ(some.buildUpEvery, 3);
  EXPECT_EQ(some.buildUpFormat, "jpg");
  writeFile(path, R"({"buildUpVideo": "/v.mp4", "buildUpEvery": -4, "buildUpFormat": "JPG"})");
  const NLStarTrailNativeJob video = NL_parseStarTrailNativeJob(path);
  EXPECT_TRUE(NL_starTrailWantsBuildUp(video));
  EXPECT_EQ(video.buildUpEvery, 1);
  EXPECT_EQ(video.buildUpFormat, "tif");
}

// A build-up image's 8-bit frame is packed over the image's own rows (which
// are read before they are overwritten) wherever its buffer holds it, with
// rows 32-byte aligned and its end clear of a page boundary, so the video
// writer takes it without a copy of its own: the same pixels as converting
// a copy, for every layout, odd cuts, and rows too unaligned or too narrow
// to pack in place (then in the spare buffer).
TEST(StarTrailBuildUp, EightBitFramesArePackedWithinTheirImage) {
  cv::RNG rng(7);
  for (const int type : {CV_16UC3, CV_16UC4, CV_16UC1, CV_8UC3, CV_8UC4, CV_8UC1}) {
    for (const cv::Size size : {cv::Size(161, 121), cv::Size(1000, 37), cv::Size(6, 5)}) {
      for (const int channels : {3, CV_MAT_CN(type)}) {
        SCOPED_TRACE(std::to_string(type) + " " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                     " to " + std::to_string(channels));
        cv::Mat image(size, type);
        rng.fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_16U ? 65536 : 256);
        const cv::Size cut(size.width & ~1, size.height & ~1);
        cv::Mat expected;
        image(cv::Rect(cv::Point(), cut)).convertTo(expected, CV_8U, CV_MAT_DEPTH(type) == CV_16U ? 1.0 / 257.0 : 1.0);
        if (expected.channels() != channels)
          cv::cvtColor(expected, expected, expected.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
        cv::Mat spare;
        const cv::Mat packed = startrail_detail::packedEightBit(image, cut, channels, spare);
        ASSERT_EQ(packed.type(), CV_8UC(channels));
        ASSERT_EQ(packed.size(), cut);
        EXPECT_EQ(cv::norm(packed, expected, cv::NORM_INF), 0.0);
        EXPECT_EQ(packed.step[0] % 32, 0u);
        const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(packed.data) + packed.step[0] * size_t(cut.height);
        EXPECT_EQ((end - 32) / 4096, (end + 32) / 4096);
        // A 16-bit image, or four 8-bit channels made three, holds its packed frame.
        const bool inPlace = size.width > 6 && (CV_MAT_DEPTH(type) == CV_16U ? CV_MAT_CN(type) * 2 > channels
                                                                             : CV_MAT_CN(type) > channels);
        if (inPlace) {
          EXPECT_TRUE(spare.empty());
          EXPECT_TRUE(packed.data >= image.datastart && packed.data < image.datalimit);
        }
      }
    }
  }
}

// A frame whose packed end would fall just at a page boundary is packed a
// little further into the buffer, ahead of rows not read yet: those come
// from a copy.
TEST(StarTrailBuildUp, EightBitFrameMovedOffAPageEndKeepsItsPixels) {
  const cv::Size size(161, 121), cut(160, 120);
  const size_t frameBytes = 480 * 120;  // 160 colour pixels a row, already 32-byte aligned
  for (const int type : {CV_16UC3, CV_8UC4}) {
    SCOPED_TRACE(type);
    std::vector<uchar> store(size_t(size.area()) * 6 + 3 * 4096);
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(store.data());
    const std::uintptr_t at = (base + frameBytes + 4095) / 4096 * 4096 + 4096 - frameBytes;  // its end on a page boundary
    cv::Mat image(size, type, reinterpret_cast<void*>(at));
    cv::RNG(11).fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_16U ? 65536 : 256);
    cv::Mat expected;
    image(cv::Rect(cv::Point(), cut)).convertTo(expected, CV_8U, CV_MAT_DEPTH(type) == CV_16U ? 1.0 / 257.0 : 1.0);
    if (expected.channels() == 4) cv::cvtColor(expected, expected, cv::COLOR_BGRA2BGR);
    cv::Mat spare;
    const cv::Mat packed = startrail_detail::packedEightBit(image, cut, 3, spare);
    EXPECT_TRUE(spare.empty());
    EXPECT_NE(packed.data, image.data);
    EXPECT_EQ(cv::norm(packed, expected, cv::NORM_INF), 0.0);
  }
}

// ---- Whole runs ------------------------------------------------------------------

// A short rotating night with satellites and aircraft, at the given depth,
// channel count and (odd or even) size.
std::vector<cv::Mat> night(int frames, int bits, int channels, cv::Size size, std::uint64_t seed) {
  synth::TrailSettings s;
  s.size = size;
  s.frames = frames;
  s.bits = bits;
  s.seed = seed;
  std::vector<cv::Mat> out = synth::makeTrailScene(s).frames;
  for (cv::Mat& f : out) {
    if (channels == 1) cv::cvtColor(f, f, cv::COLOR_BGR2GRAY);
    if (channels == 4) cv::cvtColor(f, f, cv::COLOR_BGR2BGRA);
  }
  return out;
}

struct TrailFiles {
  std::string job, output, progress, log, buildUp;
};

std::string jsonList(const std::vector<std::string>& paths) {
  std::string out = "[";
  for (size_t i = 0; i < paths.size(); ++i) out += (i ? ", \"" : "\"") + paths[i] + "\"";
  return out + "]";
}

TrailFiles writeRun(const TempDir& dir, const std::vector<cv::Mat>& frames, const std::string& extra) {
  TrailFiles r;
  std::vector<std::string> inputs;
  for (size_t i = 0; i < frames.size(); ++i) {
    inputs.push_back(dir.file("frame" + std::to_string(i) + ".tif"));
    EXPECT_TRUE(cv::imwrite(inputs.back(), frames[i]));
  }
  r.job = dir.file("startrail_job_native.json");
  r.output = dir.file("trail.tif");
  r.progress = dir.file("progress.txt");
  r.log = dir.file("result.txt");
  r.buildUp = dir.file("growing");
  writeFile(r.job, "{\"type\": \"startrail-native-job\", \"inputs\": " + jsonList(inputs) + ", \"output\": \"" +
                       r.output + "\", \"progress\": \"" + r.progress + "\", \"resultLog\": \"" + r.log + "\"" +
                       extra + "}");
  return r;
}

std::string withBuildUp(const TempDir& dir, int every, const std::string& more = "") {
  return ", \"buildUpOutput\": \"" + dir.file("growing") + "\", \"buildUpEvery\": " + std::to_string(every) + more;
}

std::string logValue(const std::string& log, const std::string& key) {
  const size_t at = log.find("\n" + key + "=");
  if (at == std::string::npos) return "<missing>";
  const size_t start = at + key.size() + 2;
  return log.substr(start, log.find('\n', start) - start);
}

// The folder's files in name order.
std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<cv::Mat> readImages(const std::string& folder, const std::vector<std::string>& names) {
  std::vector<cv::Mat> images;
  for (const std::string& n : names) images.push_back(cv::imread((fs::path(folder) / n).string(), cv::IMREAD_UNCHANGED));
  return images;
}

std::vector<std::string> expectedNames(int frames, int every, const std::string& format) {
  std::vector<std::string> names;
  const size_t count = NL_starTrailBuildUpCounts(frames, every).size();
  for (size_t n = 1; n <= count; ++n) names.push_back(NL_starTrailBuildUpName(int(n), format));
  return names;
}

// Lighten of frames 0..count-1, each weighted as in the whole night: the
// reference the direct path's build-up must equal.
cv::Mat weightedLighten(const std::vector<cv::Mat>& frames, int count, const NLStarTrailNativeJob& job) {
  const bool sixteen = frames[0].depth() == CV_16U;
  const double top = sixteen ? 65535.0 : 255.0;
  cv::Mat acc = cv::Mat::zeros(frames[0].size(), CV_64FC(frames[0].channels()));
  for (int i = 0; i < count; ++i) {
    const double w = NL_starTrailCometWeight(job, i, int(frames.size()));
    cv::Mat f;
    frames[size_t(i)].convertTo(f, CV_64F);
    f = f.reshape(1);
    f.forEach<double>([&](double& v, const int*) { v = std::floor(std::min(w * v, top) + 0.5); });
    f = f.reshape(frames[0].channels());
    acc = cv::max(acc, f);
  }
  cv::Mat out;
  acc.convertTo(out, frames[0].type());
  return out;
}

bool noDarkerThan(const cv::Mat& later, const cv::Mat& earlier) {
  cv::Mat drop;
  cv::subtract(earlier, later, drop);  // saturates at 0 where the later image is brighter
  return cv::countNonZero(drop.reshape(1)) == 0;
}

// The direct path on four workers: each image is exactly the weighted
// Lighten of the frames so far (comet weights of the whole night), never
// darker than the one before, and the last one is the result file itself.
TEST(StarTrailBuildUpRun, EachImageIsTheTrailOfTheFramesSoFar) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(10, 16, 3, {240, 180}, 3);
  TrailFiles r = writeRun(dir, frames, ", \"rejectionMode\": \"off\", \"cometEnabled\": true, \"cometDirection\": \"reverse\"" +
                                withBuildUp(dir, 3));
  const std::string log = NL_runStarTrailNativeJob(r.job, 4);
  ASSERT_EQ(logValue(log, "status"), "success") << log;
  EXPECT_EQ(logValue(log, "workers"), "4");
  EXPECT_EQ(logValue(log, "buildUpImages"), "4");
  EXPECT_EQ(logValue(log, "buildUpOutput"), r.buildUp);
  EXPECT_EQ(logValue(log, "buildUpEvery"), "3");
  EXPECT_EQ(logValue(log, "buildUpFormat"), "tif");
  EXPECT_EQ(logValue(log, "buildUpVideo"), "<missing>");
  const std::vector<std::string> names = filesIn(r.buildUp);
  ASSERT_EQ(names, expectedNames(10, 3, "tif"));
  const std::vector<cv::Mat> images = readImages(r.buildUp, names);
  const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(r.job);
  const int counts[] = {3, 6, 9, 10};
  for (size_t k = 0; k < images.size(); ++k) {
    ASSERT_EQ(images[k].type(), CV_16UC3);
    EXPECT_EQ(cv::norm(images[k], weightedLighten(frames, counts[k], job), cv::NORM_INF), 0.0) << names[k];
    if (k > 0) {
      EXPECT_TRUE(noDarkerThan(images[k], images[k - 1])) << names[k];
    }
  }
  EXPECT_GT(cv::norm(images[1], images[0], cv::NORM_L1), 0.0);  // the trails do grow
  EXPECT_EQ(readFile((fs::path(r.buildUp) / names.back()).string()), readFile(r.output));
}

// With rejection, comet fading at both ends and frames handed to two
// workers, the images still grow frame by frame and the last one is the
// final image, pixel for pixel; 8-bit frames of an odd size.
TEST(StarTrailBuildUpRun, WithRejectionAndCometTheLastIsTheFinalImage) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(7, 8, 3, {321, 241}, 11);
  TrailFiles r = writeRun(dir, frames, ", \"rejectionMode\": \"high\", \"cometEnabled\": true, \"cometDirection\": \"both\", "
                            "\"cometStrength\": 60" + withBuildUp(dir, 2));
  const std::string log = NL_runStarTrailNativeJob(r.job, 2);
  ASSERT_EQ(logValue(log, "status"), "success") << log;
  EXPECT_NE(logValue(log, "rejectedMaskPixels"), "0");
  const std::vector<std::string> names = filesIn(r.buildUp);
  ASSERT_EQ(names, expectedNames(7, 2, "tif"));
  const std::vector<cv::Mat> images = readImages(r.buildUp, names);
  for (size_t k = 1; k < images.size(); ++k) EXPECT_TRUE(noDarkerThan(images[k], images[k - 1])) << names[k];
  const cv::Mat final = cv::imread(r.output, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(final.type(), CV_8UC3);
  EXPECT_EQ(cv::norm(images.back(), final, cv::NORM_INF), 0.0);
  // The same night without build-up gives the very same final image.
  TempDir plainDir;
  const TrailFiles plain = writeRun(plainDir, frames, ", \"rejectionMode\": \"high\", \"cometEnabled\": true, "
                                               "\"cometDirection\": \"both\", \"cometStrength\": 60");
  ASSERT_EQ(logValue(NL_runStarTrailNativeJob(plain.job, 2), "status"), "success");
  EXPECT_EQ(cv::norm(cv::imread(plain.output, cv::IMREAD_UNCHANGED), final, cv::NORM_INF), 0.0);
}

// Light carried across the pauses is part of each image as of the final
// one, on the direct path and the rejection path alike.
TEST(StarTrailBuildUpRun, FilledGapsAreInEveryImageAndTheLastIsTheFinalImage) {
  for (const char* mode : {"off", "medium"}) {
    SCOPED_TRACE(mode);
    TempDir dir;
    const std::vector<cv::Mat> frames = night(6, 16, 3, {300, 220}, 23);
    const std::string keys = std::string(", \"rejectionMode\": \"") + mode +
                             "\", \"fillGaps\": true, \"gapFraction\": 0.5";
    TrailFiles r = writeRun(dir, frames, keys + withBuildUp(dir, 4));
    const std::string log = NL_runStarTrailNativeJob(r.job, 2);
    ASSERT_EQ(logValue(log, "status"), "success") << log;
    EXPECT_EQ(logValue(log, "gapFill"), "0.50 (job file)");
    const std::vector<std::string> names = filesIn(r.buildUp);
    ASSERT_EQ(names, expectedNames(6, 4, "tif"));
    const std::vector<cv::Mat> images = readImages(r.buildUp, names);
    EXPECT_TRUE(noDarkerThan(images.back(), images.front()));
    const cv::Mat final = cv::imread(r.output, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(cv::norm(images.back(), final, cv::NORM_INF), 0.0);
    TempDir plainDir;
    const TrailFiles plain = writeRun(plainDir, frames, keys);
    ASSERT_EQ(logValue(NL_runStarTrailNativeJob(plain.job, 2), "status"), "success");
    EXPECT_EQ(cv::norm(cv::imread(plain.output, cv::IMREAD_UNCHANGED), final, cv::NORM_INF), 0.0);
  }
}

// With a foreground and a sky mask every image is composited like the
// final one: the ground is the foreground from the first image on, the sky
// grows, and the last image is the final composite.
TEST(StarTrailBuildUpRun, EveryImageHasTheForegroundComposite) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(6, 16, 3, {240, 200}, 5);
  cv::Mat mask(frames[0].size(), CV_8U, cv::Scalar(255));
  mask.rowRange(100, 200).setTo(0);
  const std::string maskPath = dir.file("mask.png"), fgPath = dir.file("ground.tif");
  ASSERT_TRUE(cv::imwrite(maskPath, mask));
  cv::Mat ground(frames[0].size(), frames[0].type(), cv::Scalar(9000, 12000, 15000));
  ASSERT_TRUE(cv::imwrite(fgPath, ground));
  TrailFiles r = writeRun(dir, frames, ", \"rejectionMode\": \"medium\", \"maskInput\": \"" + maskPath +
                                "\", \"foregroundInputs\": [\"" + fgPath + "\"], \"foregroundOutput\": \"" +
                                dir.file("fg_stack.tif") + "\", \"skyOutput\": \"" + dir.file("sky.tif") + "\"" +
                                withBuildUp(dir, 4));
  const std::string log = NL_runStarTrailNativeJob(r.job, 2);
  ASSERT_EQ(logValue(log, "status"), "success") << log;
  const std::vector<std::string> names = filesIn(r.buildUp);
  ASSERT_EQ(names, expectedNames(6, 4, "tif"));
  const std::vector<cv::Mat> images = readImages(r.buildUp, names);
  // Well below the seam band the ground is the foreground stack in every image.
  const cv::Rect deepGround(0, 160, 240, 40);
  for (const cv::Mat& image : images) EXPECT_EQ(cv::norm(image(deepGround), ground(deepGround), cv::NORM_INF), 0.0);
  const cv::Rect highSky(0, 0, 240, 60);
  EXPECT_TRUE(noDarkerThan(images[1](highSky), images[0](highSky)));
  EXPECT_EQ(cv::norm(images.back(), cv::imread(r.output, cv::IMREAD_UNCHANGED), cv::NORM_INF), 0.0);
  EXPECT_FALSE(fs::exists(dir.file("fg_stack.tif")));  // the intermediates are still tidied away
  EXPECT_FALSE(fs::exists(dir.file("sky.tif")));
}

// JPEG images are 8-bit whatever the frames' depth: 16-bit grey frames come
// out as v / 257, within what the JPEG coding changes.
TEST(StarTrailBuildUpRun, JpegImagesAreEightBit) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(5, 16, 1, {200, 150}, 8);
  TrailFiles r = writeRun(dir, frames, ", \"rejectionMode\": \"off\"" + withBuildUp(dir, 2, ", \"buildUpFormat\": \"jpg\""));
  const std::string log = NL_runStarTrailNativeJob(r.job, 2);
  ASSERT_EQ(logValue(log, "status"), "success") << log;
  EXPECT_EQ(logValue(log, "buildUpFormat"), "jpg");
  const std::vector<std::string> names = filesIn(r.buildUp);
  ASSERT_EQ(names, expectedNames(5, 2, "jpg"));
  const cv::Mat last = cv::imread((fs::path(r.buildUp) / names.back()).string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(last.depth(), CV_8U);
  cv::Mat final8;
  cv::imread(r.output, cv::IMREAD_UNCHANGED).convertTo(final8, CV_8U, 1.0 / 257.0);
  EXPECT_LT(cv::norm(last, final8, cv::NORM_L1) / double(last.total()), 2.0);
}

// A write that fails midway ends the run as a failure with its text, like
// any output: the images before it stay, no partial file is left, and the
// other worker waiting for its turn is released.
TEST(StarTrailBuildUpRun, AFailedWriteEndsTheRun) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(6, 8, 3, {160, 120}, 2);
  TrailFiles r = writeRun(dir, frames, ", \"rejectionMode\": \"off\"" + withBuildUp(dir, 2));
  const std::string blocked = (fs::path(r.buildUp) / "buildup_0002.tif").string();
  fs::create_directories(blocked);  // a folder where the second image goes cannot be replaced by it
  const std::string log = NL_runStarTrailNativeJob(r.job, 2);
  EXPECT_EQ(log.rfind("Star Trail native job failed.\nstatus=failed\nerror=Star Trail failed: could not write "
                      "build-up image: " + blocked + " (",
                      0),
            0u)
      << log;
  EXPECT_EQ(readFile(r.log), log);
  EXPECT_NE(readFile(r.progress).find("stage=Failed\n"), std::string::npos);
  EXPECT_EQ(filesIn(r.buildUp), (std::vector<std::string>{"buildup_0001.tif", "buildup_0002.tif"}));
  EXPECT_TRUE(fs::is_directory(blocked));
  EXPECT_FALSE(fs::exists(r.output));
}

// Refused before any frame is read: a folder holding build-up images (the
// user's or an earlier run's, left untouched), a folder that is a file, a
// video of another format.
TEST(StarTrailBuildUpRun, RefusedTargetsFailUpFront) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(3, 8, 3, {120, 90}, 4);
  TrailFiles r = writeRun(dir, frames, "");
  fs::create_directories(r.buildUp);
  const std::string earlier = (fs::path(r.buildUp) / "buildup_0007.tif").string();
  writeFile(earlier, "an earlier night");
  r = writeRun(dir, frames, ", \"rejectionMode\": \"off\"" + withBuildUp(dir, 1));
  EXPECT_EQ(logValue(NL_runStarTrailNativeJob(r.job), "error"),
            "Star Trail failed: build-up folder already holds build-up images (buildup_0007.tif); name an empty "
            "folder or remove them: " + r.buildUp);
  EXPECT_EQ(readFile(earlier), "an earlier night");
  EXPECT_FALSE(fs::exists(r.output));
  // A JPEG run beside those TIFF images is free to go.
  r = writeRun(dir, frames, ", \"rejectionMode\": \"off\"" + withBuildUp(dir, 1, ", \"buildUpFormat\": \"jpg\""));
  EXPECT_EQ(logValue(NL_runStarTrailNativeJob(r.job), "buildUpImages"), "3");

  const std::string file = dir.file("not_a_folder");
  writeFile(file, "x");
  writeRun(dir, frames, ", \"rejectionMode\": \"off\", \"buildUpOutput\": \"" + file + "\"");
  EXPECT_EQ(logValue(NL_runStarTrailNativeJob(r.job), "error"), "Star Trail failed: build-up folder is not a folder: " + file);
  const std::string mov = dir.file("night.mov");
  writeRun(dir, frames, ", \"rejectionMode\": \"off\", \"buildUpVideo\": \"" + mov + "\"");
  EXPECT_EQ(logValue(NL_runStarTrailNativeJob(r.job), "error"),
            "Star Trail failed: build-up video must be an .mp4 or .avi file: " + mov);
}

// Without the keys nothing of the build-up shows: the log has no build-up
// line and the image is the one a build-up run finishes with.
TEST(StarTrailBuildUpRun, KeysAbsentLeaveTheRunAsItWas) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(5, 16, 4, {320, 240}, 9);
  const TrailFiles plain = writeRun(dir, frames, ", \"rejectionMode\": \"low\"");
  const std::string log = NL_runStarTrailNativeJob(plain.job, 2);
  ASSERT_EQ(logValue(log, "status"), "success") << log;
  EXPECT_EQ(log.find("buildUp"), std::string::npos);
  EXPECT_FALSE(fs::exists(plain.buildUp));
  const cv::Mat image = cv::imread(plain.output, cv::IMREAD_UNCHANGED);
  TempDir other;
  TrailFiles r = writeRun(other, frames, ", \"rejectionMode\": \"low\"" + withBuildUp(other, 5));
  const std::string built = NL_runStarTrailNativeJob(r.job, 2);
  ASSERT_EQ(logValue(built, "buildUpImages"), "1");
  EXPECT_EQ(cv::norm(cv::imread(r.output, cv::IMREAD_UNCHANGED), image, cv::NORM_INF), 0.0);
  // Line for line the same log, the timing, paths and build-up lines aside.
  const auto comparable = [](const std::string& text, const std::string& folder) {
    std::string out;
    std::istringstream lines(text);
    for (std::string l; std::getline(lines, l);)
      if (l.rfind("timingMs=", 0) != 0 && l.rfind("availablePhysicalRamMB=", 0) != 0 && l.rfind("buildUp", 0) != 0) out += l.substr(0, l.find(folder)) + "\n";
    return out;
  };
  EXPECT_EQ(comparable(built, other.path()), comparable(log, dir.path()));
}

// The video holds one frame per image, 8-bit colour of the frames' size
// cut to even sides (what video codecs take): plain colour, alpha and 16-bit
// frames, whose cut rows no longer lie end to end in memory;
// an existing video is numbered around, and a video alone needs no folder.
TEST(StarTrailBuildUpRun, VideoHoldsEveryImage) {
  struct Layout {
    int bits, channels;
  };
  for (const Layout l : {Layout{8, 4}, Layout{8, 3}, Layout{16, 3}}) {
    SCOPED_TRACE(std::to_string(l.bits) + "-bit, " + std::to_string(l.channels) + " channels");
    TempDir dir;
    const std::vector<cv::Mat> frames = night(7, l.bits, l.channels, {161, 121}, 6);
    const std::string video = dir.file("night.avi");
    writeFile(video, "the user's video");
    const TrailFiles r =
        writeRun(dir, frames, ", \"rejectionMode\": \"off\", \"buildUpEvery\": 2, \"buildUpVideo\": \"" + video + "\"");
    const std::string log = NL_runStarTrailNativeJob(r.job, 2);
    ASSERT_EQ(logValue(log, "status"), "success") << log;
    EXPECT_EQ(readFile(video), "the user's video");
    EXPECT_EQ(logValue(log, "buildUpOutput"), "<missing>");
    EXPECT_EQ(logValue(log, "buildUpImages"), "4");
    const std::string numbered = dir.file("night_1.avi");
#if defined(LUMIVEX_HAVE_VIDEOIO)
    ASSERT_EQ(logValue(log, "buildUpVideo"), numbered);
    cv::VideoCapture capture(numbered);
    ASSERT_TRUE(capture.isOpened());
    std::vector<cv::Mat> shown;
    for (cv::Mat f; capture.read(f);) shown.push_back(f.clone());
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown.back().size(), cv::Size(160, 120));  // an odd last row and column left out
    cv::Mat final = cv::imread(r.output, cv::IMREAD_UNCHANGED)(cv::Rect(0, 0, 160, 120));
    if (final.depth() == CV_16U) final.convertTo(final, CV_8U, 1.0 / 257.0);
    if (final.channels() == 4) cv::cvtColor(final, final, cv::COLOR_BGRA2BGR);
    EXPECT_LT(cv::norm(shown.back(), final, cv::NORM_L1) / double(final.total() * 3), 3.0);
    EXPECT_GT(cv::norm(shown.back(), shown.front(), cv::NORM_L1), 0.0);
#else
    EXPECT_EQ(logValue(log, "buildUpVideo").rfind("skipped (", 0), 0u);
    EXPECT_FALSE(fs::exists(numbered));
#endif
    for (const std::string& name : filesIn(dir.path())) EXPECT_FALSE(NL_isOwnTemporaryName(name)) << name;
  }
}

#if defined(LUMIVEX_HAVE_VIDEOIO)
// An .mp4 is MPEG-4 part 2 wherever the build has that encoder, on every
// platform: it keeps a few pictures of the video's size, where H.264 through
// FFmpeg looks some forty pictures ahead (hundreds of MB for a night of
// camera frames). Every image is in it, in order, the last the final image.
TEST(StarTrailBuildUpRun, Mp4VideoKeepsFewPictures) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(9, 8, 3, {130, 98}, 17);
  const std::string video = dir.file("night.mp4");
  const TrailFiles r = writeRun(dir, frames, ", \"rejectionMode\": \"medium\", \"buildUpVideo\": \"" + video + "\"");
  const std::string log = NL_runStarTrailNativeJob(r.job, 2);
  ASSERT_EQ(logValue(log, "status"), "success") << log;
  if (logValue(log, "buildUpVideo") != video) GTEST_SKIP() << "no .mp4 writer in this build: " << log;
  cv::VideoCapture capture(video);
  ASSERT_TRUE(capture.isOpened());
  const int fourcc = int(capture.get(cv::CAP_PROP_FOURCC));
  EXPECT_EQ(std::string({char(fourcc & 255), char((fourcc >> 8) & 255), char((fourcc >> 16) & 255),
                         char((fourcc >> 24) & 255)}),
            "mp4v");
  std::vector<cv::Mat> shown;
  for (cv::Mat f; capture.read(f);) shown.push_back(f.clone());
  ASSERT_EQ(shown.size(), frames.size());
  const cv::Mat final = cv::imread(r.output, cv::IMREAD_UNCHANGED);
  EXPECT_LT(cv::norm(shown.back(), final, cv::NORM_L1) / double(final.total() * 3), 3.0);
  EXPECT_GT(cv::norm(shown.back(), shown.front(), cv::NORM_L1), 0.0);
}

// Two workers may each hold a rendered image while the one before is
// written; the video still shows them in their order. Each video frame is
// nearer its own 16-bit image (made 8-bit) than any other image, on a night
// where every frame adds trail, with an image after every frame.
TEST(StarTrailBuildUpRun, VideoFramesComeInTheImagesOrder) {
  TempDir dir;
  const std::vector<cv::Mat> frames = night(14, 16, 3, {200, 150}, 11);
  const std::string video = dir.file("night.avi");
  const TrailFiles r = writeRun(dir, frames, ", \"rejectionMode\": \"off\"" +
                                                 withBuildUp(dir, 1, ", \"buildUpVideo\": \"" + video + "\""));
  const std::string log = NL_runStarTrailNativeJob(r.job, 2);
  ASSERT_EQ(logValue(log, "status"), "success") << log;
  std::vector<cv::Mat> images = readImages(r.buildUp, expectedNames(14, 1, "tif"));
  for (cv::Mat& image : images) image.convertTo(image, CV_8U, 1.0 / 257.0);
  cv::VideoCapture capture(video);
  ASSERT_TRUE(capture.isOpened());
  std::vector<cv::Mat> shown;
  for (cv::Mat f; capture.read(f);) shown.push_back(f.clone());
  ASSERT_EQ(shown.size(), images.size());
  for (size_t k = 0; k < shown.size(); ++k) {
    const double own = cv::norm(shown[k], images[k], cv::NORM_L1);
    for (size_t other = 0; other < images.size(); ++other) {
      if (other != k && cv::norm(images[other], images[k], cv::NORM_L1) > 0) {
        EXPECT_LT(own, cv::norm(shown[k], images[other], cv::NORM_L1)) << "video frame " << k << ", image " << other;
      }
    }
  }
}
#endif

}  // namespace
