// The lumivex program and the real add-on module, end to end, plus the
// script-side readers the program uses (job progress path, result-log
// verdict, progress follower).
#include "cli/progress_view.h"
#include "standin/host.h"
#include "program_run.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#if defined(__APPLE__) || defined(__linux__)
#include <dlfcn.h>
#endif

namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

using testsupport::lumivex;
using testsupport::ProgramRun;
using testsupport::shellQuote;

TEST(LumivexCall, PrintsStringsAndErrorValues) {
  const ProgramRun banner = lumivex("call my_function");
  EXPECT_EQ(banner.status, 0);
  EXPECT_EQ(banner.out, "Lumivex Native Addon 0.1.0\n");
  EXPECT_EQ(banner.err, "");

  for (const char* args : {"call my_echo", "call my_echo --number 3", "call my_echo --bool true"}) {
    const ProgramRun r = lumivex(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.err, "error: -1: unknown exception\n") << args;
    EXPECT_EQ(r.out, "") << args;
  }
}

// The job thread lives in the program: the answer must reach the pipe, and a
// job that can be followed must have ended, before the program does.
TEST(LumivexCall, BackgroundStartPrintsTrueAndEndsAfterTheJob) {
  TempDir dir;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const ProgramRun missing = lumivex("call my_start_job_background " + shellQuote(dir.file("none/stack_job.txt")));
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.out + missing.err, "true\n");
  }
  // too few inputs: the stack fails at once, in its log
  writeFile(dir.file("job.txt"), "method=auto\noutput=" + dir.file("out.tif") + "\nresultLog=" +
                                     dir.file("log.txt") + "\nprogress=" + dir.file("p.txt") + "\n");
  const ProgramRun run = lumivex("call my_start_job_background " + shellQuote(dir.file("job.txt")));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "true\n");
  const std::string log = readFile(dir.file("log.txt"));
  EXPECT_NE(log.find("at least two inputs are required"), std::string::npos) << log;
  EXPECT_NE(readFile(dir.file("p.txt")).find("Failed"), std::string::npos);
}

TEST(LumivexCall, UnknownExportsAndBadUsageExitTwo) {
  const ProgramRun unknown = lumivex("call my_nothing");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("my_nothing"), std::string::npos) << unknown.err;
  EXPECT_NE(unknown.err.find("my_echo"), std::string::npos) << unknown.err;  // names what there is
  EXPECT_EQ(lumivex("call my_echo --number three").status, 2);
  EXPECT_EQ(lumivex("call my_echo --bool maybe").status, 2);
  EXPECT_EQ(lumivex("call my_echo a b").status, 2);
  EXPECT_EQ(lumivex("call").status, 2);
  const ProgramRun relocated = lumivex("call my_function", "LUMIVEX_ADDON=/nonexistent/lumivex_addon.uxpaddon");
  EXPECT_EQ(relocated.status, 2);
  EXPECT_NE(relocated.err.find("/nonexistent/lumivex_addon.uxpaddon"), std::string::npos) << relocated.err;
  const ProgramRun named = lumivex("call my_function", "LUMIVEX_ADDON=" + shellQuote(LUMIVEX_ADDON));
  EXPECT_EQ(named.out, "Lumivex Native Addon 0.1.0\n");
}

