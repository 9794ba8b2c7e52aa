// What the stages of one hybrid stack job share: decoded frames (within a
// memory budget), star detections and the alignment gate's fits.
#include "stack/stack.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace {

size_t bytesOf(const cv::Mat& image) { return image.empty() ? 0 : image.total() * image.elemSize(); }

}  // namespace

size_t NLJobFrames::imageBudgetFor(std::uint64_t physicalMemory) {
  if (physicalMemory == 0) return kDefaultImageBudget;
  return size_t(std::min<std::uint64_t>(kDefaultImageBudget, physicalMemory / 3));
}

bool NLJobFrames::FitKey::operator<(const FitKey& o) const {
  return std::tie(reference, starBudget, tolerance, path) < std::tie(o.reference, o.starBudget, o.tolerance, o.path);
}

void NLJobFrames::recordFrame(const std::string& path, const cv::Mat& image,
                              std::shared_ptr<const NLStarDetection> stars) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = frames_[path];
  e.unreadable = image.empty();
  if (stars) e.stars = std::move(stars);
  if (!e.image.empty() || image.empty()) return;
  const size_t bytes = bytesOf(image);
  if (held_ + bytes > imageBudget_) return;  // read again where it is needed
  e.image = image;
  held_ += bytes;
}

cv::Mat NLJobFrames::image(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = frames_.find(path);
  return it == frames_.end() ? cv::Mat() : it->second.image;
}

bool NLJobFrames::unreadable(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = frames_.find(path);
  return it != frames_.end() && it->second.unreadable;
}

std::shared_ptr<const NLStarDetection> NLJobFrames::stars(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = frames_.find(path);
  return it == frames_.end() ? nullptr : it->second.stars;
}

void NLJobFrames::keepImagesOf(const std::vector<std::string>& paths) {
  const std::set<std::string> keep(paths.begin(), paths.end());
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [path, e] : frames_) {
    if (keep.count(path) || e.image.empty()) continue;
    held_ -= bytesOf(e.image);
    e.image.release();
  }
}

void NLJobFrames::releaseImages() { keepImagesOf({}); }

size_t NLJobFrames::heldImageBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

void NLJobFrames::recordFit(const std::string& reference, int starBudget, double tolerance, const std::string& path,
                            const Fit& fit) {
  std::lock_guard<std::mutex> lock(mutex_);
  fits_[FitKey{reference, starBudget, tolerance, path}] = fit;
}

bool NLJobFrames::fit(const std::string& reference, int starBudget, double tolerance, const std::string& path,
                      Fit& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = fits_.find(FitKey{reference, starBudget, tolerance, path});
  if (it == fits_.end()) return false;
  out = it->second;
  return true;
}
