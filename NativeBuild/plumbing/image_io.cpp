// Image reading that tolerates files the host is still exporting.
#include "plumbing/plumbing.h"
#include "plumbing/detail/opencv_pool.h"
#include "plumbing/detail/raw_decode.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

// Whole-file decode reads everything into memory once; beyond this a
// frame is not worth the risk of exhausting memory.
constexpr std::uint64_t kMaxDecodeBytes = 1610612736ULL;

}  // namespace

std::uint64_t NL_getFileSizeNoThrow(const std::string& path) {
  // Opening a pipe blocks until a writer comes; only regular files have a size.
  if (!NL_isRegularFile(path)) return 0;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return 0;
  const std::streamoff pos = in.tellg();
  return pos < 0 ? 0 : static_cast<std::uint64_t>(pos);
}

cv::Mat NL_imdecodeFileFallback(const std::string& path, int flags) {
  // Camera RAW is not an OpenCV format: its own decoder reads the file.
  if (NL_isRawFileName(path)) return nl_detail::decodeRaw(path, flags);
  const std::uint64_t size = NL_getFileSizeNoThrow(path);
  if (size == 0 || size > kMaxDecodeBytes) return cv::Mat();
  std::ifstream in(path, std::ios::binary);
  if (!in) return cv::Mat();
  std::vector<uchar> bytes(static_cast<size_t>(size));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  if (static_cast<std::uint64_t>(in.gcount()) != size) return cv::Mat();
  try {
    return cv::imdecode(bytes, flags);
  } catch (const cv::Exception&) {
    return cv::Mat();
  }
}

namespace {

// What shows that a file changed: its size and its last write.
struct FileStamp {
  std::uint64_t size = 0;
  std::filesystem::file_time_type written{};
  bool operator==(const FileStamp& o) const { return size == o.size && written == o.written; }
};

// Only files named as TIFFs: a camera's raw file is TIFF-shaped too, and
// its first directory is a thumbnail.
bool hasTiffExtension(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find_first_of("/\\", dot) != std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext == "tif" || ext == "tiff";
}

FileStamp stampOf(const std::string& path) {
  FileStamp s;
  s.size = NL_getFileSizeNoThrow(path);
  std::error_code ec;
  s.written = std::filesystem::last_write_time(path, ec);
  return s;
}

// One attempt. Only a file that is there and whole is decoded (a missing or
// partial one would only make the decoders print their warnings, attempt
// after attempt), and the image counts only if the file did not change
// while it was decoded: an export still being written is tried again.
// into: a buffer an uncompressed TIFF may be read into (null: none).
cv::Mat decodeWholeFile(const std::string& path, int flags, cv::Mat* into) {
  const FileStamp before = stampOf(path);
  if (before.size == 0 || !NL_imageFileDamage(path).empty()) return cv::Mat();
  cv::Mat image;
  if (into && flags == -1 && hasTiffExtension(path) && NL_readPlainTiff(path, *into)) image = *into;
  try {
    if (image.empty() && !NL_isRawFileName(path)) image = cv::imread(path, flags);
  } catch (const cv::Exception&) {
    image.release();
  }
  if (image.empty()) image = NL_imdecodeFileFallback(path, flags);
  if (!image.empty() && !(stampOf(path) == before)) image.release();
  return image;
}

cv::Mat readWithRetry(const std::string& path, int flags, int pauseMs, int limitMs, cv::Mat* into) {
  const auto start = std::chrono::steady_clock::now();
  while (true) {
    if (!NL_imageFileProblem(path).empty()) return cv::Mat();
    const cv::Mat image = decodeWholeFile(path, flags, into);
    if (!image.empty()) return image;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(limitMs)) return cv::Mat();
  }
}

}  // namespace

cv::Mat NL_imreadWithRetry(const std::string& path, int flags, int pauseMs, int limitMs) {
  return readWithRetry(path, flags, pauseMs, limitMs, nullptr);
}

cv::Mat NL_imreadWithRetryInto(const std::string& path, int flags, cv::Mat& into, int pauseMs, int limitMs) {
  return readWithRetry(path, flags, pauseMs, limitMs, &into);
}

int NL_openCVThreadCountFor(unsigned hardwareThreads) {
  if (hardwareThreads == 0) return 4;
  return hardwareThreads > 32 ? 32 : static_cast<int>(hardwareThreads);
}

void NL_loadMinimalOpenCVDlls(std::string& /*message*/) {
  // Several jobs may start at once; the setup runs exactly once.
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      cv::setUseOptimized(true);
      nl_detail::installOpenCVPool(NL_openCVThreadCountFor(std::thread::hardware_concurrency()));
      // OpenCV makes the helper behind Mat::zeros, ones and eye on first use
      // behind an unfenced check: two jobs making their first one at once
      // could see the helper before it is built (on arm64 for real, and the
      // race detector sees it everywhere). Built here, before any job runs.
      cv::Mat warm = cv::Mat::zeros(1, 1, CV_8UC1);
      warm = cv::Mat::ones(1, 1, CV_8UC1);
      warm = cv::Mat::eye(1, 1, CV_8UC1);
    } catch (...) {
    }
  });
}
