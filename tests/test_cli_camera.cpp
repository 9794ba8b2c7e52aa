// The job commands on frames as cameras write them: folders of JPEG and of
// DNG frames run end to end, their capture times in the log, and the RAW
// rendering the command asks for reaching every frame the job reads.
#include "plumbing/plumbing.h"
#include "camera_files.h"
#include "program_run.h"
#include "standin/host.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <iomanip>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using testsupport::lumivex;
using testsupport::ProgramRun;
using testsupport::shellQuote;
using testsupport::TempDir;

synth::SceneFiles sceneOf(const std::string& kind, const std::string& dir, int bits, const std::string& sky,
                          cv::Size size, int frames) {
  synth::SceneRequest request;
  request.scene = kind;
  request.dir = dir;
  request.size = size;
  request.frames = frames;
  if (bits) request.bits = bits;
  request.sky = sky;
  synth::SceneFiles files;
  std::string error;
  EXPECT_TRUE(synth::writeScene(request, files, error)) << error;
  return files;
}

// A DNG of the picture: the light the sensor saw before the camera's white balance.
camerafiles::Dng dngOf(const cv::Mat& picture) {
  camerafiles::Dng d;
  picture.convertTo(d.scene, CV_32F, picture.depth() == CV_16U ? 1.0 / 65535 : 1.0 / 255);
  cv::multiply(d.scene, cv::Scalar(d.neutral[2], d.neutral[1], d.neutral[0]), d.scene);
  return d;
}

// "2026:08:12 22:00:00" plus seconds, as a camera's clock writes it.
std::string clockAt(int seconds) {
  std::ostringstream s;
  s << "2026:08:12 " << std::setfill('0') << std::setw(2) << 22 + seconds / 3600 << ':' << std::setw(2)
    << seconds / 60 % 60 << ':' << std::setw(2) << seconds % 60;
  return s.str();
}

// The per-pixel maximum of the frames as the reader decodes them: what a
// trail without rejection must be, pixel for pixel.
cv::Mat lightenOf(const std::vector<std::string>& frames) {
  cv::Mat result;
  for (const std::string& f : frames) {
    const cv::Mat image = NL_imreadWithRetry(f, cv::IMREAD_UNCHANGED, 0, 0);
    EXPECT_FALSE(image.empty()) << f;
    if (result.empty()) result = image.clone();
    else result = cv::max(result, image);
  }
  return result;
}

bool hasLine(const std::string& log, const std::string& line) { return log.find("\n" + line + "\n") != std::string::npos; }

std::string trailCommand(const std::string& folder, const std::string& out, const std::string& extra = "") {
  return "trail " + shellQuote(folder) + " -o " + shellQuote(out) + " --reject off --bad-frames off" + extra;
}

}  // namespace

// A time-lapse camera's night: 8-bit JPEG frames 30 s apart, exposed 25 s,
// the last two frames named against the order they were taken in.
TEST(CameraFrames, TrailRunsOnAFolderOfJpegFramesAndLogsTheirCaptureTimes) {
  TempDir scene, frames, out;
  const synth::SceneFiles s = sceneOf("trail", scene.path(), 8, "sparse", {288, 208}, 5);
  std::vector<std::string> jpegs;
  for (size_t i = 0; i < s.frames.size(); ++i) {
    camerafiles::Shot shot;
    const int taken = i == 3 ? 4 : i == 4 ? 3 : int(i);
    shot.original = clockAt(30 * taken);
    shot.exposure = {25, 1};
    jpegs.push_back(frames.file("night_" + std::to_string(i) + ".jpg"));
    testsupport::writeFile(jpegs.back(), camerafiles::jpegWithShot(cv::imread(s.frames[i], cv::IMREAD_UNCHANGED), shot));
  }
  const std::string result = out.file("trail.tif");
  const ProgramRun r = lumivex(trailCommand(frames.path(), result));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(lvhost::resultLogReportsSuccess(r.out)) << r.out;
  EXPECT_TRUE(hasLine(r.out, "frames=5")) << r.out;
  for (const char* line : {"captureTimes=5 of 5", "frameIntervalS=30", "frameIntervalGaps=0", "exposureS=25",
                           "camera=Acme Night 1",
                           "captureOrderWarning=frame 4 night_4.jpg was taken 30 s before frame 3 night_3.jpg "
                           "listed ahead of it: name order and capture order disagree"})
    EXPECT_TRUE(hasLine(r.out, line)) << line << "\n" << r.out;
  const cv::Mat trail = cv::imread(result, cv::IMREAD_UNCHANGED);
  const cv::Mat expected = lightenOf(jpegs);
  ASSERT_EQ(trail.type(), expected.type());
  EXPECT_EQ(cv::norm(trail, expected, cv::NORM_INF), 0);
}

