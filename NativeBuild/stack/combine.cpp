// The per-pixel combine pipeline: gather the admitted samples of a pixel,
// apply the kernel, round and store. Kernels are pure functions of the samples.
#include "stack/stack.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

const NLCombineSettings NL_kMedianCombine{NLCombineKernel::Median, NLUncoveredPixel::Zero,
                                          NLCombineRounding::Truncate};
const NLCombineSettings NL_kSigmaClipCombine{NLCombineKernel::SigmaClip, NLUncoveredPixel::Zero,
                                             NLCombineRounding::Truncate};
const NLCombineSettings NL_kMaskedAverageCombine{NLCombineKernel::Average, NLUncoveredPixel::Zero,
                                                 NLCombineRounding::AddHalf};
const NLCombineSettings NL_kMaskedSigmaCombine{NLCombineKernel::SigmaClip, NLUncoveredPixel::FirstFrame,
                                               NLCombineRounding::AddHalf};

namespace {

// Selection instead of a full sort: the same middle values, fewer moves.
double median(std::vector<double>& v) {
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  if (v.size() % 2 == 1) return v[mid];
  const double below = *std::max_element(v.begin(), v.begin() + mid);
  return (below + v[mid]) / 2.0;
}

template <typename T>
T store(double v, NLCombineRounding rounding) {
  const double top = sizeof(T) == 1 ? 255.0 : 65535.0;
  const double clamped = std::clamp(v, 0.0, top);
  return static_cast<T>(rounding == NLCombineRounding::AddHalf ? clamped + 0.5 : clamped);
}

// Row pointers of every frame and mask, taken once per row.
template <typename T>
struct RowView {
  std::vector<const T*> frames;
  std::vector<const uchar*> masks;
  bool admitted(size_t k, int x) const { return k >= masks.size() || masks[k] == nullptr || masks[k][x] != 0; }
};

// The median needs every sample of a pixel at once, so it goes pixel by pixel.
template <typename T>
void combineRow(const NLCombineSettings& s, const RowView<T>& row, int cols, int cn,
                std::vector<double>& samples, T* out) {
  for (int x = 0; x < cols; ++x) {
    for (int c = 0; c < cn; ++c) {
      const int i = x * cn + c;
      samples.clear();
      for (size_t k = 0; k < row.frames.size(); ++k)
        if (row.admitted(k, x)) samples.push_back(row.frames[k][i]);
      if (samples.empty()) {
        out[i] = s.uncovered == NLUncoveredPixel::FirstFrame ? row.frames[0][i] : T(0);
      } else {
        out[i] = store<T>(median(samples), s.rounding);
      }
    }
  }
}

// The mean and the sigma clip of a row's samples a block at a time, frame by
// frame, so that the loops run across the samples and vectorise while the
// block's sums stay in the first-level cache. Samples are integers, so counts
// and sums are kept as integers (the squares as whole doubles) and are exact
// whatever the order. The clip needs no sorting: with d = n*v - sum and
// spread = n*sumSq - sum^2 (n^2 times the population variance) the test
// |v - mean| <= k*sd becomes d^2 <= k^2 * spread, exact in doubles for any
// realistic frame count, so a sample lying exactly on a bound (four equal
// samples and one outlier sit exactly two deviations out) is always kept,
// which rounding in mean and sd would decide either way. Frames without a
// mask skip the admission weights.
template <typename T>
class RowMeans {
 public:
  RowMeans(const NLCombineSettings& s, size_t frames, int cols, int cn)
      : s_(s), cols_(cols), cn_(cn), len_(size_t(cols) * size_t(cn)), admit_(frames * len_) {}

  void combine(const RowView<T>& row, T* out) {
    bool masked = false;
    for (size_t k = 0; k < row.frames.size(); ++k) masked = admit(row, k) || masked;
    for (size_t start = 0; start < len_; start += kBlock) {
      const size_t count = std::min(kBlock, len_ - start);
      if (masked && !anyAdmitted(row.frames.size(), start, count)) {
        uncovered(row, start, count, out);  // ground under a sky stack's masks: nothing to add up
        continue;
      }
      if (masked) sums<true>(row, start, count);
      else sums<false>(row, start, count);
      if (s_.kernel == NLCombineKernel::SigmaClip) {
        bounds(count);
        // Equal factors give equal bounds on both sides: one test per sample.
        // Rows without masks take the masked loop too (their admission
        // weights are all 1): compiled without the weights, that loop ran slower.
        if (s_.sigmaLow == s_.sigmaHigh) clip<true, true>(row, start, count);
        else if (masked) clip<true, false>(row, start, count);
        else clip<false, false>(row, start, count);
      }
      store(row, start, count, out);
    }
  }

