// The job commands of the lumivex program (trail, stack, glow, skyblend):
// the job files they write, read back by the jobs' own readers; running
// them on small synthetic skies; frame lists; help and bad usage.
#include "cli/job_args.h"
#include "cli/job_command.h"
#include "cli/output_claim.h"
#include "plumbing/plumbing.h"
#include "program_run.h"
#include "skyblend/skyblend.h"
#include "standin/host.h"
#include "starglow/starglow.h"
#include "startrail/startrail.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <memory>
#include <sstream>

#if defined(__APPLE__) || defined(__linux__)
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using testsupport::lumivex;
using testsupport::ProgramRun;
using testsupport::readFile;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::writeFile;

// Every run of a job command with this prefix writes its job file and then
// fails to load the module (exit 2): the file alone, without running the job.
const std::string kNoModule = "LUMIVEX_ADDON=/nonexistent/lumivex_addon.uxpaddon";

std::string quoted(const std::vector<std::string>& paths) {
  std::string out;
  for (const std::string& p : paths) out += " " + shellQuote(p);
  return out;
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Small scenes, made once for all tests.
class JobCommands : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = std::make_unique<TempDir>();
    for (const char* name : {"trail", "glow", "stack", "skyblend"}) {
      synth::SceneRequest request;
      request.scene = name;
      request.dir = root_->file(name);
      request.size = {320, 240};
      request.frames = std::string(name) == "glow" ? 1 : 4;
      std::string error;
      ASSERT_TRUE(synth::writeScene(request, scenes_[name], error)) << error;
    }
  }
  static void TearDownTestSuite() { root_.reset(); }
  static const synth::SceneFiles& scene(const std::string& name) { return scenes_[name]; }

  TempDir out_;

 private:
  static std::unique_ptr<TempDir> root_;
  static std::map<std::string, synth::SceneFiles> scenes_;
};

std::unique_ptr<TempDir> JobCommands::root_;
std::map<std::string, synth::SceneFiles> JobCommands::scenes_;

TEST_F(JobCommands, TrailWritesEveryOptionAsTheJobReadsItAndRuns) {
  const synth::SceneFiles& s = scene("trail");
  const std::string pattern = (fs::path(s.frames.front()).parent_path() / "frame_*.tif").string();
  const ProgramRun r = lumivex("trail " + shellQuote(pattern) + " -o " + shellQuote(out_.file("trail.tif")) +
                               " --reject high --window 7 --grow 4 --threshold 180.5 --aircraft 20"
                               " --comet reverse --comet-strength 35 --sky-mask " + shellQuote(s.skyMask) +
                               " --foreground" + quoted({s.frames[0], s.frames[1]}));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string jobPath = out_.file("trail_startrail_job_native.json");
  const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(jobPath);
  EXPECT_EQ(job.inputs, s.frames);  // the pattern, in name order
  EXPECT_EQ(job.foregroundInputs, (std::vector<std::string>{s.frames[0], s.frames[1]}));
  EXPECT_EQ(job.output, out_.file("trail.tif"));
  // the composite's intermediates have hidden names of their own beside the output
  EXPECT_EQ(job.skyOutput.rfind(out_.file(".trail.lumivex-sky-"), 0), 0u) << job.skyOutput;
  EXPECT_EQ(job.foregroundOutput.rfind(out_.file(".trail.lumivex-foreground-"), 0), 0u) << job.foregroundOutput;
  EXPECT_EQ(job.maskInput, s.skyMask);
  EXPECT_EQ(job.progress, out_.file("trail_startrail_progress.txt"));
  EXPECT_EQ(job.resultLog, out_.file("trail_startrail_result_log.txt"));
  EXPECT_EQ(job.rejectionMode, "high");
  EXPECT_EQ(job.temporalWindow, 7);
  EXPECT_EQ(job.maskGrowPx, 4);
  EXPECT_EQ(job.rejectionThresholdPct, 180.5);
  EXPECT_EQ(job.aircraftSensitivity, 20.0);
  EXPECT_TRUE(job.cometEnabled);
  EXPECT_EQ(job.cometDirection, "reverse");
  EXPECT_EQ(job.cometStrength, 35.0);
  EXPECT_EQ(job.badFrames, "exclude") << "the command leaves spoiled frames out unless told otherwise";
  EXPECT_NE(r.out.find("\nbadFramesMode=exclude\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("job file: " + jobPath + "\n"), std::string::npos) << r.err;
  // the result log on stdout is the job's own; the composite replaced the intermediates
  EXPECT_EQ(r.out, readFile(job.resultLog));
  EXPECT_TRUE(lvhost::resultLogReportsSuccess(r.out)) << r.out;
  EXPECT_TRUE(fs::exists(job.output));
  EXPECT_FALSE(fs::exists(job.skyOutput));
  EXPECT_FALSE(fs::exists(job.foregroundOutput));
  EXPECT_EQ(filesIn(out_.path()), (std::vector<std::string>{"trail.tif", "trail_startrail_job_native.json",
                                                            "trail_startrail_progress.txt",
                                                            "trail_startrail_result_log.txt"}));
}

// The meteor options reach the job as its keys, the extra images are
// written as named, and an existing one is kept unless --force.
TEST_F(JobCommands, TrailKeepsMeteorsAndWritesTheMeteorImageAndTheOverlay) {
  const synth::SceneFiles& s = scene("trail");
  const std::string meteors = out_.file("meteors.tif"), overlay = out_.file("overlay.png");
  const std::string command = "trail" + quoted(s.frames) + " -o " + shellQuote(out_.file("trail.tif")) +
                              " --keep-meteors --meteors " + shellQuote(meteors) + " --overlay " + shellQuote(overlay) +
                              " --bad-frames report";
  const ProgramRun r = lumivex(command);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(out_.file("trail_startrail_job_native.json"));
  EXPECT_TRUE(job.keepMeteors);
  EXPECT_EQ(job.badFrames, "report");
  EXPECT_NE(r.out.find("\nbadFramesMode=report\nbadFramesFound=0\nbadFramesExcluded=0\n"), std::string::npos) << r.out;
  EXPECT_EQ(job.meteorOutput, meteors);
  EXPECT_EQ(job.rejectionOverlay, overlay);
  EXPECT_NE(r.out.find("\nmeteorsKept="), std::string::npos) << r.out;
  EXPECT_EQ(cv::imread(meteors, -1).depth(), CV_16U);
  EXPECT_EQ(cv::imread(overlay, -1).type(), CV_8UC3);
  const ProgramRun again = lumivex(command);
  EXPECT_EQ(again.status, 2);
  EXPECT_NE(again.err.find("--meteors: '" + meteors + "' exists; --force replaces it"), std::string::npos) << again.err;
  EXPECT_EQ(lumivex(command + " --force").status, 0);
}

// The build-up options reach the job as its keys; the images land in the
// folder the command makes, the video beside them; options that need
// --build-up, a video of another format and an existing video are usage errors.
TEST_F(JobCommands, TrailBuildUpWritesTheImagesAndTheVideo) {
  const synth::SceneFiles& s = scene("trail");
  const std::string folder = out_.file("growing/night"), video = out_.file("growing.avi");
  const std::string command = "trail" + quoted(s.frames) + " -o " + shellQuote(out_.file("trail.tif")) +
                              " --reject off --build-up " + shellQuote(folder) + " --every 3 --format jpg --video " +
                              shellQuote(video);
  const ProgramRun r = lumivex(command);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(out_.file("trail_startrail_job_native.json"));
  EXPECT_EQ(job.buildUpOutput, folder);
  EXPECT_EQ(job.buildUpEvery, 3);
  EXPECT_EQ(job.buildUpFormat, "jpg");
  EXPECT_EQ(job.buildUpVideo, video);
  EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"buildup_0001.jpg", "buildup_0002.jpg"}));  // 4 frames
  EXPECT_NE(r.out.find("\nbuildUpImages=2\n"), std::string::npos) << r.out;
  const std::string trailArgs = "trail" + quoted(s.frames) + " -o " + shellQuote(out_.file("other.tif"));
  const std::pair<std::string, std::string> refused[] = {
      {" --every 2", "lumivex trail: --every goes with --build-up\n"},
      {" --format jpg", "lumivex trail: --format goes with --build-up\n"},
      {" --video " + shellQuote(out_.file("night.mov")),
       "lumivex trail: --video: cannot write a video named '" + out_.file("night.mov") + "'; use .mp4 or .avi\n"}};
  for (const auto& [args, start] : refused) {
    const ProgramRun bad = lumivex(trailArgs + args);
    EXPECT_EQ(bad.status, 2) << args;
    EXPECT_EQ(bad.err.rfind(start, 0), 0u) << args << "\n" << bad.err;
  }
  if (fs::exists(video)) {  // where this build writes video: kept unless --force
    const ProgramRun again = lumivex(trailArgs + " --video " + shellQuote(video));
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("--video: '" + video + "' exists; --force replaces it"), std::string::npos) << again.err;
  }
}

