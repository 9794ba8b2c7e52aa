// Star Trail bad frames: moonlight, lit cloud, headlights, dawn and dew
// found against the night itself on synthetic time-lapses of known truth,
// and left out of the trail or the foreground stack with their reasons.
#include "startrail/startrail.h"
#include "startrail/detail/rejection_planes.h"

#include "opencv_setup.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <string>
#include <vector>

namespace {

using synth::BadFrame;
using synth::BadFrameKind;
using testsupport::TempDir;
using testsupport::writeFile;

synth::TrailSettings night(int bits, std::uint64_t seed, int frames = 12) {
  synth::TrailSettings s;
  s.size = {480, 320};
  s.frames = frames;
  s.bits = bits;
  s.seed = seed;
  s.satelliteFrames = {};
  s.aircraftFrames = {};
  if (bits == 8) s.skyLevel = 0.06;  // an 8-bit export is lifted off black
  return s;
}

std::vector<NLStarTrailFrameMeasures> measures(const synth::Scene& scene, bool withMask) {
  std::vector<NLStarTrailFrameMeasures> out;
  for (const cv::Mat& f : scene.frames)
    out.push_back(NL_starTrailMeasureFrame(startrail_detail::luminancePlane(f), startrail_detail::fullScaleOf(f),
                                           withMask ? scene.skyMask : cv::Mat()));
  return out;
}

NLStarTrailBadFrameVerdict judged(const synth::TrailSettings& s, bool withMask = true) {
  return NL_starTrailJudgeFrames(measures(synth::makeTrailScene(s), withMask), withMask);
}

std::string describe(const NLStarTrailBadFrameVerdict& v) {
  std::string out;
  for (const NLStarTrailBadFrame& b : v.found)
    out += NL_starTrailBadFrameLine(b, "f" + std::to_string(b.frame), v.wholeFrame) + (b.ground ? " +ground" : "") + "\n";
  return out;
}

// The frames found, with the region each is bad in.
void expectFound(const NLStarTrailBadFrameVerdict& v, const std::vector<BadFrame>& truth) {
  ASSERT_EQ(v.found.size(), truth.size()) << describe(v);
  for (size_t k = 0; k < truth.size(); ++k) {
    EXPECT_EQ(v.found[k].frame, truth[k].frame) << describe(v);
    EXPECT_EQ(v.found[k].sky, synth::badFrameSpoilsSky(truth[k].kind)) << describe(v);
    if (truth[k].kind == BadFrameKind::Headlights) {
      EXPECT_TRUE(v.found[k].ground) << describe(v);
    }
  }
  EXPECT_FALSE(v.tooMany);
}

TEST(StarTrailBadFrames, EachKindIsFoundAtTheStartInTheMiddleAndAtTheEnd) {
  const BadFrameKind kinds[] = {BadFrameKind::Moon, BadFrameKind::Cloud, BadFrameKind::Headlights, BadFrameKind::Dawn,
                                BadFrameKind::Dew};
  std::uint64_t seed = 11;
  for (BadFrameKind kind : kinds)
    for (int at : {0, 6, 11}) {
      SCOPED_TRACE(std::string(synth::badFrameKindName(kind)) + " at " + std::to_string(at));
      synth::TrailSettings s = night(16, ++seed);
      s.badFrames = {{at, kind, 1.0}};
      expectFound(judged(s), s.badFrames);
    }
}

TEST(StarTrailBadFrames, TwoInARowAndEightBitFramesAreFound) {
  synth::TrailSettings s = night(16, 41, 14);
  s.badFrames = {{5, BadFrameKind::Cloud, 1.0}, {6, BadFrameKind::Cloud, 1.0}};
  expectFound(judged(s), s.badFrames);
  s.badFrames = {{12, BadFrameKind::Dawn, 0.6}, {13, BadFrameKind::Dawn, 1.0}};
  expectFound(judged(s), s.badFrames);
  synth::TrailSettings e = night(8, 43);
  e.badFrames = {{0, BadFrameKind::Moon, 1.0}, {4, BadFrameKind::Headlights, 1.0}, {8, BadFrameKind::Dew, 1.0},
                 {11, BadFrameKind::Cloud, 1.0}};
  expectFound(judged(e), e.badFrames);
}

TEST(StarTrailBadFrames, WithoutAMaskTheWholeFrameIsJudged) {
  synth::TrailSettings s = night(16, 47);
  s.badFrames = {{3, BadFrameKind::Moon, 1.0}, {9, BadFrameKind::Headlights, 1.0}};
  const NLStarTrailBadFrameVerdict v = judged(s, false);
  ASSERT_EQ(v.found.size(), 2u) << describe(v);
  EXPECT_TRUE(v.wholeFrame);
  EXPECT_EQ(v.found[0].frame, 3);
  EXPECT_EQ(v.found[1].frame, 9);
  EXPECT_TRUE(v.found[1].sky) << "without a mask the lit ground is part of the frame";
}

TEST(StarTrailBadFrames, SlowChangeAndCleanNightsExcludeNothing) {
  for (int bits : {8, 16}) {
    SCOPED_TRACE(bits);
    synth::TrailSettings clean = night(bits, 53 + bits, 16);
    clean.satelliteFrames = {-1};  // streaks are the rejection's, not spoiled frames
    clean.aircraftFrames = {-1};
    EXPECT_TRUE(judged(clean).found.empty()) << describe(judged(clean));
    synth::TrailSettings rising = night(bits, 59 + bits, 16);
    rising.nightBrightening = 2.0;  // the moon rising over the night triples the sky
    EXPECT_TRUE(judged(rising).found.empty()) << describe(judged(rising));
    synth::TrailSettings drift = night(bits, 61 + bits, 16);
    drift.exposureDrift = 0.8;
    EXPECT_TRUE(judged(drift).found.empty()) << describe(judged(drift));
    EXPECT_TRUE(judged(drift, false).found.empty()) << describe(judged(drift, false));
  }
}

TEST(StarTrailBadFramesJob, TheKeyReadsOffReportOrExcludeAndAnythingElseAsOff) {
  TempDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"{}", "off"}, {"{\"badFrames\": \"report\"}", "report"}, {"{\"badFrames\": \"exclude\"}", "exclude"},
      {"{\"badFrames\": \"Exclude\"}", "off"}, {"{\"badFrames\": true}", "off"}};
  for (const auto& c : cases) {
    writeFile(dir.file("job.json"), c.first);
    EXPECT_EQ(NL_parseStarTrailNativeJob(dir.file("job.json")).badFrames, c.second) << c.first;
  }
}

