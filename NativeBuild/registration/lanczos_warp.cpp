// Lanczos-4 resampling onto the stacking canvas (see detail/lanczos.h).
//
// Per output pixel the source position is rounded to 1/32 px; the 8 x 8
// window around it is weighted by the product of two 1-D normalised Lanczos
// windows. Because the 2-D weight is a product, the window is summed down
// its columns first (8 rows of 8 * channels contiguous samples: a loop the
// compiler vectorises) and the 8 column sums then across, a quarter of the
// multiplications of summing the 64 weighted taps one by one.
#include "registration/detail/lanczos.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>

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

// One output pixel from the 8 x 8 window whose top-left sample is at S
// (rows step elements apart), for CN channels; wx holds the horizontal
// weights repeated per channel (Table::across).
template <typename T, int CN>
inline void windowSum(const T* S, size_t step, const float* wy, const float* wx, T* out) {
  constexpr int kRow = kTaps * CN;
  // Two partial sums (rows 0-3 and 4-7) halve the chain of dependent additions.
  float column[kRow], lower[kRow];
  const T* S4 = S + 4 * step;
  for (int k = 0; k < kRow; ++k) column[k] = wy[0] * float(S[k]);
  for (int k = 0; k < kRow; ++k) lower[k] = wy[4] * float(S4[k]);
  for (int r = 1; r < kTaps / 2; ++r) {
    const T* row = S + size_t(r) * step;
    const T* row4 = S4 + size_t(r) * step;
    const float w = wy[r], w4 = wy[r + 4];
    for (int k = 0; k < kRow; ++k) column[k] += w * float(row[k]);
    for (int k = 0; k < kRow; ++k) lower[k] += w4 * float(row4[k]);
  }
  for (int k = 0; k < kRow; ++k) column[k] += lower[k];
  // Across the 8 columns: weight, then add halves (a tree the compiler vectorises).
  for (int k = 0; k < kRow; ++k) column[k] *= wx[k];
  for (int k = 0; k < 4 * CN; ++k) column[k] += column[k + 4 * CN];
  for (int k = 0; k < 2 * CN; ++k) column[k] += column[k + 2 * CN];
  for (int c = 0; c < CN; ++c) out[c] = saturateSample<T>(column[c] + column[c + CN]);
}

// The row of output pixels whose source positions (in 1/32 px) are X, Y.
template <typename T, int CN>
void sampleRow(const cv::Mat& src, const int* X, const int* Y, int width, T* out) {
  const Table& tab = table();
  const int sw = src.cols, sh = src.rows;
  const size_t step = src.step1();
  T patch[kTaps * kTaps * CN];
  for (int x = 0; x < width; ++x, out += CN) {
    const int sx = (X[x] >> kTabBits) - kBefore, sy = (Y[x] >> kTabBits) - kBefore;
    const float* wx = tab.across<CN>(X[x] & (kTabSize - 1));
    const float* wy = tab.w[Y[x] & (kTabSize - 1)].data();
    if (sx >= 0 && sy >= 0 && sx + kTaps <= sw && sy + kTaps <= sh) {
      windowSum<T, CN>(src.ptr<T>(sy) + size_t(sx) * CN, step, wy, wx, out);
      continue;
    }
    if (sx >= sw || sy >= sh || sx + kTaps <= 0 || sy + kTaps <= 0) {
      for (int c = 0; c < CN; ++c) out[c] = T(0);
      continue;
    }
    // Across the frame's edge: the taps outside read the constant border 0.
    for (int r = 0; r < kTaps; ++r) {
      const int yy = sy + r;
      for (int j = 0; j < kTaps; ++j) {
        const int xx = sx + j;
        const bool inside = yy >= 0 && yy < sh && xx >= 0 && xx < sw;
        for (int c = 0; c < CN; ++c)
          patch[(r * kTaps + j) * CN + c] = inside ? src.ptr<T>(yy)[size_t(xx) * CN + c] : T(0);
      }
    }
    windowSum<T, CN>(patch, size_t(kTaps) * CN, wy, wx, out);
  }
}