// The gap options reach the job as its keys and the log names the share
// given; --gap needs --fill-gaps and a share of at most 0.9.
TEST_F(JobCommands, TrailFillsGapsWithTheShareGiven) {
  const synth::SceneFiles& s = scene("trail");
  const ProgramRun r = lumivex("trail" + quoted(s.frames) + " -o " + shellQuote(out_.file("trail.tif")) +
                               " --reject off --fill-gaps --gap 0.25");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(out_.file("trail_startrail_job_native.json"));
  EXPECT_TRUE(job.fillGaps);
  EXPECT_EQ(job.gapFraction, 0.25);
  EXPECT_NE(r.out.find("\ngapFill=0.25 (job file)\n"), std::string::npos) << r.out;
  const std::string trailArgs = "trail" + quoted(s.frames) + " -o " + shellQuote(out_.file("other.tif"));
  const ProgramRun alone = lumivex(trailArgs + " --gap 0.3");
  EXPECT_EQ(alone.status, 2);
  EXPECT_EQ(alone.err.rfind("lumivex trail: --gap goes with --fill-gaps\n", 0), 0u) << alone.err;
  EXPECT_EQ(lumivex(trailArgs + " --fill-gaps --gap 0.95").status, 2);
}

// The sidecars were once OUT_sky.tif and OUT_foreground.tif: a user's files of
// those names were written over, deleted, and left out of the frame list.
TEST_F(JobCommands, TrailSidecarsNeverTouchAUsersFilesOfThoseNames) {
  const synth::SceneFiles& s = scene("trail");
  const std::string night = out_.file("night");
  fs::create_directories(night);
  for (const std::string& f : s.frames) fs::copy_file(f, night + "/" + fs::path(f).filename().string());
  fs::copy_file(s.frames[1], night + "/trails_sky.tif");
  fs::copy_file(s.frames[2], night + "/trails_foreground.tif");
  const std::string sky = readFile(night + "/trails_sky.tif"), fore = readFile(night + "/trails_foreground.tif");
  const ProgramRun r = lumivex("trail " + shellQuote(night) + " -o " + shellQuote(night + "/trails.tif") +
                               " --reject off --sky-mask " + shellQuote(s.skyMask) + " --foreground" +
                               quoted({s.frames[0], s.frames[1]}));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(readFile(night + "/trails_sky.tif"), sky);
  EXPECT_EQ(readFile(night + "/trails_foreground.tif"), fore);
  const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(night + "/trails_startrail_job_native.json");
  EXPECT_EQ(job.inputs.size(), s.frames.size() + 2);  // the user's two files are frames like any other
  EXPECT_NE(r.out.find("frames=" + std::to_string(s.frames.size() + 2) + "\n"), std::string::npos) << r.out;
  for (const std::string& name : filesIn(night)) EXPECT_NE(name[0], '.') << name;  // no sidecar left behind
}