struct JobRun {
  std::string log;
  cv::Mat result;
};

std::vector<std::string> writeFrames(const TempDir& dir, const synth::Scene& scene) {
  std::vector<std::string> paths;
  for (size_t i = 0; i < scene.frames.size(); ++i) {
    paths.push_back(dir.file("IMG_" + std::to_string(1001 + i) + ".tif"));
    EXPECT_TRUE(cv::imwrite(paths.back(), scene.frames[i], {cv::IMWRITE_TIFF_COMPRESSION, 1}));
  }
  return paths;
}

std::string pathList(const std::vector<std::string>& paths) {
  std::string out;
  for (const std::string& p : paths) out += std::string(out.empty() ? "" : ", ") + "\"" + p + "\"";
  return "[" + out + "]";
}

JobRun runJob(const TempDir& dir, const std::vector<std::string>& inputs, const std::string& extra,
              const std::string& name) {
  const std::string job = dir.file(name + ".json");
  const std::string out = dir.file(name + ".tif");
  writeFile(job, "{\"inputs\": " + pathList(inputs) + ", \"output\": \"" + out + "\", \"replaceOutput\": true" +
                     extra + "}");
  JobRun r;
  r.log = NL_runStarTrailNativeJob(job, 2);
  r.result = cv::imread(out, -1);
  return r;
}

