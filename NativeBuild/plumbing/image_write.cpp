// Result images: written whole or not at all.
#include "plumbing/plumbing.h"
#include "plumbing/detail/partial_files.h"
#include "plumbing/detail/tiff_writer.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

namespace {

std::string lowerExtension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// True for a format whose encoder keeps only 8 bits a sample (JPEG, WebP,
// BMP, ...). OpenCV would saturate a 16-bit image into it, so a frame's sky
// of a few thousand counts would come out white. Asked of the encoder once
// per extension: a 16-bit probe that decodes as 8-bit tells.
bool holdsOnly8Bits(const std::string& path) {
  // never destroyed: a job may still be writing while its process exits
  static std::mutex& mutex = *new std::mutex;
  static std::map<std::string, bool>& known = *new std::map<std::string, bool>;
  const std::string ext = lowerExtension(path);
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = known.find(ext);
  if (found != known.end()) return found->second;
  bool eightBit = false;
  try {
    std::vector<uchar> bytes;
    const cv::Mat probe(2, 2, CV_16UC3, cv::Scalar::all(40000));
    if (!ext.empty() && cv::imencode(ext, probe, bytes)) {
      const cv::Mat back = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
      eightBit = !back.empty() && back.depth() == CV_8U;
    }
  } catch (const cv::Exception&) {
    eightBit = false;
  }
  return known[ext] = eightBit;
}

// The image as the path's format can hold it: 16-bit samples scaled to
// 8 bits (v / 257, rounded) where only 8 bits fit; otherwise unchanged.
cv::Mat storable(const std::string& path, const cv::Mat& image) {
  if (image.depth() != CV_16U || !holdsOnly8Bits(path)) return image;
  cv::Mat scaled;
  image.convertTo(scaled, CV_8U, 1.0 / 257.0);
  return scaled;
}

std::string systemReason(int error) { return error != 0 ? std::strerror(error) : std::string(); }

// Encodes the image into a temporary sibling of path; empty when it could
// not, with the reason (the system's error text where it tells one).
std::string encodeBeside(const std::string& path, const cv::Mat& image, const NLIccProfile& profile,
                         std::string& reason, bool allCores = true, bool small = false) {
  if (path.empty() || image.empty()) return std::string();
  const std::string temp = lvplumbing::partialSibling(path);
  bool written = false;
  try {
    if (lvplumbing::lzwTiffWritable(temp, image)) {
      written = lvplumbing::writeLzwTiff(temp, image, profile, &reason, allCores, small);
    } else if (!cv::haveImageWriter(temp)) {
      reason = "no image format is written for the extension " + lowerExtension(path);
    } else {
      errno = 0;
      written = cv::imwrite(temp, storable(path, image));
      if (!written) reason = systemReason(errno);
    }
  } catch (const cv::Exception& e) {
    written = false;
    reason = e.err;
  } catch (const std::exception& e) {
    written = false;
    reason = e.what();
  }
  if (written) return temp;
  std::error_code ec;
  std::filesystem::remove(temp, ec);
  return std::string();
}

// Moves an encoded temporary into place, or removes it when it must not land.
bool land(const std::string& temp, const std::string& path, bool wanted, std::string& reason) {
  if (temp.empty()) return false;
  std::error_code ec;
  if (wanted) std::filesystem::rename(temp, path, ec);
  if (ec) reason = ec.message();
  if (!wanted || ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  // a run that was killed while writing this result left its partial file; this one replaces it
  NL_removeAbandonedPartials(path);
  return true;
}

}  // namespace

std::string NL_withReason(const std::string& failure, const std::string& reason) {
  return reason.empty() ? failure : failure + " (" + reason + ")";
}

bool NL_writeImageFile(const std::string& path, const cv::Mat& image) {
  return NL_writeImageFile(path, image, NLIccProfile(), nullptr);
}

bool NL_writeImageFile(const std::string& path, const cv::Mat& image, const NLIccProfile& profile,
                       std::string* reason, bool besideWork) {
  std::string why;
  const bool written = land(encodeBeside(path, image, profile, why, true, besideWork), path, true, why);
  if (!written && reason) *reason = why;
  return written;
}

struct NLImageWriteQueue::Write {
  std::shared_future<bool> written;
  std::string failure;
  std::string reason;  // set by the encoding thread before `written` is ready
};

NLImageWriteQueue::~NLImageWriteQueue() {
  for (const auto& w : writes_) w->written.wait();
}

void NLImageWriteQueue::add(const std::string& path, const cv::Mat& image, const std::string& failure,
                            const NLIccProfile& profile, bool allCores) {
  std::shared_future<bool> before;
  if (!writes_.empty()) before = writes_.back()->written;
  auto write = std::make_shared<Write>();
  write->failure = failure;
  // Encodes at once, beside the others, on this write's own thread alone:
  // OpenCV runs one parallel loop at a time, so an encode that took the
  // cores' loop would leave every loop the job starts meanwhile (a whole
  // combine) on one thread; only a job's last image, with nothing computed
  // beside it, takes every core. Lands only once every earlier write has.
  Write* self = write.get();
  write->written = std::async(std::launch::async, [before, path, image, profile, self, allCores] {
                     const std::string temp = encodeBeside(path, image, profile, self->reason, allCores);
                     const bool earlierLanded = !before.valid() || before.get();
                     return land(temp, path, earlierLanded, self->reason);
                   }).share();
  writes_.push_back(std::move(write));
}

bool NLImageWriteQueue::finish(size_t& failed, std::string& failure) {
  bool all = true;
  for (size_t i = 0; i < writes_.size(); ++i) {
    // Every write is waited for, so no temporary outlives the answer.
    if (writes_[i]->written.get() || !all) continue;
    all = false;
    failed = i;
    failure = NL_withReason(writes_[i]->failure, writes_[i]->reason);
  }
  return all;
}

bool NL_writeOrQueueImage(const std::string& path, const cv::Mat& image, NLImageWriteQueue* queue,
                          std::string& failure, const NLIccProfile& profile, bool allCores) {
  if (queue) {
    queue->add(path, image, failure, profile, allCores);
    return true;
  }
  std::string reason;
  if (NL_writeImageFile(path, image, profile, &reason)) return true;
  failure = NL_withReason(failure, reason);
  return false;
}