TEST(LumivexProgram, HelpAndVersion) {
  const ProgramRun version = lumivex("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "Lumivex Native Addon 0.1.0\n");
  const ProgramRun help = lumivex("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("run JOB [--quiet]"), std::string::npos);
  EXPECT_EQ(lumivex("frobnicate").status, 2);
}

TEST(LumivexRun, MissingJobIsSaidPlainlyBeforeAnythingRuns) {
  TempDir dir;
  const ProgramRun r = lumivex("run " + shellQuote(dir.file("startrail_job_native.json")));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
  EXPECT_EQ(lumivex("run").status, 2);
  EXPECT_EQ(lumivex("run " + shellQuote(dir.path())).status, 2);
  writeFile(dir.file("job.txt"), "method=auto\n");
  EXPECT_EQ(lumivex("run " + shellQuote(dir.file("job.txt")) + " --loud").status, 2);
}

TEST(LumivexRun, JobLevelFailureExitsOneAndPrintsTheLog) {
  TempDir dir;
  // too few inputs: the hybrid stack job answers with a failure text, not an error value
  writeFile(dir.file("job.txt"), "method=auto\noutput=" + dir.file("out.tif") + "\nresultLog=" +
                                     dir.file("log.txt") + "\n");
  const ProgramRun r = lumivex("run " + shellQuote(dir.file("job.txt")) + " --quiet");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.out.empty());
  EXPECT_FALSE(lvhost::resultLogReportsSuccess(r.out));
  EXPECT_EQ(r.err, "");  // --quiet: no progress
}

// The nine numbers after "homography": in the printed JSON, row-major.
std::vector<double> homographyOf(const std::string& json) {
  std::vector<double> h;
  size_t at = json.find("\"homography\":[");
  if (at == std::string::npos) return h;
  const char* p = json.c_str() + at + 14;
  for (int k = 0; k < 9; ++k) {
    char* end = nullptr;
    h.push_back(std::strtod(p, &end));
    if (end == p) return {};
    p = end + 1;  // past the comma
  }
  return h;
}

// The matrix maps MOVING onto REFERENCE: the frame's truth, not its inverse;
// checked at the frame's corners.
void expectCornersMapLikeTruth(const std::vector<double>& h, const cv::Matx33d& truth, cv::Size size,
                               const std::string& label) {
  const double r = size.width - 1, b = size.height - 1;
  for (const cv::Point2d p : {cv::Point2d(0, 0), cv::Point2d(r, 0), cv::Point2d(0, b), cv::Point2d(r, b)}) {
    const double w = h[6] * p.x + h[7] * p.y + h[8];
    const cv::Vec3d t = truth * cv::Vec3d(p.x, p.y, 1.0);
    EXPECT_NEAR((h[0] * p.x + h[1] * p.y + h[2]) / w, t[0] / t[2], 0.2) << label;
    EXPECT_NEAR((h[3] * p.x + h[4] * p.y + h[5]) / w, t[1] / t[2], 0.2) << label;
  }
}

TEST(LumivexRegister, JsonAgainstTruthAndExitStatus) {
  TempDir dir;
  synth::StackSettings settings;
  settings.size = {800, 600};
  settings.frames = 2;
  settings.streakFrame = -2;
  const synth::Scene scene = synth::makeStackScene(settings);
  const std::string ref = dir.file("ref.tif"), mov = dir.file("mov.tif"), flat = dir.file("flat.tif");
  ASSERT_TRUE(cv::imwrite(ref, scene.frames[0]) && cv::imwrite(mov, scene.frames[1]));
  ASSERT_TRUE(cv::imwrite(flat, cv::Mat(600, 800, CV_16UC3, cv::Scalar::all(2000))));

  for (const std::string mode : {"", " --plain"}) {
    const ProgramRun r = lumivex("register " + shellQuote(ref) + " " + shellQuote(mov) + mode);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("{\"ok\":true,\"reason\":\"ok\",\"mode\":\"", 0), 0u) << r.out;
    const std::vector<double> h = homographyOf(r.out);
    ASSERT_EQ(h.size(), 9u) << r.out;
    expectCornersMapLikeTruth(h, scene.truth[1].frameToReference, {800, 600}, mode);
  }
  const ProgramRun starless = lumivex("register " + shellQuote(ref) + " " + shellQuote(flat));
  EXPECT_EQ(starless.status, 1);
  EXPECT_NE(starless.out.find("\"reason\":\"too few stars in moving frame\""), std::string::npos) << starless.out;
  EXPECT_NE(starless.out.find("\"homography\":null"), std::string::npos);
  EXPECT_EQ(lumivex("register " + shellQuote(ref) + " " + shellQuote(dir.file("missing.tif"))).status, 2);
  EXPECT_EQ(lumivex("register " + shellQuote(ref) + " " + shellQuote(mov) + " --sigma x").status, 2);
  EXPECT_EQ(lumivex("register " + shellQuote(ref)).status, 2);
}