// stack, glow and skyblend once replaced an existing -o; trail numbered it.
TEST_F(JobCommands, EveryCommandKeepsAnExistingOutputAndNumbersAroundItUnlessForced) {
  const synth::SceneFiles& t = scene("trail");
  const synth::SceneFiles& g = scene("glow");
  const synth::SceneFiles& b = scene("skyblend");
  const std::string blendDir = out_.file("blend");
  fs::create_directories(blendDir);
  writeFile(out_.file("t.tif"), "mine");
  writeFile(out_.file("t_1.tif"), "mine too");
  writeFile(out_.file("s.tif"), "mine");
  writeFile(out_.file("g.tif"), "mine");
  writeFile(blendDir + "/skyblend_foreground.tif", "mine");  // one of the three is enough to number all three
  const std::string frames = quoted(t.frames), blendArgs = quoted(b.frames) + " --reference " + shellQuote(b.frames[0]) +
                                                            " --sky-mask " + shellQuote(b.skyMask) + " -o " + shellQuote(blendDir);
  for (const std::string force : {"", " --force"}) {
    ASSERT_EQ(lumivex("trail" + frames + " -o " + shellQuote(out_.file("t.tif")) + force, kNoModule).status, 2);
    ASSERT_EQ(lumivex("stack" + frames + " -o " + shellQuote(out_.file("s.tif")) + force, kNoModule).status, 2);
    ASSERT_EQ(lumivex("glow " + shellQuote(g.frames[0]) + " -o " + shellQuote(out_.file("g.tif")) + force, kNoModule).status, 2);
    const ProgramRun blended = lumivex("skyblend" + blendArgs + force, kNoModule);
    ASSERT_EQ(blended.status, 2);
    const std::string moved = "output: " + blendDir + "/skyblend_sky_1.tif ('" + blendDir +
                              "/skyblend_sky.tif' goes with one that exists; --force replaces it)\n";
    EXPECT_EQ(blended.err.find(moved) != std::string::npos, force.empty()) << blended.err;
  }
  // numbered: the first free name, and the job's side files follow it
  const NLStarTrailNativeJob trail = NL_parseStarTrailNativeJob(out_.file("t_2_startrail_job_native.json"));
  EXPECT_EQ(trail.output, out_.file("t_2.tif"));
  EXPECT_EQ(trail.resultLog, out_.file("t_2_startrail_result_log.txt"));
  EXPECT_FALSE(trail.replaceOutput);
  EXPECT_NE(readFile(out_.file("s_1_stack_job.txt")).find("output=" + out_.file("s_1.tif") + "\n"), std::string::npos);
  EXPECT_EQ(NL_readStarGlowJob(readFile(out_.file("g_1_star_glow_job_native.json"))).outputPath, out_.file("g_1.tif"));
  const NLSkyBlendNativeJob blend = NL_parseSkyBlendNativeJob(readFile(blendDir + "/1_skyblend_job_native.json"));
  EXPECT_EQ(blend.skyOutput, blendDir + "/skyblend_sky_1.tif");
  EXPECT_EQ(blend.foregroundOutput, blendDir + "/skyblend_foreground_1.tif");
  EXPECT_EQ(blend.blendOutput, blendDir + "/skyblend_blend_1.tif");
  // --force: the names as given, and Star Trail told to replace rather than number
  const NLStarTrailNativeJob forced = NL_parseStarTrailNativeJob(out_.file("t_startrail_job_native.json"));
  EXPECT_EQ(forced.output, out_.file("t.tif"));
  EXPECT_TRUE(forced.replaceOutput);
  EXPECT_NE(readFile(out_.file("s_stack_job.txt")).find("output=" + out_.file("s.tif") + "\n"), std::string::npos);
  EXPECT_EQ(NL_readStarGlowJob(readFile(out_.file("g_star_glow_job_native.json"))).outputPath, out_.file("g.tif"));
  EXPECT_EQ(NL_parseSkyBlendNativeJob(readFile(blendDir + "/skyblend_job_native.json")).blendOutput,
            blendDir + "/skyblend_blend.tif");
  for (const char* name : {"t.tif", "s.tif", "g.tif"}) EXPECT_EQ(readFile(out_.file(name)), "mine") << name;

  // a real run: the existing image survives byte for byte beside the new one; --force replaces it
  const ProgramRun kept = lumivex("trail" + frames + " -o " + shellQuote(out_.file("t.tif")) + " --reject off");
  ASSERT_EQ(kept.status, 0) << kept.out << kept.err;
  EXPECT_EQ(readFile(out_.file("t.tif")), "mine");
  EXPECT_NE(kept.out.find("output=" + out_.file("t_2.tif") + "\n"), std::string::npos) << kept.out;
  EXPECT_NE(kept.err.find("output: " + out_.file("t_2.tif") + " ('" + out_.file("t.tif") + "' exists; --force replaces it)\n"),
            std::string::npos) << kept.err;
  const ProgramRun replaced = lumivex("trail" + frames + " -o " + shellQuote(out_.file("t.tif")) + " --reject off --force");
  ASSERT_EQ(replaced.status, 0) << replaced.out << replaced.err;
  EXPECT_EQ(replaced.out.find("requestedOutput="), std::string::npos) << replaced.out;
  EXPECT_FALSE(cv::imread(out_.file("t.tif"), cv::IMREAD_UNCHANGED).empty());
}

