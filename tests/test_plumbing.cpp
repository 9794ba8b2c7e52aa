#include "plumbing/plumbing.h"
#include "plumbing/detail/tiff_writer.h"
#include "icc_files.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__APPLE__) || defined(__linux__)
#include <sys/wait.h>
#include <unistd.h>
#define LUMIVEX_TEST_FORK 1
#endif

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

TEST(JobReader, FirstOccurrenceAndFlavours) {
  const std::string text = R"({"a": 5, "b": "x", "s": "a\nb", "w": "C:\\dir\\f.tif", "u": "\u00e9"})";
  EXPECT_EQ(NL_extractJsonString(text, "a"), "");  // a number is no string: absent, not the next word
  EXPECT_EQ(NL_jsonNumber(text, "a", 0), 5);
  EXPECT_EQ(NL_jsonString(text, "a", "fb"), "fb");  // not itself a string
  EXPECT_EQ(NL_jsonString(text, "s", "fb"), "a\nb");
  EXPECT_EQ(NL_extractJsonString(text, "s"), "a\nb");
  EXPECT_EQ(NL_extractJsonString(text, "w"), "C:\\dir\\f.tif");
  EXPECT_EQ(NL_extractJsonString(text, "u"), "\\u00e9");
  EXPECT_EQ(NL_extractJsonString(text, "missing"), "");
  // The needle inside an earlier string value is found first.
  EXPECT_EQ(NL_extractJsonString(R"({"arr": ["k"], "other": "early", "k": "late"})", "k"), "early");
  EXPECT_EQ(NL_jsonString(R"({"k": "unterminated)", "k", "fb"), "fb");
  EXPECT_EQ(NL_extractJsonString(R"({"k": "unterminated)", "k"), "unterminated");
  EXPECT_EQ(NL_unescapeJsonString("a\\bc\\"), "a\\bc\\");
}

// The Star Glow reader once dropped every backslash: "x\tdone.tif" named the
// existing file xtdone.tif, which the job then overwrote.
TEST(JobReader, EveryStringReaderDecodesEscapesAlike) {
  const std::string text =
      R"({"t": "/o/x\tdone.tif", "q": "say \"hi\"", "w": "C:\\dir\\f.tif", "u": "caf\u00e9", "s": "a\/b\r"})";
  for (const char* key : {"t", "q", "w", "u", "s"}) {
    EXPECT_EQ(NL_jsonString(text, key, "fb"), NL_extractJsonString(text, key)) << key;
  }
  EXPECT_EQ(NL_jsonString(text, "t", "fb"), "/o/x\tdone.tif");
  EXPECT_EQ(NL_jsonString(text, "q", "fb"), "say \"hi\"");
  EXPECT_EQ(NL_jsonString(text, "w", "fb"), "C:\\dir\\f.tif");
  EXPECT_EQ(NL_jsonString(text, "u", "fb"), "caf\\u00e9");
  EXPECT_EQ(NL_jsonString(R"({"k": "cut \"short)", "k", "fb"), "fb");
}

TEST(JobReader, NumbersAndBooleans) {
  EXPECT_EQ(NL_jsonNumber(R"({"n": -1.5e3})", "n", 0), -1500);
  EXPECT_EQ(NL_jsonNumber(R"({"n": 1e999})", "n", 7), 7);
  EXPECT_EQ(NL_jsonNumber(R"({"n": "3"})", "n", 7), 7);
  EXPECT_EQ(NL_jsonNumber(R"({"n": 2.5abc})", "n", 7), 2.5);
  EXPECT_EQ(NL_jsonNumber(R"({"n": })", "n", 7), 7);
  EXPECT_TRUE(NL_jsonBool(R"({"b": true,})", "b", false));
  EXPECT_FALSE(NL_jsonBool(R"({"b": falsey})", "b", true));
  EXPECT_FALSE(NL_jsonBool(R"({"b": "true"})", "b", false));
  EXPECT_TRUE(NL_jsonBool(R"({"b": 1})", "b", true));
  EXPECT_EQ(NL_jsonFindValueStart(R"({"k":   )", "k"), 8u);
  EXPECT_EQ(NL_jsonFindValueStart(R"({"k" 1})", "k"), std::string::npos);
}

TEST(JobReader, ArraysAndNestedObjects) {
  EXPECT_EQ(NL_extractJsonStringArray(R"({"f": ["a]b", "c"]})", "f"), std::vector<std::string>{"a"});
  EXPECT_EQ(NL_extractJsonStringArray(R"({"f": ["x", 3, {"y": 1}, "z\"q"]})", "f"),
            (std::vector<std::string>{"x", "y", "z\"q"}));
  EXPECT_EQ(NL_extractJsonPathObjectsArray(R"({"f": [{"path": "a"}, {"path": ""}, {"path": "c"}]})", "f"),
            std::vector<std::string>{"a"});
  EXPECT_EQ(NL_extractJsonPathObjectsArray(R"({"f": ["a", "b"]})", "f"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(NL_extractJsonPathObjectsArray(
                R"({"f": [{"path": "a]", "t": [1]}, {"path": "b"}], "g": [{"path": "z"}]})", "f"),
            (std::vector<std::string>{"a]", "b"}));
  EXPECT_TRUE(NL_extractJsonPathObjectsArray(R"({"f": [{"path": "a"})", "f").empty());
  const std::string nested = R"({"o": {"x": {"k": "deep"}, "k": "in"}, "k": "out"})";
  EXPECT_EQ(NL_extractJsonNestedString(nested, "o", "k"), "deep");
  EXPECT_EQ(NL_extractJsonNestedString(R"({"o": {"k": "a}"}})", "o", "k"), "a}");
  EXPECT_EQ(NL_extractJsonNestedString(R"({"o": {"k": "a")", "o", "k"), "");
  TempDir dir;
  EXPECT_EQ(NL_readTextFile(dir.file("missing.json")), "");
  writeFile(dir.file("zero.bin"), std::string("a\0b", 3));
  EXPECT_EQ(NL_readTextFile(dir.file("zero.bin")).size(), 3u);
}

namespace {
std::string progressText(int percent, const std::string& stage, const std::string& detail) {
  return "percent=" + std::to_string(percent) + "\nstage=" + stage + "\ndetail=" + detail +
         "\nwriter=module landscape-progress-monotonic-v2\n";
}
}  // namespace

TEST(Progress, NeverBackwardsExceptRestart) {
  TempDir dir;
  const std::string p = dir.file("progress.txt");
  const auto write = [&](int percent, const std::string& stage) {
    NL_writeProgressFile(p, percent, stage, "d");
    return readFile(p);
  };
  EXPECT_EQ(write(40, "S"), progressText(40, "S", "d"));
  EXPECT_EQ(write(30, "S"), progressText(40, "S", "d"));
  EXPECT_EQ(write(150, "S"), progressText(100, "S", "d"));
  EXPECT_EQ(write(5, "Failed"), progressText(100, "Failed", "d"));
  EXPECT_EQ(write(5, "Completed"), progressText(100, "Completed", "d"));
  EXPECT_EQ(write(12, "Start"), progressText(100, "Start", "d"));
  EXPECT_EQ(write(5, "Start"), progressText(5, "Start", "d"));  // a new run on the same path
  EXPECT_EQ(write(-3, "Start"), progressText(5, "Start", "d"));
  // Another spelling of the same file keeps its own memory.
  NL_writeProgressFile(dir.path() + "/./progress.txt", 1, "Other", "d");
  EXPECT_EQ(readFile(p), progressText(1, "Other", "d"));
  EXPECT_FALSE(std::filesystem::exists(p + ".tmp"));
  NL_writeProgressFile("", 50, "S", "d");
  NL_writeProgressFile(dir.file("no/such/folder/progress.txt"), 50, "S", "d");
  EXPECT_FALSE(std::filesystem::exists(dir.file("no/such/folder/progress.txt")));
}

TEST(Progress, PollingReaderAlwaysFindsWholeFile) {
  TempDir dir;
  const std::string p = dir.file("progress.txt");
  NL_writeProgressFile(p, 0, "Start", "first");
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      // From 11 up: a low percent after another writer passed 90 is a deliberate restart.
      for (int i = 11; i <= 100; ++i) NL_writeProgressFile(p, i, "Stage " + std::to_string(t), "row " + std::to_string(i));
    });
  }
  int polls = 0, bad = 0, lastPercent = 0, backwards = 0;
  std::thread reader([&] {
    while (!done) {
      const std::string text = readFile(p);
      ++polls;
      if (text.empty() || text.back() != '\n' || std::count(text.begin(), text.end(), '\n') != 4 ||
          text.find("writer=module landscape-progress-monotonic-v2\n") == std::string::npos) {
        ++bad;
        continue;
      }
      const int percent = std::stoi(text.substr(8));
      if (percent < lastPercent) ++backwards;
      lastPercent = percent;
    }
  });
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_GT(polls, 0);
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(backwards, 0);
  EXPECT_EQ(readFile(p).substr(0, 12), "percent=100\n");
}

