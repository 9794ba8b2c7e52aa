#include "starglow/starglow.h"

#include "plumbing/plumbing.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

double whiteLevel(int depth) {
  if (depth == CV_16U) return 65535.0;
  if (depth == CV_32F || depth == CV_64F) return 1.0;
  return 255.0;
}

void checkDecoded(const cv::Mat& src) {
  CV_Assert(!src.empty());
  const int channels = src.channels();
  if (channels != 1 && channels != 3 && channels != 4) throw std::runtime_error("Unsupported channel count.");
}

// Scales to white 1.0 and lays the channels out as BGR. Every sample is
// converted on its own, so any rectangle gives the values the whole image would.
void scaledBgr(const cv::Mat& src, cv::Mat& out) {
  const int channels = src.channels();
  // Depth first: colour conversion accepts float for every channel layout,
  // whatever integer depth the file carried.
  const double scale = 1.0 / whiteLevel(src.depth());
  if (channels == 3) return src.convertTo(out, CV_32FC3, scale);
  cv::Mat scaled;
  src.convertTo(scaled, CV_MAKETYPE(CV_32F, channels), scale);
  cv::cvtColor(scaled, out, channels == 4 ? cv::COLOR_BGRA2BGR : cv::COLOR_GRAY2BGR);
}

bool unsignedSamples(const cv::Mat& src) { return src.depth() == CV_8U || src.depth() == CV_16U; }

}  // namespace

cv::Mat NL_toFloatBgr(const cv::Mat& src) {
  checkDecoded(src);
  cv::Mat out;
  scaledBgr(src, out);
  if (src.depth() == CV_32F || src.depth() == CV_64F) {
    // NaN or infinite samples in a float export would poison every blur and
    // sum downstream; they carry no light, so they become black.
    out.forEach<cv::Vec3f>([](cv::Vec3f& p, const int*) {
      for (int c = 0; c < 3; ++c)
        if (!std::isfinite(p[c])) p[c] = 0.0f;
    });
  }
  // Unsigned samples cannot be negative; signed and float ones are clamped in place.
  if (!unsignedSamples(src)) cv::max(out, 0.0, out);
  return out;
}

NL_FloatBgrFrame::NL_FloatBgrFrame(const cv::Mat& decoded) : size_(decoded.size()) {
  checkDecoded(decoded);
  if (unsignedSamples(decoded))
    decoded_ = decoded;
  else
    floatBgr_ = NL_toFloatBgr(decoded);
}

NL_FloatBgrFrame NL_FloatBgrFrame::ofFloatBgr(const cv::Mat& image) {
  CV_Assert(image.type() == CV_32FC3);
  NL_FloatBgrFrame frame;
  frame.floatBgr_ = image;
  frame.size_ = image.size();
  return frame;
}

void NL_FloatBgrFrame::read(const cv::Rect& area, cv::Mat& out) const {
  CV_Assert((area & cv::Rect(cv::Point(), size_)) == area);
  if (decoded_.empty()) {
    out = floatBgr_(area);
    return;
  }
  scaledBgr(decoded_(area), out);
}

cv::Mat NL_FloatBgrFrame::luminance() const {
  // Eight rows of a 6000-column frame in float are about half a megabyte:
  // converted, weighed and dropped while still in cache.
  constexpr int kRows = 8;
  cv::Mat lum(size_, CV_32FC1);
  const int pieces = (size_.height + kRows - 1) / kRows;
  cv::parallel_for_(cv::Range(0, pieces), [&](const cv::Range& range) {
    cv::Mat rows;
    for (int i = range.start; i < range.end; ++i) {
      const int y0 = i * kRows, y1 = std::min(size_.height, y0 + kRows);
      read(cv::Rect(0, y0, size_.width, y1 - y0), rows);
      cv::Mat dst = lum.rowRange(y0, y1);
      cv::transform(rows, dst, NL_luminanceWeightsBGR());
    }
  });
  return lum;
}