std::string withoutTiming(const std::string& log) {
  std::string out;
  size_t at = 0;
  while (at < log.size()) {
    const size_t end = log.find('\n', at);
    const std::string l = log.substr(at, end - at);
    if (l.rfind("timingMs=", 0) != 0 && l.rfind("availablePhysicalRamMB=", 0) != 0 && l.rfind("output=", 0) != 0) out += l + "\n";
    at = end == std::string::npos ? log.size() : end + 1;
  }
  return out;
}

TEST(StarTrailBadFramesJob, ExcludedFramesLeaveTheTrailAndTheLogNamesThem) {
  synth::TrailSettings s = night(16, 71, 10);
  s.badFrames = {{0, BadFrameKind::Moon, 1.0}, {6, BadFrameKind::Cloud, 1.0}};
  const synth::Scene scene = synth::makeTrailScene(s);
  TempDir dir;
  const std::vector<std::string> inputs = writeFrames(dir, scene);
  const JobRun off = runJob(dir, inputs, ", \"rejectionMode\": \"off\"", "plain");
  const JobRun offKey = runJob(dir, inputs, ", \"rejectionMode\": \"off\", \"badFrames\": \"off\"", "offkey");
  const JobRun excl = runJob(dir, inputs, ", \"rejectionMode\": \"off\", \"badFrames\": \"exclude\"", "excl");
  const JobRun rep = runJob(dir, inputs, ", \"rejectionMode\": \"off\", \"badFrames\": \"report\"", "rep");
  ASSERT_FALSE(off.result.empty());
  EXPECT_EQ(withoutTiming(off.log), withoutTiming(offKey.log));
  EXPECT_EQ(off.log.find("badFrame"), std::string::npos);
  EXPECT_EQ(cv::norm(off.result, offKey.result, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(off.result, rep.result, cv::NORM_INF), 0.0) << "report mode leaves every frame in";

  cv::Mat good;
  for (int i = 0; i < s.frames; ++i)
    if (i != 0 && i != 6) good = good.empty() ? scene.frames[size_t(i)].clone() : cv::max(good, scene.frames[size_t(i)]);
  ASSERT_FALSE(excl.result.empty()) << excl.log;
  EXPECT_EQ(cv::norm(excl.result, good, cv::NORM_INF), 0.0) << "the trail is the Lighten of the good frames exactly";
  EXPECT_NE(excl.log.find("\nbadFramesMode=exclude\nbadFramesFound=2\nbadFramesExcluded=2\n"), std::string::npos) << excl.log;
  EXPECT_NE(excl.log.find("\nbadFrame=0 IMG_1001.tif frame: background "), std::string::npos) << excl.log;
  EXPECT_NE(excl.log.find("\nbadFrame=6 IMG_1007.tif frame: "), std::string::npos) << excl.log;
  EXPECT_NE(rep.log.find("\nbadFramesMode=report\nbadFramesFound=2\nbadFramesExcluded=0\nbadFrameKept=0 IMG_1001.tif"),
            std::string::npos) << rep.log;
}

// Moonlit and dewed frames taking turns through the night: each stands out
// from its window, but together they are most of the night.
TEST(StarTrailBadFramesJob, MoreThanHalfBadLeavesEveryFrameInAndSaysSo) {
  synth::TrailSettings s = night(16, 83, 12);
  for (int i : {0, 3, 6, 9}) s.badFrames.push_back({i, BadFrameKind::Moon, 1.0});
  for (int i : {1, 4, 7, 10}) s.badFrames.push_back({i, BadFrameKind::Dew, 1.0});
  const synth::Scene scene = synth::makeTrailScene(s);
  TempDir dir;
  const std::vector<std::string> inputs = writeFrames(dir, scene);
  const JobRun off = runJob(dir, inputs, ", \"rejectionMode\": \"off\"", "off");
  const JobRun excl = runJob(dir, inputs, ", \"rejectionMode\": \"off\", \"badFrames\": \"exclude\"", "excl");
  ASSERT_FALSE(excl.result.empty()) << excl.log;
  EXPECT_NE(excl.log.find("\nbadFramesFound=8\nbadFramesExcluded=0\n"), std::string::npos) << excl.log;
  EXPECT_NE(excl.log.find("\nbadFramesNote=more than half of the frames stand out from the night (8 of 12)"),
            std::string::npos) << excl.log;
  EXPECT_EQ(excl.log.find("\nbadFrame="), std::string::npos) << excl.log;
  EXPECT_EQ(cv::norm(off.result, excl.result, cv::NORM_INF), 0.0);
}

TEST(StarTrailBadFramesJob, RejectionNeighboursSkipTheLeftOutFramesAndStreaksKeepTheirIndex) {
  synth::TrailSettings s = night(16, 73, 9);
  s.badFrames = {{3, BadFrameKind::Moon, 1.0}};
  s.satelliteFrames = {5};
  const synth::Scene scene = synth::makeTrailScene(s);
  TempDir dir;
  const std::string overlay = dir.file("overlay.png");
  const JobRun r = runJob(dir, writeFrames(dir, scene), ", \"badFrames\": \"exclude\", \"rejectionOverlay\": \"" + overlay + "\"", "rej");
  ASSERT_FALSE(r.result.empty()) << r.log;
  // The overlay gains a strip below the result's reduced image with the left-out frame's thumbnail.
  const cv::Mat strip = cv::imread(overlay, -1);
  ASSERT_EQ(strip.cols, s.size.width);
  EXPECT_GT(strip.rows, s.size.height + 200 * s.size.height / s.size.width);
  EXPECT_NE(r.log.find("\nbadFrame=3 IMG_1004.tif frame: "), std::string::npos) << r.log;
  EXPECT_NE(r.log.find("streak=frame=5,class=satellite"), std::string::npos) << r.log;
  // The moonlit frame's glow reaches the result nowhere.
  cv::Mat lit;
  cv::subtract(r.result, scene.cleanLighten, lit, cv::noArray(), CV_32F);
  EXPECT_LT(cv::mean(lit)[0], 0.01 * 65535) << "mean excess over the clean Lighten";
}

TEST(StarTrailBadFramesJob, LitGroundLeavesTheForegroundStackOnly) {
  synth::TrailSettings s = night(16, 79, 8);
  s.badFrames = {{2, BadFrameKind::Headlights, 1.0}};
  const synth::Scene scene = synth::makeTrailScene(s);
  TempDir dir;
  const std::vector<std::string> inputs = writeFrames(dir, scene);
  const std::string mask = dir.file("mask.png");
  ASSERT_TRUE(cv::imwrite(mask, scene.skyMask));
  const std::string extra = ", \"rejectionMode\": \"off\", \"badFrames\": \"exclude\", \"maskInput\": \"" + mask +
                            "\", \"foregroundInputs\": " + pathList(inputs) + ", \"foregroundOutput\": \"" +
                            dir.file("fg.tif") + "\", \"skyOutput\": \"" + dir.file("sky.tif") + "\"";
  const JobRun r = runJob(dir, inputs, extra, "ground");
  ASSERT_FALSE(r.result.empty()) << r.log;
  EXPECT_NE(r.log.find("\nbadFrame=2 IMG_1003.tif ground: ground "), std::string::npos) << r.log;
  // The sky still has frame 2's stars: its sky was fine.
  cv::Mat sky;
  for (const cv::Mat& f : scene.frames) sky = sky.empty() ? f.clone() : cv::max(sky, f);
  cv::Mat skyDiff;
  cv::absdiff(r.result, sky, skyDiff);
  double worstSky = 0.0;
  cv::minMaxLoc(skyDiff.reshape(1), nullptr, &worstSky, nullptr, nullptr, cv::Mat());
  cv::Mat maskedDiff;
  skyDiff.copyTo(maskedDiff, scene.skyMask);
  EXPECT_EQ(cv::norm(maskedDiff, cv::NORM_INF), 0.0);
  // The ground is no brighter than the unlit frames' ground anywhere near the lights.
  cv::Mat lit;
  cv::subtract(r.result, scene.frames[2], lit, 255 - scene.skyMask, CV_32F);
  double least = 0.0;
  cv::minMaxLoc(lit.reshape(1), &least);
  EXPECT_LT(least, -0.1 * 65535) << "the headlights' ground is not in the foreground";
}

}  // namespace
