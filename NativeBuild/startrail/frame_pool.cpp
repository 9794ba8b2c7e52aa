#include "startrail/detail/frame_pool.h"

#include <algorithm>

namespace startrail_detail {

cv::Mat FramePool::take(cv::Size size, int type) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < idle_.size(); ++i)
      if (idle_[i].size() == size && idle_[i].type() == type) {
        cv::Mat buffer = idle_[i];
        idle_.erase(idle_.begin() + std::ptrdiff_t(i));
        return buffer;
      }
  }
  cv::Mat fresh(size, type);
  std::lock_guard<std::mutex> lock(mutex_);
  own_.push_back(fresh.datastart);
  return fresh;
}

bool FramePool::soleHolder(const cv::Mat& buffer) {
  return !buffer.empty() && buffer.u && CV_XADD(&buffer.u->refcount, 0) == 1 && buffer.isContinuous() &&
         buffer.data == buffer.datastart;
}

void FramePool::give(cv::Mat& buffer) {
  if (soleHolder(buffer)) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto mine = std::find(own_.begin(), own_.end(), buffer.datastart);
    if (mine != own_.end() && idle_.size() < keep_) idle_.push_back(buffer);
    else if (mine != own_.end()) own_.erase(mine);
  }
  buffer.release();
}

void FramePool::drop(cv::Mat& buffer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto mine = std::find(own_.begin(), own_.end(), buffer.datastart);
    if (mine != own_.end()) own_.erase(mine);
  }
  buffer.release();
}

std::shared_ptr<const cv::Mat> FramePool::share(cv::Mat image) {
  return std::shared_ptr<const cv::Mat>(new cv::Mat(std::move(image)), [this](const cv::Mat* held) {
    cv::Mat buffer = *held;
    delete held;
    give(buffer);
  });
}

size_t FramePool::idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_.size();
}

}  // namespace startrail_detail
