// Star Trail gap filling: frames taken with the shutter open 40-70 % of each
// interval, against the same stars rendered without the pauses.
#include "startrail/startrail.h"
#include "startrail/detail/gap_fill.h"

#include "opencv_setup.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

namespace {

using startrail_detail::SkyMotion;
using testsupport::TempDir;
using testsupport::writeFile;

struct JobRun {
  std::string log;
  cv::Mat result;
};

struct JobFiles {
  std::string mask;                     // sky mask PNG; empty: none
  std::vector<cv::Mat> foreground;      // foreground frames; with a mask, a composite is made
};

std::string pathList(const TempDir& dir, const std::string& stem, const std::vector<cv::Mat>& frames) {
  std::string list;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string path = dir.file(stem + std::to_string(i) + ".tif");
    EXPECT_TRUE(cv::imwrite(path, frames[i], {cv::IMWRITE_TIFF_COMPRESSION, 1}));
    list += (i ? ", {\"path\": \"" : "{\"path\": \"") + path + "\"}";
  }
  return list;
}

// Writes the frames and a job with the extra keys, runs it with the given
// logical thread count.
JobRun runJob(const TempDir& dir, const std::vector<cv::Mat>& frames, const std::string& extra,
              const JobFiles& files = {}, unsigned threads = 2) {
  std::string job = "{\"inputs\": [" + pathList(dir, "frame", frames) + "], \"output\": \"" + dir.file("trail.tif") + "\"";
  if (!files.mask.empty()) job += ", \"maskInput\": \"" + files.mask + "\"";
  if (!files.foreground.empty())
    job += ", \"foregroundInputs\": [" + pathList(dir, "ground", files.foreground) + "], \"foregroundOutput\": \"" +
           dir.file("ground_stack.tif") + "\"";
  const std::string jobPath = dir.file("startrail_job_native.json");
  writeFile(jobPath, job + extra + ", \"replaceOutput\": true}");
  JobRun r;
  r.log = NL_runStarTrailNativeJob(jobPath, threads);
  r.result = cv::imread(dir.file("trail.tif"), -1);
  return r;
}

// The gap fill line of a log, or an empty string.
std::string gapLine(const std::string& log) {
  std::smatch m;
  return std::regex_search(log, m, std::regex("gapFill=[^\\n]*")) ? m.str() : std::string();
}

double loggedShare(const std::string& log) {
  std::smatch m;
  if (!std::regex_search(log, m, std::regex("gapFill=([0-9.]+) \\("))) return -1.0;
  return std::stod(m[1].str());
}

// A gapped night with its gapless truth and no streaks.
synth::TrailSettings gappedNight(double duty, std::uint64_t seed) {
  synth::TrailSettings s;
  s.size = {480, 320};
  s.frames = 7;
  s.seed = seed;
  s.sky.density = 1.2e-3;
  s.degreesPerFrame = 1.6;
  s.dutyCycle = duty;
  s.gaplessTruth = true;
  s.satelliteFrames = {};
  s.aircraftFrames = {};
  s.groundLights = 4;
  return s;
}

// A sparse, light-polluted sky exported in 8 bits.
synth::TrailSettings sparse8(synth::TrailSettings s) {
  s.bits = 8;
  s.sky = synth::sparseSky();
  s.sky.density = 4.0e-4;
  s.sky.planets = 0;
  s.skyLevel = 0.15;
  return s;
}

// A gapped night of the given depth, sky speed (degrees per interval) and pole.
synth::TrailSettings nightOf(double duty, int bits, double degrees, cv::Point2d pole, std::uint64_t seed) {
  synth::TrailSettings s = gappedNight(duty, seed);
  if (bits == 8) s = sparse8(s);
  s.degreesPerFrame = degrees;
  s.pole = pole;
  return s;
}

double levelFor(int bits) { return bits == 8 ? 8.0 / 255.0 : 0.01; }

// Frame i + 1 onto frame i from the scene's truth (frame to reference).
cv::Mat nextOntoThis(const synth::Scene& scene, int i) {
  const cv::Matx33d m = scene.truth[size_t(i)].frameToReference.inv() * scene.truth[size_t(i + 1)].frameToReference;
  return cv::Mat(m).clone();
}