// The job file was named after the output and written by every run: two runs
// with the same -o at once read one another's settings.
TEST_F(JobCommands, ARunningClaimOnTheJobFileSendsASecondRunToTheNextName) {
  const synth::SceneFiles& t = scene("trail");
  const auto held = lvcli::ClaimedFile::claim(out_.file("t_startrail_job_native.json"));
  ASSERT_TRUE(held);
  held->write("{\"rejectionMode\": \"high\"}");
  const ProgramRun r = lumivex("trail" + quoted(t.frames) + " -o " + shellQuote(out_.file("t.tif")) + " --reject low",
                               kNoModule);
  ASSERT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(readFile(out_.file("t_startrail_job_native.json")), "{\"rejectionMode\": \"high\"}");
  const NLStarTrailNativeJob second = NL_parseStarTrailNativeJob(out_.file("t_1_startrail_job_native.json"));
  EXPECT_EQ(second.output, out_.file("t_1.tif"));
  EXPECT_EQ(second.rejectionMode, "low");
  // once the first run has ended its name is free again
  const auto again = lvcli::ClaimedFile::claim(out_.file("t_1_startrail_job_native.json"));
  EXPECT_TRUE(again);
}

// Earlier results in the frames folder were read back as frames, and a
// synthetic scene's truth images were stacked with its frames.
TEST_F(JobCommands, AFolderRunLeavesOutEverythingLumivexWroteAndSaysSo) {
  const synth::SceneFiles& s = scene("trail");
  const std::string dir = out_.file("night");
  fs::copy(fs::path(s.frames[0]).parent_path(), dir);
  std::vector<std::string> frames;
  for (const std::string& f : s.frames) frames.push_back(dir + "/" + fs::path(f).filename().string());
  const std::string out = dir + "/stacked.tif";
  auto run = [&] { return lumivex("stack " + shellQuote(dir) + " -o " + shellQuote(out), kNoModule); };
  ASSERT_EQ(run().status, 2);
  writeFile(out, "result");  // as the first run would have left it
  ASSERT_EQ(run().status, 2);
  writeFile(dir + "/stacked_1.tif", "result");
  writeFile(dir + "/stacked.lumivex-partial-99999999-0-0.tif", "cut short");
  fs::copy_file(s.frames[0], dir + "/stacked_7.tif");  // a user's frame that only looks like a numbered result
  const ProgramRun r = run();
  ASSERT_EQ(r.status, 2);
  std::vector<std::string> expected = frames;
  expected.push_back(dir + "/stacked_7.tif");
  std::string text = readFile(dir + "/stacked_2_stack_job.txt"), got;
  std::vector<std::string> inputs;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("input=", 0) == 0) inputs.push_back(line.substr(6));
  }
  EXPECT_EQ(inputs, expected) << text;
  for (const std::string& said : {"left out: " + out + " (the output of this command)\n",
                                  "left out: " + dir + "/stacked_1.tif (written by an earlier run (stacked_1_stack_job.txt))\n",
                                  "left out: " + dir + "/clean_lighten.tif (a truth image of the synthetic scene)\n",
                                  "left out: " + dir + "/stacked.lumivex-partial-99999999-0-0.tif"
                                  " (a result still being written, or left by a run that was stopped)\n",
                                  "frames: " + std::to_string(expected.size()) + " taken\n  " + frames[0] + "\n"}) {
    EXPECT_NE(r.err.find(said), std::string::npos) << said << "\n" << r.err;
  }
}

TEST_F(JobCommands, OptionsLeftOutLeaveTheirKeysOutSoTheJobDefaultsHold) {
  const synth::SceneFiles& s = scene("trail");
  const ProgramRun r = lumivex("trail" + quoted(s.frames) + " -o " + shellQuote(out_.file("t.tif")) + " --quiet");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");  // --quiet: the result log alone
  const std::string jobPath = out_.file("t_startrail_job_native.json");
  EXPECT_EQ(r.out, readFile(out_.file("t_startrail_result_log.txt")));
  const std::string text = readFile(jobPath);
  for (const char* key : {"rejectionMode", "temporalWindow", "maskGrowPx", "rejectionThresholdPct",
                          "aircraftSensitivity", "comet", "maskInput", "foreground", "skyOutput", "blending"}) {
    EXPECT_EQ(text.find(key), std::string::npos) << key << "\n" << text;
  }
  const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(jobPath);
  EXPECT_EQ(job.inputs, s.frames);
  EXPECT_EQ(job.rejectionMode, "medium");
  EXPECT_EQ(job.temporalWindow, 5);

  const synth::SceneFiles& g = scene("glow");
  ASSERT_EQ(lumivex("glow " + shellQuote(g.frames[0]) + " -o " + shellQuote(out_.file("g.tif")), kNoModule).status, 2);
  const NL_StarGlowJob glow = NL_readStarGlowJob(readFile(out_.file("g_star_glow_job_native.json")));
  EXPECT_EQ(glow.type, "star-glow-native-job");
  EXPECT_EQ(glow.inputPath, g.frames[0]);
  EXPECT_EQ(glow.skyMaskPath, "");
  const NL_StarGlowSettings defaults;
  EXPECT_EQ(glow.settings.starAmount, defaults.starAmount);
  EXPECT_EQ(glow.settings.outputMode, defaults.outputMode);
  EXPECT_EQ(glow.settings.useSkyMask, false);

  const synth::SceneFiles& b = scene("skyblend");
  ASSERT_EQ(lumivex("skyblend" + quoted(b.frames) + " --reference " + shellQuote(b.frames[0]) + " --sky-mask " +
                        shellQuote(b.skyMask) + " -o " + shellQuote(out_.file("blend")), kNoModule).status, 2);
  EXPECT_EQ(readFile(out_.file("blend/skyblend_job_native.json")).find("stackMethod"), std::string::npos);
}

