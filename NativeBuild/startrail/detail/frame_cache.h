// Decoded frames shared by the rejection workers of one run.
#pragma once

#include "startrail/detail/frame_pool.h"

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

// A decoded frame and its luminance plane (the only part its neighbours compare).
struct DecodedFrame {
  cv::Mat image;
  cv::Mat luminance;  // CV_32F; empty when the image cannot take part in the run
};

struct CachedFrame {
  std::shared_ptr<const cv::Mat> image;      // null once the frame has been accumulated
  std::shared_ptr<const cv::Mat> luminance;  // null or empty when unusable
};

// Every frame is compared with up to 2h temporal neighbours, so without
// sharing each file would be decoded 1 + 2h times. A frame is decoded on first
// request; its colour image is dropped once it has been accumulated and its
// luminance as soon as every frame that uses it has been; frames are handed
// out in index order, and a worker decodes ahead only up to the frames the
// next one compares with, so the cache holds about workers + 2h + 1 planes.
class FrameCache {
 public:
  using Reader = std::function<DecodedFrame(const std::string&)>;
  // lastUser[k]: the highest frame index whose comparison needs frame k.
  // Released images and planes go back to pool when given (it must outlive the cache's frames).
  FrameCache(const std::vector<std::string>& paths, std::vector<int> lastUser, Reader reader,
             FramePool* pool = nullptr);
  // Seeds a frame that has been decoded already.
  void put(int index, const DecodedFrame& frame);
  // The decoded frame; concurrent requests share one decode.
  CachedFrame get(int index);
  // The frame if it is decoded and no other worker holds its slot; never
  // decodes, never waits.
  bool peek(int index, CachedFrame& frame);
  // For a worker that would otherwise wait: decodes the frame unless it is
  // decoded, being decoded or no longer needed. True when it decoded it.
  bool decodeIfIdle(int index);
  // Frame j has been accumulated; frames no longer needed are released.
  void finished(int frameIndex);
  // The lowest frame index not yet accumulated.
  int firstUnfinished();

 private:
  struct Slot {
    std::mutex mutex;
    bool loaded = false;
    CachedFrame frame;
  };
  void release(const std::vector<int>& indices);
  CachedFrame share(const DecodedFrame& d);
  // Decodes into the slot, whose lock the caller holds.
  CachedFrame load(int index);

  const std::vector<std::string>& paths_;
  const std::vector<int> lastUser_;
  Reader reader_;
  FramePool* pool_;
  std::vector<Slot> slots_;
  std::mutex mutex_;         // guards the fields below
  std::vector<char> done_;
  int donePrefix_ = 0;       // frames 0..donePrefix_-1 are all accumulated
  std::set<int> loaded_;
};

// lastUser of every frame for the run's neighbour lists.
std::vector<int> lastUsers(int frameCount, int halfWindow);

}  // namespace startrail_detail