cv::Mat luminance(const cv::Mat& image) {
  cv::Mat f, g;
  image.convertTo(f, CV_32F);
  cv::cvtColor(f, g, cv::COLOR_BGR2GRAY);
  return g;
}

// ---- The sky's motion and its shares ------------------------------------------

TEST(StarTrailGapMotion, ARotationIsInterpolatedAlongItsArc) {
  const cv::Point2d pole(300.0, -250.0);
  const double degrees = 2.4;
  const cv::Matx33d turn = synth::makeHomography(pole, degrees, 1.0, {0, 0});  // this frame onto the next
  const SkyMotion motion(cv::Mat(cv::Matx33d(turn.inv())), {640, 480});
  ASSERT_TRUE(motion.valid());
  for (const cv::Point2d p : {cv::Point2d(10, 10), cv::Point2d(600, 400), cv::Point2d(320, 240)}) {
    const double r = cv::norm(p - pole), a0 = std::atan2(p.y - pole.y, p.x - pole.x);
    for (double s : {0.0, 0.25, 0.5, 0.9, 1.0}) {
      const cv::Point2d q = motion.at(p, s);
      // on the circle about the pole, turned by the share of the angle
      EXPECT_NEAR(cv::norm(q - pole), r, 1e-6);
      EXPECT_NEAR(std::atan2(q.y - pole.y, q.x - pole.x) - a0, s * degrees * CV_PI / 180.0, 1e-9);
    }
  }
  // the corner farthest from the pole moves furthest: a chord of its circle
  const double farthest = cv::norm(cv::Point2d(639, 479) - pole);
  EXPECT_NEAR(motion.largestStep(), 2.0 * farthest * std::sin(degrees * CV_PI / 360.0), 1e-6);
}

TEST(StarTrailGapMotion, ShiftsAndResidualsAreReachedAtTheWholeInterval) {
  // a plain shift: the share of the shift
  const SkyMotion shift(cv::Mat(cv::Matx33d(1, 0, -6, 0, 1, 3, 0, 0, 1)), {200, 100});
  ASSERT_TRUE(shift.valid());
  EXPECT_NEAR(cv::norm(shift.at({50, 50}, 0.5) - cv::Point2d(53, 48.5)), 0.0, 1e-9);
  // a turn with some shear and perspective: the registration's own map at s = 1
  const cv::Matx33d h(0.9995, -0.012, 4.0, 0.0121, 1.0003, -2.5, 2e-7, -1e-7, 1.0);
  const SkyMotion general(cv::Mat(h), {400, 300});
  ASSERT_TRUE(general.valid());
  const cv::Matx33d forward = h.inv();
  for (const cv::Point2d p : {cv::Point2d(0, 0), cv::Point2d(399, 299), cv::Point2d(200, 150)}) {
    const cv::Vec3d q = forward * cv::Vec3d(p.x, p.y, 1.0);
    EXPECT_LT(cv::norm(general.at(p, 1.0) - cv::Point2d(q[0] / q[2], q[1] / q[2])), 0.05);
    EXPECT_LT(cv::norm(general.at(p, 0.0) - p), 1e-9);
  }
  EXPECT_FALSE(SkyMotion(cv::Mat(), {10, 10}).valid());
  EXPECT_FALSE(SkyMotion(cv::Mat::zeros(3, 3, CV_64F), {10, 10}).valid());
}

TEST(StarTrailGapMotion, StepsCoverTheGapCloselyEnoughForArcsToJoin) {
  for (double gap : {0.3, 0.5, 0.6}) {
    for (double step : {1.5, 6.0, 25.0}) {
      const std::vector<double> s = startrail_detail::gapSteps(gap, step);
      ASSERT_FALSE(s.empty());
      EXPECT_DOUBLE_EQ(s.back(), gap);
      // consecutive copies never further apart than half a pixel or a share of the arc
      const double apart = (s.size() > 1 ? s[1] - s[0] : s[0]) * step;
      EXPECT_LE(apart, std::max(0.5, 0.4 * (1.0 - gap) * step) + 1e-9) << gap << " " << step;
    }
  }
  EXPECT_TRUE(startrail_detail::gapSteps(0.0, 10.0).empty());
  EXPECT_TRUE(startrail_detail::gapSteps(0.5, 0.0).empty());
}