TEST(Progress, StackPathAndMapping) {
  TempDir dir;
  {
    std::lock_guard<std::mutex> lock(NL_gLumivexProgressMutex);
    NL_gLumivexProgressPath.clear();
  }
  NL_writeStackProgress(10, "S", "d");  // no job running: nothing written anywhere
  {
    std::lock_guard<std::mutex> lock(NL_gLumivexProgressMutex);
    NL_gLumivexProgressPath = dir.file("stack.txt");
  }
  NL_writeStackProgress(42, "Stacking", "frame 3");
  EXPECT_EQ(readFile(dir.file("stack.txt")), progressText(42, "Stacking", "frame 3"));
  {
    std::lock_guard<std::mutex> lock(NL_gLumivexProgressMutex);
    NL_gLumivexProgressPath.clear();
  }
  EXPECT_EQ(NL_mapProgress(50, 20, 45), 33);  // 12.5 rounds away from zero
  EXPECT_EQ(NL_mapProgress(0, 20, 45), 20);
  EXPECT_EQ(NL_mapProgress(100, 20, 45), 45);
  EXPECT_EQ(NL_roundPercent(-2.5), -3);
}

TEST(TextFiles, ReplaceAndExtensions) {
  TempDir dir;
  NL_writeTextFile(dir.file("log.txt"), "a long first text");
  NL_writeTextFile(dir.file("log.txt"), "short");
  EXPECT_EQ(readFile(dir.file("log.txt")), "short");
  NL_sgWriteTextFile(dir.file("bin.txt"), std::string("x\0\r\ny", 5));
  EXPECT_EQ(readFile(dir.file("bin.txt")), std::string("x\0\r\ny", 5));
  NL_writeTextFile(dir.file("none/log.txt"), "x");
  EXPECT_EQ(NL_replaceFileExtension("a/b.tif", ".tiff"), "a/b.tiff");
  EXPECT_EQ(NL_replaceFileExtension("a.d/b", ".tiff"), "a.d/b.tiff");
  EXPECT_EQ(NL_replaceFileExtension("a.d\\b", ".tiff"), "a.d\\b.tiff");
  EXPECT_EQ(NL_replaceFileExtension("b", ".tiff"), "b.tiff");
  EXPECT_EQ(NL_replaceFileExtension("x.y.png", ".tif"), "x.y.tif");
}

// A script polls for the result log while the job writes it: every read sees
// one whole text, and nothing is left beside the log.
TEST(TextFiles, AReaderNeverSeesALogHalfWritten) {
  TempDir dir;
  const std::string path = dir.file("log.txt");
  const std::string a(200000, 'a'), b(150000, 'b');
  NL_writeTextFile(path, a);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) NL_writeTextFile(path, i % 2 ? a : b);
    done = true;
  });
  int torn = 0, reads = 0;
  while (!done) {
    const std::string seen = readFile(path);
    ++reads;
    if (seen != a && seen != b) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_EQ(readFile(path), a);
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) entries += e.path().filename() == "log.txt" ? 0 : 1;
  EXPECT_EQ(entries, 0u);
}

TEST(ImageIO, RetryFallbackAndBadFiles) {
  TempDir dir;
  cv::Mat image(20, 30, CV_16UC3, cv::Scalar(100, 2000, 65535));
  image.at<cv::Vec3w>(3, 4) = cv::Vec3w(1, 2, 3);
  std::vector<uchar> png;
  cv::imencode(".png", image, png);

  // A file that appears while the reader waits.
  const std::string late = dir.file("late.png");
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    writeFile(late + ".part", std::string(png.begin(), png.end()));
    std::filesystem::rename(late + ".part", late);
  });
  const cv::Mat got = NL_imreadWithRetry(late, -1, 50, 5000);
  writer.join();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.type(), CV_16UC3);
  EXPECT_EQ(cv::norm(got, image, cv::NORM_INF), 0);

  // Bytes under a name that gives no hint of their format decode from memory.
  writeFile(dir.file("frame.bin"), std::string(png.begin(), png.end()));
  EXPECT_EQ(NL_getFileSizeNoThrow(dir.file("frame.bin")), png.size());
  const cv::Mat decoded = NL_imdecodeFileFallback(dir.file("frame.bin"), -1);
  ASSERT_FALSE(decoded.empty());
  EXPECT_EQ(cv::norm(decoded, image, cv::NORM_INF), 0);
  const cv::Mat gray = NL_imdecodeFileFallback(dir.file("frame.bin"), 0);
  EXPECT_EQ(gray.type(), CV_8UC1);

  writeFile(dir.file("zero.png"), "");
  writeFile(dir.file("cut.png"), std::string(png.begin(), png.begin() + png.size() / 3));
  writeFile(dir.file("text.png"), "not an image at all");
  for (const char* name : {"zero.png", "cut.png", "text.png", "missing.png"}) {
    EXPECT_TRUE(NL_imreadWithRetry(dir.file(name), -1, 20, 100).empty()) << name;
  }
  EXPECT_EQ(NL_getFileSizeNoThrow(dir.file("missing.png")), 0u);
}

namespace {

std::string encoded(const std::string& ext, const cv::Mat& image) {
  std::vector<uchar> bytes;
  EXPECT_TRUE(cv::imencode(ext, image, bytes));
  return std::string(bytes.begin(), bytes.end());
}

// A JPEG whose first segment is an EXIF-like block holding a whole small
// JPEG (a thumbnail, with its own end-of-image marker).
std::string jpegWithThumbnail(const cv::Mat& image) {
  const std::string main = encoded(".jpg", image), thumb = encoded(".jpg", cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
  const size_t length = 2 + 6 + thumb.size();
  const std::string app1 = std::string("\xFF\xE1") + char(length >> 8) + char(length & 0xFF) + std::string("Exif\0\0", 6);
  return main.substr(0, 2) + app1 + thumb + main.substr(2);
}

}  // namespace

TEST(ImageIO, FilesCutShortAreWaitedForAndNeverDecodedHalf) {
  TempDir dir;
  cv::Mat picture(90, 120, CV_16UC3), picture8;
  for (int y = 0; y < picture.rows; ++y)
    for (int x = 0; x < picture.cols; ++x) picture.at<cv::Vec3w>(y, x) = cv::Vec3w(x * 500, y * 700, (x + y) * 300);
  picture.convertTo(picture8, CV_8U, 1.0 / 257.0);
  ASSERT_TRUE(NL_writeImageFile(dir.file("own.tif"), picture));
  const std::vector<std::pair<std::string, std::string>> files = {
      {"jpeg", encoded(".jpg", picture8)},
      {"jpeg with a thumbnail", jpegWithThumbnail(picture8)},
      {"png", encoded(".png", picture)},
      {"OpenCV's tiff", encoded(".tif", picture8)},
      {"this writer's tiff", readFile(dir.file("own.tif"))}};
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    const std::string path = dir.file("frame.img");
    writeFile(path, bytes);
    EXPECT_EQ(NL_imageFileDamage(path), "");
    EXPECT_FALSE(NL_imreadWithRetry(path, -1, 10, 50).empty());
    for (size_t keep : {bytes.size() / 2, bytes.size() * 9 / 10, bytes.size() - 2, bytes.size() - 1}) {
      SCOPED_TRACE(keep);
      writeFile(path, bytes.substr(0, keep));
      EXPECT_NE(NL_imageFileDamage(path), "");
      EXPECT_TRUE(NL_imreadWithRetry(path, -1, 10, 50).empty());
    }
  }
  // Bytes after a JPEG's end (some cameras pad their files) do not make it damaged.
  writeFile(dir.file("padded.jpg"), files[0].second + std::string(300, '\0'));
  EXPECT_EQ(NL_imageFileDamage(dir.file("padded.jpg")), "");
  writeFile(dir.file("cut.jpg"), files[0].second.substr(0, 900));
  EXPECT_EQ(NL_imageFileDamage(dir.file("cut.jpg")), "the JPEG file ends before its end-of-image marker");
  writeFile(dir.file("cut.png"), files[2].second.substr(0, 900));
  EXPECT_EQ(NL_imageFileDamage(dir.file("cut.png")), "the PNG file ends before its IEND chunk");
  writeFile(dir.file("cut.tif"), files[4].second.substr(0, 900));
  EXPECT_EQ(NL_imageFileDamage(dir.file("cut.tif")), "the TIFF file ends before the image data it lists");

  // An export that is finished while the reader waits is read whole.
  const std::string late = dir.file("late.jpg");
  writeFile(late, files[0].second.substr(0, files[0].second.size() / 2));
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    writeFile(late, files[0].second);
  });
  const cv::Mat got = NL_imreadWithRetry(late, -1, 20, 5000);
  writer.join();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(cv::norm(got, cv::imdecode(std::vector<uchar>(files[0].second.begin(), files[0].second.end()), -1),
                     cv::NORM_INF),
            0.0);
}

TEST(ImageIO, WaitingForAMissingOrUnfinishedFileIsQuiet) {
  TempDir dir;
  writeFile(dir.file("cut.tif"), encoded(".tif", cv::Mat(200, 300, CV_16UC3, cv::Scalar(1, 2, 3))).substr(0, 5000));
  writeFile(dir.file("empty.png"), "");
  // The decoders' warnings go to the process's standard error, whoever prints them.
  std::fflush(stderr);
  const int saved = dup(2);
  const std::string captured = dir.file("stderr.txt");
  const int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(file, 2);
  for (const char* name : {"missing.tif", "cut.tif", "empty.png"}) NL_imreadWithRetry(dir.file(name), -1, 5, 60);
  std::fflush(stderr);
  dup2(saved, 2);
  close(file);
  close(saved);
  EXPECT_EQ(readFile(captured), "");
}

TEST(ImageIO, OpenCVSetup) {
  EXPECT_EQ(NL_openCVThreadCountFor(0), 4);
  EXPECT_EQ(NL_openCVThreadCountFor(1), 1);
  EXPECT_EQ(NL_openCVThreadCountFor(64), 32);
  std::string message = "untouched";
  std::thread a([] { std::string m; NL_loadMinimalOpenCVDlls(m); });
  NL_loadMinimalOpenCVDlls(message);
  a.join();
  EXPECT_EQ(message, "untouched");
  EXPECT_EQ(cv::getNumThreads(), NL_openCVThreadCountFor(std::thread::hardware_concurrency()));
}

