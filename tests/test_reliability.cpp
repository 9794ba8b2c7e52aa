// Bad input of every kind: pipes and devices where files belong, outputs
// aimed at the user's own files, values of the wrong type, frames beyond the
// size limit. Each must end with a clear failure and nothing lost.
#include "addon/background.h"
#include "addon/dispatch.h"
#include "plumbing/plumbing.h"
#include "skyblend/skyblend.h"
#include "hybrid/hybrid.h"
#include "starglow/starglow.h"
#include "startrail/startrail.h"
#include "synth/synth.h"

#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

#ifndef _WIN32
// A named pipe whose reader or writer would block on open. Should the code
// under test open it after all, the guard opens the other end after a while
// so that the test fails on its assertions instead of hanging the suite.
class Fifo {
 public:
  explicit Fifo(const std::string& path) : path_(path) {
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    guard_ = std::thread([this] {
      for (int i = 0; i < 300 && !done_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (done_) return;
      const int fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK);
      if (fd >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(fd);
      }
    });
  }
  ~Fifo() {
    done_ = true;
    guard_.join();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::atomic<bool> done_{false};
  std::thread guard_;
};
#endif

std::string pngHeader(std::uint32_t w, std::uint32_t h) {
  std::string s("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  for (std::uint32_t v : {w, h})
    for (int shift = 24; shift >= 0; shift -= 8) s += char((v >> shift) & 0xFF);
  s += std::string("\x08\x02\0\0\0", 5);
  return s + std::string(4096, '\0');
}

// A big-endian classic TIFF (SHORT width, LONG height) or a little-endian
// BigTIFF (LONG8 both), first directory right after the header.
std::string tiffHeader(bool bigTiff, std::uint64_t w, std::uint64_t h) {
  auto be = [](std::uint64_t v, int n) {
    std::string s;
    for (int i = n - 1; i >= 0; --i) s += char((v >> (8 * i)) & 0xFF);
    return s;
  };
  auto le = [](std::uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += char((v >> (8 * i)) & 0xFF);
    return s;
  };
  if (!bigTiff) {
    std::string s = "MM" + be(42, 2) + be(8, 4) + be(3, 2);
    s += be(254, 2) + be(4, 2) + be(1, 4) + be(0, 4);  // a tag before the ones that matter
    s += be(256, 2) + be(3, 2) + be(1, 4) + be(w, 2) + be(0, 2);
    s += be(257, 2) + be(4, 2) + be(1, 4) + be(h, 4);
    return s + be(0, 4);
  }
  std::string s = "II" + le(43, 2) + le(8, 2) + le(0, 2) + le(16, 8) + le(2, 8);
  s += le(256, 2) + le(16, 2) + le(1, 8) + le(w, 8);
  s += le(257, 2) + le(16, 2) + le(1, 8) + le(h, 8);
  return s + le(0, 8);
}

}  // namespace

// ---- Plumbing guards -------------------------------------------------------

#ifndef _WIN32
TEST(ReliabilityPlumbing, PipesAndDevicesAreRefusedUnopened) {
  TempDir dir;
  Fifo fifo(dir.file("pipe"));
  std::string text = "stale", failure;
  EXPECT_FALSE(NL_readJobFile(fifo.path(), text, failure));
  EXPECT_EQ(failure, "job file is not a regular file: " + fifo.path());
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(NL_readTextFile(fifo.path()), "");
  EXPECT_EQ(NL_sgReadTextFile(fifo.path()), "");
  EXPECT_EQ(NL_getFileSizeNoThrow(fifo.path()), 0u);
  EXPECT_TRUE(NL_imdecodeFileFallback(fifo.path(), -1).empty());
  EXPECT_TRUE(NL_imreadWithRetry(fifo.path(), -1, 10, 100000).empty());
  EXPECT_EQ(NL_imageFileProblem(fifo.path()), "is not a regular file");
  // Writers leave it alone too: a pipe as progress or result path.
  NL_writeTextFile(fifo.path(), "x");
  NL_writeProgressFile(fifo.path(), 5, "Stage", "detail");
  EXPECT_TRUE(NL_isNonRegularFile(fifo.path()));
  // An endless device ends at once as well.
  EXPECT_FALSE(NL_readJobFile("/dev/zero", text, failure));
  EXPECT_EQ(failure, "job file is not a regular file: /dev/zero");
}
#endif

TEST(ReliabilityPlumbing, JobFilesAreBoundedAndFoldersSurviveProgressWrites) {
  TempDir dir;
  std::string text, failure;
  writeFile(dir.file("big.json"), std::string(NL_kMaxJobFileBytes + 1, ' '));
  EXPECT_FALSE(NL_readJobFile(dir.file("big.json"), text, failure));
  EXPECT_EQ(failure, "job file is larger than 16 MB: " + dir.file("big.json"));
  EXPECT_EQ(NL_readTextFile(dir.file("big.json")), "");
  writeFile(dir.file("edge.json"), std::string(NL_kMaxJobFileBytes, ' '));
  EXPECT_TRUE(NL_readJobFile(dir.file("edge.json"), text, failure));
  EXPECT_EQ(text.size(), NL_kMaxJobFileBytes);
  EXPECT_FALSE(NL_readJobFile(dir.file("missing.json"), text, failure));
  EXPECT_EQ(failure, "job file could not be read: " + dir.file("missing.json"));

  // A progress or result path naming an empty folder once made the writer delete it.
  std::filesystem::create_directory(dir.file("folder"));
  NL_writeProgressFile(dir.file("folder"), 40, "Stage", "detail");
  NL_writeTextFile(dir.file("folder"), "log");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("folder.tmp")));
}

