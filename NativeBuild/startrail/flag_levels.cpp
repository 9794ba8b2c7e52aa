#include "startrail/detail/neighbour_views.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace startrail_detail {
namespace {

constexpr int kStride = 10;  // px between the sampled pixels of a tile: 81 samples in a full tile
constexpr int kFewestSamples = 20;
constexpr double kMadToSigma = 1.4826;  // median absolute deviation of a normal scatter to its sd
// The dark sky of a tile: this quantile of its medians. Below it a pixel
// needs a little more than its level to be flagged, the price of reading the
// neighbours only where the frame stands above the tile's dark sky.
constexpr double kDarkShare = 0.1;

double quantile(std::vector<double>& v, double share) {
  const size_t at = std::min(v.size() - 1, size_t(share * double(v.size())));
  std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(at), v.end());
  return v[at];
}

struct TileSamples {
  std::vector<double> excess, median;  // frame minus median, and the median, at each voting sample
};

TileSamples sampleTile(const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, const cv::Rect& box) {
  TileSamples s;
  std::vector<double> votes(neighbours.size());
  for (int y = box.y + kStride / 2; y < box.y + box.height; y += kStride) {
    const float* f = frame.ptr<float>(y);
    for (int x = box.x + kStride / 2; x < box.x + box.width; x += kStride) {
      double m = 0.0;
      if (!neighbourMedian(neighbours, x, y, false, votes.data(), m)) continue;
      s.excess.push_back(f[x] - m);
      s.median.push_back(m);
    }
  }
  return s;
}

// Robust scatter of the samples' excess: most samples are sky, and the
// stars and streaks among them do not move a median.
double robustNoise(std::vector<double> excess) {
  const double centre = quantile(excess, 0.5);
  for (double& e : excess) e = std::abs(e - centre);
  return kMadToSigma * quantile(excess, 0.5);
}

}  // namespace

FlagLevels::FlagLevels(const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, double threshold, double k,
                       double starShare, double minimumNoise)
    : threshold_(threshold), starShare_(starShare) {
  cols_ = (frame.cols + kTile - 1) / kTile;
  const int rows = (frame.rows + kTile - 1) / kTile;
  tiles_.assign(size_t(cols_) * size_t(rows), Tile());
  std::vector<char> measured(tiles_.size(), 0);
  cv::parallel_for_(cv::Range(0, int(tiles_.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      const cv::Rect box = cv::Rect((i % cols_) * kTile, (i / cols_) * kTile, kTile, kTile) &
                           cv::Rect(0, 0, frame.cols, frame.rows);
      TileSamples s = sampleTile(frame, neighbours, box);
      if (int(s.excess.size()) < kFewestSamples) continue;
      Tile& t = tiles_[size_t(i)];
      t.noise = std::max(robustNoise(std::move(s.excess)), minimumNoise);
      t.sky = quantile(s.median, 0.5);
      t.gate = float(quantile(s.median, kDarkShare));
      measured[size_t(i)] = 1;
    }
  });
  // A tile without enough votes (off the neighbours' grid, or too small)
  // takes the typical noise of the frame and no sky floor.
  std::vector<double> noises;
  for (size_t i = 0; i < tiles_.size(); ++i)
    if (measured[i]) noises.push_back(tiles_[i].noise);
  const double typical = noises.empty() ? minimumNoise : quantile(noises, 0.5);
  for (size_t i = 0; i < tiles_.size(); ++i) {
    Tile& t = tiles_[i];
    if (!measured[i]) t = Tile{0.0f, typical, 0.0, 0.0};
    t.noiseLevel = k * t.noise;
    t.gate = float(std::min(threshold_, double(t.gate) + std::min(threshold_, t.noiseLevel)));
  }
}

}  // namespace startrail_detail