TEST(StarTrailGapShare, CaptureTimesGiveTheClosedShare) {
  // 20 s exposures every 25 s, sub-second times, one frame missing from the run
  std::vector<NLCaptureInfo> c;
  for (int i : {0, 1, 2, 4, 5, 6}) {
    NLCaptureInfo info;
    info.hasTime = true, info.timeSeconds = 1000.25 + 25.0 * i;
    info.hasExposure = true, info.exposureSeconds = 20.0;
    c.push_back(info);
  }
  EXPECT_NEAR(startrail_detail::gapShareFromCaptures(c), 0.2, 1e-12);
  std::vector<NLCaptureInfo> noTimes = c;
  for (NLCaptureInfo& info : noTimes) info.hasTime = false;
  EXPECT_LT(startrail_detail::gapShareFromCaptures(noTimes), 0.0);
  std::vector<NLCaptureInfo> noExposure = c;
  for (NLCaptureInfo& info : noExposure) info.hasExposure = false;
  EXPECT_LT(startrail_detail::gapShareFromCaptures(noExposure), 0.0);
  // exposures longer than the interval (a clock set wrong): no gap; a tiny exposure: at most 0.9
  std::vector<NLCaptureInfo> longer = c, tiny = c;
  for (NLCaptureInfo& info : longer) info.exposureSeconds = 40.0;
  for (NLCaptureInfo& info : tiny) info.exposureSeconds = 0.5;
  EXPECT_EQ(startrail_detail::gapShareFromCaptures(longer), 0.0);
  EXPECT_EQ(startrail_detail::gapShareFromCaptures(tiny), 0.9);
  EXPECT_LT(startrail_detail::gapShareFromCaptures({}), 0.0);
}

struct TrailCase {
  double duty, degrees;
  int bits;
  cv::Point2d pole;
};

class GapShareFromTrails : public ::testing::TestWithParam<TrailCase> {};

// The arcs' length against the motion, on skies of several depths, speeds and poles.
TEST_P(GapShareFromTrails, MatchesTheShutter) {
  const TrailCase c = GetParam();
  synth::TrailSettings s = nightOf(c.duty, c.bits, c.degrees, c.pole, 31);
  s.frames = 3;
  s.gaplessTruth = false;
  const synth::Scene scene = synth::makeTrailScene(s);
  const SkyMotion motion(nextOntoThis(scene, 0), s.size);
  const double full = s.bits == 8 ? 255.0 : 65535.0;
  const double share = startrail_detail::gapShareFromTrails(luminance(scene.frames[0]), motion, full, scene.skyMask);
  EXPECT_NEAR(share, 1.0 - c.duty, 0.08);
}

INSTANTIATE_TEST_SUITE_P(Skies, GapShareFromTrails,
                         ::testing::Values(TrailCase{0.5, 1.6, 16, {-1, -1}}, TrailCase{0.4, 2.2, 16, {240, 120}},
                                           TrailCase{0.7, 1.2, 16, {-200, 100}}, TrailCase{0.55, 1.8, 8, {-1, -1}},
                                           TrailCase{0.65, 2.5, 8, {100, -300}}));

// ---- The job on gapped nights --------------------------------------------------

struct NightCase {
  const char* name;
  double duty, degrees;
  int bits;
  cv::Size size;
  cv::Point2d pole;
  const char* keys;     // job keys besides the inputs and output
  const char* source;   // the share's source the log names
};

std::ostream& operator<<(std::ostream& o, const NightCase& c) { return o << c.name; }

class GapFillJob : public ::testing::TestWithParam<NightCase> {};