// ---- Shared helpers: image writer, luminance, log numbers ------------------

namespace {

size_t filesIn(const std::string& folder) {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) n += e.is_regular_file();
  return n;
}

}  // namespace

TEST(SharedHelpers, ImageWriterReplacesWholeOrLeavesTheOldFile) {
  TempDir dir;
  const std::string path = dir.file("out.tif");
  const cv::Mat first(6, 7, CV_16UC3, cv::Scalar(1, 2, 65535));
  ASSERT_TRUE(NL_writeImageFile(path, first));
  const cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_16UC3);  // the final extension chose the encoder
  EXPECT_EQ(cv::norm(back, first, cv::NORM_INF), 0.0);
  const cv::Mat second(6, 7, CV_8UC1, cv::Scalar(9));
  ASSERT_TRUE(NL_writeImageFile(path, second));
  EXPECT_EQ(cv::norm(cv::imread(path, cv::IMREAD_UNCHANGED), second, cv::NORM_INF), 0.0);
  // A failed encode (no encoder for the extension, an empty image, a missing
  // folder) leaves the old file alone and no temporary behind.
  writeFile(dir.file("keep.nosuchformat"), "old");
  EXPECT_FALSE(NL_writeImageFile(dir.file("keep.nosuchformat"), second));
  EXPECT_EQ(readFile(dir.file("keep.nosuchformat")), "old");
  EXPECT_FALSE(NL_writeImageFile(path, cv::Mat()));
  EXPECT_FALSE(NL_writeImageFile(dir.file("missing/out.tif"), second));
  EXPECT_FALSE(NL_writeImageFile("", second));
  EXPECT_EQ(filesIn(dir.path()), 2u);
}

#if defined(LUMIVEX_TEST_FORK)
// Temporary names came from a per-process counter starting at 0, so two runs
// writing the same output at once wrote into one another's partial file.
TEST(OwnNames, TemporaryNamesDifferAcrossProcessesAndAbandonedOnesAreSwept) {
  TempDir dir;
  const std::string out = dir.file("trails.tif");
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // a second process with the same memory, counter included
    const std::string name = NL_uniqueSiblingPath(out, "partial");
    const ssize_t n = write(pipeEnds[1], name.data(), name.size());
    _exit(n == static_cast<ssize_t>(name.size()) ? 0 : 1);
  }
  close(pipeEnds[1]);
  const std::string mine = NL_uniqueSiblingPath(out, "partial");
  std::string theirs(4096, '\0');
  const ssize_t n = read(pipeEnds[0], &theirs[0], theirs.size());
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GT(n, 0);
  theirs.resize(static_cast<size_t>(n));
  EXPECT_NE(mine, theirs);
  EXPECT_NE(mine, NL_uniqueSiblingPath(out, "partial"));
  const std::string mineName = std::filesystem::path(mine).filename().string();
  EXPECT_TRUE(NL_isOwnTemporaryName(mineName));
  EXPECT_EQ(mineName.rfind("trails.lumivex-partial-", 0), 0u);
  EXPECT_EQ(std::filesystem::path(mine).extension(), ".tif");
  EXPECT_FALSE(NL_isOwnTemporaryName("trails_1.tif"));

  // The child has ended: its partial file is abandoned; ours is still being written.
  writeFile(theirs, "cut short");
  writeFile(mine, "in progress");
  const std::string otherStem = dir.file("trails_1.lumivex-partial-" + std::to_string(child) + "-0-0.tif");
  const std::string otherKind = dir.file("trails.lumivex-partial-" + std::to_string(child) + "-0-0.png");
  writeFile(otherStem, "x");
  writeFile(otherKind, "x");
  EXPECT_EQ(NL_removeAbandonedPartials(out), 1);
  EXPECT_FALSE(std::filesystem::exists(theirs));
  EXPECT_TRUE(std::filesystem::exists(mine));
  EXPECT_TRUE(std::filesystem::exists(otherStem));
  EXPECT_TRUE(std::filesystem::exists(otherKind));

  // a result written in full takes the abandoned partial of its own name with it
  writeFile(theirs, "cut short");
  ASSERT_TRUE(NL_writeImageFile(out, cv::Mat(4, 4, CV_8UC1, cv::Scalar(9))));
  EXPECT_FALSE(std::filesystem::exists(theirs));
  EXPECT_TRUE(std::filesystem::exists(mine));
}
#endif

