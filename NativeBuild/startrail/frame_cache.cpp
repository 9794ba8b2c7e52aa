#include "startrail/detail/frame_cache.h"

#include "startrail/startrail.h"

#include <algorithm>

namespace startrail_detail {

std::vector<int> lastUsers(int frameCount, int halfWindow) {
  std::vector<int> last(std::max(frameCount, 0));
  for (int j = 0; j < frameCount; ++j) {
    last[j] = std::max(last[j], j);
    for (int k : NL_starTrailNeighbourList(j, frameCount, halfWindow)) last[k] = std::max(last[k], j);
  }
  return last;
}

FrameCache::FrameCache(const std::vector<std::string>& paths, std::vector<int> lastUser, Reader reader,
                       FramePool* pool)
    : paths_(paths), lastUser_(std::move(lastUser)), reader_(std::move(reader)), pool_(pool), slots_(paths.size()),
      done_(paths.size(), 0) {}

CachedFrame FrameCache::share(const DecodedFrame& d) {
  if (pool_) return {pool_->share(d.image), pool_->share(d.luminance)};
  return {std::make_shared<const cv::Mat>(d.image), std::make_shared<const cv::Mat>(d.luminance)};
}

void FrameCache::put(int index, const DecodedFrame& frame) {
  {
    std::lock_guard<std::mutex> lock(slots_[index].mutex);
    slots_[index].frame = share(frame);
    slots_[index].loaded = true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  loaded_.insert(index);
}

CachedFrame FrameCache::load(int index) {
  const CachedFrame frame = share(reader_(paths_[index]));
  slots_[index].frame = frame;
  slots_[index].loaded = true;
  bool stale = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stale = lastUser_[index] < donePrefix_;
    if (!stale) loaded_.insert(index);
  }
  if (stale) {  // every user was done before the decode ended
    slots_[index].frame = CachedFrame();
    slots_[index].loaded = false;
  }
  return frame;
}

CachedFrame FrameCache::get(int index) {
  std::lock_guard<std::mutex> lock(slots_[index].mutex);
  return slots_[index].loaded ? slots_[index].frame : load(index);
}

bool FrameCache::peek(int index, CachedFrame& frame) {
  std::unique_lock<std::mutex> lock(slots_[index].mutex, std::try_to_lock);
  if (!lock.owns_lock() || !slots_[index].loaded) return false;
  frame = slots_[index].frame;
  return true;
}

bool FrameCache::decodeIfIdle(int index) {
  std::unique_lock<std::mutex> lock(slots_[index].mutex, std::try_to_lock);
  if (!lock.owns_lock() || slots_[index].loaded) return false;
  {
    std::lock_guard<std::mutex> done(mutex_);
    if (lastUser_[index] < donePrefix_) return false;
  }
  load(index);
  return true;
}

void FrameCache::finished(int frameIndex) {
  {
    // Only the frame itself is ever accumulated; its neighbours want the luminance alone.
    std::lock_guard<std::mutex> lock(slots_[frameIndex].mutex);
    slots_[frameIndex].frame.image.reset();
  }
  std::vector<int> stale;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_[frameIndex] = 1;
    while (donePrefix_ < int(done_.size()) && done_[donePrefix_]) ++donePrefix_;
    for (auto it = loaded_.begin(); it != loaded_.end();) {
      if (lastUser_[*it] < donePrefix_) {
        stale.push_back(*it);
        it = loaded_.erase(it);
      } else {
        ++it;
      }
    }
  }
  release(stale);
}

int FrameCache::firstUnfinished() {
  std::lock_guard<std::mutex> lock(mutex_);
  return donePrefix_;
}

void FrameCache::release(const std::vector<int>& indices) {
  for (int k : indices) {
    std::lock_guard<std::mutex> lock(slots_[k].mutex);
    slots_[k].frame = CachedFrame();
    slots_[k].loaded = false;
  }
}

}  // namespace startrail_detail