// Without the fill the trails are dashes; with it at least nine in ten of
// the missing pixels come up to what the frames' own arcs, carried with the
// sky, reach (the continuous trail's level where an arc is longer than a
// star), and the sky away from the trails stays as dark as the plain
// Lighten left it.
TEST_P(GapFillJob, FillsTheMissingTrailAndRaisesNoSky) {
  const NightCase c = GetParam();
  synth::TrailSettings s = nightOf(c.duty, c.bits, c.degrees, c.pole, 41);
  s.size = c.size;
  const synth::Scene scene = synth::makeTrailScene(s);
  TempDir dir;
  const JobRun plain = runJob(dir, scene.frames, std::string(", ") + c.keys);
  const JobRun filled = runJob(dir, scene.frames, std::string(", ") + c.keys + ", \"fillGaps\": true");
  ASSERT_NE(filled.log.find("status=success"), std::string::npos) << filled.log;
  const double level = levelFor(c.bits);
  const synth::GapFigures before = synth::gapFigures(scene, plain.result, level);
  const synth::GapFigures after = synth::gapFigures(scene, filled.result, level);
  ASSERT_GT(before.missing, 500);  // the night really is dashed
  EXPECT_LT(before.filled, 0.5);
  EXPECT_GE(after.filled, 0.9);
  EXPECT_LT(after.falseRaised, 0.005);
  EXPECT_NE(gapLine(filled.log).find(std::string("(") + c.source + ")"), std::string::npos) << filled.log;
  EXPECT_NEAR(loggedShare(filled.log), 1.0 - c.duty, 0.08);
  EXPECT_EQ(gapLine(plain.log), "");
}

INSTANTIATE_TEST_SUITE_P(
    Nights, GapFillJob,
    ::testing::Values(
        NightCase{"Dense16Rejection", 0.5, 1.6, 16, {480, 320}, {-1, -1}, "\"rejectionMode\": \"medium\"", "estimated from trails"},
        NightCase{"Sparse8Direct", 0.6, 1.8, 8, {480, 320}, {-1, -1}, "\"rejectionMode\": \"off\", \"gapFraction\": 0.4", "job file"},
        NightCase{"PoleInsideDirect", 0.4, 2.0, 16, {400, 400}, {230, 150}, "\"rejectionMode\": \"off\"", "estimated from trails"},
        NightCase{"PortraitPoleLeft", 0.7, 1.4, 16, {360, 520}, {-300, 100}, "\"rejectionMode\": \"high\"", "estimated from trails"}),
    [](const ::testing::TestParamInfo<NightCase>& info) { return std::string(info.param.name); });

// A gap longer than a star's image leaves clear dashes; a shorter one only
// dips between arcs that touch. Both close; the short one without the
// motion being measurable from the arcs, so the share comes from the job.
TEST(StarTrailGapFill, GapsLongerAndShorterThanAStarClose) {
  struct Case {
    double duty, degrees;
    const char* keys;
  };
  // motion per interval about 7-14 px (gap 4-8 px) and about 2-4 px (gap 1-1.5 px) against a 2.4 px star
  for (const Case c : {Case{0.45, 2.0, ""}, Case{0.6, 0.55, ", \"gapFraction\": 0.4"}}) {
    synth::TrailSettings s = gappedNight(c.duty, 43);
    s.degreesPerFrame = c.degrees;
    const synth::Scene scene = synth::makeTrailScene(s);
    TempDir dir;
    const std::string keys = std::string(", \"rejectionMode\": \"off\", \"fillGaps\": true") + c.keys;
    const JobRun r = runJob(dir, scene.frames, keys);
    ASSERT_NE(r.log.find("status=success"), std::string::npos) << r.log;
    const synth::GapFigures f = synth::gapFigures(scene, r.result, levelFor(16));
    EXPECT_GT(f.missing, 100) << c.duty;
    EXPECT_GE(f.filled, 0.9) << c.duty;
    EXPECT_LT(f.falseRaised, 0.005) << c.duty;
    EXPECT_NEAR(loggedShare(r.log), 1.0 - c.duty, 0.08) << r.log;
  }
}

cv::Mat groundOf(const synth::Scene& scene) { return scene.skyMask == 0; }

// Pixels of `region` where b stands above a by more than the level (full scale).
int raisedPixels(const cv::Mat& a, const cv::Mat& b, const cv::Mat& region, double level, int bits) {
  const double full = bits == 8 ? 255.0 : 65535.0;
  return cv::countNonZero(((luminance(b) - luminance(a)) > level * full) & region);
}