TEST(SharedHelpers, WriteQueueWritesInOrderAndStopsAtTheFirstFailure) {
  TempDir dir;
  const cv::Mat a(5, 4, CV_16UC3, cv::Scalar(1, 2, 3)), b(5, 4, CV_8UC1, cv::Scalar(7));
  {
    NLImageWriteQueue queue;
    queue.add(dir.file("a.tif"), a, "a failed");
    std::string bFailure = "b failed";
    EXPECT_TRUE(NL_writeOrQueueImage(dir.file("b.tif"), b, &queue, bFailure));
    size_t failed = 99;
    std::string why;
    ASSERT_TRUE(queue.finish(failed, why));
    EXPECT_EQ(failed, 99u);
    EXPECT_EQ(cv::norm(cv::imread(dir.file("a.tif"), cv::IMREAD_UNCHANGED), a, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(cv::imread(dir.file("b.tif"), cv::IMREAD_UNCHANGED), b, cv::NORM_INF), 0.0);
  }
  // The second write fails: the third never lands (nor its temporary), and the first failure is reported.
  NLImageWriteQueue queue;
  queue.add(dir.file("c.tif"), a, "c failed");
  queue.add(dir.file("missing/d.tif"), a, "d failed");
  queue.add(dir.file("e.tif"), b, "e failed");
  EXPECT_EQ(queue.size(), 3u);
  size_t failed = 0;
  std::string why;
  EXPECT_FALSE(queue.finish(failed, why));
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(why, "d failed (No such file or directory)");  // the system's reason follows the job's text
  EXPECT_TRUE(std::filesystem::exists(dir.file("c.tif")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("e.tif")));
  // Without a queue the write happens at once and reports its own failure.
  std::string fFailure = "f failed";
  EXPECT_FALSE(NL_writeOrQueueImage(dir.file("missing/f.tif"), b, nullptr, fFailure));
  EXPECT_EQ(fFailure, "f failed (No such file or directory)");
  EXPECT_EQ(filesIn(dir.path()), 3u);  // a, b and c, no temporary left behind
}

// A queued write encodes its strips on its own thread alone (so the job's
// parallel loops keep the cores), or on every core when asked (a job's last
// image); either way its file is byte for byte the one written
// at once on every core, for each depth and channel count, with a profile,
// a last strip shorter than the others and a single-row image.
TEST(SharedHelpers, QueuedWritesMatchWritesOnEveryCoreByteForByte) {
  TempDir dir;
  const NLIccProfile profile(100, 7);
  std::vector<cv::Mat> images;
  for (int type : {CV_8UC1, CV_8UC3, CV_16UC3, CV_16UC4}) {
    cv::Mat image(301, 257, type);
    cv::RNG(type).fill(image, cv::RNG::NORMAL, 900, 40);  // sky-like noise about a level
    cv::rectangle(image, cv::Rect(20, 30, 90, 60), cv::Scalar::all(255), cv::FILLED);
    images.push_back(image);
  }
  images.push_back(cv::Mat(1, 5000, CV_16UC1, cv::Scalar(1234)));
  const int threadsBefore = cv::getNumThreads();
  cv::setNumThreads(4);
  NLImageWriteQueue queue;
  for (size_t i = 0; i < images.size(); ++i) {
    const std::string name = std::to_string(i);
    ASSERT_TRUE(NL_writeImageFile(dir.file("now" + name + ".tif"), images[i], profile, nullptr));
    queue.add(dir.file("queued" + name + ".tif"), images[i], "queued " + name, profile, i % 2 == 1);
  }
  size_t failed = 0;
  std::string why;
  EXPECT_TRUE(queue.finish(failed, why)) << why;
  cv::setNumThreads(threadsBefore);
  for (size_t i = 0; i < images.size(); ++i) {
    const std::string name = std::to_string(i);
    const std::string now = readFile(dir.file("now" + name + ".tif"));
    EXPECT_GT(now.size(), 100u);
    EXPECT_TRUE(now == readFile(dir.file("queued" + name + ".tif"))) << "image " << i;
    EXPECT_EQ(cv::norm(cv::imread(dir.file("queued" + name + ".tif"), cv::IMREAD_UNCHANGED), images[i],
                       cv::NORM_INF), 0.0) << "image " << i;
  }
}

namespace {

// Bytes in which no two neighbours repeat an earlier pair (the Lyndon words
// 0, 0 1, 0 2, ..., 1, 1 2, ... in turn), so LZW adds one code for every byte
// and a row of n of them ends with a known table size.
std::vector<uchar> distinctPairs(size_t n) {
  std::vector<uchar> bytes;
  for (int a = 0; a < 256 && bytes.size() < n; ++a) {
    bytes.push_back(static_cast<uchar>(a));
    for (int b = a + 1; b < 256 && bytes.size() < n; ++b) {
      bytes.push_back(static_cast<uchar>(a));
      if (bytes.size() < n) bytes.push_back(static_cast<uchar>(b));
    }
  }
  return bytes;
}

cv::Mat readBack(const std::string& path) { return cv::imread(path, cv::IMREAD_UNCHANGED); }

// The file OpenCV writes for the same image with no parameters. Where every
// strip is under 10000 bytes its encoder has no reason to reset the table
// early, so a one- or three-channel file must match it byte for byte.
std::string openCVFile(const TempDir& dir, const cv::Mat& image) {
  const std::string path = dir.file("opencv.tif");
  EXPECT_TRUE(cv::imwrite(path, image));
  return readFile(path);
}

bool sameImage(const cv::Mat& a, const cv::Mat& b) {
  return a.type() == b.type() && a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

// ---- Coarse blur -------------------------------------------------------------------------

// A sky with a gradient, a few bright stars (some cut by the edge) and noise,
// at sizes the coarse grid does not divide: the coarse blur must follow
// cv::GaussianBlur within a thousandth of the image's range up to the edges,
// rows handed out in any order.
TEST(CoarseBlur, FollowsTheExactBlurOnEveryBorderAndSize) {
  cv::RNG rng(7);
  for (const cv::Size size : {cv::Size(613, 411), cv::Size(256, 256), cv::Size(37, 5), cv::Size(3, 1)}) {
    cv::Mat image(size, CV_32FC1);
    rng.fill(image, cv::RNG::NORMAL, 0.2, 0.01);
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x) image.at<float>(y, x) += 0.4f * float(x + 2 * y) / float(size.width + 2 * size.height);
    for (int k = 0; k < 12; ++k)
      cv::circle(image, {rng.uniform(0, size.width), rng.uniform(0, size.height)}, 2, cv::Scalar(1.0), cv::FILLED);
    for (const double sigma : {2.5, 10.0, 45.0})
      for (const int border : {int(cv::BORDER_REPLICATE), int(cv::BORDER_DEFAULT)}) {
        cv::Mat exact;
        cv::GaussianBlur(image, exact, cv::Size(), sigma, sigma, border);
        const NLCoarseBlur blur(image, sigma, border);
        cv::Mat rows(size, CV_32FC1);
        for (int y = size.height - 1; y >= 0; --y) blur.row(y, rows.ptr<float>(y));
        const double tolerance = NL_coarseBlurScale(sigma) == 1 ? 1e-6 : 1e-3;
        EXPECT_LE(cv::norm(rows, exact, cv::NORM_INF), tolerance) << size << " sigma " << sigma << " border " << border;
        // A thread's cursor gives the same rows bit for bit, in order from any
        // start, after a jump back or ahead, and row by row upwards.
        std::vector<int> order;
        for (int y = size.height / 3; y < size.height; ++y) order.push_back(y);
        for (int y = 0; y < size.height; y += 3) order.push_back(y);
        for (int y = size.height - 1; y >= 0; --y) order.push_back(y);
        NLCoarseBlur::Rows cursor(blur);
        std::vector<float> one(static_cast<size_t>(size.width));
        int differing = 0;
        for (const int y : order) {
          cursor.row(y, one.data());
          differing += std::memcmp(one.data(), rows.ptr<float>(y), one.size() * sizeof(float)) != 0;
        }
        EXPECT_EQ(differing, 0) << size << " sigma " << sigma << " border " << border;
      }
  }
  EXPECT_EQ(NL_coarseBlurScale(2.5), 1);
  EXPECT_GT(NL_coarseBlurScale(45.0), NL_coarseBlurScale(10.0));
}

// ---- Last words of a cancelled job ------------------------------------------------------

// A job still polling its export after the program wrote its cancel entry
// used to restart the progress file at 8 % and leave the log it was writing.
TEST(LastWords, NoLaterWriteReplacesACancelledJobsProgressOrLog) {
  TempDir dir;
  const std::string progress = dir.file("progress.txt"), log = dir.file("log.txt");
  NL_writeProgressFile(progress, 9, "Loading image", "Waiting");
  NL_writeLastProgressEntry(progress, 100, "Failed", "Cancelled.");
  const std::string ended = readFile(progress);
  NL_writeProgressFile(progress, 8, "Loading image", "Waiting");  // a restart on any other path
  NL_writeProgressFile(progress, 100, "Completed", "done");
  EXPECT_EQ(readFile(progress), ended);
  EXPECT_EQ(NL_progressRecord(progress).stage, "Failed");

  NL_writeLastTextFile(log, "status=failed\n");
  NL_writeTextFile(log, "status=success\n");
  NL_sgWriteTextFile(log, "status = success\n");
  EXPECT_EQ(readFile(log), "status=failed\n");
  // other paths are untouched by the seal
  NL_writeTextFile(dir.file("other.txt"), "x");
  EXPECT_EQ(readFile(dir.file("other.txt")), "x");
}

}  // namespace

// The channels a header names are the channels OpenCV decodes, for every
// PNG and TIFF layout it writes; a hand-made two-sample TIFF in either byte
// order and one without the samples tag are read as they say; formats the
// peek does not know, camera RAW names and missing files tell nothing.
TEST(ImageHeader, SamplesAreTheChannelsOpenCVDecodes) {
  TempDir dir;
  for (const int depth : {CV_8U, CV_16U})
    for (const int channels : {1, 3, 4})
      for (const char* ext : {".png", ".tif"}) {
        const std::string path = dir.file("c" + std::to_string(channels) + "d" + std::to_string(depth) + ext);
        ASSERT_TRUE(cv::imwrite(path, cv::Mat(9, 13, CV_MAKETYPE(depth, channels), cv::Scalar(1, 2, 3, 4))));
        EXPECT_EQ(NL_readImageHeaderSamples(path), cv::imread(path, cv::IMREAD_UNCHANGED).channels()) << path;
      }
  for (const bool bigEndian : {false, true}) {
    writeFile(dir.file("two.tif"), testsupport::handMadeTiff(7, 5, 2, bigEndian));
    EXPECT_EQ(NL_readImageHeaderSamples(dir.file("two.tif")), 2);
    cv::Size size;
    ASSERT_TRUE(NL_readImageHeaderSize(dir.file("two.tif"), size));
    EXPECT_EQ(size, cv::Size(7, 5));
    writeFile(dir.file("untold.tif"), testsupport::handMadeTiff(7, 5, 0, bigEndian));
    EXPECT_EQ(NL_readImageHeaderSamples(dir.file("untold.tif")), 1);
    // a width given again later: the decoder keeps the first, and so must the
    // size the memory limit trusts and the frame reader that skips the decoder
    writeFile(dir.file("twice.tif"), testsupport::handMadeTiff(7, 5, 1, bigEndian, {{256, 2}}));
    ASSERT_TRUE(NL_readImageHeaderSize(dir.file("twice.tif"), size));
    const cv::Mat decoded = cv::imread(dir.file("twice.tif"), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(size, decoded.empty() ? cv::Size(7, 5) : decoded.size());
    cv::Mat plain;
    if (NL_readPlainTiff(dir.file("twice.tif"), plain)) {
      EXPECT_EQ(plain.size(), decoded.size());
    }
  }
  ASSERT_TRUE(cv::imwrite(dir.file("photo.jpg"), cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(9))));
  writeFile(dir.file("camera.nef"), testsupport::handMadeTiff(7, 5, 3, false));
  writeFile(dir.file("cut.tif"), testsupport::handMadeTiff(7, 5, 3, false).substr(0, 20));
  for (const char* name : {"photo.jpg", "camera.nef", "cut.tif", "missing.png"})
    EXPECT_EQ(NL_readImageHeaderSamples(dir.file(name)), 0) << name;
}

TEST(TiffWriter, ReadsBackBitForBitInEveryLayout) {
  TempDir dir;
  cv::RNG rng(11);
  cv::Mat noisy16(37, 1001, CV_16UC3), noisy16a(20, 30, CV_16UC4), pixel(1, 1, CV_8UC3, cv::Scalar(1, 2, 3));
  rng.fill(noisy16, cv::RNG::UNIFORM, 0, 65536);
  rng.fill(noisy16a, cv::RNG::UNIFORM, 0, 65536);
  // A faint sky: a gradient with a little noise, strips of many rows at 8 bits.
  cv::Mat sky16(50, 2000, CV_16UC3), sky8(200, 301, CV_8UC1), flat(3, 4000, CV_16UC1, cv::Scalar(4097));
  for (int y = 0; y < sky16.rows; ++y)
    for (int x = 0; x < sky16.cols; ++x)
      sky16.at<cv::Vec3w>(y, x) = cv::Vec3w(static_cast<ushort>(1000 + x + rng.uniform(0, 8)),
                                            static_cast<ushort>(2000 + y), static_cast<ushort>(3000 + x / 3));
  for (int y = 0; y < sky8.rows; ++y)
    for (int x = 0; x < sky8.cols; ++x) sky8.at<uchar>(y, x) = static_cast<uchar>(x / 2 + y / 4 + rng.uniform(0, 3));
  const std::vector<std::pair<std::string, cv::Mat>> cases = {
      {"noisy16.tif", noisy16}, {"alpha.TIFF", noisy16a}, {"pixel.tif", pixel},
      {"sky16.tif", sky16},     {"sky8.tif", sky8},       {"flat.tiff", flat}};
  for (const auto& [name, image] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(NL_writeImageFile(dir.file(name), image));
    const cv::Mat back = readBack(dir.file(name));
    ASSERT_EQ(back.type(), image.type());
    EXPECT_TRUE(sameImage(back, image));
    const bool smallStrips = image.cols * image.elemSize() <= 8192;
    if (image.channels() != 4 && smallStrips) {
      EXPECT_EQ(readFile(dir.file(name)), openCVFile(dir, image));
    }
  }
  // Still compressed: differencing plus LZW shrinks a smooth sky well below its raw size.
  EXPECT_LT(std::filesystem::file_size(dir.file("sky16.tif")), sky16.total() * sky16.elemSize() / 2);
  EXPECT_LT(std::filesystem::file_size(dir.file("flat.tiff")), flat.total() * flat.elemSize() / 20);
  // A view into a larger image is written as what it shows.
  const cv::Mat view = sky16(cv::Rect(7, 3, 500, 20));
  ASSERT_TRUE(NL_writeImageFile(dir.file("view.tif"), view));
  EXPECT_TRUE(sameImage(readBack(dir.file("view.tif")), view.clone()));
}

TEST(TiffWriter, StripsEndingAtEveryCodeWidthChangeAndTableReset) {
  TempDir dir;
  // One code a byte: a strip of n bytes leaves 258 + (n - 1) codes in the
  // table (less 3836 for every reset). Each length below ends a strip just
  // before, at or after the 10-, 11- and 12-bit changes and a full table.
  for (size_t n : {1, 2, 253, 254, 255, 765, 766, 767, 1789, 1790, 1791, 3835, 3836, 3837, 3838, 7672, 7673, 7674}) {
    SCOPED_TRACE(n);
    const std::vector<uchar> deltas = distinctPairs(n);
    cv::Mat row(1, static_cast<int>(n), CV_8UC1);
    uchar value = 0;
    for (size_t i = 0; i < n; ++i) row.at<uchar>(0, static_cast<int>(i)) = value = static_cast<uchar>(value + deltas[i]);
    const std::string path = dir.file("row.tif");
    ASSERT_TRUE(NL_writeImageFile(path, row));
    EXPECT_TRUE(sameImage(readBack(path), row));
    // The decoder has every pixel before the end code, so only the bytes
    // show an end code written at the wrong width.
    EXPECT_EQ(readFile(path), openCVFile(dir, row));
  }
}

namespace {

// TIFF's LZW the plain way, a map from (prefix, byte) to code and one bit at
// a time, for the table-based encoder to match byte for byte.
std::vector<std::uint8_t> plainLzw(const std::vector<std::uint8_t>& data) {
  std::vector<bool> bits;
  unsigned width = 9, next = 258;
  auto emit = [&](unsigned code) {
    for (int b = static_cast<int>(width) - 1; b >= 0; --b) bits.push_back((code >> b) & 1u);
  };
  auto added = [&](std::map<std::pair<unsigned, unsigned>, unsigned>& table) {
    if (++next == 4094) {
      emit(256);
      table.clear();
      width = 9;
      next = 258;
    } else if (next == (1u << width)) {
      ++width;
    }
  };
  std::map<std::pair<unsigned, unsigned>, unsigned> table;
  emit(256);
  unsigned prefix = data[0];
  for (size_t i = 1; i < data.size(); ++i) {
    const auto found = table.find({prefix, data[i]});
    if (found != table.end()) {
      prefix = found->second;
      continue;
    }
    emit(prefix);
    table[{prefix, data[i]}] = next;
    prefix = data[i];
    added(table);
  }
  emit(prefix);
  added(table);
  emit(257);
  std::vector<std::uint8_t> out((bits.size() + 7) / 8, 0);
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits[i]) out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  return out;
}

// A row of 16-bit samples as the writer hands it to LZW: each the difference
// from its left neighbour, little-endian.
std::vector<std::uint8_t> differencedRow(const std::vector<int>& samples) {
  std::vector<std::uint8_t> out;
  int previous = 0;
  for (int v : samples) {
    const auto delta = static_cast<std::uint16_t>(v - previous);
    previous = v;
    out.push_back(static_cast<std::uint8_t>(delta & 0xFF));
    out.push_back(static_cast<std::uint8_t>(delta >> 8));
  }
  return out;
}

}  // namespace

