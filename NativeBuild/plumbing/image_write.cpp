// Result images: written whole or not at all.
#include "plumbing/plumbing.h"
#include "plumbing/detail/partial_files.h"
#include "plumbing/detail/tiff_writer.h"

#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <system_error>

namespace {

// Encodes the image into a temporary sibling of path; empty when it could not.
std::string encodeBeside(const std::string& path, const cv::Mat& image) {
  if (path.empty() || image.empty()) return std::string();
  const std::string temp = lvplumbing::partialSibling(path);
  bool written = false;
  try {
    written = lvplumbing::lzwTiffWritable(temp, image) ? lvplumbing::writeLzwTiff(temp, image)
                                                       : cv::imwrite(temp, image);
  } catch (const std::exception&) {
    written = false;
  }
  if (written) return temp;
  std::error_code ec;
  std::filesystem::remove(temp, ec);
  return std::string();
}

// Moves an encoded temporary into place, or removes it when it must not land.
bool land(const std::string& temp, const std::string& path, bool wanted) {
  if (temp.empty()) return false;
  std::error_code ec;
  if (wanted) std::filesystem::rename(temp, path, ec);
  if (!wanted || ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  // a run that was killed while writing this result left its partial file; this one replaces it
  NL_removeAbandonedPartials(path);
  return true;
}

}  // namespace

bool NL_writeImageFile(const std::string& path, const cv::Mat& image) {
  return land(encodeBeside(path, image), path, true);
}

struct NLImageWriteQueue::Write {
  std::shared_future<bool> written;
  std::string failure;
};

NLImageWriteQueue::~NLImageWriteQueue() {
  for (const auto& w : writes_) w->written.wait();
}

void NLImageWriteQueue::add(const std::string& path, const cv::Mat& image, const std::string& failure) {
  std::shared_future<bool> before;
  if (!writes_.empty()) before = writes_.back()->written;
  auto write = std::make_shared<Write>();
  write->failure = failure;
  // Encodes at once, beside the others; lands only once every earlier write has.
  write->written = std::async(std::launch::async, [before, path, image] {
                     const std::string temp = encodeBeside(path, image);
                     const bool earlierLanded = !before.valid() || before.get();
                     return land(temp, path, earlierLanded);
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
    failure = writes_[i]->failure;
  }
  return all;
}

bool NL_writeOrQueueImage(const std::string& path, const cv::Mat& image, NLImageWriteQueue* queue,
                          const std::string& failure) {
  if (!queue) return NL_writeImageFile(path, image);
  queue->add(path, image, failure);
  return true;
}
