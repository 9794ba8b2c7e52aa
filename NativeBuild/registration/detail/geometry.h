// Point helpers shared by the registration sources.
#pragma once

#include "registration/registration.h"

#include <array>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

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

// A moving position carried by an affine seed map onto the reference.
inline cv::Point2d mapAffine(const cv::Matx23d& a, const cv::Point2d& p) {
  return {a(0, 0) * p.x + a(0, 1) * p.y + a(0, 2), a(1, 0) * p.x + a(1, 1) * p.y + a(1, 2)};
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

// How many matches NL_matchStarsByAffineSeed would return for one reference
// list and many seed maps: the reference's search grid is built once instead
// of for every map a pattern stage tries. With a count to beat, it stops as
// soon as the stars left could no longer take it past that count, and then
// returns at most that count: a seed that cannot win is not counted out.
class SeedMatcher {
 public:
  SeedMatcher(const std::vector<NLStarCandidate>& reference, double tolerance);
  ~SeedMatcher();
  SeedMatcher(const SeedMatcher&) = delete;
  SeedMatcher& operator=(const SeedMatcher&) = delete;
  size_t count(const cv::Matx23d& map, const std::vector<cv::Point2d>& moving, size_t toBeat = 0);

 private:
  struct Grid;
  std::vector<cv::Point2d> reference_;
  double tolerance_;
  std::unique_ptr<Grid> grid_;
};

// The five ratios' summed differences between two quads' shapes.
double quadRatioDistance(const NLQuadPattern& a, const NLQuadPattern& b);

// Quads sorted on their first ratio: a reference quad looks only at those
// whose first ratio lies within the tolerance of its own (one ratio's
// difference past the tolerance puts the sum of the five past it too), and
// gets the ones the full test keeps in their original order, so the quads a
// pattern stage tries, and their order, are those of a full scan.
class QuadRatioIndex {
 public:
  explicit QuadRatioIndex(const std::vector<NLQuadPattern>& quads);  // kept by reference
  // Indices of the quads whose quadRatioDistance to r is not above tolerance, ascending.
  void closeTo(const NLQuadPattern& r, double tolerance, std::vector<size_t>& out) const;

 private:
  const std::vector<NLQuadPattern>& quads_;
  std::vector<std::pair<double, size_t>> sorted_;  // first ratio, index
  bool scanAll_ = false;                           // a ratio that is not finite: every quad is tested
};

// True when the fourth star of a quad, carried by the exact affine map
// through three star pairs, surely lands farther than tolerance from its
// target whichever solver fits that map (decided only for triangles wide
// enough that solvers agree far below the margin used; false otherwise).
bool fourthSurelyMissed(const std::array<cv::Point2d, 3>& src, const std::array<cv::Point2d, 3>& dst,
                        const cv::Point2d& fourth, const cv::Point2d& target, double tolerance);

// Homography that maps moving positions onto reference ones, applied to every moving star.
std::vector<cv::Point2d> projectAll(const cv::Mat& homography, const std::vector<NLStarCandidate>& moving);

}  // namespace registration_detail