// A sparse, light-polluted 8-bit sky in poor seeing registers onto its truth;
// frames of two unrelated skies fail with a reason, never a matrix called ok.
TEST(LumivexRegister, SparsePoorSeeingPairAndUnrelatedSkies) {
  TempDir dir;
  synth::StackSettings settings;
  settings.size = {1500, 1000};
  settings.frames = 2;
  settings.bits = 8;
  settings.seed = 4;
  settings.sky = synth::sparseSky();
  settings.fwhmMin = settings.fwhmMax = 5.0;
  settings.streakFrame = -2;
  const synth::Scene scene = synth::makeStackScene(settings);
  settings.seed = 9;
  const synth::Scene other = synth::makeStackScene(settings);
  const std::string ref = dir.file("ref.tif"), mov = dir.file("mov.tif"), unrelated = dir.file("other.tif");
  ASSERT_TRUE(cv::imwrite(ref, scene.frames[0]) && cv::imwrite(mov, scene.frames[1]) &&
              cv::imwrite(unrelated, other.frames[1]));

  const ProgramRun r = lumivex("register " + shellQuote(ref) + " " + shellQuote(mov));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<double> h = homographyOf(r.out);
  ASSERT_EQ(h.size(), 9u) << r.out;
  expectCornersMapLikeTruth(h, scene.truth[1].frameToReference, settings.size, "sparse");

  const ProgramRun apart = lumivex("register " + shellQuote(ref) + " " + shellQuote(unrelated));
  EXPECT_EQ(apart.status, 1) << apart.out;
  EXPECT_EQ(apart.out.rfind("{\"ok\":false,\"reason\":\"", 0), 0u) << apart.out;
  EXPECT_EQ(apart.out.find("\"reason\":\"ok\""), std::string::npos) << apart.out;
}

// An uncompressed little-endian RGB TIFF with signed samples, which
// OpenCV reads but will not write.
std::string signedRgbTiff(const cv::Mat& image) {
  const int bits = int(image.elemSize1()) * 8;
  const std::uint32_t dataBytes = std::uint32_t(image.total() * image.elemSize());
  std::string out;
  auto put = [&out](std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out += char((v >> (8 * i)) & 0xFF);
  };
  const std::uint32_t extra = 8, ifd = extra + 12, data = ifd + 2 + 11 * 12 + 4;
  out = "II";
  put(42, 2);
  put(ifd, 4);
  for (int i = 0; i < 3; ++i) put(bits, 2);  // BitsPerSample at 8
  for (int i = 0; i < 3; ++i) put(2, 2);     // SampleFormat at 14: signed integer
  put(11, 2);
  const std::uint32_t tags[11][4] = {{256, 4, 1, std::uint32_t(image.cols)}, {257, 4, 1, std::uint32_t(image.rows)},
                                     {258, 3, 3, extra},  {259, 3, 1, 1}, {262, 3, 1, 2}, {273, 4, 1, data},
                                     {277, 3, 1, 3}, {278, 4, 1, std::uint32_t(image.rows)}, {279, 4, 1, dataBytes},
                                     {284, 3, 1, 1}, {339, 3, 3, extra + 6}};
  for (const auto& t : tags) {
    put(t[0], 2);
    put(t[1], 2);
    put(t[2], 4);
    put(t[3], 4);
  }
  put(0, 4);
  // OpenCV keeps BGR in memory; the file holds RGB.
  cv::Mat rgb(image.size(), image.type());
  cv::mixChannels(image, rgb, {0, 2, 1, 1, 2, 0});
  out.append(reinterpret_cast<const char*>(rgb.data), dataBytes);
  return out;
}

