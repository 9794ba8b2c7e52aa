#include "startrail/detail/rejection_planes.h"

#include "plumbing/plumbing.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <numeric>

namespace startrail_detail {

namespace {

// A horizontal stretch of set pixels, x0..x1 inclusive.
struct Run {
  int y, x0, x1;
};

// The runs of every row, in row order; rowStart[y]..rowStart[y + 1] indexes row y's.
std::vector<Run> runsOf(const cv::Mat& mask, std::vector<int>& rowStart) {
  std::vector<Run> runs;
  rowStart.assign(size_t(mask.rows) + 1, 0);
  for (int y = 0; y < mask.rows; ++y) {
    rowStart[size_t(y)] = int(runs.size());
    const uchar* row = mask.ptr<uchar>(y);
    for (int x = NL_nextSetByte(row, 0, mask.cols); x < mask.cols; x = NL_nextSetByte(row, x, mask.cols)) {
      const int start = x;
      while (x < mask.cols && row[x]) ++x;
      runs.push_back({y, start, x - 1});
    }
  }
  rowStart[size_t(mask.rows)] = int(runs.size());
  return runs;
}

int root(std::vector<int>& parent, int i) {
  while (parent[size_t(i)] != i) i = parent[size_t(i)] = parent[size_t(parent[size_t(i)])];
  return i;
}

// Joins every run with the runs of the row above that it touches, diagonally included.
void joinTouchingRuns(const std::vector<Run>& runs, const std::vector<int>& rowStart, std::vector<int>& parent) {
  for (size_t y = 1; y + 1 < rowStart.size(); ++y) {
    int above = rowStart[y - 1];
    const int aboveEnd = rowStart[y];
    for (int r = rowStart[y]; r < rowStart[y + 1]; ++r) {
      while (above < aboveEnd && runs[size_t(above)].x1 < runs[size_t(r)].x0 - 1) ++above;
      for (int a = above; a < aboveEnd && runs[size_t(a)].x0 <= runs[size_t(r)].x1 + 1; ++a)
        parent[size_t(root(parent, a))] = root(parent, r);
    }
  }
}

}  // namespace

std::vector<FlagComponent> flagComponents(const cv::Mat& mask) {
  std::vector<int> rowStart;
  const std::vector<Run> runs = runsOf(mask, rowStart);
  std::vector<int> parent(runs.size());
  std::iota(parent.begin(), parent.end(), 0);
  joinTouchingRuns(runs, rowStart, parent);
  std::vector<int> slot(runs.size(), -1);
  std::vector<FlagComponent> components;
  for (size_t r = 0; r < runs.size(); ++r) {
    int& s = slot[size_t(root(parent, int(r)))];
    if (s < 0) {
      s = int(components.size());
      components.emplace_back();
    }
    for (int x = runs[r].x0; x <= runs[r].x1; ++x) components[size_t(s)].pixels.emplace_back(x, runs[r].y);
  }
  for (FlagComponent& c : components) c.box = cv::boundingRect(c.pixels);
  return components;
}

void paintComponent(const FlagComponent& component, cv::Mat& mask) {
  for (const cv::Point& p : component.pixels) mask.ptr<uchar>(p.y)[p.x] = 255;
}

}  // namespace startrail_detail