// The table-based encoder against the plain one on what result images hold:
// sensor noise (a new string nearly every two bytes, many table resets), a
// dark glow layer (long runs, 12-bit codes, strings hundreds of bytes long),
// a smooth sky, a repeating colour, and lengths around every width change.
// A second strip on the same thread must not see the first one's strings,
// nor a table its earlier strings that a reset left in their slots.
TEST(TiffWriter, EncoderMatchesPlainLzwOnEveryKindOfStrip) {
  cv::RNG rng(29);
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> strips;
  std::vector<std::uint8_t> noise(60000);
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng.uniform(0, 256));
  strips.push_back({"uniform noise", noise});
  std::vector<int> sky(18000), glow(18000, 0), ramp(18000);
  for (size_t i = 0; i < sky.size(); ++i) sky[i] = std::clamp(9000 + static_cast<int>(rng.gaussian(40.0)), 0, 65535);
  for (int star : {3000, 3300, 11000})
    for (int d = -200; d <= 200; ++d) glow[size_t(star + d)] += static_cast<int>(20000.0 * std::exp(-d * d / 5000.0));
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int>(i / 3 + (i % 3) * 7000);
  strips.push_back({"16-bit sky noise", differencedRow(sky)});
  strips.push_back({"dark glow layer", differencedRow(glow)});
  strips.push_back({"smooth ramp", differencedRow(ramp)});
  strips.push_back({"zeros", std::vector<std::uint8_t>(100000, 0)});
  std::vector<std::uint8_t> colour;
  for (int i = 0; i < 30000; ++i) colour.push_back(static_cast<std::uint8_t>("\x10\x80\xff"[i % 3]));
  strips.push_back({"repeating colour", colour});
  // Noise that comes back after the table has filled: its pairs meet slots
  // an earlier table gave to codes that now name other strings.
  std::vector<std::uint8_t> again;
  for (int k = 0; k < 5; ++k) again.insert(again.end(), noise.begin(), noise.begin() + 4500);
  strips.push_back({"the same noise five times", again});
  for (size_t n : {1, 2, 3, 510, 511, 512, 3836, 3837, 4093, 4094, 4095})
    strips.push_back({"noise of " + std::to_string(n), std::vector<std::uint8_t>(noise.begin(), noise.begin() + n)});
  // The 2 MB tables and the small ones (an image written beside a
  // job's work) give the same codes.
  for (const bool small : {false, true}) {
    SCOPED_TRACE(small ? "small tables" : "2 MB tables");
    for (const auto& [name, data] : strips) {
      SCOPED_TRACE(name);
      std::vector<std::uint8_t> out = {0xAB};  // appended after what is there
      lvplumbing::lzwEncodeStrip(data.data(), data.size(), out, small);
      ASSERT_EQ(out.front(), 0xAB);
      EXPECT_TRUE(std::vector<std::uint8_t>(out.begin() + 1, out.end()) == plainLzw(data));
    }
    // Two strips encoded side by side, each exactly as alone: every kind beside
    // every other, longer and shorter, on tables the previous pair filled.
    for (size_t i = 0; i < strips.size(); ++i)
      for (size_t j : {i, (i + 1) % strips.size(), (i + 5) % strips.size()}) {
        const auto& [name0, data0] = strips[i];
        const auto& [name1, data1] = strips[j];
        SCOPED_TRACE(name0 + " beside " + name1);
        std::vector<std::uint8_t> out0 = {0xAB}, out1;
        lvplumbing::lzwEncodeStripPair(data0.data(), data0.size(), out0, data1.data(), data1.size(), out1, small);
        ASSERT_EQ(out0.front(), 0xAB);
        EXPECT_TRUE(std::vector<std::uint8_t>(out0.begin() + 1, out0.end()) == plainLzw(data0));
        EXPECT_TRUE(out1 == plainLzw(data1));
      }
  }
}

