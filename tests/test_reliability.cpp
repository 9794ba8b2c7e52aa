// Bad input of every kind: pipes and devices where files belong, outputs
// aimed at the user's own files, values of the wrong type, frames beyond the
// size limit. Each must end with a clear failure and nothing lost.
#include "plumbing/plumbing.h"

#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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
  writeFile(dir.file("junk"), "not an image at all");
  cv::Size unknown;
  EXPECT_FALSE(NL_readImageHeaderSize(dir.file("junk"), unknown));
  writeFile(dir.file("short.tif"), tiffHeader(false, 10, 10).substr(0, 20));
  EXPECT_FALSE(NL_readImageHeaderSize(dir.file("short.tif"), unknown));
}