 private:
  static constexpr size_t kBlock = 512;  // samples

  // Frame k's admission of every sample of the row (1 or 0), for both
  // passes; false when the frame has no mask (every sample admitted).
  bool admit(const RowView<T>& row, size_t k) {
    uchar* a = &admit_[k * len_];
    const uchar* m = k < row.masks.size() ? row.masks[k] : nullptr;
    if (!m) {
      std::fill(a, a + len_, uchar(1));
      return false;
    }
    switch (cn_) {
      case 1: spread<1>(m, a); break;
      case 3: spread<3>(m, a); break;
      case 4: spread<4>(m, a); break;
      default:
        for (int x = 0; x < cols_; ++x, a += cn_)
          for (int c = 0; c < cn_; ++c) a[c] = m[x] != 0;
    }
    return true;
  }
  bool anyAdmitted(size_t frames, size_t start, size_t count) const {
    for (size_t k = 0; k < frames; ++k)
      if (std::memchr(&admit_[k * len_ + start], 1, count)) return true;
    return false;
  }
  T uncoveredAt(const RowView<T>& row, size_t at) const {
    return s_.uncovered == NLUncoveredPixel::FirstFrame ? row.frames[0][at] : T(0);
  }
  void uncovered(const RowView<T>& row, size_t start, size_t count, T* out) const {
    for (size_t at = start; at < start + count; ++at) out[at] = uncoveredAt(row, at);
  }

  // A pixel's admission copied to each of its channels.
  template <int Cn>
  void spread(const uchar* m, uchar* a) const {
    for (int x = 0; x < cols_; ++x, a += Cn) {
      const uchar in = m[x] != 0;
      for (int c = 0; c < Cn; ++c) a[c] = in;
    }
  }

  // Branch-free (weights of 0 or 1), so the loops vectorise.
  template <bool Masked>
  void sums(const RowView<T>& row, size_t start, size_t count) {
    std::fill(n_, n_ + count, 0);
    std::fill(sum_, sum_ + count, 0);
    std::fill(sumSq_, sumSq_ + count, 0.0);
    for (size_t k = 0; k < row.frames.size(); ++k) {
      const uchar* a = &admit_[k * len_ + start];
      const T* f = row.frames[k] + start;
      for (size_t i = 0; i < count; ++i) {
        const std::uint32_t w = Masked ? a[i] : 1u;
        const std::uint32_t v = w * std::uint32_t(f[i]);
        n_[i] += std::int32_t(w);
        sum_[i] += std::int32_t(v);
        const double d = double(std::int32_t(v));
        sumSq_[i] += d * d;
      }
    }
  }

  // Per sample, the pixel's figures for the test, once instead of per frame.
  void bounds(size_t count) {
    const double low = s_.sigmaLow * s_.sigmaLow, high = s_.sigmaHigh * s_.sigmaHigh;
    for (size_t i = 0; i < count; ++i) {
      const double n = double(n_[i]), sum = double(sum_[i]);
      const double spread = std::max(0.0, n * sumSq_[i] - sum * sum);
      nD_[i] = n;
      sumD_[i] = sum;
      lowBound_[i] = low * spread;
      highBound_[i] = high * spread;
    }
  }

  // Keeps the admitted samples within the bounds: (n v - sum)^2 <= k^2 (n sumSq - sum^2).
  template <bool Masked, bool Symmetric>
  void clip(const RowView<T>& row, size_t start, size_t count) {
    std::fill(kept_, kept_ + count, 0.0);
    std::fill(keptN_, keptN_ + count, 0.0);
    for (size_t k = 0; k < row.frames.size(); ++k) {
      const uchar* a = &admit_[k * len_ + start];
      const T* f = row.frames[k] + start;
      for (size_t i = 0; i < count; ++i) {
        const double v = double(std::int32_t(f[i]));
        const double d = nD_[i] * v - sumD_[i];
        // 0 or 1 each: the bound on the sample's side of the mean, without a branch.
        const double inHigh = d * d <= highBound_[i];
        double inside = inHigh;
        if (!Symmetric) {
          const double below = d < 0.0, inLow = d * d <= lowBound_[i];
          inside = inHigh + below * (inLow - inHigh);
        }
        const double keep = Masked ? inside * double(a[i]) : inside;
        kept_[i] += keep * v;
        keptN_[i] += keep;
      }
    }
  }