// Strips are encoded two at a time once a batch has shown that the image
// compresses well, and one at a time again after a noisy one; every strip
// lands in its place whatever the batch sizes (odd tails included) and the
// thread count.
TEST(TiffWriter, ImagesSwitchingBetweenRunsAndNoiseReadBackExactly) {
  TempDir dir;
  const int before = cv::getNumThreads();
  for (const int threads : {1, 2, 3}) {
    cv::setNumThreads(threads);
    for (const int depth : {CV_16U, CV_8U}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, depth " << depth);
      cv::Mat image(125, 6000, CV_MAKETYPE(depth, 3), cv::Scalar::all(depth == CV_16U ? 9000 : 40));
      cv::RNG rng(uint64_t(41 + threads));
      // Smooth rows with a few bright discs, then a noisy band, then smooth again.
      for (int k = 0; k < 40; ++k)
        cv::circle(image, {rng.uniform(0, 6000), rng.uniform(0, 125)}, rng.uniform(2, 30), cv::Scalar::all(200 * k),
                   cv::FILLED);
      cv::Mat band = image.rowRange(37, 61);
      rng.fill(band, cv::RNG::NORMAL, depth == CV_16U ? 9000 : 40, depth == CV_16U ? 400 : 9);
      const std::string path = dir.file("switching.tif");
      ASSERT_TRUE(NL_writeImageFile(path, image));
      EXPECT_TRUE(sameImage(readBack(path), image));
      // Written beside a job's work (one thread, small tables, each batch
      // stored before the next is encoded): the same file, byte for byte.
      const std::string small = dir.file("switching_small.tif");
      ASSERT_TRUE(NL_writeImageFile(small, image, NLIccProfile(), nullptr, true));
      std::ifstream a(path, std::ios::binary), b(small, std::ios::binary);
      const std::string whole((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
      const std::string beside((std::istreambuf_iterator<char>(b)), std::istreambuf_iterator<char>());
      EXPECT_GT(whole.size(), 1000u);
      EXPECT_TRUE(whole == beside);
    }
  }
  cv::setNumThreads(before);
}

// A wide 16-bit result, one row a strip as at 6000 columns, with the noise,
// dark sky and bright halos of a composite: OpenCV reads every sample back.
TEST(TiffWriter, WideSixteenBitCompositeReadsBackExactly) {
  TempDir dir;
  cv::RNG rng(31);
  cv::Mat image(24, 6000, CV_16UC3);
  rng.fill(image, cv::RNG::NORMAL, 3000, 300);
  image.rowRange(0, 4).setTo(cv::Scalar::all(0));
  for (int k = 0; k < 20; ++k)
    cv::circle(image, {rng.uniform(0, 6000), rng.uniform(0, 24)}, rng.uniform(2, 40),
               cv::Scalar(rng.uniform(0, 65536), 65535, rng.uniform(0, 65536)), cv::FILLED);
  ASSERT_TRUE(NL_writeImageFile(dir.file("wide.tif"), image));
  EXPECT_TRUE(sameImage(readBack(dir.file("wide.tif")), image));
}

TEST(SharedHelpers, SixteenBitResultsInEightBitFormatsAreScaledNotSaturated) {
  TempDir dir;
  // Every 16-bit value once: BMP is lossless, so each one shows its 8-bit value.
  cv::Mat ramp(256, 256, CV_16UC3);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) ramp.at<cv::Vec3w>(y, x) = cv::Vec3w::all(static_cast<ushort>(y * 256 + x));
  ASSERT_TRUE(NL_writeImageFile(dir.file("ramp.bmp"), ramp));
  const cv::Mat bmp = readBack(dir.file("ramp.bmp"));
  ASSERT_EQ(bmp.type(), CV_8UC3);
  int wrong = 0;
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) wrong += bmp.at<cv::Vec3b>(y, x)[1] != (y * 256 + x + 128) / 257;
  EXPECT_EQ(wrong, 0);
  // A dark 16-bit sky with a bright star stays a dark sky in a JPEG, as an
  // 8-bit frame of the same sky does; neither turns white.
  cv::Mat sky16(120, 160, CV_16UC3, cv::Scalar(1800, 2000, 2300));
  cv::circle(sky16, cv::Point(80, 60), 3, cv::Scalar::all(60000), -1);
  cv::Mat sky8;
  sky16.convertTo(sky8, CV_8U, 1.0 / 257.0);
  std::vector<std::string> lossy = {".jpg", ".jpeg"};
  if (cv::haveImageWriter(".webp")) lossy.push_back(".webp");
  for (const std::string& ext : lossy) {
    for (const cv::Mat& sky : {sky16, sky8}) {
      SCOPED_TRACE(ext + (sky.depth() == CV_16U ? " from 16 bits" : " from 8 bits"));
      const std::string path = dir.file("sky" + std::to_string(sky.depth()) + ext);
      ASSERT_TRUE(NL_writeImageFile(path, sky));
      const cv::Mat back = readBack(path);
      ASSERT_EQ(back.depth(), CV_8U);
      EXPECT_NEAR(cv::mean(back)[2], cv::mean(sky8)[2], 1.5);
      EXPECT_GT(back.at<cv::Vec3b>(60, 80)[1], 220);
    }
  }
  // Formats that hold 16 bits keep them.
  ASSERT_TRUE(NL_writeImageFile(dir.file("sky.png"), sky16));
  EXPECT_TRUE(sameImage(readBack(dir.file("sky.png")), sky16));
}

TEST(ColourProfile, ReadFromTiffPngAndJpegAndCarriedIntoTiffResults) {
  TempDir dir;
  cv::Mat image(40, 50, CV_16UC3);
  cv::RNG(5).fill(image, cv::RNG::UNIFORM, 0, 65536);
  const std::vector<std::uint8_t> p3 = testicc::profile(1), wide = testicc::profile(2, 3000);
  cv::Mat image8;
  image.convertTo(image8, CV_8U, 1.0 / 257.0);
  writeFile(dir.file("frame.png"), [&] { auto b = testicc::pngWithProfile(image, p3); return std::string(b.begin(), b.end()); }());
  // A profile above 64 kB is spread over several APP2 segments.
  const std::vector<std::uint8_t> large = testicc::profile(3, 40000);
  writeFile(dir.file("frame.jpg"),
            [&] { auto b = testicc::jpegWithProfile(image8, large, 3); return std::string(b.begin(), b.end()); }());
  EXPECT_EQ(NL_readIccProfile(dir.file("frame.png")), p3);
  EXPECT_EQ(NL_readIccProfile(dir.file("frame.jpg")), large);
  EXPECT_TRUE(sameImage(readBack(dir.file("frame.png")), image));  // the decoders still take the files
  EXPECT_FALSE(readBack(dir.file("frame.jpg")).empty());
  // Written into a TIFF result, in every layout, also an odd number of bytes.
  std::vector<std::uint8_t> odd = wide;
  odd.push_back(0x5A);
  cv::Mat grey(30, 20, CV_8UC1, cv::Scalar(9)), rgba(30, 20, CV_16UC4, cv::Scalar(1, 2, 3, 65535));
  for (const auto& [name, picture, icc] :
       {std::make_tuple("p3.tif", image, p3), std::make_tuple("odd.tif", grey, odd),
        std::make_tuple("rgba.tiff", rgba, large)}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(NL_writeImageFile(dir.file(name), picture, icc, nullptr));
    EXPECT_EQ(NL_readIccProfile(dir.file(name)), icc);
    EXPECT_TRUE(sameImage(readBack(dir.file(name)), picture));
  }
  // No profile in, none out; files without one, or not images, give none.
  ASSERT_TRUE(NL_writeImageFile(dir.file("plain.tif"), image, {}, nullptr));
  EXPECT_TRUE(NL_readIccProfile(dir.file("plain.tif")).empty());
  cv::imwrite(dir.file("plain.png"), image);
  cv::imwrite(dir.file("plain.jpg"), image8);
  writeFile(dir.file("text.tif"), "II*\0 not really");
  for (const char* name : {"plain.png", "plain.jpg", "text.tif", "missing.tif"})
    EXPECT_TRUE(NL_readIccProfile(dir.file(name)).empty()) << name;
}

TEST(SharedHelpers, AFailedWriteSaysTheSystemsReason) {
  TempDir dir;
  cv::Mat noise(256, 256, CV_16UC3);  // does not compress below the file size limit set below
  cv::RNG(3).fill(noise, cv::RNG::UNIFORM, 0, 65536);
#ifdef __linux__
  // A full disk, as the kernel's always-full device reports one.
  if (std::filesystem::exists("/dev/full")) {
    std::filesystem::create_symlink("/dev/full", dir.file("full.tif"));
    std::string reason;
    EXPECT_FALSE(lvplumbing::writeLzwTiff(dir.file("full.tif"), noise, {}, &reason));
    EXPECT_EQ(reason, "No space left on device");
    std::filesystem::remove(dir.file("full.tif"));
  }
#endif
  // A file that may not grow past 64 kB fails the write midway, with what
  // the system said, and leaves nothing behind; the queue names it too.
  struct rlimit before {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = before;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string tiffReason, pngReason, queued;
  const bool tiffWritten = NL_writeImageFile(dir.file("big.tif"), noise, {}, &tiffReason);
  const bool pngWritten = NL_writeImageFile(dir.file("big.png"), noise, {}, &pngReason);
  bool queueWritten = false;
  {
    NLImageWriteQueue queue;
    queue.add(dir.file("queued.tif"), noise, "could not write output: queued.tif");
    size_t failed = 0;
    queueWritten = queue.finish(failed, queued);
  }
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(tiffWritten);
  EXPECT_EQ(tiffReason, "File too large");
  EXPECT_FALSE(pngWritten);
  EXPECT_EQ(pngReason, "File too large");
  EXPECT_FALSE(queueWritten);
  EXPECT_EQ(queued, "could not write output: queued.tif (File too large)");
  EXPECT_EQ(filesIn(dir.path()), 0u);
  EXPECT_EQ(NL_withReason("could not write output: a.tif", ""), "could not write output: a.tif");
}

TEST(SharedHelpers, LuminanceOfEveryLayoutAndLogNumbers) {
  for (int depth : {CV_8U, CV_16U}) {
    const cv::Mat bgra(1, 2, CV_MAKETYPE(depth, 4), cv::Scalar(10, 20, 30, 250));
    const cv::Mat bgr(1, 2, CV_MAKETYPE(depth, 3), cv::Scalar(10, 20, 30));
    const cv::Mat grey(1, 2, CV_MAKETYPE(depth, 1), cv::Scalar(42));
    const double expected = 0.2126 * 30 + 0.7152 * 20 + 0.0722 * 10;
    double row[2];
    NL_luminanceRow(bgra, 0, row);
    EXPECT_DOUBLE_EQ(row[1], expected);  // alpha ignored
    NL_luminanceRow(bgr, 0, row);
    EXPECT_DOUBLE_EQ(row[0], expected);
    EXPECT_DOUBLE_EQ(NL_luminanceAt(bgr, 1, 0), expected);
    NL_luminanceRow(grey, 0, row);
    EXPECT_EQ(row[1], 42.0);
    EXPECT_EQ(NL_luminanceAt(grey, 0, 0), 42.0);
  }
  double row[2] = {5, 5};
  NL_luminanceRow(cv::Mat(1, 2, CV_32FC3, cv::Scalar::all(1)), 0, row);
  EXPECT_EQ(row[0] + row[1], 0.0);
  const cv::Matx13f w = NL_luminanceWeightsBGR();
  EXPECT_FLOAT_EQ(w(0, 0) + w(0, 1) + w(0, 2), 1.0f);
  EXPECT_FLOAT_EQ(w(0, 2), 0.2126f);  // red last in the BGR order

  EXPECT_EQ(NL_formatNumber(1.1), "1.1");
  EXPECT_EQ(NL_formatNumber(5.0), "5");
  EXPECT_EQ(NL_formatNumber(0.85), "0.85");
  EXPECT_EQ(NL_formatNumber(1234567.0), "1.23457e+06");
  EXPECT_EQ(NL_formatNumber(0.2125, 3), "0.212");  // the double just below 0.2125
  EXPECT_EQ(NL_formatNumber(9999.0, 3), "9999.000");
  EXPECT_EQ(NL_formatNumber(3.5, 0), "4");
  EXPECT_EQ(NL_formatNumber(2.0, 6), "2.000000");
  EXPECT_EQ(NL_formatNumber(0.1, -1, 17), "0.10000000000000001");
}

// Many workers finishing items at once: every report the receiver sees
// counts more than the one before, for both the per-item and the per-row
// counters, so a progress detail never steps back ("3 of 4" after "4 of 4").
TEST(SharedHelpers, CountsFromParallelWorkersAreReportedInOrder) {
  constexpr int kThreads = 8, kEach = 2000, kRows = kThreads * kEach;
  std::vector<int> items, rows;
  std::mutex seen;  // the receiver's own lock: it must not be what orders the counts
  NLFinishedCount finished;
  NLRowProgress rowProgress(kRows, [&](int done, int) {
    std::lock_guard<std::mutex> lock(seen);
    rows.push_back(done);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        finished.finishOne([&](int done) {
          std::lock_guard<std::mutex> lock(seen);
          items.push_back(done);
        });
        rowProgress.rowDone();
      }
    });
  for (std::thread& t : threads) t.join();
  ASSERT_EQ(items.size(), size_t(kRows));
  for (size_t i = 0; i < items.size(); ++i) ASSERT_EQ(items[i], int(i) + 1);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back(), kRows);
  for (size_t i = 1; i < rows.size(); ++i) ASSERT_GT(rows[i], rows[i - 1]) << i;
}

