#include "startrail/startrail.h"

#include "plumbing/plumbing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

bool offered(const std::vector<int>& list, int k, int i, int n) {
  return k >= 0 && k < n && k != i && std::find(list.begin(), list.end(), k) == list.end();
}

void offer(std::vector<int>& list, int k, int i, int n) {
  if (offered(list, k, i, n)) list.push_back(k);
}

double ramp(double numerator, int length) { return std::clamp(numerator / (length - 1), 0.0, 1.0); }

struct RowView {
  const uchar* rejection;  // null: nothing rejected
  const uchar* sky;        // null: sky everywhere
  const uchar* bridge;     // null: no seam band
};

// Stores the weighted sample where it is brighter: the Lighten blend.
template <typename T>
inline void lighten(T& acc, double n, double maxValue) {
  if (acc < n) acc = static_cast<T>(std::min(n, maxValue) + 0.5);
}

template <typename T>
void accumulateRow(const T* f, T* acc, T* bridgeAcc, const RowView& v, int cols, int cn, double w) {
  const double maxValue = sizeof(T) == 1 ? 255.0 : 65535.0;
  const bool alpha = cn == 4;
  for (int x = 0; x < cols; ++x) {
    const T* px = f + x * cn;
    if (v.bridge && bridgeAcc && v.bridge[x] != 0) {
      T* b = bridgeAcc + x * cn;
      for (int c = 0; c < (alpha ? 3 : cn); ++c) lighten(b[c], w * px[c], maxValue);
    }
    if ((v.sky && v.sky[x] == 0) || (v.rejection && v.rejection[x] != 0)) continue;
    T* a = acc + x * cn;
    for (int c = 0; c < cn; ++c) lighten(a[c], (alpha && c == 3) ? double(px[c]) : w * px[c], maxValue);
  }
}

// With weight 1 and no masks the blend is a plain per-sample maximum; the
// general formula gives the very same values there.
template <typename T>
void maxRow(const T* f, T* acc, int count) {
  for (int i = 0; i < count; ++i) acc[i] = std::max(acc[i], f[i]);
}

// Full weight with only a rejection mask: the maximum where nothing is
// rejected, the same values as the general formula there.
template <typename T>
void maxRowOutsideMask(const T* f, T* acc, const uchar* rejection, int cols, int cn) {
  for (int x = 0; x < cols; ++x) {
    if (rejection[x]) continue;
    for (int c = 0; c < cn; ++c) acc[x * cn + c] = std::max(acc[x * cn + c], f[x * cn + c]);
  }
}

const uchar* rowOf(const cv::Mat* m, int y) { return (m && !m->empty()) ? m->ptr<uchar>(y) : nullptr; }

template <typename T>
void accumulateFrame(const cv::Mat& frame, const cv::Mat& rejection, double w, const NLStarTrailAccumulateTarget& t) {
  cv::Mat& acc = *t.accumulator;
  const bool useBridge = t.bridgeAccumulator && !t.bridgeAccumulator->empty() && rowOf(t.bridgeMask, 0);
  const int cn = frame.channels();
  for (int y = 0; y < frame.rows; ++y) {
    const RowView v{rejection.empty() ? nullptr : rejection.ptr<uchar>(y), rowOf(t.skyMask, y),
                    useBridge ? rowOf(t.bridgeMask, y) : nullptr};
    std::unique_lock<std::mutex> lock;
    if (t.rowLocks) lock = std::unique_lock<std::mutex>((*t.rowLocks)[y]);
    if (w == 1.0 && !v.sky && !v.bridge) {
      // Most rows of a frame hold no rejected pixel: those take the plain
      // maximum, and their mask row is passed over eight bytes at a time.
      const bool rejects = v.rejection && NL_nextSetByte(v.rejection, 0, frame.cols) < frame.cols;
      if (rejects) maxRowOutsideMask(frame.ptr<T>(y), acc.ptr<T>(y), v.rejection, frame.cols, cn);
      else maxRow(frame.ptr<T>(y), acc.ptr<T>(y), frame.cols * cn);
      continue;
    }
    T* bridgeRow = useBridge ? t.bridgeAccumulator->ptr<T>(y) : nullptr;
    accumulateRow(frame.ptr<T>(y), acc.ptr<T>(y), bridgeRow, v, frame.cols, cn, w);
  }
}

}  // namespace

std::vector<int> NL_starTrailNeighbourList(int i, int n, int halfWindow) {
  const int h = std::clamp(halfWindow, 1, 5);
  const size_t wanted = size_t(std::max(std::min(2 * h, n - 1), 0));
  std::vector<int> list;
  for (int d = 1; d <= h; ++d) {
    offer(list, i - d, i, n);
    offer(list, i + d, i, n);
  }
  // Near either end the window reaches further on the open side.
  for (int d = h + 1; d <= 2 * h + 2 && list.size() < wanted; ++d) {
    offer(list, i - d, i, n);
    offer(list, i + d, i, n);
  }
  return list;
}

double NL_starTrailCometWeight(const NLStarTrailNativeJob& job, int i, int n) {
  if (!job.cometEnabled || job.cometStrength <= 0.0 || n <= 1) return 1.0;
  int length = int(std::ceil(std::min(job.cometStrength, 100.0) * n / 100.0));
  length = std::max(std::min(length, n), 2);
  const double head = i < length ? ramp(i, length) : 1.0;
  const bool inTail = i >= n - length;
  const double tail = inTail ? ramp(n - 1 - i, length) : 1.0;
  if (job.cometDirection == "reverse") return tail;
  if (job.cometDirection == "both") return std::clamp(inTail ? std::min(head, tail) : head, 0.0, 1.0);
  return head;
}

void NL_starTrailAccumulateFrame(const cv::Mat& frame, const cv::Mat& rejectionMask, double weight,
                                 const NLStarTrailAccumulateTarget& target) {
  if (!target.accumulator || !NL_isImageCompatibleForStarTrail(frame, *target.accumulator))
    throw std::invalid_argument("Star Trail failed: accumulator size/type mismatch.");
  const auto fits = [&](const cv::Mat* m) { return !m || m->empty() || (m->size() == frame.size() && m->type() == CV_8UC1); };
  const bool bridgeFits = !target.bridgeAccumulator || target.bridgeAccumulator->empty() ||
                          NL_isImageCompatibleForStarTrail(frame, *target.bridgeAccumulator);
  if (!fits(&rejectionMask) || !fits(target.skyMask) || !fits(target.bridgeMask) || !bridgeFits)
    throw std::invalid_argument("Star Trail failed: mask size mismatch.");
  if (frame.depth() == CV_16U) accumulateFrame<ushort>(frame, rejectionMask, weight, target);
  else accumulateFrame<uchar>(frame, rejectionMask, weight, target);
}