TEST(ReliabilityPlumbing, ValuesOfTheWrongTypeReadAsAbsent) {
  const std::string text = R"({"output": 5, "progress": {"a": 1}, "resultLog": null,
    "mask": [ "x" ], "skyOutput": true, "ok":  "y.tif", "later": "z.tif"})";
  for (const char* key : {"output", "progress", "resultLog", "mask", "skyOutput"})
    EXPECT_EQ(NL_extractJsonString(text, key), "") << key;
  EXPECT_EQ(NL_extractJsonString(text, "ok"), "y.tif");
  EXPECT_EQ(NL_extractJsonNestedString(R"({"o": {"k": 3, "j": "v"}})", "o", "k"), "");
  // A path member that is no string ends the walk like an empty one.
  EXPECT_EQ(NL_extractJsonPathObjectsArray(R"({"in": [{"path": "a"}, {"path": 2}, {"path": "c"}]})", "in"),
            std::vector<std::string>{"a"});
}

// Each path of the array was once searched in a copy of the rest of the
// array, so a long frame list took quadratic time.
TEST(ReliabilityPlumbing, LongFrameListsReadInOnePass) {
  std::string text = "{\"inputs\": [";
  const int count = 100000;
  for (int i = 0; i < count; ++i) text += (i ? ", {\"path\": \"f" : "{\"path\": \"f") + std::to_string(i) + ".tif\"}";
  text += "]}";
  const std::vector<std::string> paths = NL_extractJsonPathObjectsArray(text, "inputs");
  ASSERT_EQ(paths.size(), size_t(count));
  EXPECT_EQ(paths.front(), "f0.tif");
  EXPECT_EQ(paths.back(), "f99999.tif");
}

TEST(ReliabilityPlumbing, OutputsNeverLandOnInputsOtherOutputsOrFolders) {
  TempDir dir;
  const std::string frame = dir.file("frame.tif"), mask = dir.file("mask.png"), job = dir.file("job.json");
  for (const std::string& p : {frame, mask, job}) writeFile(p, "user data");
  std::filesystem::create_directory(dir.file("sub"));
  auto check = [&](const std::vector<NLJobPath>& outputs) {
    return NL_checkJobPaths({{{"job file", job}, {"input frame", frame}, {"sky mask", mask}, {"input frame", ""}},
                             outputs});
  };
  EXPECT_EQ(check({{"output", dir.file("out.tif")}, {"progress file", dir.file("p.txt")},
                   {"result log", ""}}),
            "");
  EXPECT_EQ(check({{"output", dir.file("out.tif")}, {"sky output", frame}}),
            "sky output " + frame + " is the same file as input frame " + frame);
  // Another spelling of the same file, and a link to it.
  const std::string spelled = dir.path() + "/sub/../mask.png";
  EXPECT_EQ(check({{"foreground output", spelled}}),
            "foreground output " + spelled + " is the same file as sky mask " + mask);
  std::error_code ec;
  std::filesystem::create_symlink(job, dir.file("link.json"), ec);
  if (!ec) {
    EXPECT_EQ(check({{"progress file", dir.file("link.json")}}),
              "progress file " + dir.file("link.json") + " is the same file as job file " + job);
  }
  // Two outputs that do not exist yet but would be one file.
  EXPECT_EQ(check({{"output", dir.file("a.tif")}, {"result log", dir.path() + "/./a.tif"}}),
            "result log " + dir.path() + "/./a.tif is the same file as output " + dir.file("a.tif"));
  EXPECT_EQ(check({{"progress file", dir.file("sub")}}), "progress file " + dir.file("sub") + " is an existing folder");
  EXPECT_FALSE(NL_isSafeReportPath(frame, {{{"input frame", frame}}, {}}));
  EXPECT_FALSE(NL_isSafeReportPath(dir.file("sub"), {}));
  EXPECT_TRUE(NL_isSafeReportPath(dir.file("out.tif"), {{{"input frame", frame}}, {}}));
#ifndef _WIN32
  Fifo fifo(dir.file("pipe"));
  EXPECT_EQ(NL_checkJobPaths({{{"sky mask", fifo.path()}}, {}}), "sky mask " + fifo.path() + " is not a regular file");
  EXPECT_EQ(NL_checkJobPaths({{}, {{"result log", fifo.path()}}}), "result log " + fifo.path() + " is not a regular file");
#endif
  for (const std::string& p : {frame, mask, job}) EXPECT_EQ(readFile(p), "user data");
}

TEST(ReliabilityPlumbing, ImageSizeLimitAndHeaderPeek) {
  EXPECT_EQ(NL_imageSizeProblem({20000, 10000}, 0, 0), "");
  EXPECT_EQ(NL_imageSizeProblem({20000, 10001}, 0, 0),
            "image is 20000 x 10001 pixels, beyond the limit of 200 megapixels and 65535 pixels a side");
  EXPECT_NE(NL_imageSizeProblem({65536, 2}, 0, 0), "");
  EXPECT_EQ(NL_imageSizeProblem({4000, 3000}, 64, 1ULL << 30), "");
  EXPECT_EQ(NL_imageSizeProblem({8000, 6000}, 64, 1ULL << 30),
            "image of 8000 x 6000 pixels needs about 2929 MB of working memory; this machine has 1024 MB");
  EXPECT_GT(NL_physicalMemoryBytes(), 0u);

  TempDir dir;
  for (int depth : {CV_8U, CV_16U})
    for (int cn : {1, 3, 4}) {
      const cv::Size size(37 + cn, 23 + depth);
      const cv::Mat image(size, CV_MAKETYPE(depth, cn), cv::Scalar::all(9));
      for (const char* ext : {".tif", ".png"}) {
        const std::string path = dir.file("img" + std::to_string(depth) + std::to_string(cn) + ext);
        ASSERT_TRUE(cv::imwrite(path, image));
        cv::Size read;
        ASSERT_TRUE(NL_readImageHeaderSize(path, read)) << path;
        EXPECT_EQ(read, size) << path;
        EXPECT_EQ(NL_imageFileProblem(path), "");
      }
    }
  struct Case { std::string bytes; cv::Size size; };
  for (const Case& c : {Case{tiffHeader(false, 40000, 30000), {40000, 30000}},
                        Case{tiffHeader(true, 70000, 3), {70000, 3}}, Case{pngHeader(50000, 50000), {50000, 50000}}}) {
    writeFile(dir.file("claim"), c.bytes);
    cv::Size read;
    ASSERT_TRUE(NL_readImageHeaderSize(dir.file("claim"), read));
    EXPECT_EQ(read, c.size);
    EXPECT_EQ(NL_imageFileProblem(dir.file("claim")),
              "is " + std::to_string(c.size.width) + " x " + std::to_string(c.size.height) +
                  " pixels, beyond the limit of 200 megapixels and 65535 pixels a side");
    // Refused before decoding: no retry can shrink a header.
    EXPECT_TRUE(NL_imreadWithRetry(dir.file("claim"), -1, 10, 100000).empty());
  }
  writeFile(dir.file("flat.png"), pngHeader(0, 10));  // a zero width tells nothing
  cv::Size none;
  EXPECT_FALSE(NL_readImageHeaderSize(dir.file("flat.png"), none));
  writeFile(dir.file("junk"), "not an image at all");
  cv::Size unknown;
  EXPECT_FALSE(NL_readImageHeaderSize(dir.file("junk"), unknown));
  writeFile(dir.file("short.tif"), tiffHeader(false, 10, 10).substr(0, 20));
  EXPECT_FALSE(NL_readImageHeaderSize(dir.file("short.tif"), unknown));
}

