// The combine engine alone on one core: eight 3000x2000 16-bit colour frames
// (sky-like noise around one level), the sigma clip and the average, without
// masks and with a mask per frame that leaves out half of the pixels. CPU
// time of the best of three runs each (a plain program: run it and read).
#include "decode_floor.h"
#include "stack/stack.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

int main() {
  cv::setNumThreads(1);
  const int n = 8;
  const cv::Size size(3000, 2000);
  std::vector<cv::Mat> frames(n), masks(n);
  cv::RNG rng(1);
  for (int i = 0; i < n; ++i) {
    frames[i].create(size, CV_16UC3);
    rng.fill(frames[i], cv::RNG::NORMAL, 5000, 300);
    masks[i].create(size, CV_8U);
    rng.fill(masks[i], cv::RNG::UNIFORM, 0, 2);
    masks[i] *= 255;
  }
  cv::Mat out(size, CV_16UC3);
  std::printf("%d frames of %dx%d 16-bit colour, one thread, best of 3 (CPU ms)\n", n, size.width, size.height);
  for (const bool masked : {false, true}) {
    for (const bool sigma : {true, false}) {
      const NLCombineSettings& s = sigma ? NL_kMaskedSigmaCombine : NL_kMaskedAverageCombine;
      double best = 1e30;
      for (int r = 0; r < 3; ++r) {
        const double start = bench::processCpuMs();
        NL_combineFrames(s, frames, masked ? masks : std::vector<cv::Mat>(), out);
        best = std::min(best, bench::processCpuMs() - start);
      }
      std::printf("  %-8s %-6s %7.0f ms  (%.2f ns a sample)\n", sigma ? "sigma" : "average", masked ? "masked" : "plain",
                  best, best * 1e6 / (double(n) * double(out.total()) * out.channels()));
    }
  }
  return 0;
}