// With a sky mask and a foreground the ground is the foreground stack's,
// the seam band included: not one of its pixels changes when the gaps are
// filled. Without a mask the landscape's lights stay where they are.
TEST(StarTrailGapFill, TheGroundNeverSmears) {
  synth::TrailSettings s = gappedNight(0.5, 44);
  s.groundLights = 8;
  s.groundFraction = 0.3;
  const synth::Scene scene = synth::makeTrailScene(s);
  TempDir dir;
  JobFiles composite;
  composite.mask = dir.file("sky_mask.png");
  ASSERT_TRUE(cv::imwrite(composite.mask, scene.skyMask));
  composite.foreground = {scene.frames[0], scene.frames[3], scene.frames[6]};
  const JobRun plain = runJob(dir, scene.frames, ", \"rejectionMode\": \"medium\"", composite);
  const JobRun filled = runJob(dir, scene.frames, ", \"rejectionMode\": \"medium\", \"fillGaps\": true", composite);
  ASSERT_NE(filled.log.find("status=success"), std::string::npos) << filled.log;
  const cv::Mat ground = groundOf(scene);
  cv::Mat delta;
  cv::absdiff(plain.result, filled.result, delta);
  cv::cvtColor(delta, delta, cv::COLOR_BGR2GRAY);
  EXPECT_EQ(cv::countNonZero((delta > 0) & ground), 0);  // any channel's difference shows in the grey
  EXPECT_GE(synth::gapFigures(scene, filled.result, levelFor(16)).filled, 0.9);  // the sky was filled

  // no mask: the lights on the ground (3 px and more below the horizon) stay put
  const JobRun bare = runJob(dir, scene.frames, ", \"rejectionMode\": \"off\"");
  const JobRun bareFilled = runJob(dir, scene.frames, ", \"rejectionMode\": \"off\", \"fillGaps\": true");
  cv::Mat deepGround;
  cv::erode(ground, deepGround, cv::getStructuringElement(cv::MORPH_RECT, {7, 7}));
  EXPECT_EQ(raisedPixels(bare.result, bareFilled.result, deepGround, levelFor(16), 16), 0);
  EXPECT_GE(synth::gapFigures(scene, bareFilled.result, levelFor(16)).filled, 0.9);
}

// Satellites in the first, a middle and the last frame, removed by the
// rejection: the fill carries the cleaned frames, so nothing of a streak is
// dragged along with the stars.
TEST(StarTrailGapFill, ARemovedSatelliteIsNotDraggedAlong) {
  synth::TrailSettings s = gappedNight(0.55, 45);
  s.satelliteFrames = {0, 3, 6};
  s.satellitePeakMin = 0.1;
  s.satellitePeakMax = 0.4;
  const synth::Scene scene = synth::makeTrailScene(s);
  cv::Mat streaks = cv::Mat::zeros(s.size, CV_8U), band;
  for (const synth::TrailTruth& t : scene.trails) streaks |= t.mask;
  ASSERT_GT(cv::countNonZero(streaks), 1000);
  cv::dilate(streaks, band, cv::getStructuringElement(cv::MORPH_ELLIPSE, {25, 25}));
  TempDir dir;
  const JobRun plain = runJob(dir, scene.frames, ", \"rejectionMode\": \"medium\"");
  const JobRun r = runJob(dir, scene.frames, ", \"rejectionMode\": \"medium\", \"fillGaps\": true");
  ASSERT_NE(r.log.find("status=success"), std::string::npos) << r.log;
  const double level = levelFor(16);
  // what the rejection left of the streaks away from the star trails, and
  // all about them: the fill adds nothing to either
  const synth::GapFigures onStreaks = synth::gapFigures(scene, r.result, level, streaks);
  EXPECT_LE(onStreaks.falseRaised, synth::gapFigures(scene, plain.result, level, streaks).falseRaised);
  const synth::GapFigures nearStreaks = synth::gapFigures(scene, r.result, level, band);
  EXPECT_LT(nearStreaks.falseRaised, 0.005);
  EXPECT_GE(nearStreaks.filled, 0.9);  // the trails crossing the streaks were filled all the same
}

