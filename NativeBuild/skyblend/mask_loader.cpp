// The sky mask the user painted in the editor, as the script side exported it.
#include "skyblend/skyblend.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <fstream>

namespace {

// The exporter may have written the mask under another image extension than
// the job names, so the siblings are tried too, in one fixed (sorted) order.
std::vector<std::string> maskCandidates(const std::string& path) {
  std::vector<std::string> candidates{path, NL_replaceFileExtension(path, ".tif"),
                                      NL_replaceFileExtension(path, ".tiff"), NL_replaceFileExtension(path, ".png")};
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  return candidates;
}

// A pipe or device is never opened: opening a pipe waits for a writer.
bool opensForReading(const std::string& path) {
  return NL_isRegularFile(path) && std::ifstream(path, std::ios::binary).is_open();
}

// Grey of a 1-, 3- or 4-channel mask (alpha ignored); empty for other layouts.
cv::Mat greyOf(const cv::Mat& image) {
  if (image.channels() == 1) return image;
  cv::Mat grey;
  if (image.channels() == 3) cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  else if (image.channels() == 4) cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
  return grey;
}

// 16-bit masks keep their proportions (65535 -> 255); other depths are
// stretched so that their brightest value becomes white.
cv::Mat eightBitOf(const cv::Mat& grey) {
  double top = 0.0;
  cv::minMaxLoc(grey, nullptr, &top);
  double scale = 255.0 / top;
  if (top <= 0.0) scale = 1.0;
  else if (grey.depth() == CV_16U) scale = 1.0 / 257.0;
  cv::Mat out;
  grey.convertTo(out, CV_8U, scale);
  return out;
}

// Candidates that exist come first (each kept in sorted order): the reader
// waits seconds for a missing file to appear, and a missing sibling must not
// hold up the mask that is there.
std::vector<std::string> readOrder(const std::vector<std::string>& candidates, std::string& tried) {
  std::vector<std::string> present, missing;
  for (const std::string& candidate : candidates) {
    if (candidate.empty()) continue;
    const bool opens = opensForReading(candidate);
    tried += candidate + " exists=" + (opens ? "yes" : "no") + "; ";
    (opens ? present : missing).push_back(candidate);
  }
  present.insert(present.end(), missing.begin(), missing.end());
  return present;
}

}  // namespace

cv::Mat NL_loadSkyBlendMaskImage(const std::string& path, std::string& message) {
  std::string tried;
  for (const std::string& candidate : readOrder(maskCandidates(path), tried)) {
    const cv::Mat image = NL_imreadWithRetry(candidate, -1);
    if (image.empty()) continue;
    const cv::Mat grey = greyOf(image);
    if (grey.empty()) continue;
    if (grey.depth() == CV_8U) {
      message = "loaded sky mask: " + candidate;
      return grey;
    }
    message = "loaded sky mask: " + candidate + " converted to 8-bit";
    return eightBitOf(grey);
  }
  message = "could not load sky mask. Tried: " + tried;
  return cv::Mat();
}