TEST_F(JobCommands, AsyncAndBackgroundRunTheSameJobFile) {
  const synth::SceneFiles& s = scene("trail");
  for (const std::string mode : {"async", "background"}) {
    const ProgramRun r = lumivex("trail" + quoted(s.frames) + " -o " + shellQuote(out_.file(mode + ".tif")) + " --" +
                                 mode + " --reject low");
    ASSERT_EQ(r.status, 0) << mode << r.out << r.err;
    EXPECT_EQ(r.out, readFile(out_.file(mode + "_startrail_result_log.txt"))) << mode;
    EXPECT_TRUE(fs::exists(out_.file(mode + ".tif"))) << mode;
    EXPECT_EQ(NL_parseStarTrailNativeJob(out_.file(mode + "_startrail_job_native.json")).rejectionMode, "low");
  }
}

TEST_F(JobCommands, GlowWritesEveryOptionAsTheJobReadsItAndRuns) {
  const synth::SceneFiles& g = scene("glow");
  const std::string mask = scene("trail").skyMask;
  const ProgramRun r = lumivex("glow " + shellQuote(g.frames[0]) + " -o " + shellQuote(out_.file("glow.tif")) +
                               " --amount 45 --strength 1.25 --final --sky-mask " + shellQuote(mask));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const NL_StarGlowJob job = NL_readStarGlowJob(readFile(out_.file("glow_star_glow_job_native.json")));
  EXPECT_EQ(job.type, "star-glow-native-job");
  EXPECT_EQ(job.inputPath, g.frames[0]);
  EXPECT_EQ(job.outputPath, out_.file("glow.tif"));
  EXPECT_EQ(job.skyMaskPath, mask);
  EXPECT_EQ(job.progressPath, out_.file("glow_star_glow_progress.txt"));
  EXPECT_EQ(job.resultLog, out_.file("glow_star_glow_result_log.txt"));
  EXPECT_EQ(job.settings.starAmount, 45.0);
  EXPECT_EQ(job.settings.glowStrength, 1.25);
  EXPECT_EQ(job.settings.outputMode, "final");
  EXPECT_TRUE(job.settings.useSkyMask);
  EXPECT_EQ(r.out, readFile(job.resultLog));
  EXPECT_TRUE(fs::exists(job.outputPath));

  ASSERT_EQ(lumivex("glow " + shellQuote(g.frames[0]) + " -o " + shellQuote(out_.file("layer.tif")) + " --glow-only",
                    kNoModule).status, 2);
  EXPECT_EQ(NL_readStarGlowJob(readFile(out_.file("layer_star_glow_job_native.json"))).settings.outputMode, "glowOnly");
}

TEST_F(JobCommands, StackWritesTheKeyValueJobLineByLine) {
  const synth::SceneFiles& s = scene("stack");
  const std::pair<const char*, const char*> methods[] = {{"", "auto"},
                                                         {" --method auto", "auto"},
                                                         {" --method average", "registered-average-homography"},
                                                         {" --method median", "registered-median-homography"},
                                                         {" --method sigma", "registered-sigma-homography"}};
  for (const auto& [option, method] : methods) {
    const ProgramRun r = lumivex("stack" + quoted(s.frames) + " -o " + shellQuote(out_.file("stack.tif")) + option +
                                 " --keep 80", kNoModule);
    ASSERT_EQ(r.status, 2) << r.err;
    std::string expected = std::string("# Hybrid stack job.\nmethod=") + method + "\nqualityKeepPercent=80\n" +
                           "output=" + out_.file("stack.tif") + "\nprogress=" + out_.file("stack_stack_progress.txt") +
                           "\nresultLog=" + out_.file("stack_stack_result_log.txt") + "\n";
    for (const std::string& f : s.frames) expected += "input=" + f + "\n";
    EXPECT_EQ(readFile(out_.file("stack_stack_job.txt")), expected) << option;
  }
  ASSERT_EQ(lumivex("stack" + quoted(s.frames) + " -o " + shellQuote(out_.file("plain.tif")), kNoModule).status, 2);
  EXPECT_EQ(readFile(out_.file("plain_stack_job.txt")).find("qualityKeepPercent"), std::string::npos);
  EXPECT_EQ(lvhost::jobProgressPath(out_.file("plain_stack_job.txt")), out_.file("plain_stack_progress.txt"));
}

TEST_F(JobCommands, SkyBlendWritesItsOutputsIntoTheFolderItMakes) {
  const synth::SceneFiles& b = scene("skyblend");
  const std::string folder = fs::path(b.frames[0]).parent_path().string();
  const std::string outDir = out_.file("new/blend");
  // the scene's folder: its frames, but not the sky mask kept beside them
  ASSERT_EQ(lumivex("skyblend " + shellQuote(folder) + " --reference " + shellQuote(b.frames[2]) + " --sky-mask " +
                        shellQuote(b.skyMask) + " -o " + shellQuote(outDir) + " --method average", kNoModule).status, 2);
  const std::string text = readFile(outDir + "/skyblend_job_native.json");
  EXPECT_EQ(NL_extractJsonString(text, "type"), "skyblend-native-job");
  const NLSkyBlendNativeJob job = NL_parseSkyBlendNativeJob(text);
  EXPECT_EQ(job.inputs, b.frames);
  EXPECT_EQ(job.referencePath, b.frames[2]);
  EXPECT_EQ(job.skyMaskPath, b.skyMask);
  EXPECT_EQ(job.skyOutput, outDir + "/skyblend_sky.tif");
  EXPECT_EQ(job.foregroundOutput, outDir + "/skyblend_foreground.tif");
  EXPECT_EQ(job.blendOutput, outDir + "/skyblend_blend.tif");
  EXPECT_EQ(job.progress, outDir + "/skyblend_progress.txt");
  EXPECT_EQ(job.resultLog, outDir + "/skyblend_result_log.txt");
  EXPECT_EQ(job.stackMethod, "average");
}

