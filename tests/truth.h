// Fits against the truth a synthetic frame was rendered through, shared by the registration tests.
#pragma once

#include "registration/registration.h"
#include "synth/synth.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <cstring>

namespace testsupport {

// RMS distance over a grid of frame points (across x down cells) between
// where the found homography and the true one send them.
inline double rmsAgainstTruth(const cv::Mat& h, const cv::Matx33d& truth, cv::Size size, int across = 15,
                              int down = 10) {
  double sum = 0.0;
  int n = 0;
  for (int y = 0; y <= size.height; y += size.height / down)
    for (int x = 0; x <= size.width; x += size.width / across, ++n) {
      const cv::Point2d p(x, y);
      const cv::Point2d d = NL_projectPoint(h, p) - synth::applyHomography(truth, p);
      sum += d.dot(d);
    }
  return std::sqrt(sum / n);
}

// The same size, type and bytes (a matrix compared bit for bit, -0 and NaN included).
inline bool sameBits(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  const cv::Mat x = a.isContinuous() ? a : a.clone(), y = b.isContinuous() ? b : b.clone();
  return std::memcmp(x.data, y.data, x.total() * x.elemSize()) == 0;
}

}  // namespace testsupport
