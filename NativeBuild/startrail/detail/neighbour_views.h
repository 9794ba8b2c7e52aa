// How the rejection masks read the registered neighbours of a frame, and
// how far above the neighbours' median a pixel must stand to be flagged.
#pragma once

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace startrail_detail {

// Median of n <= 8 values (the mean of the middle two for even n); a small
// insertion sort beats a general selection at this size and gives the same value.
inline double smallMedian(double* v, int n) {
  for (int i = 1; i < n; ++i) {
    const double key = v[i];
    int j = i - 1;
    for (; j >= 0 && v[j] > key; --j) v[j + 1] = v[j];
    v[j + 1] = key;
  }
  return (n % 2 == 1) ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The usual case (window 5, every neighbour voting) without a sort: the two
// middle values of four are max(low pair) and min(high pair), and their sum
// is the same double the sorted insertion gives.
inline double middleOfFour(const double* v) {
  const double lo1 = std::min(v[0], v[1]), hi1 = std::max(v[0], v[1]);
  const double lo2 = std::min(v[2], v[3]), hi2 = std::max(v[2], v[3]);
  return 0.5 * (std::max(lo1, lo2) + std::min(hi1, hi2));
}

// The median of the neighbours' votes, four of them (the usual case) without a sort.
inline double medianOfVotes(double* v, int n) { return n == 4 ? middleOfFour(v) : smallMedian(v, n); }

// A neighbour as the mask reads it: its luminance plane, either on the
// frame's grid already or with the map from frame pixels to its own.
struct NeighbourView {
  const cv::Mat* plane = nullptr;
  bool onGrid = true;
  cv::Matx33d fromFrame;
};

// One neighbour as read along frame row y: the row's share of the map's
// terms is computed once, and each sample adds the column's. The sums are
// formed in the order of the whole expression, so a sample is the same
// double whether it is read along a row or alone.
class NeighbourRow {
 public:
  NeighbourRow() = default;
  NeighbourRow(const NeighbourView& n, int y) : n_(&n) {
    if (n.onGrid) {
      row_ = n.plane->ptr<float>(y);
      return;
    }
    const cv::Matx33d& m = n.fromFrame;
    ux_ = m(0, 1) * y, uy_ = m(1, 1) * y, uw_ = m(2, 1) * y;
  }

  // Bilinear sample at the neighbour position of frame pixel (x, y). A
  // position off the neighbour's pixel grid has no sky of the neighbour to
  // show and reads as black, so it does not vote; a thirty-second of a pixel
  // (a warp's interpolation step) is still taken as the edge pixel itself.
  // With readingDown, the neighbour's row below the sample's is asked of the
  // memory as well: the next frame row's samples of the same star need it,
  // and a star's pixels are the only ones the masks read.
  double at(int x, bool readingDown = false) const {
    if (row_) return row_[x];
    const cv::Mat& p = *n_->plane;
    const cv::Matx33d& m = n_->fromFrame;
    const double w = m(2, 0) * x + uw_ + m(2, 2);
    if (std::abs(w) < 1e-12) return 0.0;
    constexpr double kEdge = 1.0 / 32.0;
    double sx = (m(0, 0) * x + ux_ + m(0, 2)) / w, sy = (m(1, 0) * x + uy_ + m(1, 2)) / w;
    if (!(sx >= -kEdge && sy >= -kEdge && sx <= p.cols - 1 + kEdge && sy <= p.rows - 1 + kEdge)) return 0.0;
    sx = std::clamp(sx, 0.0, double(p.cols - 1));
    sy = std::clamp(sy, 0.0, double(p.rows - 1));
    const int x0 = std::min(int(sx), std::max(p.cols - 2, 0)), y0 = std::min(int(sy), std::max(p.rows - 2, 0));
    const int x1 = std::min(x0 + 1, p.cols - 1), y1 = std::min(y0 + 1, p.rows - 1);
    const double ax = sx - x0, ay = sy - y0;
    const float *r0 = p.ptr<float>(y0), *r1 = p.ptr<float>(y1);
    if (readingDown) prefetch(p.ptr<float>(std::min(y1 + 1, p.rows - 1)) + x0);
    return (1.0 - ay) * ((1.0 - ax) * r0[x0] + ax * r0[x1]) + ay * ((1.0 - ax) * r1[x0] + ax * r1[x1]);
  }

 private:
  static void prefetch(const float* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
  }
  const NeighbourView* n_ = nullptr;
  const float* row_ = nullptr;  // on the frame's grid: the plane's row y
  double ux_ = 0.0, uy_ = 0.0, uw_ = 0.0;
};

inline double sampleAt(const NeighbourView& n, int x, int y) { return NeighbourRow(n, y).at(x); }

// Lists the columns x in [start, end) with f[x] > gate into `above`, in
// order (room for end - start entries), and returns their count.
int columnsAbove(const float* f, int start, int end, float gate, int* above);

// The neighbours as read along frame row y, into `rows` (reused).
inline void neighbourRows(const std::vector<NeighbourView>& neighbours, int y, std::vector<NeighbourRow>& rows) {
  rows.clear();
  for (const NeighbourView& n : neighbours) rows.emplace_back(n, y);
}

// Median of the neighbours at column x of their rows into median; false when
// none votes (black samples vote only when blackVotes).
inline bool neighbourMedian(const std::vector<NeighbourRow>& rows, int x, bool blackVotes, double* samples,
                            double& median, bool readingDown = false) {
  int votes = 0;
  for (const NeighbourRow& n : rows) {
    const double v = n.at(x, readingDown);
    // Pixels the warp leaves black carry no information about the sky there.
    if (blackVotes || v > 0.0) samples[votes++] = v;
  }
  if (votes == 0) return false;
  median = medianOfVotes(samples, votes);
  return true;
}

// Four neighbours (window 5, the usual case) read three at a time: the
// lowest median the four could give, from the first three alone, when all
// three vote (false otherwise; their samples are in samples[0..2]). The
// fourth is taken to vote below them (with 0): a low vote added only lowers
// a median and a vote left out only raises it, so the median of all four,
// whatever the fourth reads, is at least the mean of the lower two of three.
inline bool lowestMedianOfFour(const std::vector<NeighbourRow>& rows, int x, bool blackVotes, double* samples,
                               double& floor) {
  for (int k = 0; k < 3; ++k) {
    samples[k] = rows[size_t(k)].at(x, true);
    if (!blackVotes && !(samples[k] > 0.0)) return false;
  }
  const double lo = std::min(samples[0], samples[1]), hi = std::max(samples[0], samples[1]);
  floor = 0.5 * (std::min(lo, samples[2]) + std::max(lo, std::min(hi, samples[2])));
  return true;
}

// The fourth neighbour's vote added to the three of lowestMedianOfFour, and
// the median: the very value neighbourMedian gives (a median does not depend
// on the order of its votes).
inline double medianWithFourth(const std::vector<NeighbourRow>& rows, int x, bool blackVotes, double* samples) {
  samples[3] = rows[3].at(x, true);
  return medianOfVotes(samples, blackVotes || samples[3] > 0.0 ? 4 : 3);
}

// How far above the neighbours' median a pixel must stand to be flagged.
// Fixed: the preset's share of full scale everywhere. Referenced to the
// noise: the smaller of that and k times the sky's own scatter about the
// median in the pixel's tile, plus a share of how far the median itself
// stands above the tile's sky, so that a star, whose twinkling and
// resampling residue grow with its brightness, needs a change in
// proportion. It never exceeds the fixed threshold, so it flags everything
// the fixed one flags.
class FlagLevels {
 public:
  static constexpr int kTile = 96;  // px: the sky's noise and level change little over it

  explicit FlagLevels(double threshold) : threshold_(threshold) {}
  // Measures each tile's scatter of frame minus median on a sparse grid of
  // its pixels.
  FlagLevels(const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, double threshold, double k,
             double starShare, double minimumNoise);

  // No pixel at or below the gate stands above the median by its level
  // (unless the median is below the tile's darkest sky), so the median is
  // not taken there.
  float gate(int x, int y) const { return tiles_.empty() ? float(threshold_) : tile(x, y).gate; }
  double level(int x, int y, double median) const {
    if (tiles_.empty()) return threshold_;
    const Tile& t = tile(x, y);
    return std::min(threshold_, t.noiseLevel + starShare_ * std::max(0.0, median - t.sky));
  }
  double threshold() const { return threshold_; }
  // The sky level (the neighbours' median) typical of the tile of (x, y); 0 when fixed.
  double sky(int x, int y) const { return tiles_.empty() ? 0.0 : tile(x, y).sky; }
  // The scatter of frame minus median in the tile of (x, y); 0 when fixed.
  double noise(int x, int y) const { return tiles_.empty() ? 0.0 : tile(x, y).noise; }

 private:
  struct Tile {
    float gate = 0.0f;
    double noise = 0.0, noiseLevel = 0.0, sky = 0.0;
  };
  const Tile& tile(int x, int y) const { return tiles_[size_t((y / kTile) * cols_ + x / kTile)]; }
  double threshold_;
  double starShare_ = 0.0;
  int cols_ = 0;
  std::vector<Tile> tiles_;
};

}  // namespace startrail_detail
