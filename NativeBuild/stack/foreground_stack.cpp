// The fixed foreground stack: frames of one size combined without registration.
#include "stack/stack.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <mutex>

namespace {

const char* const kForegroundStage = "Creating Optional Foreground Stack";

bool sameGeometry(const cv::Mat& a, const cv::Mat& b) {
  return a.cols == b.cols && a.rows == b.rows && a.type() == b.type();
}

void reportLoaded(const NLProgressCallback& progress, size_t i, size_t count, int start, int end,
                  const std::string& stage) {
  if (!progress) return;
  const size_t n = std::max<size_t>(count, 1);
  const int p = std::clamp(NL_roundPercent((i + 1) * 100.0 / n), 0, 100);
  progress(NL_mapProgress(p, start, end), stage,
           "Loaded frame " + std::to_string(i + 1) + " of " + std::to_string(count) + ".");
}

std::string stackSummary(const std::string& outputPath, size_t inputs, const std::string& method,
                         const cv::Mat& stack) {
  return "Fixed foreground stack success.\noutput = " + outputPath + "\n" + "inputs = " + std::to_string(inputs) +
         "\n" + "stackMethod = " + method + "\n" + "canvas = " + std::to_string(stack.cols) + " x " +
         std::to_string(stack.rows) + "\n";
}

}  // namespace

bool NL_loadSkyBlendImages(const std::vector<std::string>& paths, std::vector<cv::Mat>& images,
                           std::string& message, const NLProgressCallback& progress, int start, int end,
                           const std::string& stage, NLJobFrames* store) {
  images.clear();
  images.reserve(paths.size());
  // Frames are decoded in parallel but checked, kept and reported in input
  // order as they arrive, so the first bad frame is the one named and the
  // progress counts up; once one fails, the frames not yet begun are skipped.
  std::vector<cv::Mat> decoded(paths.size());
  std::vector<char> arrived(paths.size(), 0);
  std::mutex mutex;
  size_t next = 0;
  bool failed = false;
  const auto take = [&](size_t i) {
    cv::Mat& image = decoded[i];
    if (image.empty()) return message = "could not load input: " + paths[i], false;
    if (!images.empty() && !sameGeometry(images.front(), image))
      return message = "input image size/type mismatch: " + paths[i], false;
    if (store) store->recordFrame(paths[i], image, nullptr);
    images.push_back(std::move(image));
    reportLoaded(progress, i, paths.size(), start, end, stage);
    return true;
  };
  cv::parallel_for_(cv::Range(0, int(paths.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (failed) return;
      }
      cv::Mat image = store ? store->image(paths[size_t(i)]) : cv::Mat();
      if (image.empty()) image = NL_imreadWithRetry(paths[size_t(i)], -1);
      std::lock_guard<std::mutex> lock(mutex);
      decoded[size_t(i)] = std::move(image);
      arrived[size_t(i)] = 1;
      while (!failed && next < paths.size() && arrived[next]) failed = !take(next++);
    }
  });
  if (failed) return false;
  if (images.size() < 2) return message = "at least two input images are required.", false;
  const int depth = images.front().depth(), cn = images.front().channels();
  if (depth != CV_8U && depth != CV_16U) return message = "only 8-bit and 16-bit images are supported.", false;
  if (cn != 1 && cn != 3 && cn != 4) return message = "only 1, 3 or 4 channel images are supported.", false;
  return true;
}

bool NL_fixedSigmaStackToReferenceSize(const std::vector<std::string>& paths, const std::string& outputPath,
                                       std::string& message, const NLProgressCallback& progress,
                                       const std::string& stackMethod, NLJobFrames* store, cv::Mat* stackOut,
                                       NLImageWriteQueue* writes) {
  const std::string failed = "Fixed foreground stack failed: ";
  if (progress) progress(0, kForegroundStage, "Loading foreground frames.");
  std::vector<cv::Mat> images;
  std::string inner;
  if (!NL_loadSkyBlendImages(paths, images, inner, progress, 0, 25, kForegroundStage, store))
    return message = failed + inner, false;
  const bool average = stackMethod == "average";
  const std::string method = average ? "average" : "sigma";
  cv::Mat stack;
  const bool ok = average ? NL_averageCombineImagesWithMasks(images, {}, stack, inner, progress, 30, 90,
                                                             kForegroundStage,
                                                             "Average combining fixed foreground stack")
                          : NL_sigmaCombineImagesWithMasks(images, {}, stack, inner, progress, 30, 90,
                                                           kForegroundStage, "Sigma combining fixed foreground stack");
  if (!ok) return message = failed + inner, false;
  if (progress) progress(95, kForegroundStage, "Writing foreground stack output.");
  std::string unwritten = failed + "could not write output: " + outputPath;
  if (!NL_writeOrQueueImage(outputPath, stack, writes, unwritten, NL_readIccProfile(paths[0])))
    return message = unwritten, false;
  message = stackSummary(outputPath, paths.size(), method, stack);
  if (stackOut) *stackOut = stack;
  return true;
}