TEST_F(JobCommands, FailingJobExitsOneWithItsOwnTextAndPlainProgressLines) {
  const synth::SceneFiles& s = scene("trail");
  const ProgramRun r = lumivex("trail " + shellQuote(s.frames[0]) + " -o " + shellQuote(out_.file("one.tif")));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Star Trail failed: at least two input frames are required."), std::string::npos) << r.out;
  // stderr is not a terminal: no bar, no carriage return, one line per stage
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  EXPECT_EQ(r.err.find('['), std::string::npos);
  EXPECT_NE(r.err.find("\nprogress 100% Failed: Star Trail failed: at least two input frames are required.\n"),
            std::string::npos) << r.err;
}

// A JPEG, an empty or a cut-short file once waited the export's full minute
// and then blamed an unstable size; a tiny TIFF never became "ready" at all.
TEST_F(JobCommands, GlowChecksItsImageFirstAndNeverWaitsForAnExport) {
  const std::string png = out_.file("in.png");
  cv::Mat image(64, 48, CV_8UC3, cv::Scalar(20, 30, 40));
  ASSERT_TRUE(cv::imwrite(png, image));
  const std::string whole = readFile(png);
  writeFile(out_.file("cut.png"), whole.substr(0, whole.size() / 2));
  writeFile(out_.file("empty.tif"), "");
  ASSERT_TRUE(cv::imwrite(out_.file("photo.jpg"), image));
  writeFile(out_.file("two.tif"), testsupport::handMadeTiff(64, 48, 2, false));  // told by its header alone
  const std::string jpeg = readFile(out_.file("photo.jpg"));
  writeFile(out_.file("cut.jpg"), jpeg.substr(0, jpeg.size() - 40));
  writeFile(out_.file("photo.gif"), "GIF89a" + std::string(64, '\0'));
  const std::pair<std::string, std::string> refused[] = {
      {"empty.tif", "is empty"},
      {"photo.gif", "is not a PNG, TIFF, JPEG or camera RAW image"},
      {"cut.jpg", "is cut short or damaged: " + NL_imageFileDamage(out_.file("cut.jpg"))},
      {"cut.png", "is cut short or damaged: PNG IEND chunk is not present yet"},
      {"two.tif", "has 2 channels; the glow takes grey, colour or colour with alpha"}};
  for (const auto& [name, why] : refused) {
    const ProgramRun r = lumivex("glow " + shellQuote(out_.file(name)) + " -o " + shellQuote(out_.file("g.tif")));
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_EQ(r.err.rfind("lumivex glow: image '" + out_.file(name) + "' " + why + "\n", 0), 0u) << r.err;
  }
  EXPECT_FALSE(fs::exists(out_.file("g_star_glow_job_native.json")));
  // a 1x1 TIFF is a complete image: decoded at once, well below the export wait's 4096-byte floor
  const std::string tiny = out_.file("tiny.tif");
  ASSERT_TRUE(cv::imwrite(tiny, cv::Mat(1, 1, CV_16UC3, cv::Scalar(900, 800, 700))));
  const ProgramRun r = lumivex("glow " + shellQuote(tiny) + " -o " + shellQuote(out_.file("g.tif")));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("inputFileStableChecks = 0 / 0\n"), std::string::npos) << r.out;
  EXPECT_TRUE(NL_readStarGlowJob(readFile(out_.file("g_star_glow_job_native.json"))).inputComplete);
}

TEST(JobFrames, FoldersAndPatternsGiveTheirFilesInNameOrder) {
  TempDir dir;
  for (const char* name : {"frame_2.tif", "frame_10.tif", "b.tiff", "a.PNG", "notes.txt", "._frame_3.tif", "out.tif",
                           "c.jpg", "d.JPEG", "e.webp", "ea.dng", "eb.CR2", "h.xmp", "i.jpg.txt"}) {
    writeFile(dir.file(name), "x");
  }
  fs::create_directories(dir.file("sub.tif"));
  std::vector<std::string> frames;
  std::string error;
  ASSERT_TRUE(lvcli::expandFrames({dir.path()}, {dir.file("out.tif")}, frames, error)) << error;
  // every format the reader decodes, camera RAW where the build reads it
  std::vector<std::string> expected{dir.file("a.PNG"), dir.file("b.tiff"), dir.file("c.jpg"), dir.file("d.JPEG"),
                                    dir.file("e.webp")};
  if (NL_rawDecoderAvailable()) expected.insert(expected.end(), {dir.file("ea.dng"), dir.file("eb.CR2")});
  expected.insert(expected.end(), {dir.file("frame_10.tif"), dir.file("frame_2.tif")});
  EXPECT_EQ(frames, expected);
  // a pattern keeps any file type it names; plain files keep the order given
  ASSERT_TRUE(lvcli::expandFrames({dir.file("*e*.t?t"), dir.file("b.tiff"), dir.file("frame_*")}, {}, frames, error));
  EXPECT_EQ(frames, (std::vector<std::string>{dir.file("notes.txt"), dir.file("b.tiff"), dir.file("frame_10.tif"),
                                              dir.file("frame_2.tif")}));
  const std::pair<std::string, std::string> failures[] = {
      {dir.file("missing.tif"), "frame '" + dir.file("missing.tif") + "' does not exist"},
      {dir.file("z*.tif"), "no file matches '" + dir.file("z*.tif") + "'"},
      {dir.file("sub.tif"), "folder '" + dir.file("sub.tif") + "' holds no " + NL_frameFormatNames() + " frames"}};
  for (const auto& [arg, message] : failures) {
    EXPECT_FALSE(lvcli::expandFrames({dir.file("b.tiff"), arg}, {}, frames, error));
    EXPECT_EQ(error, message);
    error.clear();
  }
}

