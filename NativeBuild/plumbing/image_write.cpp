// Result images: written whole or not at all.
#include "plumbing/plumbing.h"
#include "plumbing/detail/partial_files.h"

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <filesystem>
#include <system_error>

namespace lvplumbing {

std::string partialSibling(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path p(path);
  const std::string stem = p.stem().string() + ".lumivex-partial-" + std::to_string(counter++);
  return (p.parent_path() / (stem + p.extension().string())).string();
}

}  // namespace lvplumbing

bool NL_writeImageFile(const std::string& path, const cv::Mat& image) {
  if (path.empty() || image.empty()) return false;
  const std::string temp = lvplumbing::partialSibling(path);
  bool written = false;
  try {
    written = cv::imwrite(temp, image);
  } catch (const std::exception&) {
    written = false;
  }
  std::error_code ec;
  if (written) std::filesystem::rename(temp, path, ec);
  if (!written || ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
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
  write->written = std::async(std::launch::async, [before, path, image] {
                     if (before.valid() && !before.get()) return false;
                     return NL_writeImageFile(path, image);
                   }).share();
  writes_.push_back(std::move(write));
}

bool NLImageWriteQueue::finish(size_t& failed, std::string& failure) {
  for (size_t i = 0; i < writes_.size(); ++i) {
    if (writes_[i]->written.get()) continue;
    failed = i;
    failure = writes_[i]->failure;
    return false;
  }
  return true;
}

bool NL_writeOrQueueImage(const std::string& path, const cv::Mat& image, NLImageWriteQueue* queue,
                          const std::string& failure) {
  if (!queue) return NL_writeImageFile(path, image);
  queue->add(path, image, failure);
  return true;
}
