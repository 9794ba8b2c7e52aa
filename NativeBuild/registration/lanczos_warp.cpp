// Lanczos-4 resampling onto the stacking canvas (see detail/lanczos.h).
//
// Per output pixel the source position is rounded to 1/32 px; the 8 x 8
// window around it is weighted by the product of two 1-D normalised Lanczos
// windows. Because the 2-D weight is a product, the window is summed down
// its columns first (8 rows of 8 * channels contiguous samples: a loop the
// compiler vectorises) and the 8 column sums then across, a quarter of the
// multiplications of summing the 64 weighted taps one by one.
#include "registration/detail/lanczos.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace registration_detail {
namespace {

constexpr int kTabBits = 5;               // positions rounded to 1/32 px
constexpr int kTabSize = 1 << kTabBits;
constexpr int kTaps = 8;
constexpr int kBefore = 3;                // taps before the sample's integer position
constexpr int kTile = 64;                 // columns per coordinate tile (as cv::warpPerspective)

// Normalised Lanczos-4 weights of the 8 taps for a position frac px past the
// integer sample: tap k sits at distance frac + 3 - k.
std::array<float, kTaps> lanczosWeights(double frac) {
  std::array<float, kTaps> w{};
  if (frac < 1e-7) {
    w[kBefore] = 1.0f;
    return w;
  }
  float sum = 0.0f;
  for (int k = 0; k < kTaps; ++k) {
    const double t = frac + kBefore - k;
    const double a = CV_PI * t, b = CV_PI * t / 4.0;
    w[k] = float(std::sin(a) * std::sin(b) / (a * b));
    sum += w[k];
  }
  for (float& v : w) v /= sum;
  return w;
}

// Per 1/32 px step: the 8 weights, and each weight repeated for 4 channels
// (tap j, channel c at j * 4 + c; 1 and 3 channels read the same layout with
// their own stride through wide[]).
struct Table {
  std::array<std::array<float, kTaps>, kTabSize> w;
  std::array<std::array<float, kTaps * 4>, kTabSize> wide1, wide3, wide4;
  Table() {
    for (int i = 0; i < kTabSize; ++i) {
      w[i] = lanczosWeights(double(i) / kTabSize);
      for (int j = 0; j < kTaps; ++j)
        for (int c = 0; c < 4; ++c) {
          if (c < 1) wide1[i][size_t(j)] = w[i][size_t(j)];
          if (c < 3) wide3[i][size_t(j * 3 + c)] = w[i][size_t(j)];
          wide4[i][size_t(j * 4 + c)] = w[i][size_t(j)];
        }
    }
  }
  template <int CN>
  const float* across(int frac) const {
    return CN == 1 ? wide1[size_t(frac)].data() : CN == 3 ? wide3[size_t(frac)].data() : wide4[size_t(frac)].data();
  }
};

const Table& table() {
  static const Table t;
  return t;
}

template <typename T>
inline T saturateSample(float v) {
  return cv::saturate_cast<T>(v);
}

// The 8-row vertical pass: out[k] = sum over rows r of wy[r] S[r * step + k]
// for n consecutive samples (columns x channels). Two partial sums (rows 0-3
// and 4-7) halve the chain of dependent additions; each sample's sums are
// made in registers in one pass over the 8 rows.
template <typename T>
inline void verticalSums(const T* S, size_t step, const float* wy, int n, float* out) {
  const T *r0 = S, *r1 = S + step, *r2 = S + 2 * step, *r3 = S + 3 * step;
  const T *r4 = S + 4 * step, *r5 = S + 5 * step, *r6 = S + 6 * step, *r7 = S + 7 * step;
  const float w0 = wy[0], w1 = wy[1], w2 = wy[2], w3 = wy[3], w4 = wy[4], w5 = wy[5], w6 = wy[6], w7 = wy[7];
  for (int k = 0; k < n; ++k) {
    float upper = w0 * float(r0[k]);
    float lower = w4 * float(r4[k]);
    upper += w1 * float(r1[k]);
    lower += w5 * float(r5[k]);
    upper += w2 * float(r2[k]);
    lower += w6 * float(r6[k]);
    upper += w3 * float(r3[k]);
    lower += w7 * float(r7[k]);
    out[k] = upper + lower;
  }
}

// The plain tree: weight, then add halves.
template <typename T, int CN>
inline void acrossColumnsPlain(const float* columns, const float* wx, T* out) {
  constexpr int kRow = kTaps * CN;
  float column[kRow];
  for (int k = 0; k < kRow; ++k) column[k] = columns[k] * wx[k];
  for (int k = 0; k < 4 * CN; ++k) column[k] += column[k + 4 * CN];
  for (int k = 0; k < 2 * CN; ++k) column[k] += column[k + 2 * CN];
  for (int c = 0; c < CN; ++c) out[c] = saturateSample<T>(column[c] + column[c + CN]);
}

#if CV_SIMD128
// Three channels: the products and the pairwise sums of the plain tree, in
// the same order, four lanes at a time (left to the compiler, the tree's
// 24-float halves became single floats shuffled one by one). Lanes hold
// tap * 3 + channel; r0 and r1 are the sums of taps 0, 2, 4, 6 and 1, 3, 5, 7.
template <typename T>
inline void acrossColumns3(const float* columns, const float* wx, T* out) {
  using cv::v_float32x4;
  const v_float32x4 p0 = cv::v_load(columns) * cv::v_load(wx), p1 = cv::v_load(columns + 4) * cv::v_load(wx + 4),
                    p2 = cv::v_load(columns + 8) * cv::v_load(wx + 8),
                    p3 = cv::v_load(columns + 12) * cv::v_load(wx + 12),
                    p4 = cv::v_load(columns + 16) * cv::v_load(wx + 16),
                    p5 = cv::v_load(columns + 20) * cv::v_load(wx + 20);
  const v_float32x4 a0 = p0 + p3, a1 = p1 + p4, a2 = p2 + p5;   // taps j + (j + 4)
  const v_float32x4 low = a0 + cv::v_extract<2>(a1, a2);        // r0 of the 3 channels, r1 of channel 0
  const v_float32x4 high = a1 + cv::v_rotate_right<2>(a2);      // r1 of channels 1 and 2
  const v_float32x4 sum = low + cv::v_extract<3>(low, high);    // r0 + r1 per channel
  int rounded[4];
  cv::v_store(rounded, cv::v_round(sum));  // to nearest, halves to even, as cvRound
  for (int c = 0; c < 3; ++c) out[c] = cv::saturate_cast<T>(rounded[c]);
}
#endif

// One output pixel from 8 column sums; wx holds the horizontal weights
// repeated per channel.
template <typename T, int CN>
inline void acrossColumns(const float* columns, const float* wx, T* out) {
#if CV_SIMD128
  if (CN == 3) return acrossColumns3(columns, wx, out);
#endif
  acrossColumnsPlain<T, CN>(columns, wx, out);
}

// One output pixel from the 8 x 8 window whose top-left sample is at S
// (rows step elements apart), for CN channels.
template <typename T, int CN>
inline void windowSum(const T* S, size_t step, const float* wy, const float* wx, T* out) {
  constexpr int kRow = kTaps * CN;
  float columns[kRow];
  verticalSums(S, step, wy, kRow, columns);
  acrossColumns<T, CN>(columns, wx, out);
}

// The row of output pixels whose source positions (in 1/32 px) are X, Y.
// Neighbouring output pixels on a near-level row read the same source rows
// with the same vertical weights (Y moves by a 1/32 step only every few
// pixels under a small turn, never under a pure shift): such a run shares one
// vertical pass over the source columns it spans, and each pixel then only
// sums its 8 columns across. The sums are the same as pixel by pixel.
template <typename T, int CN>
void sampleRow(const cv::Mat& src, const int* X, const int* Y, int width, T* out, std::vector<float>& spans) {
  const Table& tab = table();
  const int sw = src.cols, sh = src.rows;
  const size_t step = src.step1();
  T patch[kTaps * kTaps * CN];
  auto inside = [&](int sx, int sy) { return sx >= 0 && sy >= 0 && sx + kTaps <= sw && sy + kTaps <= sh; };
  for (int x = 0; x < width;) {
    const int sx = (X[x] >> kTabBits) - kBefore, sy = (Y[x] >> kTabBits) - kBefore;
    const float* wy = tab.w[Y[x] & (kTabSize - 1)].data();
    if (inside(sx, sy)) {
      int end = x + 1, lo = sx, hi = sx;
      while (end < width && Y[end] == Y[x]) {
        const int ex = (X[end] >> kTabBits) - kBefore;
        // A run that strides across far more columns than it has pixels (a
        // strong reduction) would sum columns nobody reads.
        if (!inside(ex, sy) || std::max(hi, ex) - std::min(lo, ex) > (end - x + 1) * kTaps) break;
        lo = std::min(lo, ex), hi = std::max(hi, ex);
        ++end;
      }
      const int n = (hi - lo + kTaps) * CN;
      if (spans.size() < size_t(n)) spans.resize(size_t(n));
      verticalSums(src.ptr<T>(sy) + size_t(lo) * CN, step, wy, n, spans.data());
      for (; x < end; ++x, out += CN) {
        const int px = (X[x] >> kTabBits) - kBefore;
        acrossColumns<T, CN>(spans.data() + size_t(px - lo) * CN, tab.across<CN>(X[x] & (kTabSize - 1)), out);
      }
      continue;
    }
    const float* wx = tab.across<CN>(X[x] & (kTabSize - 1));
    if (sx >= sw || sy >= sh || sx + kTaps <= 0 || sy + kTaps <= 0) {
      for (int c = 0; c < CN; ++c) out[c] = T(0);
    } else {
      // Across the frame's edge: the taps outside read the constant border 0.
      for (int r = 0; r < kTaps; ++r) {
        const int yy = sy + r;
        for (int j = 0; j < kTaps; ++j) {
          const int xx = sx + j;
          const bool in = yy >= 0 && yy < sh && xx >= 0 && xx < sw;
          for (int c = 0; c < CN; ++c)
            patch[(r * kTaps + j) * CN + c] = in ? src.ptr<T>(yy)[size_t(xx) * CN + c] : T(0);
        }
      }
      windowSum<T, CN>(patch, size_t(kTaps) * CN, wy, wx, out);
    }
    ++x, out += CN;
  }
}

template <typename T>
void sampleRowAnyChannels(const cv::Mat& src, const int* X, const int* Y, int width, void* out,
                          std::vector<float>& spans) {
  switch (src.channels()) {
    case 1: return sampleRow<T, 1>(src, X, Y, width, static_cast<T*>(out), spans);
    case 3: return sampleRow<T, 3>(src, X, Y, width, static_cast<T*>(out), spans);
    case 4: return sampleRow<T, 4>(src, X, Y, width, static_cast<T*>(out), spans);
  }
  CV_Error(cv::Error::StsUnsupportedFormat, "Lanczos resampling: 1, 3 or 4 channels");
}

void sample(const cv::Mat& src, const int* X, const int* Y, int width, void* out, std::vector<float>& spans) {
  if (src.depth() == CV_8U) return sampleRowAnyChannels<uchar>(src, X, Y, width, out, spans);
  return sampleRowAnyChannels<ushort>(src, X, Y, width, out, spans);
}

// The row's wanted pixels only, run by run; the others are left 0. A pixel's
// value does not depend on the run it is sampled in, so the wanted pixels
// equal those of sampling the whole row.
void sampleWanted(const cv::Mat& src, const int* X, const int* Y, int width, uchar* out, std::vector<float>& spans,
                  const uchar* wanted) {
  if (!wanted) return sample(src, X, Y, width, out, spans);
  const size_t pixel = src.elemSize();
  for (int x = 0; x < width;) {
    int end = x + 1;
    while (end < width && (wanted[end] != 0) == (wanted[x] != 0)) ++end;
    if (wanted[x]) sample(src, X + x, Y + x, end - x, out + size_t(x) * pixel, spans);
    else std::memset(out + size_t(x) * pixel, 0, size_t(end - x) * pixel);
    x = end;
  }
}

const uchar* wantedRow(const cv::Mat& wanted, int y) { return wanted.empty() ? nullptr : wanted.ptr<uchar>(y); }

int roundClamped(double v) {
  return cvRound(std::max(double(INT_MIN), std::min(double(INT_MAX), v)));
}

}  // namespace