// ---- Jobs ------------------------------------------------------------------

namespace {

std::string quote(const std::string& s) { return "\"" + s + "\""; }

// Bytes of every file the user gave, to prove none was touched.
std::map<std::string, std::string> snapshot(const std::vector<std::string>& paths) {
  std::map<std::string, std::string> bytes;
  for (const std::string& p : paths)
    if (NL_isRegularFile(p)) bytes[p] = readFile(p);
  return bytes;
}

void expectUnchanged(const std::map<std::string, std::string>& before) {
  for (const auto& entry : before) EXPECT_EQ(readFile(entry.first), entry.second) << entry.first << " was changed";
}

void expectFailedProgress(const std::string& path, const std::string& message) {
  EXPECT_EQ(readFile(path), "percent=100\nstage=Failed\ndetail=" + message +
                                "\nwriter=module landscape-progress-monotonic-v2\n");
}

// A JSON array of {"path": ...} objects.
std::string pathList(const std::vector<std::string>& paths) {
  std::string out = "[";
  for (const std::string& p : paths) out += (out.size() > 1 ? ", {\"path\": " : "{\"path\": ") + quote(p) + "}";
  return out + "]";
}

// One bad job: arrange changes the set and returns the failure text; the
// progress file or result log is not written when the case aims it at a
// file the job must not touch.
template <typename Set>
struct RefusalCase {
  const char* name;
  std::function<std::string(Set&)> arrange;
  bool progressWritten = true;
  bool logWritten = true;
};

// A small Star Trail set: three sky frames, two foreground frames, the sky
// mask, each case changing the job's keys.
struct TrailSet {
  TempDir dir;
  std::vector<std::string> frames, foreground;
  std::string mask = dir.file("mask.png"), job = dir.file("startrail_job_native.json");
  std::map<std::string, std::string> keys;

  explicit TrailSet(int bits) {
    synth::TrailSettings t;
    t.size = cv::Size(96, 72);
    t.frames = 3;
    t.bits = bits;
    t.seed = 5 + bits;
    const synth::Scene scene = synth::makeTrailScene(t);
    for (int i = 0; i < 3; ++i) {
      frames.push_back(dir.file("sky" + std::to_string(i) + ".tif"));
      EXPECT_TRUE(cv::imwrite(frames.back(), scene.frames[i]));
    }
    for (int i = 0; i < 2; ++i) {
      foreground.push_back(dir.file("ground" + std::to_string(i) + ".png"));
      EXPECT_TRUE(cv::imwrite(foreground.back(), scene.frames[i]));
    }
    EXPECT_TRUE(cv::imwrite(mask, scene.skyMask));
    keys = {{"output", quote(dir.file("trail.tif"))},          {"skyOutput", quote(dir.file("sky.tif"))},
            {"foregroundOutput", quote(dir.file("fg.tif"))},    {"maskInput", quote(mask)},
            {"progress", quote(dir.file("progress.txt"))},      {"resultLog", quote(dir.file("result.txt"))},
            {"rejectionMode", quote("off")}};
  }
  void writeJob() const {
    std::string text = "{\"type\": \"startrail-native-job\", \"inputs\": " + pathList(frames) +
                       ", \"foregroundInputs\": " + pathList(foreground);
    for (const auto& k : keys) text += ", " + quote(k.first) + ": " + k.second;
    writeFile(job, text + "}");
  }
  std::vector<std::string> userFiles() const {
    std::vector<std::string> all = frames;
    all.insert(all.end(), foreground.begin(), foreground.end());
    all.push_back(mask);
    all.push_back(job);
    return all;
  }
};

using TrailCase = RefusalCase<TrailSet>;

}  // namespace