// A job's report paths: a failure never lands on one of the user's files,
// and a log named like the progress file ends with the log.
TEST(JobReport, FailureGoesOnlyWhereItIsSafe) {
  TempDir dir;
  const std::string frame = dir.file("frame.tif"), progress = dir.file("p.txt"), log = dir.file("log.txt");
  writeFile(frame, "pixels");
  NLJobPaths paths;
  paths.inputs = {{"input frame", frame}};
  paths.outputs = {{"progress file", frame}, {"result log", log}};
  const NLJobReport onInput(frame, log, paths);
  EXPECT_EQ(onInput.refuse("why", "the log"), "the log");
  EXPECT_EQ(readFile(frame), "pixels");
  EXPECT_EQ(readFile(log), "the log");

  paths.outputs = {{"progress file", progress}, {"result log", progress}};
  NLJobReport shared(progress, progress, paths);
  shared.refuse("why", "ends with the log");
  EXPECT_EQ(readFile(progress), "ends with the log");
  shared.failedIfSafe("again");
  EXPECT_EQ(readFile(progress), progressText(100, "Failed", "again"));

  NLJobReport dropped(frame, log, {{{"input frame", frame}}, {}});
  dropped.dropUnsafePaths();
  EXPECT_EQ(dropped.progressPath(), "");
  EXPECT_EQ(dropped.resultLog(), log);
}

TEST(JobReport, GuardTurnsAnExceptionIntoTheJobsFailure) {
  std::vector<std::string> written;
  const auto record = [&](const std::string& why) {
    written.push_back(why);
    return "failed: " + why;
  };
  const auto throwsStd = []() -> std::string { throw std::runtime_error("out of memory"); };
  const auto throwsOther = []() -> std::string { throw 7; };
  EXPECT_EQ(NL_runJobGuarded(NLJobExceptions::ReturnLog, [] { return std::string("done"); }, record), "done");
  EXPECT_TRUE(written.empty());
  EXPECT_EQ(NL_runJobGuarded(NLJobExceptions::ReturnLog, throwsStd, record), "failed: out of memory");
  EXPECT_EQ(NL_runJobGuarded(NLJobExceptions::ReturnLog, throwsOther, record, "Unknown error."),
            "failed: Unknown error.");
  // Rethrow writes the same failure first, then the caller sees the very exception.
  EXPECT_THROW(NL_runJobGuarded(NLJobExceptions::Rethrow, throwsStd, record), std::runtime_error);
  EXPECT_THROW(NL_runJobGuarded(NLJobExceptions::Rethrow, throwsOther, record), int);
  EXPECT_EQ(written, (std::vector<std::string>{"out of memory", "Unknown error.", "out of memory",
                                               "unknown exception"}));
}

// ---- Uncompressed TIFF frames read into a reused buffer ---------------------------------

namespace {

std::string writeUncompressed(const TempDir& dir, const std::string& name, const cv::Mat& image) {
  const std::string path = dir.file(name);
  EXPECT_TRUE(cv::imwrite(path, image, {cv::IMWRITE_TIFF_COMPRESSION, 1}));
  return path;
}

// A 3 x 2 16-bit grey TIFF in big-endian byte order, one strip per row,
// which OpenCV's writer never makes.
std::string bigEndianGrey(const TempDir& dir, const std::vector<ushort>& pixels) {
  std::string b = std::string("MM\0*", 4) + std::string("\0\0\0\x08", 4);
  const auto u16 = [&](unsigned v) { b += char(v >> 8), b += char(v & 255); };
  const auto u32 = [&](unsigned v) { u16(v >> 16), u16(v & 65535); };
  const auto entry = [&](unsigned tag, unsigned type, unsigned count, unsigned value) {
    u16(tag), u16(type), u32(count);
    if (type == 3 && count == 1) u16(value), u16(0);
    else u32(value);
  };
  const unsigned data = 8 + 2 + 10 * 12 + 4 + 8;  // after the directory and the two offsets
  u16(10);
  entry(256, 3, 1, 3), entry(257, 3, 1, 2), entry(258, 3, 1, 16), entry(259, 3, 1, 1), entry(262, 3, 1, 1);
  entry(273, 4, 2, 8 + 2 + 10 * 12 + 4), entry(277, 3, 1, 1), entry(278, 3, 1, 1);
  entry(279, 3, 2, (6u << 16) | 6u);  // two strips of 6 bytes, inline
  entry(284, 3, 1, 1);
  u32(0);
  u32(data), u32(data + 6);
  for (ushort p : pixels) u16(p);
  const std::string path = dir.file("big_endian.tif");
  writeFile(path, b);
  return path;
}

// An uncompressed chunky TIFF of the image (8- or 16-bit, one or three
// channels, in file order RGB) in either byte order with the given rows per
// strip, the strips stored last first where asked, as other programs may
// write them: OpenCV's writer makes only little-endian files of small
// strips in order.
std::string stripTiff(const TempDir& dir, const std::string& name, const cv::Mat& image, bool bigEndian,
                         int rowsPerStrip, bool stripsBackwards = false) {
  cv::Mat rgb = image.clone();
  if (image.channels() == 3) cv::cvtColor(image, rgb, cv::COLOR_BGR2RGB);
  const unsigned depthBytes = unsigned(image.elemSize1()), cn = unsigned(image.channels());
  const unsigned rowBytes = unsigned(image.cols) * cn * depthBytes;
  const unsigned strips = unsigned((image.rows + rowsPerStrip - 1) / rowsPerStrip);
  std::string b = bigEndian ? std::string("MM\0*", 4) : std::string("II*\0", 4);
  const auto u16 = [&](unsigned v) {
    const char hi = char(v >> 8), lo = char(v & 255);
    b += bigEndian ? hi : lo, b += bigEndian ? lo : hi;
  };
  const auto u32 = [&](unsigned v) {
    if (bigEndian) u16(v >> 16), u16(v & 65535);
    else u16(v & 65535), u16(v >> 16);
  };
  const unsigned entries = 10, directoryEnd = 8 + 2 + entries * 12 + 4;
  const unsigned bitsAt = directoryEnd, offsetsAt = bitsAt + 8, countsAt = offsetsAt + 4 * strips;
  const unsigned data = countsAt + 4 * strips;
  u32(8);
  u16(entries);
  const auto entry = [&](unsigned tag, unsigned type, unsigned count, unsigned value) {
    u16(tag), u16(type), u32(count);
    if (type == 3 && count == 1) u16(value), u16(0);
    else u32(value);
  };
  entry(256, 4, 1, unsigned(image.cols)), entry(257, 4, 1, unsigned(image.rows));
  if (cn == 1) entry(258, 3, 1, 8 * depthBytes);
  else entry(258, 3, 3, bitsAt);
  // one strip's offset and size stand in the entries themselves
  entry(259, 3, 1, 1), entry(262, 3, 1, cn == 1 ? 1 : 2), entry(273, 4, strips, strips == 1 ? data : offsetsAt);
  entry(277, 3, 1, cn), entry(278, 4, 1, unsigned(rowsPerStrip));
  entry(279, 4, strips, strips == 1 ? unsigned(image.rows) * rowBytes : countsAt);
  entry(284, 3, 1, 1);
  u32(0);
  for (int i = 0; i < 4; ++i) u16(8 * depthBytes);
  const auto stripRows = [&](unsigned s) {
    return std::min(unsigned(rowsPerStrip), unsigned(image.rows) - s * unsigned(rowsPerStrip));
  };
  std::vector<unsigned> order(strips), offsets(strips);
  for (unsigned s = 0; s < strips; ++s) order[s] = stripsBackwards ? strips - 1 - s : s;
  for (unsigned k = 0, at = data; k < strips; at += stripRows(order[k]) * rowBytes, ++k) offsets[order[k]] = at;
  for (unsigned s = 0; s < strips; ++s) u32(offsets[s]);
  for (unsigned s = 0; s < strips; ++s) u32(stripRows(s) * rowBytes);
  for (unsigned s : order)
    for (int y = int(s) * rowsPerStrip; y < int(s * unsigned(rowsPerStrip) + stripRows(s)); ++y) {
      const uchar* row = rgb.ptr(y);
      for (unsigned x = 0; x < rowBytes; x += depthBytes) {
        if (depthBytes == 1) b += char(row[x]);
        else u16(*reinterpret_cast<const ushort*>(row + x));
      }
    }
  const std::string path = dir.file(name);
  writeFile(path, b);
  return path;
}

// The whole image in one strip: far larger than the reader's pieces.
std::string oneStripTiff(const TempDir& dir, const std::string& name, const cv::Mat& image, bool bigEndian) {
  return stripTiff(dir, name, image, bigEndian, image.rows);
}

}  // namespace

