// Automatic crop of the borders where too few sky frames overlapped: the
// drift between frames leaves strips along the edges that only some frames
// reached, and their noise (or black fill) would show in the blend.
#include "skyblend/skyblend.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kRequiredRatio = 0.6;  // share of the frames a sky pixel needs
constexpr double kLineMinimum = 0.03;   // lines with less sky than 3 % of their length count as good
constexpr int kPadding = 4;             // px, trimmed beyond the last bad line

struct LineCount {
  int sky = 0;
  int bad = 0;
};

// Bad: enough sky to judge, and more than a tenth of it badly covered.
bool badLine(const LineCount& c, int minimum) { return c.sky >= minimum && 10 * c.bad > c.sky; }

LineCount countRow(const cv::Mat& inset, const cv::Mat& map, int y, int minFrames) {
  LineCount c;
  const uchar* sky = inset.ptr<uchar>(y);
  const ushort* frames = map.ptr<ushort>(y);
  for (int x = 0; x < inset.cols; ++x) {
    if (!sky[x]) continue;
    ++c.sky;
    c.bad += frames[x] < minFrames;
  }
  return c;
}

LineCount countColumn(const cv::Mat& inset, const cv::Mat& map, int x, int top, int bottom, int minFrames) {
  LineCount c;
  for (int y = top; y <= bottom; ++y) {
    if (!inset.ptr<uchar>(y)[x]) continue;
    ++c.sky;
    c.bad += map.ptr<ushort>(y)[x] < minFrames;
  }
  return c;
}

// Low and high end of the kept span on one axis after the padding.
std::pair<int, int> padded(int low, int high, int last) {
  const int a = low == 0 ? 0 : std::min(low + kPadding, last);
  int b = high == last ? high : high - kPadding;
  b = std::max(std::min(b, last), a);
  return {a, b};
}

}  // namespace

int NL_coverageCropMinFrames(int frames) {
  return std::max(static_cast<int>(std::ceil(kRequiredRatio * frames)), 2);
}

NLCoverageCrop NL_planCoverageCrop(const cv::Mat& insetMask, const NLSkyCoverage& coverage) {
  NLCoverageCrop crop;
  if (coverage.map.empty() || coverage.frames < 2 || coverage.map.type() != CV_16UC1 || insetMask.empty())
    return crop;
  if (coverage.map.size() != insetMask.size()) {
    crop.offReason = "coverage size mismatch";
    return crop;
  }
  crop.offReason.clear();
  crop.frames = coverage.frames;
  crop.minFrames = NL_coverageCropMinFrames(coverage.frames);
  const int rows = insetMask.rows, cols = insetMask.cols, m = crop.minFrames;
  const int rowMinimum = static_cast<int>(kLineMinimum * cols);
  int t = 0, b = rows - 1;
  while (t < rows - 1 && badLine(countRow(insetMask, coverage.map, t, m), rowMinimum)) ++t;
  while (b > t && badLine(countRow(insetMask, coverage.map, b, m), rowMinimum)) --b;
  const int columnMinimum = static_cast<int>(kLineMinimum * (b - t + 1));
  int l = 0, r = cols - 1;
  while (l < cols - 1 && badLine(countColumn(insetMask, coverage.map, l, t, b, m), columnMinimum)) ++l;
  while (r > l && badLine(countColumn(insetMask, coverage.map, r, t, b, m), columnMinimum)) --r;
  const auto [x0, x1] = padded(l, r, cols - 1);
  const auto [y0, y1] = padded(t, b, rows - 1);
  crop.rect = cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
  crop.left = x0, crop.top = y0, crop.right = cols - 1 - x1, crop.bottom = rows - 1 - y1;
  return crop;
}