const lvcli::JobCommand* const kCommands[] = {&lvcli::trailCommand(), &lvcli::stackCommand(), &lvcli::glowCommand(),
                                              &lvcli::skyBlendCommand()};

// The defaults the help names are read from the jobs' own records: a job
// whose default moves takes its help along, and the numbers read as a
// photographer types them (30, not 30.000000).
TEST(JobHelp, DefaultsAreTheJobsOwn) {
  const auto helpOf = [](const lvcli::JobCommand& command, const std::string& option) {
    for (const lvcli::OptionRule& o : command.table.options)
      if (o.name == option) return o.help;
    return std::string("no option " + option);
  };
  const auto endsWith = [](const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  };
  EXPECT_TRUE(endsWith(helpOf(lvcli::glowCommand(), "--amount"), "in percent (job default 30)"));
  EXPECT_TRUE(endsWith(helpOf(lvcli::glowCommand(), "--strength"), "(job default 0.6)"));
  EXPECT_TRUE(endsWith(helpOf(lvcli::stackCommand(), "--keep"), "kept (job default 100)"));
  EXPECT_TRUE(endsWith(helpOf(lvcli::skyBlendCommand(), "--method"), "clips outliers (job default auto)"));
  EXPECT_EQ(NL_parseSkyBlendNativeJob("{}").stackMethod, "auto");
  EXPECT_TRUE(endsWith(helpOf(lvcli::trailCommand(), "--window"), "3, 5, 7 or 9 (job default 5)"));
  EXPECT_TRUE(endsWith(helpOf(lvcli::trailCommand(), "--reject"), "removal (job default medium)"));
  EXPECT_TRUE(endsWith(helpOf(lvcli::trailCommand(), "--grow"), "in pixels (job default 2)"));
  EXPECT_TRUE(endsWith(helpOf(lvcli::trailCommand(), "--comet-strength"), "in percent (job default 50)"));
}

TEST(JobHelp, EveryCommandAnswersInTheSameLayout) {
  std::string sharedTail;
  std::vector<const lvcli::CommandTable*> tables = {&lvcli::runTable(), &lvcli::callTable(), &lvcli::synthTable(),
                                                    &lvcli::demoTable(), &lvcli::registerTable()};
  for (const lvcli::JobCommand* command : kCommands) tables.push_back(&command->table);
  for (const lvcli::CommandTable* table : tables) {
    const std::string name = table->name;
    for (const char* flag : {"--help", "-h"}) {
      const ProgramRun r = lumivex(name + " " + flag);
      EXPECT_EQ(r.status, 0) << name;
      EXPECT_EQ(r.err, "") << name;
      EXPECT_EQ(r.out, lvcli::usageText(*table)) << name;
    }
    const std::string usage = lvcli::usageText(*table);
    EXPECT_EQ(usage.rfind("usage: lumivex " + name + " " + table->frames + " ", 0), 0u) << usage;
    const std::string helpLine = "\n  -h, --help" + std::string(22, ' ') + "show this help\n";
    EXPECT_EQ(usage.substr(usage.size() - helpLine.size()), helpLine) << name;
    for (const lvcli::OptionRule& o : table->options) {
      EXPECT_NE(usage.find("\n  " + (o.shortName.empty() ? "" : o.shortName + ", ") + o.name), std::string::npos)
          << name << " " << o.name;
    }
    // every argument line: two blanks, the name, its help at one column (or below a long name)
    std::istringstream lines(usage.substr(usage.find("\n  ")));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) continue;
      const bool nameAlone = line.size() > 2 && line[2] != ' ' && line.find("  ", 2) == std::string::npos;
      EXPECT_TRUE(nameAlone || (line.size() > 34 && line[33] == ' ' && line[34] != ' ')) << name << ": " << line;
    }
    if (!table->runFlags) continue;  // the commands that run jobs share the tail of run flags
    const std::string tail = usage.substr(usage.find("\n  -q, --quiet"));
    if (sharedTail.empty()) sharedTail = tail;
    EXPECT_EQ(tail, sharedTail) << name;
  }
}