  void store(const RowView<T>& row, size_t start, size_t count, T* out) const {
    const bool clipped = s_.kernel == NLCombineKernel::SigmaClip;
    for (size_t i = 0; i < count; ++i) {
      const size_t at = start + i;
      if (n_[i] == 0) {
        out[at] = uncoveredAt(row, at);
      } else if (clipped && keptN_[i] > 0.0) {
        out[at] = ::store<T>(kept_[i] / keptN_[i], s_.rounding);
      } else {
        out[at] = ::store<T>(double(sum_[i]) / double(n_[i]), s_.rounding);
      }
    }
  }

  const NLCombineSettings& s_;
  int cols_, cn_;
  size_t len_;
  std::vector<uchar> admit_;
  // Exact for up to 32767 frames of 16-bit samples.
  std::int32_t n_[kBlock], sum_[kBlock];
  double sumSq_[kBlock];  // whole numbers, exact below 2^53
  double nD_[kBlock], sumD_[kBlock], lowBound_[kBlock], highBound_[kBlock], kept_[kBlock], keptN_[kBlock];
};

template <typename T>
void combineRows(const NLCombineSettings& s, const std::vector<cv::Mat>& frames, const std::vector<cv::Mat>& masks,
                 cv::Mat& out, NLRowProgress* progress) {
  cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& band) {
    RowView<T> row{std::vector<const T*>(frames.size()), std::vector<const uchar*>(masks.size())};
    const bool byRow = s.kernel != NLCombineKernel::Median;
    std::unique_ptr<RowMeans<T>> means;
    if (byRow) means = std::make_unique<RowMeans<T>>(s, frames.size(), out.cols, out.channels());
    std::vector<double> samples;  // per-stripe scratch, reused for every pixel
    samples.reserve(frames.size());
    for (int y = band.start; y < band.end; ++y) {
      for (size_t k = 0; k < frames.size(); ++k) row.frames[k] = frames[k].ptr<T>(y);
      for (size_t k = 0; k < masks.size(); ++k) row.masks[k] = masks[k].empty() ? nullptr : masks[k].ptr<uchar>(y);
      if (byRow) means->combine(row, out.ptr<T>(y));
      else combineRow<T>(s, row, out.cols, out.channels(), samples, out.ptr<T>(y));
      if (progress) progress->rowDone();
    }
  });
}

}  // namespace

std::string NL_combineInputProblem(const std::vector<cv::Mat>& frames, const std::vector<cv::Mat>& masks) {
  if (frames.empty()) return "no images.";
  const int depth = frames[0].depth();
  if (depth != CV_8U && depth != CV_16U) return "only 8-bit and 16-bit images are supported.";
  for (const cv::Mat& f : frames)
    if (f.size() != frames[0].size() || f.type() != frames[0].type()) return "image size/type mismatch.";
  if (masks.size() > frames.size()) return "mask count does not match image count.";
  for (const cv::Mat& m : masks)
    if (!m.empty() && (m.type() != CV_8UC1 || m.size() != frames[0].size())) return "mask size/type mismatch.";
  return "";
}

void NL_combineFrames(const NLCombineSettings& settings, const std::vector<cv::Mat>& frames,
                      const std::vector<cv::Mat>& masks, cv::Mat& out, NLRowProgress* progress) {
  const std::string problem = NL_combineInputProblem(frames, masks);
  if (!problem.empty()) CV_Error(cv::Error::StsBadArg, "combine: " + problem);
  CV_Assert(out.size() == frames[0].size() && out.type() == frames[0].type());
  if (out.depth() == CV_16U) {
    combineRows<ushort>(settings, frames, masks, out, progress);
  } else {
    combineRows<uchar>(settings, frames, masks, out, progress);
  }
}
