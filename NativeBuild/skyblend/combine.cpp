#include "skyblend/skyblend.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

namespace {

// What the two masked combines differ in; the loop, checks and progress are shared.
struct CombineSettings {
  const char* name;        // "Average" or "Sigma", opens every failure text
  bool sigmaClip;          // one two-sigma rejection pass after the plain mean
  bool oneMaskPerFrame;    // masks must be absent or one per frame
  bool rowProgress;        // thinned per-row reports instead of start/end reports
};

const CombineSettings kAverage{"Average", false, false, false};
const CombineSettings kSigma{"Sigma", true, true, true};

constexpr double kKappa = 2.0;

bool admitted(const std::vector<const uchar*>& maskRows, size_t i, int x) {
  return i >= maskRows.size() || maskRows[i] == nullptr || maskRows[i][x] != 0;
}

template <typename T>
T store(double v) {
  const double top = sizeof(T) == 1 ? 255.0 : 65535.0;
  return static_cast<T>(std::clamp(v, 0.0, top) + 0.5);
}

template <typename T>
double averageSample(const std::vector<const T*>& rows, const std::vector<const uchar*>& maskRows, int x, int i,
                     bool& any) {
  double sum = 0.0;
  int n = 0;
  for (size_t f = 0; f < rows.size(); ++f) {
    if (!admitted(maskRows, f, x)) continue;
    sum += rows[f][i];
    ++n;
  }
  any = n > 0;
  return any ? sum / n : 0.0;
}

// Mean of the values inside mean +- 2 sd of the admitted samples; the plain
// mean when none is inside; the first frame's value when none is admitted.
template <typename T>
double sigmaSample(const std::vector<const T*>& rows, const std::vector<const uchar*>& maskRows, int x, int i) {
  double sum = 0.0, sumSq = 0.0;
  int n = 0;
  for (size_t f = 0; f < rows.size(); ++f) {
    if (!admitted(maskRows, f, x)) continue;
    const double v = rows[f][i];
    sum += v;
    sumSq += v * v;
    ++n;
  }
  if (n == 0) return rows[0][i];
  const double mean = sum / n;
  const double sd = std::sqrt(std::max(sumSq / n - mean * mean, 0.0));
  const double low = mean - kKappa * sd, high = mean + kKappa * sd;
  double kept = 0.0;
  int k = 0;
  for (size_t f = 0; f < rows.size(); ++f) {
    if (!admitted(maskRows, f, x)) continue;
    const double v = rows[f][i];
    if (v < low || v > high) continue;
    kept += v;
    ++k;
  }
  return k > 0 ? kept / k : mean;
}

template <typename T>
void combineRow(const CombineSettings& s, int y, const std::vector<cv::Mat>& images,
                const std::vector<cv::Mat>& masks, std::vector<const T*>& rows,
                std::vector<const uchar*>& maskRows, cv::Mat& out) {
  for (size_t f = 0; f < images.size(); ++f) rows[f] = images[f].ptr<T>(y);
  for (size_t f = 0; f < maskRows.size(); ++f) maskRows[f] = masks[f].empty() ? nullptr : masks[f].ptr<uchar>(y);
  const int cn = out.channels();
  T* o = out.ptr<T>(y);
  for (int x = 0; x < out.cols; ++x) {
    for (int c = 0; c < cn; ++c) {
      const int i = x * cn + c;
      if (s.sigmaClip) {
        o[i] = store<T>(sigmaSample<T>(rows, maskRows, x, i));
      } else {
        bool any = false;
        const double v = averageSample<T>(rows, maskRows, x, i, any);
        if (any) o[i] = store<T>(v);
      }
    }
  }
}

// Reports about fifty times per stack, at least every 16 rows, and the last row.
class RowProgress {
 public:
  RowProgress(int rows, const NLProgressCallback& cb, int start, int end, const std::string& stage,
              const std::string& detail)
      : rows_(rows), step_(std::max(rows / 50, 16)), cb_(cb), start_(start), end_(end), stage_(stage),
        detail_(detail) {}
  void rowDone() {
    const int d = done_.fetch_add(1) + 1;
    if (!cb_ || (d < rows_ && d % step_ != 0)) return;
    const int p = std::clamp(NL_roundPercent(d * 100.0 / rows_), 0, 100);
    std::lock_guard<std::mutex> lock(mutex_);
    cb_(NL_mapProgress(p, start_, end_), stage_,
        detail_ + " row " + std::to_string(d) + " of " + std::to_string(rows_) + ".");
  }

 private:
  const int rows_, step_;
  const NLProgressCallback& cb_;
  const int start_, end_;
  const std::string &stage_, &detail_;
  std::atomic<int> done_{0};
  std::mutex mutex_;
};

// Frames and masks that the row loop can read without bounds checks.
bool consistent(const CombineSettings& s, const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                std::string& message) {
  const std::string prefix = std::string(s.name) + " combine failed: ";
  const int depth = images[0].depth();
  if (depth != CV_8U && depth != CV_16U) return message = prefix + "only 8-bit and 16-bit images are supported.", false;
  for (const cv::Mat& im : images) {
    if (im.size() != images[0].size() || im.type() != images[0].type())
      return message = prefix + "image size/type mismatch.", false;
  }
  if (masks.size() > images.size() || (s.oneMaskPerFrame && !masks.empty() && masks.size() != images.size()))
    return message = prefix + "mask count does not match image count.", false;
  for (const cv::Mat& m : masks) {
    if (!m.empty() && (m.type() != CV_8UC1 || m.size() != images[0].size()))
      return message = prefix + "mask size/type mismatch.", false;
  }
  return true;
}

template <typename T>
void combineRows(const CombineSettings& s, const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                 cv::Mat& out, RowProgress* progress) {
  cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& band) {
    std::vector<const T*> rows(images.size());
    std::vector<const uchar*> maskRows(masks.size());
    for (int y = band.start; y < band.end; ++y) {
      combineRow<T>(s, y, images, masks, rows, maskRows, out);
      if (progress) progress->rowDone();
    }
  });
}

bool runCombine(const CombineSettings& s, const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                cv::Mat& out, std::string& message, const NLProgressCallback& cb, int start, int end,
                const std::string& stage, const std::string& detail) {
  if (images.empty()) return message = std::string(s.name) + " combine failed: no images.", false;
  if (!consistent(s, images, masks, message)) return false;
  out = cv::Mat::zeros(images[0].size(), images[0].type());
  if (cb) cb(start, stage, detail + ".");
  RowProgress rows(out.rows, cb, start, end, stage, detail);
  RowProgress* progress = s.rowProgress ? &rows : nullptr;
  if (out.depth() == CV_16U) {
    combineRows<ushort>(s, images, masks, out, progress);
  } else {
    combineRows<uchar>(s, images, masks, out, progress);
  }
  if (s.rowProgress) return true;
  if (cb) cb(end, stage, detail + " complete.");
  message = std::string(s.name) + " combine success.";
  return true;
}

}  // namespace

bool NL_averageCombineImagesWithMasks(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                                      cv::Mat& out, std::string& message, const NLProgressCallback& progress,
                                      int start, int end, const std::string& stage, const std::string& detail) {
  return runCombine(kAverage, images, masks, out, message, progress, start, end, stage, detail);
}

bool NL_sigmaCombineImagesWithMasks(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                                    cv::Mat& out, std::string& message, const NLProgressCallback& progress,
                                    int start, int end, const std::string& stage, const std::string& detail) {
  return runCombine(kSigma, images, masks, out, message, progress, start, end, stage, detail);
}
