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

// The samples of one band of tiles (tile row `band`), one entry per tile
// column. The band is read sample row by sample row across all its tiles:
// long runs along each plane's rows, which the memory's prefetching follows,
// instead of a tile's short spans. Each tile still gets its samples in the
// order of its own rows and columns.
std::vector<TileSamples> sampleBand(const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, int band,
                                    int tileCols) {
  std::vector<TileSamples> tiles(static_cast<size_t>(tileCols));
  std::vector<double> votes(neighbours.size());
  std::vector<NeighbourRow> rows;
  // the sampled columns of a row, tile by tile, and each neighbour's samples there
  std::vector<int> columns;
  for (int c = 0; c < tileCols; ++c)
    for (int x = c * FlagLevels::kTile + kStride / 2; x < std::min((c + 1) * FlagLevels::kTile, frame.cols);
         x += kStride)
      columns.push_back(x);
  std::vector<double> read(columns.size() * neighbours.size());
  const int top = band * FlagLevels::kTile, bottom = std::min(top + FlagLevels::kTile, frame.rows);
  for (int y = top + kStride / 2; y < bottom; y += kStride) {
    const float* f = frame.ptr<float>(y);
    neighbourRows(neighbours, y, rows);
    // One neighbour at a time along the whole row: two rows of one plane are
    // read front to back, which the memory's prefetching follows, instead of
    // eight at once.
    for (size_t k = 0; k < rows.size(); ++k)
      for (size_t i = 0; i < columns.size(); ++i) read[k * columns.size() + i] = rows[k].at(columns[i]);
    for (size_t i = 0; i < columns.size(); ++i) {
      int n = 0;
      for (size_t k = 0; k < rows.size(); ++k) {
        const double v = read[k * columns.size() + i];
        if (v > 0.0) votes[size_t(n++)] = v;  // as neighbourMedian: black samples do not vote
      }
      if (n == 0) continue;
      const double m = medianOfVotes(votes.data(), n);
      const int x = columns[i];
      TileSamples& s = tiles[size_t(x / FlagLevels::kTile)];
      s.excess.push_back(f[x] - m);
      s.median.push_back(m);
    }
  }
  return tiles;
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
  cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& bands) {
    for (int band = bands.start; band < bands.end; ++band) {
      std::vector<TileSamples> samples = sampleBand(frame, neighbours, band, cols_);
      for (int c = 0; c < cols_; ++c) {
        TileSamples& s = samples[size_t(c)];
        if (int(s.excess.size()) < kFewestSamples) continue;
        const size_t i = size_t(band) * size_t(cols_) + size_t(c);
        Tile& t = tiles_[i];
        t.noise = std::max(robustNoise(std::move(s.excess)), minimumNoise);
        t.sky = quantile(s.median, 0.5);
        t.gate = float(quantile(s.median, kDarkShare));
        measured[i] = 1;
      }
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