// 8- and 16-bit, one, three and four channels, widths that leave partial
// strips: read straight into the buffer, every value as the decoder gives
// it; a buffer of the right size and type is filled in place, one of another
// geometry is replaced. Compressed files, 8-bit RGBA (premultiplied by the
// decoder), big-endian files and files cut short are either read alike or
// left to the decoder, never read differently.
TEST(PlainTiff, ReadsUncompressedFramesIntoTheBufferAsTheDecoderDoes) {
  TempDir dir;
  cv::RNG rng(5);
  const std::vector<std::pair<int, cv::Size>> layouts = {
      {CV_16UC3, {1001, 37}}, {CV_16UC1, {300, 201}}, {CV_16UC4, {33, 65}},
      {CV_8UC3, {777, 129}},  {CV_8UC1, {4001, 3}},   {CV_16UC3, {1, 1}}};
  for (const auto& [type, size] : layouts) {
    cv::Mat image(size, type);
    rng.fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_8U ? 256 : 65536);
    const std::string path = writeUncompressed(dir, "plain_" + std::to_string(type) + ".tif", image);
    SCOPED_TRACE(path);
    cv::Mat buffer(size, type);
    const uchar* memory = buffer.data;
    ASSERT_TRUE(NL_readPlainTiff(path, buffer));
    EXPECT_EQ(buffer.data, memory);
    EXPECT_TRUE(sameImage(buffer, cv::imread(path, cv::IMREAD_UNCHANGED)));
    EXPECT_TRUE(sameImage(buffer, image));
    cv::Mat other(7, 7, CV_8UC1);
    ASSERT_TRUE(NL_readPlainTiff(path, other));
    EXPECT_TRUE(sameImage(other, image));
  }
  const std::string big = bigEndianGrey(dir, {1, 256, 65535, 4660, 0, 43981});
  cv::Mat fromBig;
  ASSERT_TRUE(NL_readPlainTiff(big, fromBig));
  EXPECT_TRUE(sameImage(fromBig, cv::imread(big, cv::IMREAD_UNCHANGED)));
  EXPECT_EQ(fromBig.at<ushort>(1, 2), 43981);

  cv::Mat rgba8(20, 30, CV_8UC4), sky(40, 50, CV_16UC3);
  rng.fill(rgba8, cv::RNG::UNIFORM, 0, 256);
  rng.fill(sky, cv::RNG::UNIFORM, 0, 65536);
  const std::string premultiplied = writeUncompressed(dir, "rgba8.tif", rgba8);
  const std::string lzw = dir.file("lzw.tif");
  ASSERT_TRUE(cv::imwrite(lzw, sky));
  const std::string whole = writeUncompressed(dir, "cut.tif", sky);
  const std::string cut = dir.file("cut_short.tif");
  writeFile(cut, readFile(whole).substr(0, readFile(whole).size() / 2));
  for (const std::string& refused : {premultiplied, lzw, cut, dir.file("missing.tif")}) {
    cv::Mat buffer;
    EXPECT_FALSE(NL_readPlainTiff(refused, buffer)) << refused;
  }
}

// A strip of many hundred KB is read and put in the decoder's order a few
// rows at a time, partial last piece included, in either byte order: every
// value as the decoder gives it, in the caller's buffer.
TEST(PlainTiff, StripsLargerThanTheReadPiecesAsTheDecoderDoes) {
  TempDir dir;
  cv::RNG rng(11);
  struct Case {
    int type;
    cv::Size size;
    bool bigEndian;
  };
  for (const Case& c : {Case{CV_16UC3, {300, 200}, false}, Case{CV_16UC3, {301, 203}, true},
                        Case{CV_16UC1, {700, 250}, true}, Case{CV_8UC3, {1000, 301}, false}}) {
    cv::Mat image(c.size, c.type);
    rng.fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(c.type) == CV_8U ? 256 : 65536);
    const std::string path = oneStripTiff(dir, "strip_" + std::to_string(c.type) + (c.bigEndian ? "_mm" : "_ii") + ".tif",
                                          image, c.bigEndian);
    SCOPED_TRACE(path);
    cv::Mat buffer(c.size, c.type);
    const uchar* memory = buffer.data;
    ASSERT_TRUE(NL_readPlainTiff(path, buffer));
    EXPECT_EQ(buffer.data, memory);
    EXPECT_TRUE(sameImage(buffer, image));
    EXPECT_TRUE(sameImage(buffer, cv::imread(path, cv::IMREAD_UNCHANGED)));
  }
}

// Strips of many rows, read in pieces, and the whole image as one strip, in
// both byte orders and with the strips stored last first: every value as the
// decoder gives it, where a piece or a strip ends inside the frame as well
// (red and blue, and the bytes of each 16-bit sample, swapped exactly once;
// rows never taken from the wrong strip).
TEST(PlainTiff, ReadsLongStripsOfEitherByteOrderAsTheDecoderDoes) {
  TempDir dir;
  cv::RNG rng(17);
  struct Case {
    int type;
    cv::Size size;
    int rowsPerStrip;
  };
  const Case cases[] = {{CV_16UC3, {300, 150}, 150}, {CV_16UC3, {301, 151}, 47}, {CV_16UC1, {999, 70}, 70},
                        {CV_8UC3, {700, 90}, 31},     {CV_8UC1, {2000, 41}, 41},  {CV_16UC3, {4000, 3}, 2},
                        {CV_16UC3, {1500, 40}, 3}};
  for (const Case& c : cases) {
    cv::Mat image(c.size, c.type);
    rng.fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(c.type) == CV_8U ? 256 : 65536);
    for (const int variant : {0, 1, 2}) {
      const bool bigEndian = variant == 1, backwards = variant == 2;
      const std::string path = stripTiff(
          dir, "long_" + std::to_string(c.type) + "_" + std::to_string(c.rowsPerStrip) + "_" + std::to_string(variant) + ".tif",
          image, bigEndian, c.rowsPerStrip, backwards);
      SCOPED_TRACE(path);
      cv::Mat buffer;
      ASSERT_TRUE(NL_readPlainTiff(path, buffer));
      EXPECT_TRUE(sameImage(buffer, image));
      EXPECT_TRUE(sameImage(buffer, cv::imread(path, cv::IMREAD_UNCHANGED)));
    }
  }
}

// The retrying reader reads an uncompressed frame into the buffer and any
// other frame as before; a camera's raw file, TIFF-shaped, is never read
// as a plain TIFF (its first directory is a thumbnail).
TEST(PlainTiff, RetryingReaderUsesTheBufferOnlyForUncompressedTiffs) {
  TempDir dir;
  cv::Mat sky(64, 80, CV_16UC3);
  cv::RNG(9).fill(sky, cv::RNG::UNIFORM, 0, 65536);
  const std::string plain = writeUncompressed(dir, "frame.TIFF", sky);
  const std::string lzw = dir.file("frame_lzw.tif");
  ASSERT_TRUE(cv::imwrite(lzw, sky));
  const std::string raw = dir.file("frame.nef");
  writeFile(raw, readFile(plain));
  cv::Mat buffer(sky.size(), sky.type(), cv::Scalar::all(0));
  const uchar* memory = buffer.data;
  const cv::Mat read = NL_imreadWithRetryInto(plain, -1, buffer, 0, 0);
  EXPECT_EQ(read.data, memory);
  EXPECT_TRUE(sameImage(read, sky));
  for (const std::string& path : {lzw, raw}) {
    cv::Mat untouched(sky.size(), sky.type(), cv::Scalar::all(0));
    const cv::Mat decoded = NL_imreadWithRetryInto(path, -1, untouched, 0, 0);
    if (path == lzw) {
      EXPECT_TRUE(sameImage(decoded, sky));
    }
    EXPECT_NE(decoded.data, untouched.data) << path;
    EXPECT_EQ(cv::countNonZero(untouched.reshape(1)), 0) << path;  // never read into
  }
  cv::Mat none;
  EXPECT_TRUE(NL_imreadWithRetryInto(dir.file("missing.tif"), -1, none, 0, 0).empty());
}