// Without the key the job is the one it was: the direct path is the plain
// per-sample maximum of the frames, a gap share alone changes nothing, and
// the log has no gap line. Filled results do not depend on the worker count.
TEST(StarTrailGapFill, OffUnlessAskedAndTheSameForAnyWorkerCount) {
  synth::TrailSettings s = sparse8(gappedNight(0.5, 46));
  s.frames = 5;
  const synth::Scene scene = synth::makeTrailScene(s);
  TempDir dir;
  const JobRun direct = runJob(dir, scene.frames, ", \"rejectionMode\": \"off\", \"gapFraction\": 0.5");
  cv::Mat lighten = scene.frames[0].clone();
  for (const cv::Mat& f : scene.frames) lighten = cv::max(lighten, f);
  EXPECT_EQ(cv::norm(direct.result, lighten, cv::NORM_INF), 0.0);
  EXPECT_EQ(gapLine(direct.log), "");
  const JobRun absent = runJob(dir, scene.frames, ", \"rejectionMode\": \"low\"");
  const JobRun off = runJob(dir, scene.frames, ", \"rejectionMode\": \"low\", \"fillGaps\": false, \"gapFraction\": 0.3");
  EXPECT_EQ(cv::norm(absent.result, off.result, cv::NORM_INF), 0.0);
  EXPECT_EQ(gapLine(off.log), "");

  const std::string keys = ", \"rejectionMode\": \"low\", \"fillGaps\": true";
  const JobRun one = runJob(dir, scene.frames, keys, {}, 1);
  const JobRun two = runJob(dir, scene.frames, keys, {}, 2);
  ASSERT_NE(one.log.find("workers=1\n"), std::string::npos);
  ASSERT_NE(two.log.find("workers=2\n"), std::string::npos);
  EXPECT_EQ(cv::norm(one.result, two.result, cv::NORM_INF), 0.0);
  EXPECT_EQ(gapLine(one.log), gapLine(two.log));
  EXPECT_GT(cv::norm(one.result, absent.result, cv::NORM_INF), 0.0);  // the fill did something
}

TEST(StarTrailGapFill, KeysAndTheLogLine) {
  TempDir dir;
  const auto parsed = [&](const std::string& body) {
    const std::string path = dir.file("job.json");
    writeFile(path, "{" + body + "}");
    return NL_parseStarTrailNativeJob(path);
  };
  EXPECT_FALSE(parsed("").fillGaps);
  EXPECT_LT(parsed("").gapFraction, 0.0);
  EXPECT_TRUE(parsed("\"fillGaps\": true").fillGaps);
  EXPECT_FALSE(parsed("\"fillGaps\": \"true\"").fillGaps);  // a quoted word is not a boolean
  EXPECT_DOUBLE_EQ(parsed("\"gapFraction\": 0.35").gapFraction, 0.35);
  EXPECT_DOUBLE_EQ(parsed("\"gapFraction\": 1.5").gapFraction, 0.9);
  EXPECT_DOUBLE_EQ(parsed("\"gapFraction\": -0.2").gapFraction, 0.0);
  EXPECT_LT(parsed("\"gapFraction\": \"half\"").gapFraction, 0.0);

  NLStarTrailRunReport report;
  report.job.output = report.requestedOutput = "out.tif";
  EXPECT_EQ(gapLine(NL_starTrailSuccessLog(report)), "");
  report.gapSource = "capture times";
  report.gapShare = 0.2;
  std::string log = NL_starTrailSuccessLog(report);
  EXPECT_EQ(gapLine(log), "gapFill=0.20 (capture times)");
  EXPECT_EQ(log.find("gapsNotFilled"), std::string::npos);
  report.gapsNotFilled = 3;
  log = NL_starTrailSuccessLog(report);
  EXPECT_NE(log.find("gapFill=0.20 (capture times)\ngapsNotFilled=3\n"), std::string::npos) << log;
}

// A sky that does not move (the same frame over and over) has no arcs to
// measure: the log says so and nothing is filled.
TEST(StarTrailGapFill, AStillSkyIsNotMeasurable) {
  synth::TrailSettings s = gappedNight(0.5, 47);
  s.frames = 3;
  const synth::Scene scene = synth::makeTrailScene(s);
  const std::vector<cv::Mat> still(4, scene.frames[1]);
  TempDir dir;
  const JobRun r = runJob(dir, still, ", \"rejectionMode\": \"off\", \"fillGaps\": true");
  ASSERT_NE(r.log.find("status=success"), std::string::npos) << r.log;
  EXPECT_EQ(gapLine(r.log), "gapFill=0.00 (not measurable)");
  EXPECT_EQ(cv::norm(r.result, scene.frames[1], cv::NORM_INF), 0.0);
}

}  // namespace
