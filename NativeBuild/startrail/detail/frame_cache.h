// Decoded frames shared by the rejection workers of one run.
#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace startrail_detail {

// Every frame is compared with up to 2h temporal neighbours, so without
// sharing each file would be decoded 1 + 2h times. A frame is decoded on first
// request and dropped as soon as every frame that uses it has been
// accumulated; frames are handed out in index order, so the cache holds about
// workers + 2h frames at any time.
class FrameCache {
 public:
  using Reader = std::function<cv::Mat(const std::string&)>;
  // lastUser[k]: the highest frame index whose comparison needs frame k.
  FrameCache(const std::vector<std::string>& paths, std::vector<int> lastUser, Reader reader);
  // Seeds a frame that has been decoded already.
  void put(int index, const cv::Mat& image);
  // The decoded frame (empty when unreadable); concurrent requests share one decode.
  std::shared_ptr<const cv::Mat> get(int index);
  // Frame j has been accumulated; frames no longer needed are released.
  void finished(int frameIndex);

 private:
  struct Slot {
    std::mutex mutex;
    std::shared_ptr<const cv::Mat> image;
  };
  void release(const std::vector<int>& indices);

  const std::vector<std::string>& paths_;
  const std::vector<int> lastUser_;
  Reader reader_;
  std::vector<Slot> slots_;
  std::mutex mutex_;         // guards the fields below
  std::vector<char> done_;
  int donePrefix_ = 0;       // frames 0..donePrefix_-1 are all accumulated
  std::set<int> loaded_;
};

// lastUser of every frame for the run's neighbour lists.
std::vector<int> lastUsers(int frameCount, int halfWindow);

}  // namespace startrail_detail