// A photographer's RAW frames: 16-bit DNG of a dense field, rendered as the
// camera would (the default) or linear when asked; the trail is the
// Lighten of exactly the frames the job decoded.
TEST(CameraFrames, TrailRunsOnAFolderOfDngFramesInTheRenderingAsked) {
  if (!NL_rawDecoderAvailable()) GTEST_SKIP() << "this build reads no camera RAW (built without LibRaw)";
  TempDir scene, frames, out;
  const synth::SceneFiles s = sceneOf("trail", scene.path(), 16, "", {256, 192}, 4);
  std::vector<std::string> dngs;
  for (size_t i = 0; i < s.frames.size(); ++i) {
    camerafiles::Dng d = dngOf(cv::imread(s.frames[i], cv::IMREAD_UNCHANGED));
    d.shot.original = clockAt(int(20 * i));
    d.shot.subSecond = "5";
    d.shot.exposure = {15, 1};
    d.bigEndian = i % 2 == 1;
    dngs.push_back(frames.file("IMG_" + std::to_string(1000 + i) + ".DNG"));
    testsupport::writeFile(dngs.back(), camerafiles::dngFile(d));
  }
  cv::Mat linear;
  {
    const NLRawRenderingScope scope(dngs, NLRawRendering::Linear);
    linear = lightenOf(dngs);
  }
  const cv::Mat camera = lightenOf(dngs);
  ASSERT_GT(cv::norm(linear, camera, cv::NORM_INF), 1000) << "the two renderings differ";

  for (const std::string& rendering : {std::string(), std::string("linear"), std::string("camera")}) {
    SCOPED_TRACE("--raw " + rendering);
    const std::string result = out.file("trail_" + rendering + ".tif");
    const ProgramRun r = lumivex(trailCommand(frames.path(), result, rendering.empty() ? "" : " --raw " + rendering));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* line : {"frames=4", "captureTimes=4 of 4", "frameIntervalS=20", "exposureS=15", "camera=Acme Night 1"})
      EXPECT_TRUE(hasLine(r.out, line)) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("captureOrderWarning"), std::string::npos) << r.out;
    const cv::Mat trail = cv::imread(result, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(trail.type(), CV_16UC3);
    EXPECT_EQ(cv::norm(trail, rendering == "linear" ? linear : camera, cv::NORM_INF), 0);
  }
}

// Star Glow takes one image: a camera's JPEG or its RAW file as well as an
// editor's TIFF, each decoded by the frame reader and glowing the same way.
TEST(CameraFrames, GlowTakesAJpegAndARawImage) {
  TempDir scene, out;
  const synth::SceneFiles s = sceneOf("glow", scene.path(), 0, "", {240, 160}, 1);
  const cv::Mat picture = cv::imread(s.frames[0], cv::IMREAD_UNCHANGED);
  std::vector<std::string> images{out.file("glow.jpg")};
  cv::Mat eight;
  picture.convertTo(eight, CV_8U, picture.depth() == CV_16U ? 1.0 / 257 : 1.0);
  testsupport::writeFile(images[0], camerafiles::jpegWithShot(eight, camerafiles::Shot()));
  if (NL_rawDecoderAvailable()) {
    images.push_back(out.file("glow.dng"));
    testsupport::writeFile(images.back(), camerafiles::dngFile(dngOf(picture)));
  }
  for (const std::string& image : images) {
    SCOPED_TRACE(image);
    const std::string result = image + ".tif";
    const ProgramRun r = lumivex("glow " + shellQuote(image) + " -o " + shellQuote(result) + " --final");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("status = success"), std::string::npos) << r.out;
    const cv::Mat glow = cv::imread(result, cv::IMREAD_UNCHANGED);
    const cv::Mat input = NL_imreadWithRetry(image, cv::IMREAD_UNCHANGED, 0, 0);
    ASSERT_EQ(glow.size(), input.size());
    // the screen composite only brightens, and the stars do glow
    cv::Mat in16;
    input.convertTo(in16, CV_16U, input.depth() == CV_8U ? 257 : 1);
    cv::Mat darker;
    cv::compare(glow, in16, darker, cv::CMP_LT);
    EXPECT_LT(cv::countNonZero(darker.reshape(1)), int(darker.total() / 100)) << "screening never darkens";
    EXPECT_GT(cv::norm(glow, in16, cv::NORM_L1) / double(in16.total()), 1.0) << "nothing glowed";
  }
}

// The registered stack reads its RAW frames through the same reader: a
// dense field's DNG frames register and stack to the decoded picture's size.
TEST(CameraFrames, StackRegistersAndStacksDngFrames) {
  if (!NL_rawDecoderAvailable()) GTEST_SKIP() << "this build reads no camera RAW (built without LibRaw)";
  TempDir scene, frames, out;
  const synth::SceneFiles s = sceneOf("stack", scene.path(), 0, "", {320, 240}, 4);
  for (size_t i = 0; i < s.frames.size(); ++i)
    testsupport::writeFile(frames.file("DSC_" + std::to_string(2000 + i) + ".dng"),
                           camerafiles::dngFile(dngOf(cv::imread(s.frames[i], cv::IMREAD_UNCHANGED))));
  const std::string result = out.file("stacked.tif");
  const ProgramRun r = lumivex("stack " + shellQuote(frames.path()) + " -o " + shellQuote(result) + " --raw linear");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const cv::Mat stacked = cv::imread(result, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(stacked.type(), CV_16UC3);
  // the registered canvas holds every frame
  EXPECT_GE(stacked.cols, 320);
  EXPECT_GE(stacked.rows, 240);
  EXPECT_TRUE(lvhost::resultLogReportsSuccess(r.out)) << r.out;
  EXPECT_EQ(r.out.find("\ninputs = 1\n"), std::string::npos) << "at least two frames stacked\n" << r.out;
}