// Signed colour frames once aborted the program from inside star detection.
TEST(LumivexRegister, SignedColourFramesExitTwoNamingTheFile) {
  TempDir dir;
  synth::StackSettings settings;
  settings.size = {160, 120};
  settings.frames = 1;
  settings.streakFrame = -2;
  const synth::Scene scene = synth::makeStackScene(settings);
  const std::string good = dir.file("good.tif");
  ASSERT_TRUE(cv::imwrite(good, scene.frames[0]));
  for (const int type : {CV_16SC3, CV_8SC3}) {
    cv::Mat signedFrame;
    scene.frames[0].convertTo(signedFrame, type, type == CV_16SC3 ? 0.5 : 1.0 / 512);
    const std::string bad = dir.file("signed" + std::to_string(type) + ".tif");
    writeFile(bad, signedRgbTiff(signedFrame));
    ASSERT_EQ(cv::imread(bad, -1).type(), type);
    for (const std::string& args : {shellQuote(good) + " " + shellQuote(bad), shellQuote(bad) + " " + shellQuote(good)}) {
      const ProgramRun r = lumivex("register " + args);
      EXPECT_EQ(r.status, 2) << r.err;
      EXPECT_EQ(r.err, "lumivex: cannot register image '" + bad + "': signed " +
                           std::string(type == CV_16SC3 ? "16" : "8") +
                           "-bit 3-channel images cannot be registered (8- or 16-bit unsigned or 32-bit float only)\n");
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST(LumivexRun, ReportsTheJobsFinalProgressOnePlainLinePerChange) {
  TempDir dir;
  const std::string progress = dir.file("progress.txt");
  writeFile(dir.file("job.txt"), "method=auto\nprogress=" + progress + "\nresultLog=" + dir.file("log.txt") + "\n");
  const ProgramRun r = lumivex("run " + shellQuote(dir.file("job.txt")));
  EXPECT_EQ(r.status, 1);
  lvhost::ProgressSnapshot last;
  if (lvhost::readProgressFile(progress, last)) {
    // stderr is not a terminal here: plain lines, the last one the job's final state
    std::string expected = "progress " + std::to_string(last.percent) + "% " + last.stage;
    if (!last.detail.empty()) expected += ": " + last.detail;
    EXPECT_EQ(r.err.size() >= expected.size() + 1 ? r.err.substr(r.err.size() - expected.size() - 1) : r.err,
              expected + "\n");
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
  } else {
    EXPECT_EQ(r.err, "");
  }
}

#if defined(__APPLE__) || defined(__linux__)
TEST(AddonModule, ExportsOnlyItsEntryPoints) {
  void* module = dlopen(LUMIVEX_ADDON, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  EXPECT_NE(dlsym(module, "uxp_addon_init"), nullptr);
  EXPECT_NE(dlsym(module, "uxp_addon_terminate"), nullptr);
  EXPECT_NE(dlsym(module, "terminate"), nullptr);
  for (const char* internal : {"_Z6MyEchoP11addon_env__P21addon_callback_info__",
                               "_ZN5Value12ConvertValueEP11addon_env__RKS_", "_ZN17UxpAddonInterface8instanceEv",
                               "MyEcho", "NL_readTextFile"}) {
    EXPECT_EQ(dlsym(module, internal), nullptr) << internal;
  }
#if defined(__linux__)
  // the whole dynamic symbol table: nothing defined but the three entry points
  TempDir dir;
  const std::string command = "nm -D --defined-only " + shellQuote(LUMIVEX_ADDON) +
                              " | awk '$2 ~ /[TDBRVWiu]/ {print $3}' | sort >" + shellQuote(dir.file("syms"));
  if (std::system(command.c_str()) == 0) {
    EXPECT_EQ(readFile(dir.file("syms")), "terminate\nuxp_addon_init\nuxp_addon_terminate\n");
  }
#endif
}
#endif

// A module that needs a function no loaded library defines is refused when
// it is loaded, with the symbol named: the job never starts, so no output
// is begun and the process is not ended by the loader halfway through.
TEST(AddonModule, UnresolvedSymbolIsAClearLoadError) {
  TempDir dir;
  const cv::Mat frame(24, 32, CV_16UC3, cv::Scalar(1000, 2000, 3000));
  ASSERT_TRUE(cv::imwrite(dir.file("a.tif"), frame));
  ASSERT_TRUE(cv::imwrite(dir.file("b.tif"), frame));
  writeFile(dir.file("job.json"), "{\"inputs\": [{\"path\": \"" + dir.file("a.tif") + "\"}, {\"path\": \"" +
                                      dir.file("b.tif") + "\"}], \"output\": \"" + dir.file("trail.tif") + "\"}");
  const ProgramRun r = lumivex("run " + shellQuote(dir.file("job.json")),
                               "LUMIVEX_ADDON=" + shellQuote(LUMIVEX_UNRESOLVED_ADDON));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot load add-on module '" + std::string(LUMIVEX_UNRESOLVED_ADDON) + "'"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("lumivex_test_function_nobody_defines"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("trail.tif")));
}

TEST(ScriptSide, ProgressPathOfEachJobFileStyle) {
  TempDir dir;
  auto path = [&](const std::string& text) {
    writeFile(dir.file("job"), text);
    return lvhost::jobProgressPath(dir.file("job"));
  };
  EXPECT_EQ(path("{\"type\": \"startrail-native-job\", \"progress\" : \"C:\\\\p\\\\x.txt\"}"), "C:\\p\\x.txt");
  EXPECT_EQ(path("{\"progressPath\":\"/a/b.txt\",\"resultLog\":\"/a/r.txt\"}"), "/a/b.txt");
  EXPECT_EQ(path("{\"progress\":\"/first\",\"progressPath\":\"/second\",\"progress\":\"/third\"}"), "/first");
  EXPECT_EQ(path("method=auto\n  progress = /tmp/p one.txt \nprogress=/tmp/p2.txt\ninput=a\n"), "/tmp/p2.txt");
  EXPECT_EQ(path("method=auto\n# progress=/commented\n"), "");
  EXPECT_EQ(path("{\"progress\": 5}"), "");
  EXPECT_EQ(lvhost::jobProgressPath(dir.file("missing")), "");
}

TEST(ScriptSide, SuccessIsReadFromEachLogStyle) {
  const std::pair<const char*, bool> logs[] = {
      {"Star Trail native job completed.\nstatus=success\nframes=3\n", true},
      {"Star Trail native job failed.\nstatus=failed\nerror=no frames\n", false},
      {"Native Star Glow result.\njob = x\nstatus = running\nwrite = success\nstatus = success\n", true},
      {"Native Star Glow result.\nstatus = running\nstatus = failed\nerror = cannot read\n", false},
      {"Sky Blend Native completed.\ninputs = 3\nreference = a.tif\n", true},
      {"Sky Blend failed during sky stack.\nSky stack failed: completed.\n", false},
      {"Lumivex Hybrid stack completed.\nselectedMethod = median\n", true},
      {"Lumivex Hybrid stack failed.\nQuality/alignment gates left too few frames for selected method.\n", false},
      {"Lumivex Hybrid test failed: output is empty.", false},
      {"Star Glow job is not available in this build.", false},
      {"", false},
  };
  for (const auto& log : logs) EXPECT_EQ(lvhost::resultLogReportsSuccess(log.first), log.second) << log.first;
}

// Writes progress the way the add-on does: a temporary file renamed over the path.
void writeProgress(const std::string& path, int percent, const std::string& stage, const std::string& detail) {
  writeFile(path + ".tmp", "percent=" + std::to_string(percent) + "\nstage=" + stage + "\ndetail=" + detail +
                               "\nwriter=module landscape-progress-monotonic-v2\n");
  std::remove(path.c_str());
  std::rename((path + ".tmp").c_str(), path.c_str());
}

TEST(ScriptSide, FollowerSeesOrderedChangesAndAlwaysTheLast) {
  TempDir dir;
  const std::string path = dir.file("progress.txt");
  const std::vector<lvhost::ProgressSnapshot> written = {
      {1, "Preparing Native Engine", "started"}, {10, "Checking Frame Quality", "a"},
      {10, "Checking Frame Quality", "b"},       {35, "Creating Stacked Image", "c"},
      {100, "Completed", "Stacking finished successfully."}};
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (const auto& p : written) {
      writeProgress(path, p.percent, p.stage, p.detail);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    writing = false;
  });
  std::vector<lvhost::ProgressSnapshot> seen;
  lvhost::followProgress(path, [&] { return writing.load(); },
                         [&](const lvhost::ProgressSnapshot& p) { seen.push_back(p); }, 5);
  writer.join();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), written.back());
  // what was seen is a subsequence of what was written, each state once
  size_t next = 0;
  for (const auto& s : seen) {
    while (next < written.size() && written[next] != s) ++next;
    ASSERT_LT(next, written.size()) << s.percent << " " << s.detail;
    ++next;
  }
  lvhost::ProgressSnapshot parsed;
  writeFile(path, "percent=42\nstage=Blend\ndetail=a=b\nwriter=x\n");
  ASSERT_TRUE(lvhost::readProgressFile(path, parsed));
  EXPECT_EQ(parsed, (lvhost::ProgressSnapshot{42, "Blend", "a=b"}));
  writeFile(path, "stage=Blend\n");
  EXPECT_FALSE(lvhost::readProgressFile(path, parsed));
}

// Writes one state per poll of the view (so none is skipped, whatever the
// machine's load), then lets it follow to the end.
std::string viewOf(lvcli::ProgressStyle style, const std::string& path,
                   const std::vector<lvhost::ProgressSnapshot>& states) {
  std::ostringstream shown;
  lvcli::ProgressView view(path, style, shown);
  size_t next = 0;
  view.follow(
      [&] {
        if (next == states.size()) return false;
        const auto& p = states[next++];
        writeProgress(path, p.percent, p.stage, p.detail);
        return true;
      },
      1);
  return shown.str();
}

TEST(ProgressView, PlainLinesOnePerStageChangeAndTheFinalState) {
  TempDir dir;
  const std::string path = dir.file("progress.txt");
  const std::vector<lvhost::ProgressSnapshot> states = {
      {1, "Preparing Native Engine", "started"}, {10, "Checking Frame Quality", "a"},
      {12, "Checking Frame Quality", "b"},       {35, "Creating Stacked Image", "c"},
      {60, "Creating Stacked Image", "d"}};
  EXPECT_EQ(viewOf(lvcli::ProgressStyle::Lines, path, states),
            "progress 1% Preparing Native Engine: started\n"
            "progress 10% Checking Frame Quality: a\n"
            "progress 35% Creating Stacked Image: c\n"
            "progress 60% Creating Stacked Image: d\n");
  // a file left by an earlier run is not shown until this run writes
  writeProgress(path, 100, "Completed", "old run");
  const std::string fresh = viewOf(lvcli::ProgressStyle::Lines, path, {{2, "Loading", ""}, {100, "Completed", "new"}});
  EXPECT_EQ(fresh, "progress 2% Loading\nprogress 100% Completed: new\n");
  EXPECT_EQ(viewOf(lvcli::ProgressStyle::Quiet, path, states), "");
  EXPECT_EQ(viewOf(lvcli::ProgressStyle::Lines, "", states), "");
}

TEST(ProgressView, BarRedrawsOneLineAndEndsIt) {
  TempDir dir;
  const std::string shown = viewOf(lvcli::ProgressStyle::Bar, dir.file("progress.txt"),
                                   {{5, "Loading", "frame 1"}, {100, "Completed", "done"}});
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), '\r');
  EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 1) << shown;
  EXPECT_EQ(shown.back(), '\n');
  EXPECT_NE(shown.find("[########################] 100%  Completed: done  0:0"), std::string::npos) << shown;

  const lvhost::ProgressSnapshot p{42, "Creating Registered Sky Stack", "Warping frame 3 of 12 onto the canvas"};
  EXPECT_EQ(lvcli::progressBarLine(p, 75, 200),
            "[##########--------------]  42%  Creating Registered Sky Stack: Warping frame 3 of 12 onto the canvas  1:15");
  EXPECT_EQ(lvcli::progressBarLine({150, "Done", ""}, 3725, 80), "[########################] 100%  Done  1:02:05");
  EXPECT_EQ(lvcli::progressBarLine({-4, "Start", ""}, 0, 80), "[------------------------]   0%  Start  0:00");
  // a narrow terminal: the stage is cut, the clock kept, the line never wraps
  for (int width : {20, 40, 60, 79}) {
    const std::string line = lvcli::progressBarLine(p, 75, width);
    EXPECT_LT(static_cast<int>(line.size()), width) << line;
    if (width >= 60) {
      EXPECT_EQ(line.substr(line.size() - 6), "  1:15") << line;
    }
  }
}

