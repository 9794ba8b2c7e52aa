// Star candidate lists made without images, shared by the registration tests.
#pragma once

#include "registration/registration.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <random>
#include <vector>

namespace testsupport {

inline NLStarCandidate star(double x, double y, int peak = 100) {
  NLStarCandidate s;
  s.x = int(std::lround(x));
  s.y = int(std::lround(y));
  s.centerX = x;
  s.centerY = y;
  s.area = 9;
  s.peak = peak;
  return s;
}

// Random star field, peaks descending so list order is brightness order.
inline std::vector<NLStarCandidate> field(int count, int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(5.0, width - 5.0), uy(5.0, height - 5.0);
  std::vector<NLStarCandidate> stars;
  for (int i = 0; i < count; ++i) stars.push_back(star(ux(rng), uy(rng), 255 - i * 200 / count));
  return stars;
}

// Moving-frame list of a reference list seen through frameToReference (inverse applied).
inline std::vector<NLStarCandidate> through(const std::vector<NLStarCandidate>& ref,
                                            const cv::Matx33d& frameToReference) {
  const cv::Matx33d inv = frameToReference.inv();
  std::vector<NLStarCandidate> out;
  for (const NLStarCandidate& s : ref) {
    const cv::Vec3d p = inv * cv::Vec3d(s.centerX, s.centerY, 1.0);
    out.push_back(star(p[0] / p[2], p[1] / p[2], s.peak));
  }
  return out;
}

}  // namespace testsupport