TEST(ReliabilityStarTrail, BadInputsFailClearlyAndLoseNothing) {
  const std::vector<TrailCase> cases = {
      {"sky output on a frame",
       [](TrailSet& s) {
         s.keys["skyOutput"] = quote(s.frames[0]);
         return "Star Trail failed: sky output " + s.frames[0] + " is the same file as input frame " + s.frames[0] + ".";
       }},
      {"foreground output on the mask, spelled otherwise",
       [](TrailSet& s) {
         const std::string other = s.dir.path() + "/./mask.png";
         s.keys["foregroundOutput"] = quote(other);
         return "Star Trail failed: foreground output " + other + " is the same file as sky mask " + s.mask + ".";
       }},
      {"progress on a frame",
       [](TrailSet& s) {
         s.keys["progress"] = quote(s.frames[1]);
         return "Star Trail failed: progress file " + s.frames[1] + " is the same file as input frame " +
                s.frames[1] + ".";
       },
       false},
      {"result log on the job file",
       [](TrailSet& s) {
         s.keys["resultLog"] = quote(s.job);
         return "Star Trail failed: result log " + s.job + " is the same file as job file " + s.job + ".";
       },
       true, false},
      {"progress on an empty folder",
       [](TrailSet& s) {
         std::filesystem::create_directory(s.dir.file("folder"));
         s.keys["progress"] = quote(s.dir.file("folder"));
         return "Star Trail failed: progress file " + s.dir.file("folder") + " is an existing folder.";
       },
       false},
      {"output on an existing folder",
       [](TrailSet& s) {
         std::filesystem::create_directory(s.dir.file("out.d"));
         s.keys["output"] = quote(s.dir.file("out.d"));
         return "Star Trail failed: output " + s.dir.file("out.d") + " is an existing folder.";
       }},
      {"two outputs on one file",
       [](TrailSet& s) {
         s.keys["foregroundOutput"] = quote(s.dir.file("sky.tif"));
         return "Star Trail failed: foreground output " + s.dir.file("sky.tif") + " is the same file as sky output " +
                s.dir.file("sky.tif") + ".";
       }},
      {"output given as a number",
       [](TrailSet& s) {
         s.keys["output"] = "5";
         return std::string("Star Trail failed: no output path was provided.");
       }},
      {"first frame claims a frame beyond the limit",
       [](TrailSet& s) {
         writeFile(s.frames[0], tiffHeader(false, 40000, 30000) + std::string(5000, '\0'));
         return "Star Trail failed: could not load input: " + s.frames[0] +
                " (is 40000 x 30000 pixels, beyond the limit of 200 megapixels and 65535 pixels a side)";
       }},
  };
  for (const TrailCase& c : cases) {
    SCOPED_TRACE(c.name);
    TrailSet set(c.name[0] == 'p' ? 8 : 16);
    const std::string expected = c.arrange(set);
    set.writeJob();
    const auto before = snapshot(set.userFiles());
    const std::string log = NL_runStarTrailNativeJob(set.job, 2);
    EXPECT_EQ(log, "Star Trail native job failed.\nstatus=failed\nerror=" + expected + "\n");
    if (c.logWritten) {
      EXPECT_EQ(readFile(set.dir.file("result.txt")), log);
    }
    if (c.progressWritten) expectFailedProgress(set.dir.file("progress.txt"), expected);
    for (const char* name : {"trail.tif", "sky.tif", "fg.tif", "trail_1.tif"})
      EXPECT_FALSE(std::filesystem::exists(set.dir.file(name))) << name;
    expectUnchanged(before);
    if (c.name == std::string("progress on an empty folder")) {
      EXPECT_TRUE(std::filesystem::is_directory(set.dir.file("folder")));
    }
  }
}

