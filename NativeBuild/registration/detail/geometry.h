// Point helpers shared by the registration sources.
#pragma once

#include "registration/registration.h"

#include <cmath>
#include <memory>

namespace registration_detail {

// Projection with the w guard of NL_projectPoint, on an unpacked matrix.
inline cv::Point2d project(const cv::Matx33d& h, const cv::Point2d& p) {
  const double u = h(0, 0) * p.x + h(0, 1) * p.y + h(0, 2);
  const double v = h(1, 0) * p.x + h(1, 1) * p.y + h(1, 2);
  const double w = h(2, 0) * p.x + h(2, 1) * p.y + h(2, 2);
  if (std::abs(w) < 1e-9) return {u, v};
  return {u / w, v / w};
}

inline double reprojectionError(const cv::Matx33d& h, const NLStarMatch& pair) {
  const cv::Point2d d = project(h, NL_starPoint(pair.second)) - NL_starPoint(pair.first);
  return std::sqrt(d.x * d.x + d.y * d.y);
}

// Greedy nearest-free assignment of predicted moving positions (one per moving star).
NLStarMatchList assignNearestFree(const std::vector<NLStarCandidate>& reference,
                                  const std::vector<NLStarCandidate>& moving,
                                  const std::vector<cv::Point2d>& predicted, double tolerance);

// How many points, mapped by an affine map, land within tolerance of some
// reference point (not one to one): a cheap score to rank many seed maps
// before the few best pay for a full matching.
class SeedScorer {
 public:
  SeedScorer(const std::vector<cv::Point2d>& reference, double tolerance);
  ~SeedScorer();
  SeedScorer(const SeedScorer&) = delete;
  SeedScorer& operator=(const SeedScorer&) = delete;
  int count(const cv::Matx23d& map, const std::vector<cv::Point2d>& moving) const;

 private:
  struct Grid;
  std::vector<cv::Point2d> reference_;
  double tolerance_;
  std::unique_ptr<Grid> grid_;
};

// Homography that maps moving positions onto reference ones, applied to every moving star.
std::vector<cv::Point2d> projectAll(const cv::Mat& homography, const std::vector<NLStarCandidate>& moving);

}  // namespace registration_detail