// synth with an unknown scene exited 1, register --help answered on stderr
// with 2, and --version with words after it exited 0.
TEST(JobHelp, UsageErrorsOfEveryCommandExitTwo) {
  const std::pair<std::string, std::string> cases[] = {
      {"synth nosuch --out /tmp/x", "lumivex synth: unknown scene 'nosuch'\n"},
      {"--version extra", "lumivex: --version takes nothing after it\n"},
      {"--help extra", "lumivex: --help takes nothing after it\n"},
      {"register only-one.tif", "lumivex register: give REFERENCE MOVING\n\nusage: lumivex register "},
      {"register a.tif b.tif c.tif", "lumivex register: unexpected argument 'c.tif'\n"},
      {"register a.tif b.tif --budget 0", "lumivex register: --budget takes a whole number from 1 to 1000000, not '0'\n"},
      {"run", "lumivex run: no JOB given\n\nusage: lumivex run JOB... [options]\n"},
      {"run --quiet a.json b.json", "lumivex run: several jobs at once run only with --background\n"},
      {"call", "lumivex call: no NAME given\n"},
      {"call my_echo text --number 3", "lumivex call: give a STRING, --number or --bool, not two\n"},
      {"demo a b", "lumivex demo: unexpected argument 'b'\n"},
      {"demo --quiet", "lumivex demo: unknown option '--quiet'\n"},
      {"synth trail", "lumivex synth: --out DIR is required\n"},
      {"synth trail --out /tmp/x --size 10x10", "lumivex synth: --size takes WxH, each from 16 to 40000, not '10x10'\n"},
      {"nosuch", "lumivex: unknown command 'nosuch'\n"}};
  for (const auto& [args, start] : cases) {
    const ProgramRun r = lumivex(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_EQ(r.err.rfind(start, 0), 0u) << args << "\n" << r.err;
  }
  const ProgramRun version = lumivex("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("Lumivex Native Addon ", 0), 0u);
}

TEST(JobHelp, TheOtherCommandsAnswerHelpOnStdoutToo) {
  for (const char* command : {"call", "synth", "demo", "run", "register"}) {
    for (const char* flag : {" --help", " -h"}) {
      const ProgramRun r = lumivex(std::string(command) + flag);
      EXPECT_EQ(r.status, 0) << command << flag;
      EXPECT_EQ(r.err, "") << command << flag;
      EXPECT_EQ(r.out.rfind(std::string("usage: lumivex ") + command + " ", 0), 0u) << r.out;
    }
  }
}

TEST_F(JobCommands, BadUsageExitsTwoWithTheUsageAndWritesNothing) {
  const synth::SceneFiles& s = scene("trail");
  const std::string frame = shellQuote(s.frames[0]), frames = quoted(s.frames), mask = shellQuote(s.skyMask);
  const std::string out = " -o " + shellQuote(out_.file("o.tif")), outDir = " -o " + shellQuote(out_.file("new"));
  TempDir empty;
  const std::string missing = out_.file("missing.tif");
  const std::pair<std::string, std::string> cases[] = {
      {"trail" + out, "no FRAME given"},
      {"trail" + frames, "-o OUT.tif is required"},
      {"trail" + frames + " " + shellQuote(missing) + out, "frame '" + missing + "' does not exist"},
      {"trail " + shellQuote(empty.path()) + out, "folder '" + empty.path() + "' holds no " + NL_frameFormatNames() + " frames"},
      {"trail" + frames + out + " --bogus", "unknown option '--bogus'"},
      {"trail" + frames + out + " --window 4", "--window takes an odd whole number from 3 to 9, not '4'"},
      {"trail" + frames + out + " --threshold 12x", "--threshold takes a number from 50 to 220, not '12x'"},
      {"trail" + frames + out + " --reject=maybe", "--reject takes off, low, medium or high, not 'maybe'"},
      {"trail" + frames + out + " --comet-strength 20", "--comet-strength goes with --comet"},
      {"trail" + frames + out + " --sky-mask " + mask, "--sky-mask goes with --foreground"},
      {"trail" + frames + out + " --grow", "--grow needs a value (PX)"},
      {"trail" + frames + out + " --async --background", "choose one of --async and --background"},
      {"trail" + frames + out + " -o " + shellQuote(out_.file("p.tif")), "--output is given twice"},
      {"trail" + frames + " -o " + shellQuote(out_.file("none/o.tif")), "--output: folder '" + out_.file("none") + "' does not exist"},
      {"stack" + frames + out + " --method mean", "--method takes auto, average, median or sigma, not 'mean'"},
      {"stack" + frames + out + " --keep 101", "--keep takes a whole number from 50 to 100, not '101'"},
      {"glow" + frames + out, "only one IMAGE can be given"},
      {"glow " + frame + out + " --final --glow-only", "--final and --glow-only cannot go together"},
      {"glow " + shellQuote(missing) + out, "image '" + missing + "' does not exist"},
      {"glow " + frame + out + " --strength 4", "--strength takes a number from 0 to 3, not '4'"},
      {"skyblend" + frames + " --sky-mask " + mask + outDir, "--reference FRAME is required"},
      {"skyblend" + frames + " --reference " + shellQuote(missing) + " --sky-mask " + mask + outDir,
       "--reference: '" + missing + "' does not exist"},
      {"skyblend" + frames + " --reference " + frame + " --sky-mask " + mask + " -o " + frame,
       "--output: '" + s.frames[0] + "' is a file, not a folder"},
      {"skyblend" + frames + " --reference " + frame + " --sky-mask " + mask + outDir + " --method median",
       "--method takes auto, average or sigma, not 'median'"},
  };
  for (const auto& [args, message] : cases) {
    const std::string command = args.substr(0, args.find(' '));
    const ProgramRun r = lumivex(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_EQ(r.err, "lumivex " + command + ": " + message + "\n\n" +
                         lvcli::usageText([&] {
                           for (const lvcli::JobCommand* c : kCommands) if (c->table.name == command) return c->table;
                           return lvcli::CommandTable();
                         }())) << args;
    EXPECT_TRUE(filesIn(out_.path()).empty()) << args;  // no job file, no output folder
  }
#if defined(__APPLE__) || defined(__linux__)
  if (geteuid() != 0) {  // permissions do not stop the superuser
    TempDir locked;
    writeFile(locked.file("a.tif"), "x");
    fs::permissions(locked.path(), fs::perms::none);
    const ProgramRun r = lumivex("trail " + shellQuote(locked.path()) + out);
    fs::permissions(locked.path(), fs::perms::owner_all);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot read folder '" + locked.path() + "'"), std::string::npos) << r.err;
  }
#endif
}

}  // namespace