void lanczosAcross3(const float* columns, const float* wx, ushort* out) { acrossColumns<ushort, 3>(columns, wx, out); }
void lanczosAcross3(const float* columns, const float* wx, uchar* out) { acrossColumns<uchar, 3>(columns, wx, out); }
void lanczosAcross3Plain(const float* columns, const float* wx, ushort* out) {
  acrossColumnsPlain<ushort, 3>(columns, wx, out);
}
void lanczosAcross3Plain(const float* columns, const float* wx, uchar* out) {
  acrossColumnsPlain<uchar, 3>(columns, wx, out);
}

bool lanczosSupported(const cv::Mat& src) {
  const int cn = src.channels();
  return !src.empty() && (src.depth() == CV_8U || src.depth() == CV_16U) && (cn == 1 || cn == 3 || cn == 4);
}

void lanczosWarpPerspective(const cv::Mat& src, cv::Mat& dst, const cv::Matx33d& M, cv::Size dsize,
                            const cv::Mat& wanted) {
  CV_Assert(lanczosSupported(src));
  CV_Assert(wanted.empty() || (wanted.type() == CV_8UC1 && wanted.size() == dsize));
  cv::Matx33d inv;
  cv::invert(M, inv);  // as cv::warpPerspective: the output samples the source at inverse(M)
  const double* m = inv.val;
  dst.create(dsize, src.type());
  cv::parallel_for_(cv::Range(0, dsize.height), [&](const cv::Range& rows) {
    std::vector<int> X(size_t(std::max(dsize.width, 1))), Y(X.size());
    std::vector<float> spans;
    for (int y = rows.start; y < rows.end; ++y) {
      // Positions per tile of columns from the tile's origin, in 1/32 px:
      // the products first (a loop that vectorises, the division included),
      // then the clamp and the rounding.
      for (int x0 = 0; x0 < dsize.width; x0 += kTile) {
        const double X0 = m[0] * x0 + m[1] * y + m[2];
        const double Y0 = m[3] * x0 + m[4] * y + m[5];
        const double W0 = m[6] * x0 + m[7] * y + m[8];
        const int end = std::min(kTile, dsize.width - x0);
        double fx[kTile], fy[kTile];
        for (int x1 = 0; x1 < end; ++x1) {
          const double w0 = W0 + m[6] * x1;
          const double nonzero = w0 != 0.0 ? 1.0 : 0.0;  // 0 at the horizon, as cv::warpPerspective
          const double w = kTabSize / (w0 + (1.0 - nonzero)) * nonzero;
          fx[x1] = (X0 + m[0] * x1) * w;
          fy[x1] = (Y0 + m[3] * x1) * w;
        }
        for (int x1 = 0; x1 < end; ++x1) {
          X[size_t(x0 + x1)] = roundClamped(fx[x1]);
          Y[size_t(x0 + x1)] = roundClamped(fy[x1]);
        }
      }
      sampleWanted(src, X.data(), Y.data(), dsize.width, dst.ptr(y), spans, wantedRow(wanted, y));
    }
  });
}