TEST(ScriptSide, RunJobThroughAddonReportsLoadFailures) {
  const lvhost::CallResult missing = lvhost::runJobThroughAddon("/nonexistent/module.uxpaddon", "job.txt");
  EXPECT_EQ(missing.kind, lvhost::ResultKind::NotLoaded);
  EXPECT_NE(missing.text.find("/nonexistent/module.uxpaddon"), std::string::npos);
  TempDir dir;
  const lvhost::CallResult routed =
      lvhost::runJobThroughAddon(LUMIVEX_ADDON, dir.file("skyblend_job_native.json"));
  ASSERT_EQ(routed.kind, lvhost::ResultKind::String);
  EXPECT_EQ(routed.text.rfind("Sky Blend", 0), 0u) << routed.text;
}

}  // namespace

#if defined(__APPLE__) || defined(__linux__)
#include "cli/cancel.h"
#include "plumbing/plumbing.h"

#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Starts the program with the arguments, its output thrown away; returns its process id.
pid_t startLumivex(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(LUMIVEX_EXE)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    execv(LUMIVEX_EXE, argv.data());
    _exit(127);
  }
  return pid;
}

// A Star Glow job waiting for an export that never completes: it runs until stopped.
std::string waitingGlowJob(const TempDir& dir) {
  writeFile(dir.file("export.png"), std::string("\x89PNG\r\n\x1a\n", 8) + std::string(5000, '\0'));
  const std::string job = dir.file("star_glow_job_native.json");
  writeFile(job, "{\"type\": \"star-glow-native-job\", \"inputPath\": \"" + dir.file("export.png") +
                     "\", \"outputPath\": \"" + dir.file("glow.tif") + "\", \"progress\": \"" + dir.file("p.txt") +
                     "\", \"resultLog\": \"" + dir.file("log.txt") + "\"}");
  return job;
}

}  // namespace

