// A wide Gaussian blur evaluated on a coarser grid and returned row by row.
#include "plumbing/plumbing.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// Block averaging adds a variance of (f^2 - 1) / 12 and the bilinear return
// about f^2 / 6 (a triangle of half-width f), in full-resolution pixels; the
// coarse Gaussian makes up the rest.
double coarseSigma(double sigma, int scale) {
  const double f = scale;
  const double added = scale > 1 ? (f * f - 1.0) / 12.0 + f * f / 6.0 : 0.0;
  return std::sqrt(std::max(sigma * sigma - added, 1e-12)) / f;
}

// sums[i] += src[i], four at a time through OpenCV's portable vectors.
void addRow(float* sums, const float* src, int n) {
  int i = 0;
#if CV_SIMD128
  for (; i + 4 <= n; i += 4) cv::v_store(sums + i, cv::v_load(sums + i) + cv::v_load(src + i));
#endif
  for (; i < n; ++i) sums[i] += src[i];
}

// Block means of the image extended by its border rule, `margin` blocks
// beyond every side: the edge blocks see what the full blur's kernel sees
// there, so the coarse sky holds to the edge as well as inside.
cv::Mat paddedBlockMeans(const cv::Mat& image, int scale, int margin, int border) {
  const int cols = (image.cols + scale - 1) / scale + 2 * margin;
  const int rows = (image.rows + scale - 1) / scale + 2 * margin;
  std::vector<int> columnOf(size_t(cols) * size_t(scale));
  for (size_t i = 0; i < columnOf.size(); ++i)
    columnOf[i] = cv::borderInterpolate(int(i) - margin * scale, image.cols, border);
  const size_t lead = size_t(margin) * size_t(scale);
  cv::Mat coarse(rows, cols, CV_32FC1);
  const float norm = 1.0f / float(scale * scale);
  cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& band) {
    std::vector<float> sums(columnOf.size());
    for (int cy = band.start; cy < band.end; ++cy) {
      std::fill(sums.begin(), sums.end(), 0.0f);
      for (int k = 0; k < scale; ++k) {
        const float* src = image.ptr<float>(cv::borderInterpolate((cy - margin) * scale + k, image.rows, border));
        // Only the padding needs the border rule; the image's own columns run straight.
        for (size_t i = 0; i < lead; ++i) sums[i] += src[columnOf[i]];
        addRow(sums.data() + lead, src, image.cols);
        for (size_t i = lead + size_t(image.cols); i < sums.size(); ++i) sums[i] += src[columnOf[i]];
      }
      float* out = coarse.ptr<float>(cy);
      for (int cx = 0; cx < cols; ++cx) {
        float s = 0.0f;
        for (int k = 0; k < scale; ++k) s += sums[size_t(cx * scale + k)];
        out[cx] = s * norm;
      }
    }
  });
  return coarse;
}

}  // namespace

int NL_coarseBlurScale(double sigma) {
  // The coarse Gaussian keeps at least four coarse pixels of width, so the
  // block and triangle shapes stay a small part of the kernel.
  int scale = 1;
  while (scale < 16 && sigma >= 4.0 * (scale * 2)) scale *= 2;
  return scale;
}

NLCoarseBlur::NLCoarseBlur(const cv::Mat& image, double sigma, int border)
    : cols_(image.cols), rows_(image.rows), scale_(NL_coarseBlurScale(sigma)) {
  CV_Assert(image.type() == CV_32FC1 && !image.empty());
  const double s = coarseSigma(sigma, scale_);
  // Far enough that the coarse kernel never reaches past the padding.
  margin_ = scale_ > 1 ? int(std::ceil(4.0 * s)) + 2 : 0;
  coarse_ = scale_ > 1 ? paddedBlockMeans(image, scale_, margin_, border) : image.clone();
  cv::GaussianBlur(coarse_, coarse_, cv::Size(0, 0), s, s, border);
  across_.resize(size_t(cols_));
  for (int x = 0; x < cols_; ++x) across_[size_t(x)] = tap(x);
}

// Where full-resolution pixel i falls between the coarse samples, whose
// centres sit mid-block: the lower sample and the weight of the upper one.
NLCoarseBlur::Tap NLCoarseBlur::tap(int i) const {
  Tap t;
  if (scale_ == 1) {
    t.lower = t.upper = i;
    return t;
  }
  const double u = (double(i) + 0.5) / double(scale_) - 0.5 + double(margin_);
  t.lower = int(std::floor(u));
  t.upper = t.lower + 1;
  t.weight = float(u - double(t.lower));
  return t;
}

void NLCoarseBlur::across(int r, float* out) const {
  const float* a = coarse_.ptr<float>(r);
  for (int x = 0; x < cols_; ++x) {
    const Tap& t = across_[size_t(x)];
    out[x] = (1.0f - t.weight) * a[t.lower] + t.weight * a[t.upper];
  }
}

namespace {

// Four samples at a time through OpenCV's portable vectors, each the same
// products and sum as the scalar tail's.
void blend(const float* top, const float* bottom, float w, float* out, int n) {
  int x = 0;
#if CV_SIMD128
  const cv::v_float32x4 above = cv::v_setall_f32(1.0f - w), below = cv::v_setall_f32(w);
  for (; x + 4 <= n; x += 4) cv::v_store(out + x, above * cv::v_load(top + x) + below * cv::v_load(bottom + x));
#endif
  for (; x < n; ++x) out[x] = (1.0f - w) * top[x] + w * bottom[x];
}

}  // namespace

void NLCoarseBlur::row(int y, float* out) const {
  const Tap down = tap(y);
  std::vector<float> top(static_cast<size_t>(cols_)), bottom(static_cast<size_t>(cols_));
  across(down.lower, top.data());
  across(down.upper, bottom.data());
  blend(top.data(), bottom.data(), down.weight, out, cols_);
}

NLCoarseBlur::Rows::Rows(const NLCoarseBlur& blur)
    : blur_(blur), top_(size_t(blur.cols_)), bottom_(size_t(blur.cols_)) {}

void NLCoarseBlur::Rows::row(int y, float* out) {
  const Tap down = blur_.tap(y);
  if (down.lower != lower_ || down.upper != upper_) {
    // Going down the image, the old lower row of the pair becomes the new upper one.
    if (down.lower == upper_)
      top_.swap(bottom_);
    else
      blur_.across(down.lower, top_.data());
    blur_.across(down.upper, bottom_.data());
    lower_ = down.lower;
    upper_ = down.upper;
  }
  blend(top_.data(), bottom_.data(), down.weight, out, blur_.cols_);
}