void lanczosRemap(const cv::Mat& src, cv::Mat& dst, const cv::Mat& mapX, const cv::Mat& mapY,
                  const cv::Mat& wanted) {
  CV_Assert(lanczosSupported(src) && mapX.type() == CV_32FC1 && mapY.type() == CV_32FC1 &&
            mapX.size() == mapY.size());
  CV_Assert(wanted.empty() || (wanted.type() == CV_8UC1 && wanted.size() == mapX.size()));
  dst.create(mapX.size(), src.type());
  cv::parallel_for_(cv::Range(0, mapX.rows), [&](const cv::Range& rows) {
    std::vector<int> X(size_t(std::max(mapX.cols, 1))), Y(X.size());
    std::vector<float> spans;
    for (int y = rows.start; y < rows.end; ++y) {
      const float* mx = mapX.ptr<float>(y);
      const float* my = mapY.ptr<float>(y);
      for (int x = 0; x < mapX.cols; ++x) {
        X[size_t(x)] = cvRound(mx[x] * float(kTabSize));
        Y[size_t(x)] = cvRound(my[x] * float(kTabSize));
      }
      sampleWanted(src, X.data(), Y.data(), mapX.cols, dst.ptr(y), spans, wantedRow(wanted, y));
    }
  });
}

}  // namespace registration_detail