// Ctrl-C left a progress file stuck mid-run and, in background mode, a
// result log saying status=running for ever.
TEST(LumivexCancel, SignalEndsEveryModeWithAFailedEntryAndStatus130) {
  const std::pair<std::vector<std::string>, int> runs[] = {
      {{"run"}, SIGINT}, {{"run", "--background"}, SIGTERM}, {{"run", "--async"}, SIGINT}};
  for (const auto& [mode, signal] : runs) {
    TempDir dir;
    std::vector<std::string> args = mode;
    args.push_back(waitingGlowJob(dir));
    const pid_t pid = startLumivex(args);
    ASSERT_GT(pid, 0);
    // until the job is in its wait (no figure of time is asserted, only that it gets there)
    for (int i = 0; i < 600 && readFile(dir.file("p.txt")).find("stage=Loading image") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(readFile(dir.file("p.txt")).find("stage=Loading image"), std::string::npos);
    kill(pid, signal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << mode.back();
    EXPECT_EQ(WEXITSTATUS(status), 130) << mode.back();
    const std::string name = signal == SIGINT ? "SIGINT" : "SIGTERM";
    const std::string why = "Cancelled: the lumivex program received " + name + " before the job finished.";
    EXPECT_EQ(readFile(dir.file("p.txt")), "percent=100\nstage=Failed\ndetail=" + why +
                                               "\nwriter=module landscape-progress-monotonic-v2\n");
    EXPECT_EQ(readFile(dir.file("log.txt")), "Job cancelled.\nstatus=failed\nerror=" + why + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("glow.tif")));
  }
}

// What a cancelled job leaves: no partial file of this process beside its
// outputs or its log; another process's partial stays.
TEST(LumivexCancel, CancelledJobLeavesNoPartialFileOfItsOwn) {
  TempDir dir;
  const std::string job = waitingGlowJob(dir);
  const std::string mine = NL_uniqueSiblingPath(dir.file("glow.tif"), "partial");
  const std::string myLog = NL_uniqueSiblingPath(dir.file("log.txt"), "partial");
  const std::string other = dir.file("glow.lumivex-partial-1-0-0.tif");
  for (const std::string& f : {mine, myLog, other}) writeFile(f, "half");
  lvcli::cancelJob(job, "SIGTERM");
  EXPECT_FALSE(std::filesystem::exists(mine));
  EXPECT_FALSE(std::filesystem::exists(myLog));
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_NE(readFile(dir.file("log.txt")).find("status=failed\n"), std::string::npos);
}
#endif
