// The Sky Blend job: job file, validation, stage order, failure logs and
// progress; end to end on synthetic drifting skies with known geometry.
#include "skyblend/skyblend.h"
#include "skyblend/detail/sky_stack.h"

#include "support.h"

#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

struct Progress {
  int percent = -1;
  std::string stage, detail;
};

Progress readProgress(const std::string& path) {
  Progress p;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("percent=", 0) == 0) p.percent = std::stoi(line.substr(8));
    if (line.rfind("stage=", 0) == 0) p.stage = line.substr(6);
    if (line.rfind("detail=", 0) == 0) p.detail = line.substr(7);
  }
  return p;
}

std::string jsonQuoted(const std::string& s) { return "\"" + s + "\""; }

// A job file whose named fields are replaced by the given JSON values.
std::string jobText(const TempDir& dir, const std::string& inputs, const std::string& reference = "\"r.tif\"",
                    const std::string& mask = "\"m.png\"", const std::string& blend = "\"b.tif\"",
                    const std::string& method = "\"auto\"") {
  return "{\"type\": \"skyblend-native-job\", \"inputs\": " + inputs + ", \"referencePath\": " + reference +
         ", \"skyMaskPath\": " + mask + ", \"outputs\": {\"sky\": \"s.tif\", \"foreground\": \"f.tif\", \"blend\": " +
         blend + "}, \"progress\": " + jsonQuoted(dir.file("p.txt")) + ", \"resultLog\": " + jsonQuoted(dir.file("log.txt")) +
         ", \"stackMethod\": " + method + "}";
}

