// Frame-sized buffers kept for the next frame instead of being returned to
// the system: a 24 MP 16-bit frame freshly allocated is some 36,000 pages
// the system must map and clear, and the workers need one such buffer (and a
// luminance plane) for every frame of the night.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace startrail_detail {

class FramePool {
 public:
  // The buffer's only holder may hand it on: another header would see it change.
  static bool soleHolder(const cv::Mat& buffer);
  // At most `keep` idle buffers are held; more go back to the system.
  explicit FramePool(size_t keep) : keep_(keep) {}
  // An idle buffer of that size and type, or a new one. Its content is
  // whatever the last user left.
  cv::Mat take(cv::Size size, int type);
  // Hands a buffer that take gave out back for a later take; one still
  // shared with another image header is left to it, and any other image is
  // simply released, so the pool never holds more than was in use at once.
  // `buffer` is empty afterwards.
  void give(cv::Mat& buffer);
  // A buffer from take that will not come back (its frame was decoded
  // elsewhere): released, no longer the pool's.
  void drop(cv::Mat& buffer);
  // The image as a shared frame whose buffer comes back here once the last
  // holder lets go. The pool must outlive every such frame.
  std::shared_ptr<const cv::Mat> share(cv::Mat image);
  size_t idle();

 private:
  std::mutex mutex_;
  std::vector<cv::Mat> idle_;
  std::vector<const uchar*> own_;  // every buffer take made and nobody dropped
  size_t keep_;
};

}  // namespace startrail_detail