TEST(ReliabilityStarTrail, WrongTypesAndPipesNeitherHangNorStrayFiles) {
  {
    // An object where the progress path belongs once wrote a file named after its first key.
    TrailSet set(8);
    set.keys["progress"] = "{\"strayname\": 1}";
    set.writeJob();
    const std::string log = NL_runStarTrailNativeJob(set.job, 2);
    EXPECT_NE(log.find("status=success"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists("strayname"));
    EXPECT_FALSE(std::filesystem::exists(set.dir.file("strayname")));
  }
#ifndef _WIN32
  for (const char* what : {"frame", "mask", "job"}) {
    SCOPED_TRACE(what);
    TrailSet set(16);
    const std::string pipe = set.dir.file("pipe");
    std::string expected;
    if (what == std::string("frame")) {
      set.frames[2] = pipe;
      expected = "Star Trail failed: input frame " + pipe + " is not a regular file.";
    } else if (what == std::string("mask")) {
      set.mask = pipe;
      set.keys["maskInput"] = quote(pipe);
      expected = "Star Trail failed: sky mask " + pipe + " is not a regular file.";
    }
    set.writeJob();
    std::string job = set.job;
    if (what == std::string("job")) {
      job = pipe;
      expected = "Star Trail failed: job file is not a regular file: " + pipe;
    }
    Fifo fifo(pipe);
    const std::string log = NL_runStarTrailNativeJob(job, 2);
    EXPECT_EQ(log, "Star Trail native job failed.\nstatus=failed\nerror=" + expected + "\n");
    if (what != std::string("job")) expectFailedProgress(set.dir.file("progress.txt"), expected);
    EXPECT_FALSE(std::filesystem::exists(set.dir.file("trail.tif")));
  }
#endif
}

namespace {

struct GlowSet {
  TempDir dir;
  std::string job = dir.file("star_glow_job_native.json"), input = dir.file("in.tif"), mask = dir.file("mask.png");
  std::map<std::string, std::string> keys;
  GlowSet() {
    synth::GlowSettings g;
    g.size = cv::Size(120, 90);
    const synth::Scene scene = synth::makeGlowScene(g);
    EXPECT_TRUE(cv::imwrite(input, scene.frames[0]));
    EXPECT_TRUE(cv::imwrite(mask, cv::Mat(g.size, CV_8U, cv::Scalar(255))));
    keys = {{"type", quote("star-glow-native-job")}, {"inputPath", quote(input)},
            {"outputPath", quote(dir.file("out.tif"))}, {"resultLog", quote(dir.file("result.txt"))},
            {"progress", quote(dir.file("progress.txt"))}, {"skyMaskPath", quote(mask)},
            {"useSkyMask", "true"}};
  }
  void writeJob() const {
    std::string text = "{";
    for (const auto& k : keys) text += (text.size() > 1 ? ", " : "") + quote(k.first) + ": " + k.second;
    writeFile(job, text + "}");
  }
};

NL_StarGlowJobTiming quickGlowTiming() {
  NL_StarGlowJobTiming t;
  t.wait.limitMs = 3000;
  t.wait.pollMs = 5;
  t.wait.requiredStable = 2;
  t.settleMs = 0;
  t.maskRetryLimitMs = 30;
  return t;
}

}  // namespace

TEST(ReliabilityStarGlow, BadInputsFailClearlyAndLoseNothing) {
  using GlowCase = RefusalCase<GlowSet>;
  const std::vector<GlowCase> cases = {
      {"output on the input",
       [](GlowSet& s) {
         s.keys["outputPath"] = quote(s.input);
         return "Output " + s.input + " is the same file as input image " + s.input + ".";
       }},
      {"progress on the sky mask",
       [](GlowSet& s) {
         s.keys["progress"] = quote(s.mask);
         return "Progress file " + s.mask + " is the same file as sky mask " + s.mask + ".";
       },
       false},
      {"result log on a folder",
       [](GlowSet& s) {
         std::filesystem::create_directory(s.dir.file("logs"));
         s.keys["resultLog"] = quote(s.dir.file("logs"));
         return "Result log " + s.dir.file("logs") + " is an existing folder.";
       },
       true, false},
      {"input beyond the size limit",
       [](GlowSet& s) {
         writeFile(s.input, tiffHeader(false, 20000, 12000) + std::string(5000, '\0'));
         return std::string("Input image is 20000 x 12000 pixels, beyond the limit of 200 megapixels and 65535 "
                            "pixels a side.");
       }},
      {"input header beyond what OpenCV decodes",
       [](GlowSet& s) {
         writeFile(s.input, tiffHeader(true, 60000, 60000) + std::string(5000, '\0'));
         return std::string("OpenCV could not decode the completed temporary image with either imread or in-memory "
                            "imdecode.");
       }},
  };
  for (const GlowCase& c : cases) {
    SCOPED_TRACE(c.name);
    GlowSet set;
    const std::string expected = c.arrange(set);
    set.writeJob();
    const auto before = snapshot({set.job, set.input, set.mask});
    const std::string log = NL_runStarGlowNativeJobWithTiming(set.job, quickGlowTiming());
    EXPECT_EQ(log.substr(log.size() - expected.size() - 25), "status = failed\nerror = " + expected + "\n") << log;
    if (c.logWritten) {
      EXPECT_EQ(readFile(set.dir.file("result.txt")), log);
    }
    if (c.progressWritten) expectFailedProgress(set.dir.file("progress.txt"), expected);
    EXPECT_FALSE(std::filesystem::exists(set.dir.file("out.tif")));
    expectUnchanged(before);
  }
#ifndef _WIN32
  {
    GlowSet set;
    Fifo fifo(set.dir.file("pipe"));
    set.keys["inputPath"] = quote(fifo.path());
    set.writeJob();
    const std::string log = NL_runStarGlowNativeJobWithTiming(set.job, quickGlowTiming());
    const std::string expected = "Input image " + fifo.path() + " is not a regular file.";
    EXPECT_NE(log.find("error = " + expected + "\n"), std::string::npos) << log;
    expectFailedProgress(set.dir.file("progress.txt"), expected);
    EXPECT_EQ(NL_runStarGlowNativeJob(fifo.path()),
              "Native Star Glow result.\njob = " + fifo.path() +
                  "\nstatus = failed\nerror = Could not read Star Glow job JSON: job file is not a regular file: " +
                  fifo.path() + ".\n");
  }
#endif
}

#ifndef _WIN32
TEST(ReliabilityDispatch, PipesAndDevicesAsJobPathsEndAtOnce) {
  TempDir dir;
  Fifo plain(dir.file("job.json"));
  Fifo trail(dir.file("startrail_job_native.json"));
  // Routing by content never opens them, so they fall through to the key=value job.
  EXPECT_EQ(NL_detectJobKind(plain.path()), NLJobKind::HybridStack);
  EXPECT_EQ(NL_detectJobKind("/dev/zero"), NLJobKind::HybridStack);
  EXPECT_EQ(NL_runJobForPath(trail.path()),
            "Star Trail native job failed.\nstatus=failed\nerror=Star Trail failed: job file is not a regular file: " +
                trail.path() + "\n");
}
#endif
// ---- Sky Blend and hybrid stack ----------------------------------------------

namespace {

// Files the user gave a Sky Blend job: frames (plain bytes; every case here is
// refused before a frame is decoded), the sky mask and the job file.
struct BlendSet {
  TempDir dir;
  std::vector<std::string> frames{dir.file("f0.tif"), dir.file("f1.tif"), dir.file("f2.tif")};
  std::string mask = dir.file("mask.png"), job = dir.file("skyblend_job_native.json");
  std::map<std::string, std::string> keys, outputs;

  BlendSet() {
    for (const std::string& f : frames) writeFile(f, "frame " + f);
    writeFile(mask, "mask bytes");
    keys = {{"referencePath", quote(frames[1])}, {"skyMaskPath", quote(mask)},
            {"progress", quote(dir.file("progress.txt"))}, {"resultLog", quote(dir.file("result.txt"))}};
    outputs = {{"sky", quote(dir.file("sky.tif"))}, {"foreground", quote(dir.file("fg.tif"))},
               {"blend", quote(dir.file("blend.tif"))}};
  }
  void writeJob() const {
    std::string text = "{\"type\": \"skyblend-native-job\", \"inputs\": " + pathList(frames) + ", \"outputs\": {";
    for (const auto& o : outputs) text += (text.back() == '{' ? "" : ", ") + quote(o.first) + ": " + o.second;
    text += "}";
    for (const auto& k : keys) text += ", " + quote(k.first) + ": " + k.second;
    writeFile(job, text + "}");
  }
  std::vector<std::string> userFiles() const {
    std::vector<std::string> all = frames;
    all.push_back(mask);
    all.push_back(job);
    return all;
  }
};

// The hybrid stack's key=value job over the same kind of files.
struct HybridSet {
  TempDir dir;
  std::vector<std::string> frames{dir.file("a.tif"), dir.file("b.tif"), dir.file("c.tif")};
  std::string job = dir.file("job.txt");
  std::map<std::string, std::string> keys;

  HybridSet() {
    for (const std::string& f : frames) writeFile(f, "frame " + f);
    keys = {{"method", "auto"}, {"output", dir.file("stack.tif")}, {"progress", dir.file("progress.txt")},
            {"resultLog", dir.file("result.txt")}};
  }
  void writeJob() const {
    std::string text = "# hybrid stack\r\n";
    for (const auto& k : keys) text += k.first + " = " + k.second + "\r\n";
    for (const std::string& f : frames) text += "input=" + f + "\n";
    writeFile(job, text);
  }
  std::vector<std::string> userFiles() const {
    std::vector<std::string> all = frames;
    all.push_back(job);
    return all;
  }
};

// What every refused job leaves: the text returned, in the result log and
// in a final Failed entry where those may be written, no output image, the
// user's files as they were.
template <typename Set>
void expectRefusals(const std::vector<RefusalCase<Set>>& cases, const std::function<std::string(const Set&)>& run,
                    const std::vector<std::string>& outputNames) {
  for (const RefusalCase<Set>& c : cases) {
    SCOPED_TRACE(c.name);
    Set set;
    const std::string expected = c.arrange(set);
    set.writeJob();
    const auto before = snapshot(set.userFiles());
    const std::string log = run(set);
    EXPECT_EQ(log, expected);
    if (c.logWritten) {
      EXPECT_EQ(readFile(set.dir.file("result.txt")), log);
    }
    if (c.progressWritten) expectFailedProgress(set.dir.file("progress.txt"), expected);
    for (const std::string& name : outputNames) EXPECT_FALSE(std::filesystem::exists(set.dir.file(name))) << name;
    expectUnchanged(before);
  }
}

}  // namespace

TEST(ReliabilitySkyBlend, BadPathsAndValuesAreRefusedBeforeAnythingIsWritten) {
  using Case = RefusalCase<BlendSet>;
  const std::vector<Case> cases = {
      {"sky output on a frame",
       [](BlendSet& s) {
         s.outputs["sky"] = quote(s.frames[2]);
         return "Sky Blend failed: sky output " + s.frames[2] + " is the same file as input frame " + s.frames[2] + ".";
       }},
      {"foreground output on the mask, spelled otherwise",
       [](BlendSet& s) {
         const std::string other = s.dir.path() + "/./mask.png";
         s.outputs["foreground"] = quote(other);
         return "Sky Blend failed: foreground output " + other + " is the same file as sky mask " + s.mask + ".";
       }},
      {"progress on the reference frame",
       [](BlendSet& s) {
         s.keys["progress"] = quote(s.frames[1]);
         return "Sky Blend failed: progress file " + s.frames[1] + " is the same file as input frame " + s.frames[1] +
                ".";
       },
       false},
      {"result log on the job file",
       [](BlendSet& s) {
         s.keys["resultLog"] = quote(s.job);
         return "Sky Blend failed: result log " + s.job + " is the same file as job file " + s.job + ".";
       },
       true, false},
      {"progress on an empty folder",
       [](BlendSet& s) {
         std::filesystem::create_directory(s.dir.file("folder"));
         s.keys["progress"] = quote(s.dir.file("folder"));
         return "Sky Blend failed: progress file " + s.dir.file("folder") + " is an existing folder.";
       },
       false},
      {"blend output on an existing folder",
       [](BlendSet& s) {
         std::filesystem::create_directory(s.dir.file("blend.d"));
         s.outputs["blend"] = quote(s.dir.file("blend.d"));
         return "Sky Blend failed: blend output " + s.dir.file("blend.d") + " is an existing folder.";
       }},
      {"two outputs on one file",
       [](BlendSet& s) {
         s.outputs["blend"] = quote(s.dir.file("sky.tif"));
         return "Sky Blend failed: blend output " + s.dir.file("sky.tif") + " is the same file as sky output " +
                s.dir.file("sky.tif") + ".";
       }},
      {"output given as a number",
       [](BlendSet& s) {
         s.outputs["foreground"] = "5";
         return std::string("Sky Blend failed: one or more output paths are empty.");
       }},
      {"sky mask given as an object",
       [](BlendSet& s) {
         s.keys["skyMaskPath"] = "{\"strayname\": 1}";
         return std::string("Sky Blend failed: skyMaskPath is empty.");
       }},
  };
  expectRefusals<BlendSet>(cases, [](const BlendSet& s) { return NL_runSkyBlendNativeJob(s.job); },
                           {"sky.tif", "fg.tif", "blend.tif", "strayname"});
  EXPECT_FALSE(std::filesystem::exists("strayname"));

  // Progress and result log on one file: the file ends with the failure log,
  // which is what a caller reads first.
  BlendSet set;
  set.keys["progress"] = set.keys["resultLog"];
  set.writeJob();
  const std::string log = NL_runSkyBlendNativeJob(set.job);
  EXPECT_EQ(log, "Sky Blend failed: result log " + set.dir.file("result.txt") + " is the same file as progress file " +
                     set.dir.file("result.txt") + ".");
  EXPECT_EQ(readFile(set.dir.file("result.txt")), log);
}

TEST(ReliabilityHybridStack, BadPathsAreRefusedBeforeAnythingIsWritten) {
  using Case = RefusalCase<HybridSet>;
  const std::vector<Case> cases = {
      {"progress on a frame",
       [](HybridSet& s) {
         s.keys["progress"] = s.frames[0];
         return "Lumivex Hybrid test failed: progress file " + s.frames[0] + " is the same file as input frame " +
                s.frames[0];
       },
       false},
      {"result log on the job file, spelled otherwise",
       [](HybridSet& s) {
         s.keys["resultLog"] = s.dir.path() + "/./job.txt";
         return "Lumivex Hybrid test failed: result log " + s.keys["resultLog"] + " is the same file as job file " +
                s.job;
       },
       true, false},
      {"output on an existing folder",
       [](HybridSet& s) {
         std::filesystem::create_directory(s.dir.file("out.d"));
         s.keys["output"] = s.dir.file("out.d");
         return "Lumivex Hybrid test failed: output " + s.dir.file("out.d") + " is an existing folder";
       }},
      {"progress on an empty folder",
       [](HybridSet& s) {
         std::filesystem::create_directory(s.dir.file("folder"));
         s.keys["progress"] = s.dir.file("folder");
         return "Lumivex Hybrid test failed: progress file " + s.dir.file("folder") + " is an existing folder";
       },
       false},
      {"the last of repeated output lines on a frame",
       [](HybridSet& s) {
         s.keys["output"] = s.dir.file("stack.tif") + "\noutput=" + s.frames[2];
         return "Lumivex Hybrid test failed: output " + s.frames[2] + " is the same file as input frame " + s.frames[2];
       }},
  };
  expectRefusals<HybridSet>(cases, [](const HybridSet& s) { return NL_runLumivexJob(s.job); }, {"stack.tif"});
  HybridSet set;
  std::filesystem::create_directory(set.dir.file("folder"));
  set.keys["progress"] = set.dir.file("folder");
  set.writeJob();
  NL_runLumivexJob(set.job);
  EXPECT_TRUE(std::filesystem::is_directory(set.dir.file("folder")));
}

#ifndef _WIN32
// A background job's worker also reports: a refused job whose progress file
// names a frame, or whose result log names an earlier result of the same job,
// must find neither replaced by a report.
template <typename Set>
void expectBackgroundReportsLoseNothing(const std::string& kind, std::string& progressKey, std::string& logKey,
                                        const std::string& frame, const std::string& earlierResult, bool json,
                                        Set& s) {
  const auto plain = [json](const std::string& path) { return json ? quote(path) : path; };
  const std::string frameBytes = readFile(frame);
  const std::string progress = s.dir.file("progress.txt"), log = s.dir.file("result.txt");
  progressKey = plain(frame);
  logKey = plain(log);
  s.writeJob();
  NL_runBackgroundJob(s.job);
  EXPECT_EQ(readFile(frame), frameBytes) << kind;
  EXPECT_NE(readFile(log).find("is the same file as"), std::string::npos) << kind << ": " << readFile(log);

  writeFile(earlierResult, "an earlier result");
  progressKey = plain(progress);
  logKey = plain(earlierResult);
  s.writeJob();
  NL_runBackgroundJob(s.job);
  EXPECT_EQ(readFile(earlierResult), "an earlier result") << kind;
  EXPECT_NE(readFile(progress).find("stage=Failed\n"), std::string::npos) << kind;
}

TEST(ReliabilityBackground, ReportsNeverReplaceAFrameOrAnEarlierResult) {
  TrailSet trail(16);
  expectBackgroundReportsLoseNothing("Star Trail", trail.keys["progress"], trail.keys["resultLog"], trail.frames[1],
                                     trail.dir.file("sky.tif"), true, trail);
  GlowSet glow;
  expectBackgroundReportsLoseNothing("Star Glow", glow.keys["progress"], glow.keys["resultLog"], glow.input,
                                     glow.dir.file("out.tif"), true, glow);
  BlendSet blend;
  expectBackgroundReportsLoseNothing("Sky Blend", blend.keys["progress"], blend.keys["resultLog"], blend.frames[0],
                                     blend.dir.file("blend.tif"), true, blend);
  HybridSet hybrid;
  expectBackgroundReportsLoseNothing("Hybrid stack", hybrid.keys["progress"], hybrid.keys["resultLog"],
                                     hybrid.frames[0], hybrid.dir.file("stack.tif"), false, hybrid);
}

TEST(ReliabilitySkyBlend, PipesAsJobFrameOrMaskEndAtOnce) {
  for (const char* what : {"frame", "reference", "mask", "job"}) {
    SCOPED_TRACE(what);
    BlendSet set;
    const std::string pipe = set.dir.file("pipe");
    std::string job = set.job, expected;
    if (what == std::string("frame")) {
      set.frames[2] = pipe;
      expected = "Sky Blend failed: input frame " + pipe + " is not a regular file.";
    } else if (what == std::string("reference")) {
      set.keys["referencePath"] = quote(pipe);
      expected = "Sky Blend failed: input frame " + pipe + " is not a regular file.";
    } else if (what == std::string("mask")) {
      set.keys["skyMaskPath"] = quote(pipe);
      expected = "Sky Blend failed: sky mask " + pipe + " is not a regular file.";
    } else {
      job = set.dir.file("skyblend_job_native.pipe");
      expected = "Sky Blend failed: at least two input files are required. Parsed inputs=0. Check "
                 "skyblend_job_native.json inputs[].path entries.";
    }
    set.writeJob();
    Fifo fifo(what == std::string("job") ? job : pipe);
    // Through the router, as the host calls it: the path marker picks Sky Blend unopened.
    EXPECT_EQ(NL_runJobForPath(job), expected);
    if (what != std::string("job")) {
      expectFailedProgress(set.dir.file("progress.txt"), expected);
      EXPECT_EQ(readFile(set.dir.file("result.txt")), expected);
    }
    EXPECT_FALSE(std::filesystem::exists(set.dir.file("sky.tif")));
  }
}

TEST(ReliabilityHybridStack, PipesAndDevicesAsJobOrFrameEndAtOnce) {
  HybridSet set;
  Fifo fifo(set.dir.file("pipe"));
  set.frames[1] = fifo.path();
  set.writeJob();
  const std::string expected = "Lumivex Hybrid test failed: input frame " + fifo.path() + " is not a regular file";
  EXPECT_EQ(NL_runLumivexJob(set.job), expected);
  expectFailedProgress(set.dir.file("progress.txt"), expected);
  EXPECT_EQ(readFile(set.dir.file("result.txt")), expected);
  EXPECT_FALSE(std::filesystem::exists(set.dir.file("stack.tif")));
  for (const std::string& job : {fifo.path(), std::string("/dev/zero")})
    EXPECT_EQ(NL_runJobForPath(job), "Lumivex Hybrid test failed: job file is not a regular file: " + job);
}
#endif

// ---- Write failures ----------------------------------------------------------

#ifndef _WIN32
namespace {

// A file-size limit makes every write past it fail the way a full disk does
// (even for root, who ignores permissions); the signal it raises is ignored
// so the write merely returns an error. Small text files still fit.
class FullDisk {
 public:
  explicit FullDisk(rlim_t bytes) {
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FullDisk() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

std::vector<std::string> strayFiles(const std::string& folder, const std::vector<std::string>& expected) {
  std::vector<std::string> stray;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (std::find(expected.begin(), expected.end(), e.path().string()) == expected.end()) stray.push_back(name);
  }
  return stray;
}

}  // namespace

TEST(ReliabilityWrites, FullDiskLeavesNoPartialOutput) {
  {
    TrailSet set(16);
    set.keys.erase("maskInput");
    set.writeJob();
    std::string log;
    {
      FullDisk full(6000);
      log = NL_runStarTrailNativeJob(set.job, 2);
    }
    // The job's own text, then what the system said.
    const std::string expected =
        "Star Trail failed: could not write sky output: " + set.dir.file("trail.tif") + " (File too large)";
    EXPECT_EQ(log, "Star Trail native job failed.\nstatus=failed\nerror=" + expected + "\n");
    expectFailedProgress(set.dir.file("progress.txt"), expected);
    EXPECT_EQ(readFile(set.dir.file("result.txt")), log);
    std::vector<std::string> kept = set.userFiles();
    kept.push_back(set.dir.file("progress.txt"));
    kept.push_back(set.dir.file("result.txt"));
    EXPECT_EQ(strayFiles(set.dir.path(), kept), std::vector<std::string>{});
  }
  {
    GlowSet set;
    set.writeJob();
    std::string log;
    {
      FullDisk full(6000);
      log = NL_runStarGlowNativeJobWithTiming(set.job, quickGlowTiming());
    }
    EXPECT_NE(log.find("\nstatus = failed\nerror = Could not write output image. (File too large)\n"),
              std::string::npos)
        << log;
    expectFailedProgress(set.dir.file("progress.txt"), "Could not write output image. (File too large)");
    EXPECT_EQ(strayFiles(set.dir.path(), {set.job, set.input, set.mask, set.dir.file("progress.txt"),
                                           set.dir.file("result.txt")}),
              std::vector<std::string>{});
  }
}
#endif

#ifndef _WIN32
TEST(ReliabilityWrites, FullDiskStopsSkyBlendAndHybridStackWithoutPartialImages) {
  {
    // A real sky that registers, so the job gets as far as its first write.
    synth::SkyBlendSettings s;
    s.size = cv::Size(560, 400);
    s.sky.density = 1.2e-2;
    s.frames = 3;
    s.seed = 17;
    const synth::Scene scene = synth::makeSkyBlendScene(s);
    BlendSet set;
    for (size_t i = 0; i < set.frames.size(); ++i) ASSERT_TRUE(cv::imwrite(set.frames[i], scene.frames[i]));
    ASSERT_TRUE(cv::imwrite(set.mask, scene.skyMask));
    set.writeJob();
    std::string log;
    {
      FullDisk full(6000);
      log = NL_runSkyBlendNativeJob(set.job);
    }
    EXPECT_EQ(log, "Sky Blend failed during sky stack.\nReference-canvas sky stack failed: could not write output: " +
                       set.dir.file("sky.tif") + " (File too large)");
    EXPECT_EQ(readFile(set.dir.file("result.txt")), log);
    expectFailedProgress(set.dir.file("progress.txt"), "Sky stack failed.");
    std::vector<std::string> kept = set.userFiles();
    kept.push_back(set.dir.file("progress.txt"));
    kept.push_back(set.dir.file("result.txt"));
    EXPECT_EQ(strayFiles(set.dir.path(), kept), std::vector<std::string>{});
  }
  {
    // Three sharp 8-bit frames of a field that passes both gates.
    synth::StackSettings s;
    s.size = cv::Size(520, 380);
    s.frames = 3;
    s.bits = 8;
    s.seed = 23;
    s.sky.density = 2.0e-3;
    s.sky.faintestFlux = 0.8;
    s.streakFrame = -2;
    const synth::Scene scene = synth::makeStackScene(s);
    HybridSet set;
    for (size_t i = 0; i < set.frames.size(); ++i) ASSERT_TRUE(cv::imwrite(set.frames[i], scene.frames[i]));
    set.keys["method"] = "registered-median-homography";
    set.writeJob();
    std::string log;
    {
      FullDisk full(6000);
      log = NL_runLumivexJob(set.job);
    }
    EXPECT_EQ(log.rfind("Lumivex Hybrid stack failed.\nselectedMethod = registered-median-homography\n", 0), 0u)
        << log;
    const std::string tail =
        "Median stack failed: could not write output: " + set.dir.file("stack.tif") + " (File too large)";
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), tail.size())), tail) << log;
    EXPECT_EQ(readFile(set.dir.file("result.txt")), log);
    expectFailedProgress(set.dir.file("progress.txt"), "Stacking failed.");
    std::vector<std::string> kept = set.userFiles();
    kept.push_back(set.dir.file("progress.txt"));
    kept.push_back(set.dir.file("result.txt"));
    EXPECT_EQ(strayFiles(set.dir.path(), kept), std::vector<std::string>{});
  }
}
#endif