TEST(SkyBlendJob, ReadsTheJobFile) {
  TempDir dir;
  NLSkyBlendNativeJob job = NL_parseSkyBlendNativeJob(jobText(dir, "[{\"path\": \"a\"}, {\"path\": \"b\"}]"));
  EXPECT_EQ(job.inputs, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(job.referencePath, "r.tif");
  EXPECT_EQ(job.skyMaskPath, "m.png");
  EXPECT_EQ(job.skyOutput, "s.tif");
  EXPECT_EQ(job.foregroundOutput, "f.tif");
  EXPECT_EQ(job.blendOutput, "b.tif");
  EXPECT_EQ(job.resultLog, dir.file("log.txt"));
  job = NL_parseSkyBlendNativeJob(jobText(dir, "[\"a\", \"b\", \"c\"]", "\"r\"", "\"m\"", "\"b\"", "\"\""));
  EXPECT_EQ(job.inputs.size(), 3u);
  EXPECT_EQ(job.stackMethod, "auto");
}

TEST(SkyBlendJob, ReferenceComesFirstOnce) {
  using V = std::vector<std::string>;
  EXPECT_EQ(NL_referenceFirstInputs({"a", "b", "c"}, "b"), (V{"b", "a", "c"}));
  EXPECT_EQ(NL_referenceFirstInputs({"a", "b", "c"}, "z"), (V{"z", "a", "b", "c"}));
  EXPECT_EQ(NL_referenceFirstInputs({"a", "b", "a"}, "a"), (V{"a", "b"}));
  EXPECT_EQ(NL_referenceFirstInputs({"a", "b"}, ""), (V{"a", "b"}));
}

TEST(SkyBlendJob, ValidationFailuresReachLogAndProgress) {
  TempDir dir;
  const std::string two = "[\"a\", \"b\"]";
  const std::pair<std::string, std::string> cases[] = {
      {jobText(dir, "[\"a\"]"),
       "Sky Blend failed: at least two input files are required. Parsed inputs=1. Check skyblend_job_native.json "
       "inputs[].path entries."},
      {jobText(dir, two, "\"\""), "Sky Blend failed: referencePath is empty."},
      {jobText(dir, two, "\"r\"", "\"\""), "Sky Blend failed: skyMaskPath is empty."},
      {jobText(dir, two, "\"r\"", "\"m\"", "\"\""), "Sky Blend failed: one or more output paths are empty."},
  };
  for (const auto& [text, expected] : cases) {
    writeFile(dir.file("skyblend_job_native.json"), text);
    EXPECT_EQ(NL_runSkyBlendNativeJob(dir.file("skyblend_job_native.json")), expected);
    EXPECT_EQ(readFile(dir.file("log.txt")), expected);
    const Progress p = readProgress(dir.file("p.txt"));
    EXPECT_EQ(p.percent, 100);
    EXPECT_EQ(p.stage, "Failed");
    EXPECT_EQ(p.detail, expected);
  }
  // An output on top of an input frame is refused before anything is read or written.
  writeFile(dir.file("a.tif"), "frame bytes");
  writeFile(dir.file("skyblend_job_native.json"),
            jobText(dir, "[" + jsonQuoted(dir.file("a.tif")) + ", \"b\"]", "\"r\"", "\"m\"", jsonQuoted(dir.file("a.tif"))));
  const std::string clash = "Sky Blend failed: blend output " + dir.file("a.tif") + " is the same file as input frame " +
                            dir.file("a.tif") + ".";
  EXPECT_EQ(NL_runSkyBlendNativeJob(dir.file("skyblend_job_native.json")), clash);
  EXPECT_EQ(readFile(dir.file("log.txt")), clash);
  EXPECT_EQ(readFile(dir.file("a.tif")), "frame bytes");
  // An unreadable job file counts no inputs and has nowhere to write.
  EXPECT_EQ(NL_runSkyBlendNativeJob(dir.file("missing.json")),
            "Sky Blend failed: at least two input files are required. Parsed inputs=0. Check "
            "skyblend_job_native.json inputs[].path entries.");
}

// Stages that record what they were given and succeed, unless told otherwise.
struct FakeStages {
  std::vector<std::string> ordered;
  std::string method;
  const NLSkyCoverage* skyCoverage = nullptr;
  const NLSkyCoverage* blendCoverage = nullptr;
  bool skyOk = true;
  bool blendThrows = false;
  std::string skyWrite, blendWrite;  // outputs the stages queue, when set

  NLSkyBlendStages stages() {
    NLSkyBlendStages s;
    s.skyStack = [this](const std::vector<std::string>& o, const NLSkyBlendNativeJob&, const std::string& m,
                        const NLProgressCallback& progress, std::string& message, NLSkyBlendShared& shared) {
      ordered = o, method = m, skyCoverage = &shared.coverage;
      for (int q : {0, 50, 30, 100}) progress(q, "x", "y");  // a late report never pulls the bar back
      if (!skyWrite.empty()) shared.writes.add(skyWrite, cv::Mat(2, 2, CV_8UC1, cv::Scalar(1)), "sky unwritten");
      message = skyOk ? "sky report\n" : "could not load input: a";
      return skyOk;
    };
    s.foregroundStack = [](const std::vector<std::string>&, const NLSkyBlendNativeJob&, const std::string&,
                           const NLProgressCallback& progress, std::string& message, NLSkyBlendShared&) {
      progress(100, "x", "y");
      message = "foreground report\n";
      return true;
    };
    s.blend = [this](const NLSkyBlendNativeJob&, NLSkyBlendShared& shared, std::string& message) {
      blendCoverage = &shared.coverage;
      if (!blendWrite.empty()) shared.writes.add(blendWrite, cv::Mat(2, 2, CV_8UC1, cv::Scalar(2)), "blend unwritten");
      if (blendThrows) throw cv::Exception(cv::Error::StsNoMem, "Failed to allocate", "blend", "blend.cpp", 1);
      message = "blend report\n";
      return true;
    };
    return s;
  }
};

TEST(SkyBlendJob, RunsStagesInOrderAndHandsCoverageOn) {
  TempDir dir;
  writeFile(dir.file("job.json"), jobText(dir, "[\"a\", \"b\", \"c\"]", "\"z\"", "\"m\"", "\"b.tif\"", "\"median\""));
  FakeStages fake;
  const std::string text = NL_runSkyBlendNativeJobWith(dir.file("job.json"), fake.stages());
  EXPECT_EQ(text,
            "Sky Blend Native completed.\ninputs = 4\nreference = z\nskyMask = m\nsky report\nforeground "
            "report\nblend report\n");
  EXPECT_EQ(readFile(dir.file("log.txt")), text);
  EXPECT_EQ(fake.ordered, (std::vector<std::string>{"z", "a", "b", "c"}));
  EXPECT_EQ(fake.method, "sigma");
  // The blend crops by the very coverage this run's sky stack filled.
  EXPECT_EQ(fake.blendCoverage, fake.skyCoverage);
  const Progress p = readProgress(dir.file("p.txt"));
  EXPECT_EQ(p.percent, 100);
  EXPECT_EQ(p.stage, "Completed");
  EXPECT_EQ(p.detail, "Sky Blend finished successfully.");
}

TEST(SkyBlendJob, StageFailureAndEscapingExceptionEndTheRun) {
  TempDir dir;
  writeFile(dir.file("job.json"), jobText(dir, "[\"a\", \"b\"]"));
  FakeStages failing;
  failing.skyOk = false;
  const std::string text = NL_runSkyBlendNativeJobWith(dir.file("job.json"), failing.stages());
  EXPECT_EQ(text, "Sky Blend failed during sky stack.\ncould not load input: a");
  EXPECT_EQ(readFile(dir.file("log.txt")), text);
  EXPECT_EQ(failing.blendCoverage, nullptr);
  Progress p = readProgress(dir.file("p.txt"));
  EXPECT_EQ(p.percent, 100);
  EXPECT_EQ(p.stage, "Failed");
  EXPECT_EQ(p.detail, "Sky stack failed.");

  FakeStages throwing;
  throwing.blendThrows = true;
  EXPECT_THROW(NL_runSkyBlendNativeJobWith(dir.file("job.json"), throwing.stages()), cv::Exception);
  const std::string log = readFile(dir.file("log.txt"));
  EXPECT_EQ(log.rfind("Sky Blend failed during blend preview.\n", 0), 0u) << log;
  EXPECT_NE(log.find("Failed to allocate"), std::string::npos) << log;
  p = readProgress(dir.file("p.txt"));
  EXPECT_EQ(p.percent, 100);
  EXPECT_EQ(p.stage, "Failed");
  EXPECT_EQ(p.detail, "Blend preview failed.");
}

// A queued output that cannot be written fails its own stage, after the
// later stages have computed: the same log and final progress as a write
// made at once, and no later output written.
TEST(SkyBlendJob, QueuedWriteFailureEndsTheRunAsItsStage) {
  TempDir dir;
  writeFile(dir.file("job.json"), jobText(dir, "[\"a\", \"b\"]"));
  FakeStages fake;
  fake.skyWrite = dir.file("missing/sky.tif");
  fake.blendWrite = dir.file("blend.tif");
  const std::string text = NL_runSkyBlendNativeJobWith(dir.file("job.json"), fake.stages());
  EXPECT_EQ(text, "Sky Blend failed during sky stack.\nsky unwritten (No such file or directory)");
  EXPECT_EQ(readFile(dir.file("log.txt")), text);
  EXPECT_FALSE(std::filesystem::exists(dir.file("blend.tif")));
  const Progress p = readProgress(dir.file("p.txt"));
  EXPECT_EQ(p.percent, 100);
  EXPECT_EQ(p.stage, "Failed");
  EXPECT_EQ(p.detail, "Sky stack failed.");

  FakeStages late;
  late.skyWrite = dir.file("sky.tif");
  late.blendWrite = dir.file("missing/blend.tif");
  EXPECT_EQ(NL_runSkyBlendNativeJobWith(dir.file("job.json"), late.stages()),
            "Sky Blend failed during blend preview.\nblend unwritten (No such file or directory)");
  EXPECT_TRUE(std::filesystem::exists(dir.file("sky.tif")));
  EXPECT_EQ(readProgress(dir.file("p.txt")).detail, "Blend preview failed.");
}

// ---- End to end on synthetic drifting skies ------------------------------------------

struct SkyJob {
  synth::Scene scene;
  std::vector<std::string> frames;  // file of scene frame i
  std::string mask, job, sky, foreground, blend, progress, log;
  int referenceFrame = 0;
  std::vector<int> ordered;         // scene frame index of each stacked input
  int anchor = 0;                   // scene frame index of the registration anchor
};

std::string pathArray(const std::vector<std::string>& paths) {
  std::string out = "[";
  for (const std::string& p : paths) out += (out.size() > 1 ? ", {\"path\": " : "{\"path\": ") + jsonQuoted(p) + "}";
  return out + "]";
}

// Writes the scene's frames and mask and a job with the given reference frame.
SkyJob writeSkyJob(const TempDir& dir, const synth::Scene& scene, int referenceFrame) {
  SkyJob j;
  j.scene = scene;
  j.referenceFrame = referenceFrame;
  for (size_t i = 0; i < scene.frames.size(); ++i) {
    j.frames.push_back(dir.file("frame_" + std::to_string(i) + ".tif"));
    cv::imwrite(j.frames.back(), scene.frames[i]);
  }
  j.mask = dir.file("mask.png");
  cv::imwrite(j.mask, scene.skyMask);
  j.sky = dir.file("sky.tif"), j.foreground = dir.file("fg.tif"), j.blend = dir.file("blend.tif");
  j.progress = dir.file("progress.txt"), j.log = dir.file("log.txt"), j.job = dir.file("skyblend_job_native.json");
  writeFile(j.job, "{\"inputs\": " + pathArray(j.frames) + ", \"referencePath\": " + jsonQuoted(j.frames[referenceFrame]) +
                       ", \"skyMaskPath\": " + jsonQuoted(j.mask) + ", \"outputs\": {\"sky\": " + jsonQuoted(j.sky) +
                       ", \"foreground\": " + jsonQuoted(j.foreground) + ", \"blend\": " + jsonQuoted(j.blend) +
                       "}, \"progress\": " + jsonQuoted(j.progress) + ", \"resultLog\": " + jsonQuoted(j.log) + "}");
  j.ordered.push_back(referenceFrame);
  for (int i = 0; i < int(scene.frames.size()); ++i)
    if (i != referenceFrame) j.ordered.push_back(i);
  j.anchor = j.ordered[j.ordered.size() / 2];
  return j;
}

synth::SkyBlendSettings smallScene(cv::Vec2d drift, int frames, std::uint64_t seed) {
  synth::SkyBlendSettings s;
  s.size = cv::Size(640, 420);
  s.sky.density = 1.2e-2;  // enough stars above the horizon of a small frame
  s.frames = frames;
  s.seed = seed;
  s.driftPerFrame = drift;
  s.rotationPerFrameDeg = 0.0;  // straight footprint edges, kept clear of half pixels by the drift
  return s;
}

// The same ground under a sky that has nothing to do with the scene's.
cv::Mat unrelatedFrame(const synth::Scene& scene, std::uint64_t seed) {
  synth::SkyBlendSettings s = smallScene({0.0, 0.0}, 1, seed);
  s.size = scene.frames[0].size();
  cv::Mat frame = synth::makeSkyBlendScene(s).frames[0];
  scene.frames[0].copyTo(frame, 255 - scene.skyMask);
  return frame;
}

// Offset of scene frame i on the anchor's canvas, from the true matrices.
cv::Point2d canvasOffset(const SkyJob& j, int i) {
  const cv::Matx33d toAnchor = j.scene.truth[j.anchor].frameToReference.inv() * j.scene.truth[i].frameToReference;
  return synth::applyHomography(toAnchor, {0.0, 0.0});
}

// The crop the true geometry calls for: a border line is cut while fewer than
// the required frames reach it (every used frame is a shifted full rectangle).
cv::Rect expectedCrop(const SkyJob& j, const std::vector<int>& used, cv::Size size) {
  const int m = std::max(int(std::ceil(0.6 * used.size())), 2);
  const auto reach = [&](double v, bool vertical) {
    int n = 0;
    for (int i : used) {
      const cv::Point2d o = canvasOffset(j, i);
      const double src = v - (vertical ? o.y : o.x);
      n += src > -0.5 && src < (vertical ? size.height : size.width) - 0.5;
    }
    return n;
  };
  int top = 0, left = 0, right = size.width - 1;
  while (reach(top, true) < m) ++top;
  while (reach(left, false) < m) ++left;
  while (reach(right, false) < m) --right;
  const int x0 = left ? left + 4 : 0, y0 = top ? top + 4 : 0;
  const int x1 = right == size.width - 1 ? right : right - 4;
  return cv::Rect(x0, y0, x1 - x0 + 1, size.height - y0);  // the bottom is ground, never judged
}

struct StarFit {
  cv::Point2d centre;
  double width = 0.0;  // px, rms radius of the light
};

StarFit measureStar(const cv::Mat& grey, cv::Point2d at) {
  const int r = 4, cx = int(std::lround(at.x)), cy = int(std::lround(at.y));
  std::vector<double> ring;
  for (int y = cy - r; y <= cy + r; ++y)
    for (int x = cx - r; x <= cx + r; ++x)
      if (std::abs(x - cx) == r || std::abs(y - cy) == r) ring.push_back(grey.at<float>(y, x));
  std::nth_element(ring.begin(), ring.begin() + ring.size() / 2, ring.end());
  const double background = ring[ring.size() / 2];
  double sw = 0, sx = 0, sy = 0, sr = 0;
  for (int y = cy - r + 1; y < cy + r; ++y)
    for (int x = cx - r + 1; x < cx + r; ++x) {
      const double w = std::max(0.0, grey.at<float>(y, x) - background);
      sw += w, sx += w * x, sy += w * y;
    }
  StarFit f{{sx / sw, sy / sw}, 0.0};
  for (int y = cy - r + 1; y < cy + r; ++y)
    for (int x = cx - r + 1; x < cx + r; ++x) {
      const double w = std::max(0.0, grey.at<float>(y, x) - background);
      sr += w * ((x - f.centre.x) * (x - f.centre.x) + (y - f.centre.y) * (y - f.centre.y));
    }
  f.width = std::sqrt(sr / sw);
  return f;
}

cv::Mat greyOf(const cv::Mat& image) {
  cv::Mat grey;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(grey, CV_32F);
  return grey;
}

// Bright, unsaturated, isolated stars of the anchor frame well inside the sky.
std::vector<synth::FrameStar> testStars(const SkyJob& j) {
  cv::Mat deepSky;
  cv::erode(j.scene.skyMask, deepSky, cv::Mat(), cv::Point(-1, -1), 30);
  const std::vector<synth::FrameStar>& all = j.scene.truth[j.anchor].stars;
  std::vector<synth::FrameStar> picked;
  for (const synth::FrameStar& s : all) {
    const cv::Point2d p = s.position;
    if (s.saturated || s.flux < 0.4 || p.x < 20 || p.y < 20 || p.x > deepSky.cols - 20) continue;
    if (!deepSky.at<uchar>(int(p.y), int(p.x))) continue;
    const bool crowded = std::any_of(all.begin(), all.end(), [&](const synth::FrameStar& o) {
      return &o != &s && cv::norm(o.position - p) < 7.0;
    });
    if (!crowded) picked.push_back(s);
  }
  return picked;
}

// Robust noise: median absolute deviation of the fine detail over deep sky.
double skyNoise(const cv::Mat& image, const cv::Mat& skyMask) {
  cv::Mat grey, smooth;
  cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  cv::medianBlur(grey, smooth, 5);
  cv::Mat deep;
  cv::erode(skyMask, deep, cv::Mat(), cv::Point(-1, -1), 30);
  std::vector<double> d;
  for (int y = 0; y < grey.rows; ++y)
    for (int x = 0; x < grey.cols; ++x)
      if (deep.at<uchar>(y, x)) d.push_back(std::abs(double(grey.at<ushort>(y, x)) - smooth.at<ushort>(y, x)));
  std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
  return d[d.size() / 2];
}

void checkSkyStack(const SkyJob& j) {
  const cv::Mat stack = cv::imread(j.sky, cv::IMREAD_UNCHANGED);
  const cv::Mat anchor = j.scene.frames[j.anchor];
  ASSERT_EQ(stack.size(), anchor.size());
  const cv::Mat gs = greyOf(stack), ga = greyOf(anchor);
  const std::vector<synth::FrameStar> stars = testStars(j);
  ASSERT_GE(stars.size(), 20u);
  double stackSq = 0, widthRatio = 0;
  for (const synth::FrameStar& s : stars) {
    const StarFit fs = measureStar(gs, s.position), fa = measureStar(ga, s.position);
    stackSq += std::pow(cv::norm(fs.centre - s.position), 2);
    widthRatio += fs.width / fa.width;
  }
  // On the anchor's own stars, and no wider than a single frame's: points, not smears.
  EXPECT_LT(std::sqrt(stackSq / stars.size()), 0.1);
  EXPECT_LT(widthRatio / stars.size(), 1.08);
  EXPECT_LT(skyNoise(stack, j.scene.skyMask), 0.75 * skyNoise(anchor, j.scene.skyMask));
}

// Ground is the foreground stack, deep sky the sky stack, seen through the crop.
void checkBlend(const SkyJob& j, const cv::Rect& crop) {
  const cv::Mat blend = cv::imread(j.blend, cv::IMREAD_UNCHANGED);
  const cv::Mat sky = cv::imread(j.sky, cv::IMREAD_UNCHANGED), fg = cv::imread(j.foreground, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(blend.size(), crop.size());
  // Hole closing may claim ground notches narrower than its 2 px radius, so
  // ground counts from 3 px below the painted horizon.
  cv::Mat toGround, toSky;
  cv::distanceTransform(j.scene.skyMask, toGround, cv::DIST_L2, cv::DIST_MASK_PRECISE, CV_32F);
  cv::distanceTransform(255 - j.scene.skyMask, toSky, cv::DIST_L2, cv::DIST_MASK_PRECISE, CV_32F);
  const cv::Mat deep = toGround >= 24.0f, ground = toSky >= 3.0f;
  EXPECT_EQ(cv::norm(blend, fg(crop), cv::NORM_INF, ground(crop)), 0.0);
  EXPECT_EQ(cv::norm(blend, sky(crop), cv::NORM_INF, deep(crop)), 0.0);
  // The ground of the stack is as sharp as the scene's: equal to one noise-free frame within noise.
  EXPECT_LT(cv::norm(fg, j.scene.frames[0], cv::NORM_L1, ground) / cv::countNonZero(ground) / 3.0, 200.0);
}

std::string logValue(const std::string& log, const std::string& key) {
  const size_t at = log.find("\n" + key + " = ");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 4;
  return log.substr(start, log.find('\n', start) - start);
}

std::string rectText(const cv::Rect& r) {
  return "x=" + std::to_string(r.x) + ", y=" + std::to_string(r.y) + ", w=" + std::to_string(r.width) +
         ", h=" + std::to_string(r.height);
}

// Reads the progress file while the job runs: it must never go back.
class ProgressWatch {
 public:
  explicit ProgressWatch(std::string path) : path_(std::move(path)), thread_([this] { loop(); }) {}
  ~ProgressWatch() { stop(); }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int backwards() const { return backwards_; }
  int reads() const { return reads_; }

 private:
  void loop() {
    int last = -1;
    while (!done_) {
      const Progress p = readProgress(path_);
      if (p.percent >= 0) {
        ++reads_;
        backwards_ += p.percent < last;
        last = std::max(last, p.percent);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string path_;
  std::atomic<bool> done_{false};
  int backwards_ = 0, reads_ = 0;
  std::thread thread_;
};

TEST(SkyBlendEndToEnd, TwoJobsAtOnceEachSharpCleanAndCroppedByItsOwnCoverage) {
  TempDir dirA, dirB;
  // Drifts whose multiples stay clear of half pixels, so no footprint edge is a coin toss.
  const SkyJob a = writeSkyJob(dirA, synth::makeSkyBlendScene(smallScene({2.1, 1.9}, 6, 11)), 0);
  // B drifts the other way, names a middle frame as reference, and one of its
  // frames shows an unrelated sky.
  synth::Scene sceneB = synth::makeSkyBlendScene(smallScene({-3.05, 2.05}, 7, 12));
  sceneB.frames[5] = unrelatedFrame(sceneB, 99);
  const SkyJob b = writeSkyJob(dirB, sceneB, 4);
  ASSERT_NE(b.anchor, 5);

  std::string logA, logB;
  {
    ProgressWatch watchA(a.progress);
    std::thread other([&] { logB = NL_runSkyBlendNativeJob(b.job); });
    logA = NL_runSkyBlendNativeJob(a.job);
    other.join();
    watchA.stop();
    EXPECT_EQ(watchA.backwards(), 0);
    EXPECT_GT(watchA.reads(), 0);
  }
  ASSERT_EQ(logA.rfind("Sky Blend Native completed.\ninputs = 6\n", 0), 0u) << logA;
  ASSERT_EQ(logB.rfind("Sky Blend Native completed.\ninputs = 7\nreference = " + b.frames[4] + "\n", 0), 0u) << logB;
  EXPECT_EQ(readFile(a.log), logA);
  const Progress end = readProgress(b.progress);
  EXPECT_EQ(end.percent, 100);
  EXPECT_EQ(end.stage, "Completed");

  EXPECT_EQ(logValue(logA, "skyRegistrationUsedFrames"), "6 / 6");
  EXPECT_EQ(logValue(logB, "skyRegistrationUsedFrames"), "6 / 7");
  // The unrelated frame is the sixth input in B's reference-first order.
  const int unrelated = int(std::find(b.ordered.begin(), b.ordered.end(), 5) - b.ordered.begin()) + 1;
  EXPECT_EQ(logValue(logB, "skyRegistrationFrame " + std::to_string(unrelated)).rfind("skipped | reason=", 0), 0u)
      << logB;

  std::vector<int> usedA{0, 1, 2, 3, 4, 5}, usedB{0, 1, 2, 3, 4, 6};
  const cv::Rect cropA = expectedCrop(a, usedA, a.scene.frames[0].size());
  const cv::Rect cropB = expectedCrop(b, usedB, b.scene.frames[0].size());
  ASSERT_NE(cropA, cropB);
  EXPECT_EQ(logValue(logA, "autoCoverageCropFrames"), "6");
  EXPECT_EQ(logValue(logB, "autoCoverageCropFrames"), "6");
  EXPECT_EQ(logValue(logA, "autoCoverageCropRect"), rectText(cropA)) << logA;
  EXPECT_EQ(logValue(logB, "autoCoverageCropRect"), rectText(cropB)) << logB;
  checkSkyStack(a);
  checkSkyStack(b);
  checkBlend(a, cropA);
  checkBlend(b, cropB);
}

// The job's stages without anything shared: every stage decodes its own
// frames and the blend reads both stacks back from their files. With
// budget > 0 the frames go through a store of that many bytes instead, so
// the frames beyond it are read again.
NLSkyBlendStages stagesSharing(size_t budget, bool share) {
  NLSkyBlendStages s = NL_skyBlendStages();
  if (share && budget == NLJobFrames::kDefaultImageBudget) return s;
  auto store = std::make_shared<NLJobFrames>(budget);
  s.skyStack = [store, share](const std::vector<std::string>& o, const NLSkyBlendNativeJob& job,
                              const std::string& m, const NLProgressCallback& progress, std::string& message,
                              NLSkyBlendShared& shared) {
    return NL_registeredSigmaReferenceCanvas(o, job.skyOutput, job.skyMaskPath, message, progress, m,
                                             &shared.coverage, share ? store.get() : nullptr);
  };
  s.foregroundStack = [store, share](const std::vector<std::string>& o, const NLSkyBlendNativeJob& job,
                                     const std::string& m, const NLProgressCallback& progress, std::string& message,
                                     NLSkyBlendShared&) {
    return NL_fixedSigmaStackToReferenceSize(o, job.foregroundOutput, message, progress, m,
                                             share ? store.get() : nullptr);
  };
  return s;
}

struct Written {
  std::string log, sky, foreground, blend;  // file bytes
};

Written runAndRead(const SkyJob& j, const NLSkyBlendStages& stages) {
  Written w{NL_runSkyBlendNativeJobWith(j.job, stages), readFile(j.sky), readFile(j.foreground), readFile(j.blend)};
  EXPECT_EQ(w.log.rfind("Sky Blend Native completed.\n", 0), 0u) << w.log;
  return w;
}

// Frames decoded once and stacks handed over in memory change nothing that
// is written: the same TIFF bytes and the same log, byte for byte, whether
// the store holds every frame, only some or none.
TEST(SkyBlendEndToEnd, SharedFramesAndStacksWriteTheSameFiles) {
  struct Case {
    int bits;
    int frames;
    int reference;
    const char* method;
  };
  for (const Case c : {Case{16, 5, 2, "\"auto\""}, Case{8, 4, 0, "\"average\""}}) {
    SCOPED_TRACE(c.method);
    TempDir dir;
    synth::SkyBlendSettings settings = smallScene({1.7, -1.3}, c.frames, 40 + c.bits);
    settings.bits = c.bits;
    SkyJob j = writeSkyJob(dir, synth::makeSkyBlendScene(settings), c.reference);
    std::string text = readFile(j.job);
    text.insert(text.rfind('}'), ", \"stackMethod\": " + std::string(c.method));
    writeFile(j.job, text);
    const Written alone = runAndRead(j, stagesSharing(0, false));
    const size_t frameBytes = j.scene.frames[0].total() * j.scene.frames[0].elemSize();
    for (size_t budget : {NLJobFrames::kDefaultImageBudget, 2 * frameBytes + 1}) {
      const Written shared = runAndRead(j, stagesSharing(budget, true));
      EXPECT_EQ(shared.log, alone.log);
      EXPECT_TRUE(shared.sky == alone.sky) << "sky stack differs, budget " << budget;
      EXPECT_TRUE(shared.foreground == alone.foreground) << "foreground stack differs, budget " << budget;
      EXPECT_TRUE(shared.blend == alone.blend) << "blend differs, budget " << budget;
    }
  }
}

TEST(SkyBlendEndToEnd, UnusableFramesFailWithTheirReasons) {
  TempDir dir;
  // Three frames of three different skies: nothing registers.
  synth::Scene mixed = synth::makeSkyBlendScene(smallScene({1.0, 1.0}, 3, 21));
  for (int i : {1, 2}) mixed.frames[i] = unrelatedFrame(mixed, 30 + i);
  SkyJob j = writeSkyJob(dir, mixed, 0);
  std::string log = NL_runSkyBlendNativeJob(j.job);
  EXPECT_EQ(log.rfind("Sky Blend failed during sky stack.\nReference-canvas sky stack failed: robust sky registration "
                      "rejected all moving frames\n",
                      0),
            0u)
      << log;
  EXPECT_NE(log.find("skyRegistrationMask = on\n"), std::string::npos);
  EXPECT_EQ(readFile(j.log), log);
  EXPECT_EQ(readProgress(j.progress).stage, "Failed");
  EXPECT_FALSE(std::filesystem::exists(j.sky));

  // A frame of another size stops the job before anything is written.
  cv::imwrite(j.frames[2], mixed.frames[2](cv::Rect(0, 0, 300, 200)));
  log = NL_runSkyBlendNativeJob(j.job);
  EXPECT_EQ(log, "Sky Blend failed during sky stack.\nReference-canvas sky stack failed: input image size/type "
                 "mismatch: " + j.frames[2]);
  const Progress p = readProgress(j.progress);
  EXPECT_EQ(p.percent, 100);
  EXPECT_EQ(p.detail, "Sky stack failed.");
  EXPECT_FALSE(std::filesystem::exists(j.sky));
}


// The sky stack warps and combines a band of canvas rows at a time; whatever
// the band height, it gives the stack, coverage, report and progress of
// warping every frame whole (one band of the canvas height) and combining
// after: 16-bit sigma with a slight turn, 8-bit average on a portrait frame,
// and a run where one frame of an unrelated sky is left out.
TEST(RegisteredSkyStack, BandsOfAnyHeightGiveTheWholeFrameStack) {
  struct Case {
    int bits;
    int frames;
    cv::Size size;
    double turnDeg;
    const char* method;
    int unrelated;  // frame replaced by another sky, or -1
  };
  for (const Case c : {Case{16, 4, {520, 360}, 0.04, "sigma", -1}, Case{8, 3, {300, 440}, 0.0, "average", -1},
                       Case{16, 4, {480, 340}, 0.0, "sigma", 3}}) {
    SCOPED_TRACE(std::to_string(c.bits) + "-bit " + c.method);
    TempDir dir;
    synth::SkyBlendSettings settings = smallScene({1.3, -0.9}, c.frames, 70 + c.bits + c.frames);
    settings.bits = c.bits;
    settings.size = c.size;
    settings.rotationPerFrameDeg = c.turnDeg;
    synth::Scene scene = synth::makeSkyBlendScene(settings);
    if (c.unrelated >= 0) scene.frames[size_t(c.unrelated)] = unrelatedFrame(scene, 99);
    const SkyJob j = writeSkyJob(dir, scene, 0);
    struct Run {
      bool ok = false;
      std::string text;
      NLSkyCoverage coverage;
      cv::Mat stack;
      std::vector<std::string> progress;
    };
    const auto run = [&](int bandRows) {
      Run r;
      std::mutex m;
      const NLProgressCallback progress = [&](int p, const std::string& stage, const std::string& detail) {
        std::lock_guard<std::mutex> lock(m);
        // Thinned row counts from the workers may drop a late one; the last row is always there.
        const std::string last = " row " + std::to_string(c.size.height) + " of ";
        if (detail.find(" row ") == std::string::npos || detail.find(last) != std::string::npos)
          r.progress.push_back(std::to_string(p) + " " + stage + " " + detail);
      };
      std::vector<std::string> paths;
      for (int i : j.ordered) paths.push_back(j.frames[size_t(i)]);
      r.ok = skyblend_detail::registeredSkyStack(paths, j.sky, j.mask,
                                                 r.text, progress, c.method, &r.coverage, nullptr, &r.stack, nullptr,
                                                 bandRows);
      return r;
    };
    const Run whole = run(c.size.height);
    ASSERT_TRUE(whole.ok) << whole.text;
    if (c.unrelated >= 0) {
      const std::string line = "skyRegistrationFrame " + std::to_string(c.unrelated + 1) + " = skipped";
      EXPECT_NE(whole.text.find(line), std::string::npos) << whole.text;
    }
    EXPECT_EQ(whole.coverage.frames, c.frames - (c.unrelated >= 0 ? 1 : 0));
    // The report names the thread count; everything else must match.
    const auto withoutThreads = [](std::string text) {
      const size_t at = text.find(", threads=");
      return at == std::string::npos ? text : text.erase(at, text.find('\n', at) - at);
    };
    const auto expectWhole = [&](const Run& banded) {
      ASSERT_TRUE(banded.ok) << banded.text;
      ASSERT_EQ(banded.stack.type(), whole.stack.type());
      EXPECT_EQ(cv::norm(banded.stack, whole.stack, cv::NORM_INF), 0.0);
      EXPECT_EQ(banded.coverage.frames, whole.coverage.frames);
      EXPECT_EQ(cv::norm(banded.coverage.map, whole.coverage.map, cv::NORM_INF), 0.0);
      EXPECT_EQ(withoutThreads(banded.text), withoutThreads(whole.text));
      EXPECT_EQ(banded.progress, whole.progress);
    };
    for (int rows : {7, 64}) {
      SCOPED_TRACE(rows);
      expectWhole(run(rows));
    }
    // Each warp spreads its rows over however many threads there are: one
    // thread and four give the same stack as the default.
    const int threadsBefore = cv::getNumThreads();
    for (int threads : {1, 4}) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      cv::setNumThreads(threads);
      const Run other = run(64);
      cv::setNumThreads(threadsBefore);
      expectWhole(other);
    }
  }
}

}  // namespace
