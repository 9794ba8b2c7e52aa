// The sensor: shot and read noise on the signal, hot pixels, clipping and
// rounding to the image type.
#include "synth/synth.h"

#include "synth/detail/random.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>

namespace synth {
namespace {

template <typename T>
void quantizeRow(const cv::Vec3f* in, T* out, int width, const FrameSettings& f, double top,
                 const float* normals) {
  const double readVar = f.readNoise * f.readNoise;
  for (int x = 0; x < width; ++x) {
    for (int c = 0; c < 3; ++c) {
      double v = std::max(0.0, static_cast<double>(in[x][c]));
      if (normals) {
        // Gaussian approximation of the Poisson count: fine above a few electrons,
        // and the read noise dominates below that anyway.
        const double electrons = v * f.fullWell;
        v += normals[3 * x + c] * std::sqrt(electrons + readVar) / f.fullWell;
      }
      const double q = std::floor(v * top + 0.5);
      out[3 * x + c] = static_cast<T>(std::min(top, std::max(0.0, q)));
    }
  }
}

// Hot pixels belong to the sensor: same places in every frame of a scene.
void addHotPixels(cv::Mat& image, const FrameSettings& f, double top) {
  detail::Rng rng(detail::mixSeed(f.sensorSeed, 0x407));
  for (int i = 0; i < f.hotPixels; ++i) {
    const int x = rng.below(image.cols), y = rng.below(image.rows);
    const double level = rng.uniform(0.5, 1.0) * top;
    const int channel = rng.below(4);  // 3: all channels, otherwise one colour
    for (int c = 0; c < 3; ++c) {
      if (channel != 3 && channel != c) continue;
      if (image.depth() == CV_8U) image.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<uchar>(level);
      else image.at<cv::Vec3w>(y, x)[c] = cv::saturate_cast<ushort>(level);
    }
  }
}

}  // namespace

cv::Mat quantize(const cv::Mat& signal, const FrameSettings& frame, std::uint64_t seed) {
  CV_Assert(signal.type() == CV_32FC3 && (frame.bits == 8 || frame.bits == 16));
  const bool eight = frame.bits == 8;
  const double top = eight ? 255.0 : 65535.0;
  cv::Mat out(signal.size(), eight ? CV_8UC3 : CV_16UC3);
  cv::parallel_for_(cv::Range(0, signal.rows), [&](const cv::Range& rows) {
    cv::Mat normals(1, signal.cols * 3, CV_32F);
    for (int y = rows.start; y < rows.end; ++y) {
      const float* noise = nullptr;
      if (frame.noise) {
        // One generator per row (OpenCV's ziggurat sampler): fast, and the
        // same numbers whichever thread gets the row.
        cv::RNG rng(detail::mixSeed(seed, 0x401, static_cast<std::uint64_t>(y)));
        rng.fill(normals, cv::RNG::NORMAL, 0.0, 1.0);
        noise = normals.ptr<float>();
      }
      const cv::Vec3f* in = signal.ptr<cv::Vec3f>(y);
      if (eight) quantizeRow(in, out.ptr<uchar>(y), signal.cols, frame, top, noise);
      else quantizeRow(in, out.ptr<ushort>(y), signal.cols, frame, top, noise);
    }
  }, std::max(1.0, signal.rows / 64.0));
  if (frame.hotPixels > 0) addHotPixels(out, frame, top);
  return out;
}

}  // namespace synth
