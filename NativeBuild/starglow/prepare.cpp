#include "starglow/starglow.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <stdexcept>

namespace {

double whiteLevel(int depth) {
  if (depth == CV_16U) return 65535.0;
  if (depth == CV_32F || depth == CV_64F) return 1.0;
  return 255.0;
}

}  // namespace

cv::Mat NL_toFloatBgr(const cv::Mat& src) {
  CV_Assert(!src.empty());
  const int channels = src.channels();
  if (channels != 1 && channels != 3 && channels != 4) throw std::runtime_error("Unsupported channel count.");
  // Depth first: colour conversion accepts float for every channel layout,
  // whatever integer depth the file carried.
  cv::Mat scaled;
  src.convertTo(scaled, CV_MAKETYPE(CV_32F, channels), 1.0 / whiteLevel(src.depth()));
  cv::Mat out;
  if (channels == 4) {
    cv::cvtColor(scaled, out, cv::COLOR_BGRA2BGR);
  } else if (channels == 1) {
    cv::cvtColor(scaled, out, cv::COLOR_GRAY2BGR);
  } else {
    out = scaled;
  }
  if (src.depth() == CV_32F || src.depth() == CV_64F) {
    // NaN or infinite samples in a float export would poison every blur and
    // sum downstream; they carry no light, so they become black.
    out.forEach<cv::Vec3f>([](cv::Vec3f& p, const int*) {
      for (int c = 0; c < 3; ++c)
        if (!std::isfinite(p[c])) p[c] = 0.0f;
    });
  }
  // Unsigned samples cannot be negative; signed and float ones are clamped in place.
  if (src.depth() != CV_8U && src.depth() != CV_16U) cv::max(out, 0.0, out);
  return out;
}