template <typename T>
void sampleRowAnyChannels(const cv::Mat& src, const int* X, const int* Y, int width, void* out) {
  switch (src.channels()) {
    case 1: return sampleRow<T, 1>(src, X, Y, width, static_cast<T*>(out));
    case 3: return sampleRow<T, 3>(src, X, Y, width, static_cast<T*>(out));
    case 4: return sampleRow<T, 4>(src, X, Y, width, static_cast<T*>(out));
  }
  CV_Error(cv::Error::StsUnsupportedFormat, "Lanczos resampling: 1, 3 or 4 channels");
}

void sample(const cv::Mat& src, const int* X, const int* Y, int width, void* out) {
  if (src.depth() == CV_8U) return sampleRowAnyChannels<uchar>(src, X, Y, width, out);
  return sampleRowAnyChannels<ushort>(src, X, Y, width, out);
}

int roundClamped(double v) {
  return cvRound(std::max(double(INT_MIN), std::min(double(INT_MAX), v)));
}

}  // namespace

bool lanczosSupported(const cv::Mat& src) {
  const int cn = src.channels();
  return !src.empty() && (src.depth() == CV_8U || src.depth() == CV_16U) && (cn == 1 || cn == 3 || cn == 4);
}

void lanczosWarpPerspective(const cv::Mat& src, cv::Mat& dst, const cv::Matx33d& M, cv::Size dsize) {
  CV_Assert(lanczosSupported(src));
  cv::Matx33d inv;
  cv::invert(M, inv);  // as cv::warpPerspective: the output samples the source at inverse(M)
  const double* m = inv.val;
  dst.create(dsize, src.type());
  cv::parallel_for_(cv::Range(0, dsize.height), [&](const cv::Range& rows) {
    std::vector<int> X(size_t(std::max(dsize.width, 1))), Y(X.size());
    for (int y = rows.start; y < rows.end; ++y) {
      // Positions per tile of columns from the tile's origin, in 1/32 px.
      for (int x0 = 0; x0 < dsize.width; x0 += kTile) {
        const double X0 = m[0] * x0 + m[1] * y + m[2];
        const double Y0 = m[3] * x0 + m[4] * y + m[5];
        const double W0 = m[6] * x0 + m[7] * y + m[8];
        const int end = std::min(kTile, dsize.width - x0);
        for (int x1 = 0; x1 < end; ++x1) {
          double w = W0 + m[6] * x1;
          w = w != 0.0 ? kTabSize / w : 0.0;
          X[size_t(x0 + x1)] = roundClamped((X0 + m[0] * x1) * w);
          Y[size_t(x0 + x1)] = roundClamped((Y0 + m[3] * x1) * w);
        }
      }
      sample(src, X.data(), Y.data(), dsize.width, dst.ptr(y));
    }
  });
}

void lanczosRemap(const cv::Mat& src, cv::Mat& dst, const cv::Mat& mapX, const cv::Mat& mapY) {
  CV_Assert(lanczosSupported(src) && mapX.type() == CV_32FC1 && mapY.type() == CV_32FC1 &&
            mapX.size() == mapY.size());
  dst.create(mapX.size(), src.type());
  cv::parallel_for_(cv::Range(0, mapX.rows), [&](const cv::Range& rows) {
    std::vector<int> X(size_t(std::max(mapX.cols, 1))), Y(X.size());
    for (int y = rows.start; y < rows.end; ++y) {
      const float* mx = mapX.ptr<float>(y);
      const float* my = mapY.ptr<float>(y);
      for (int x = 0; x < mapX.cols; ++x) {
        X[size_t(x)] = cvRound(mx[x] * float(kTabSize));
        Y[size_t(x)] = cvRound(my[x] * float(kTabSize));
      }
      sample(src, X.data(), Y.data(), mapX.cols, dst.ptr(y));
    }
  });
}

}  // namespace registration_detail
