#include "startrail/startrail.h"
#include "startrail/detail/rejection_planes.h"

#include "plumbing/plumbing.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

// Component limits of one mask flavour: how long, large and thin a blob of
// "brighter than the neighbours" pixels must be to count as a trail rather
// than a twinkling star or noise.
struct ShapeLimits {
  double thresholdBase;  // fraction of full scale above the neighbours' median
  int minExtent;         // px
  int minArea;           // px
  double minElongation;  // extent / thickness
};

struct RejectionPreset {
  ShapeLimits registered;
  ShapeLimits fallback;  // unregistered neighbours leave star residue, so stricter
  bool aircraft;
  int aircraftKernel;  // px, dilation that joins the blinking dots of one aircraft
};

RejectionPreset presetFor(const std::string& mode) {
  if (mode == "low") return {{0.14, 34, 36, 3.4}, {0.24, 55, 45, 4.2}, false, 5};
  if (mode == "high") return {{0.055, 16, 12, 2.1}, {0.10, 18, 14, 2.4}, true, 7};
  return {{0.09, 24, 20, 2.7}, {0.16, 32, 26, 3.2}, true, 5};
}

// Median of n <= 8 values (the mean of the middle two for even n); a small
// insertion sort beats a general selection at this size and gives the same value.
double smallMedian(double* v, int n) {
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

// A neighbour as the mask reads it: its luminance plane, either on the
// frame's grid already or with the map from frame pixels to its own.
struct NeighbourView {
  const cv::Mat* plane = nullptr;
  bool onGrid = true;
  cv::Matx33d fromFrame;
};

// Bilinear sample at the neighbour position of frame pixel (x, y). A
// position off the neighbour's pixel grid has no sky of the neighbour to
// show and reads as black, so it does not vote; a thirty-second of a pixel
// (a warp's interpolation step) is still taken as the edge pixel itself.
double sampleAt(const NeighbourView& n, int x, int y) {
  const cv::Mat& p = *n.plane;
  if (n.onGrid) return p.ptr<float>(y)[x];
  const cv::Matx33d& m = n.fromFrame;
  const double w = m(2, 0) * x + m(2, 1) * y + m(2, 2);
  if (std::abs(w) < 1e-12) return 0.0;
  constexpr double kEdge = 1.0 / 32.0;
  double sx = (m(0, 0) * x + m(0, 1) * y + m(0, 2)) / w, sy = (m(1, 0) * x + m(1, 1) * y + m(1, 2)) / w;
  if (!(sx >= -kEdge && sy >= -kEdge && sx <= p.cols - 1 + kEdge && sy <= p.rows - 1 + kEdge)) return 0.0;
  sx = std::clamp(sx, 0.0, double(p.cols - 1));
  sy = std::clamp(sy, 0.0, double(p.rows - 1));
  const int x0 = std::min(int(sx), std::max(p.cols - 2, 0)), y0 = std::min(int(sy), std::max(p.rows - 2, 0));
  const int x1 = std::min(x0 + 1, p.cols - 1), y1 = std::min(y0 + 1, p.rows - 1);
  const double ax = sx - x0, ay = sy - y0;
  const float *r0 = p.ptr<float>(y0), *r1 = p.ptr<float>(y1);
  return (1.0 - ay) * ((1.0 - ax) * r0[x0] + ax * r0[x1]) + ay * ((1.0 - ax) * r1[x0] + ax * r1[x1]);
}

void rawMaskRow(int y, const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, double threshold,
                bool blackVotes, std::vector<double>& samples, uchar* out) {
  const float* f = frame.ptr<float>(y);
  for (int x = 0; x < frame.cols; ++x) {
    // The neighbours vote with values of 0 or more, so only a pixel above the
    // threshold can stand above their median by it: the others are never read.
    if (f[x] <= threshold) continue;
    int votes = 0;
    for (const NeighbourView& n : neighbours) {
      const double v = sampleAt(n, x, y);
      // Pixels the warp leaves black carry no information about the sky there.
      if (blackVotes || v > 0.0) samples[size_t(votes++)] = v;
    }
    if (votes == 0) continue;
    const double median = votes == 4 ? middleOfFour(samples.data()) : smallMedian(samples.data(), votes);
    if (f[x] > median + threshold) out[x] = 255;
  }
}

bool samePlane(const cv::Mat& a, const cv::Mat& b) { return a.size() == b.size() && a.type() == b.type(); }

// The usable neighbours: one on the grid must match the frame's geometry; a
// transform (neighbour onto frame) must be invertible.
std::vector<NeighbourView> viewsOf(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                                   const std::vector<cv::Mat>& toFrame) {
  std::vector<NeighbourView> views;
  for (size_t k = 0; k < neighbours.size(); ++k) {
    NeighbourView v;
    v.plane = &neighbours[k];
    const bool moved = k < toFrame.size() && !toFrame[k].empty();
    if (!moved) {
      if (samePlane(frame, neighbours[k])) views.push_back(v);
      continue;
    }
    cv::Mat inverse;
    if (neighbours[k].type() != CV_32F || cv::invert(toFrame[k], inverse, cv::DECOMP_LU) == 0.0) continue;
    v.onGrid = false;
    v.fromFrame = cv::Matx33d(inverse);
    views.push_back(v);
  }
  return views;
}

// Brightest sample of a neighbour over the frame pixels within one pixel of
// (x, y): a dilation of the neighbour as seen from the frame.
double widenedSampleAt(const NeighbourView& n, const cv::Mat& frame, int x, int y) {
  double best = 0.0;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const int u = x + dx, v = y + dy;
      if (u >= 0 && v >= 0 && u < frame.cols && v < frame.rows) best = std::max(best, sampleAt(n, u, v));
    }
  return best;
}

// Visits every flagged pixel (rows in parallel, each with its own sample
// buffer of sampleCount values) and clears the flag where clear(x, y, own
// value, samples) says so.
template <typename Clear>
void clearFlagsWhere(const cv::Mat& frame, size_t sampleCount, cv::Mat& raw, Clear clear) {
  cv::parallel_for_(cv::Range(0, frame.rows), [&](const cv::Range& rows) {
    std::vector<double> samples(sampleCount);
    for (int y = rows.start; y < rows.end; ++y) {
      uchar* flags = raw.ptr<uchar>(y);
      const float* own = frame.ptr<float>(y);
      for (int x = 0; x < frame.cols; ++x)
        if (flags[x] && clear(x, y, double(own[x]), samples.data())) flags[x] = 0;
    }
  });
}

// Clears the flags of pixels that are no brighter than the median of
// `others` there (black samples do not vote; with no vote the flag stays),
// each neighbour read at the pixel itself or, widened, at its brightest
// within one pixel.
void clearFlagsExplainedBy(const cv::Mat& frame, const std::vector<NeighbourView>& others, double threshold,
                           bool widened, cv::Mat& raw) {
  if (others.empty()) return;
  clearFlagsWhere(frame, others.size(), raw, [&](int x, int y, double own, double* samples) {
    int votes = 0;
    for (const NeighbourView& n : others) {
      const double v = widened ? widenedSampleAt(n, frame, x, y) : sampleAt(n, x, y);
      if (v > 0.0) samples[votes++] = v;
    }
    return votes > 0 && own <= smallMedian(samples, votes) + threshold;
  });
}

// The flags judged against the fixed landscape as well. A flagged pixel the
// unmoved neighbours explain (ground, a ground light, the horizon that the
// sky's motion moved in the others) is cleared. Then the moved neighbours
// vote again without the samples far darker than the unmoved neighbours' sky
// there: those show moved ground, not sky, and would make a star just above
// the horizon look new. With no vote left the flag is cleared: nothing there
// says the light is not the star it looks like.
void judgeFlagsAgainstTheLandscape(const cv::Mat& frame, const std::vector<NeighbourView>& moved,
                                   const std::vector<NeighbourView>& unmoved, double threshold, cv::Mat& raw) {
  if (unmoved.empty()) return;
  clearFlagsWhere(frame, std::max(moved.size(), unmoved.size()), raw, [&](int x, int y, double own, double* samples) {
    int votes = 0;
    for (const NeighbourView& n : unmoved) samples[votes++] = sampleAt(n, x, y);
    const double still = smallMedian(samples, votes);
    if (own <= still + threshold) return true;
    votes = 0;
    for (const NeighbourView& n : moved) {
      const double v = sampleAt(n, x, y);
      if (v > 0.0 && v >= still - threshold) samples[votes++] = v;
    }
    return votes == 0 || own <= smallMedian(samples, votes) + threshold;
  });
}

// frame and neighbours are luminance planes (CV_32F).
cv::Mat rawOutlierMask(const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, double threshold,
                       bool blackVotes) {
  cv::Mat raw = cv::Mat::zeros(frame.size(), CV_8U);
  cv::parallel_for_(cv::Range(0, frame.rows), [&](const cv::Range& rows) {
    std::vector<double> samples(neighbours.size());
    for (int y = rows.start; y < rows.end; ++y)
      rawMaskRow(y, frame, neighbours, threshold, blackVotes, samples, raw.ptr<uchar>(y));
  });
  return raw;
}

double thresholdFor(double fullScale, double pct, double base) {
  return std::clamp(pct / 100.0, 0.5, 2.2) * fullScale * base;
}

using startrail_detail::FlagComponent;

bool trailShaped(const FlagComponent& c, const ShapeLimits& lim, int halfAreaLimit) {
  const int w = c.box.width, h = c.box.height, area = int(c.pixels.size());
  const int extent = std::max(w, h), thickness = std::max(std::min(w, h), 1);
  if (area < halfAreaLimit) return false;
  if (extent >= 2 * lim.minExtent) return true;
  return area >= lim.minArea && extent >= lim.minExtent && double(extent) / thickness >= lim.minElongation;
}

cv::Mat shapeFilter(const cv::Mat& raw, const ShapeLimits& lim, int halfAreaLimit) {
  cv::Mat clean = cv::Mat::zeros(raw.size(), CV_8U);
  for (const FlagComponent& c : startrail_detail::flagComponents(raw))
    if (trailShaped(c, lim, halfAreaLimit)) startrail_detail::paintComponent(c, clean);
  return clean;
}

// A bright star's rim comes out sharper in the frame than in its resampled
// neighbours and so exceeds their median there, but it rings a core at least
// as bright that the neighbours share (unflagged). An aircraft light is new
// on the sky: everything around it is darker. True for such a rim piece.
// The piece's pixels are flagged in raw, so a pixel next to it that raw does
// not flag lies outside it: that is its ring.
bool rimOfSharedStar(const cv::Mat& frame, const cv::Mat& raw, const FlagComponent& c) {
  double inside = -1.0, ring = -1.0;
  for (const cv::Point& p : c.pixels) {
    inside = std::max(inside, double(frame.ptr<float>(p.y)[p.x]));
    for (int y = std::max(p.y - 1, 0); y <= std::min(p.y + 1, frame.rows - 1); ++y)
      for (int x = std::max(p.x - 1, 0); x <= std::min(p.x + 1, frame.cols - 1); ++x)
        if (!raw.ptr<uchar>(y)[x]) ring = std::max(ring, double(frame.ptr<float>(y)[x]));
  }
  return ring >= inside;
}

// One straight-line search: a Hough transform over the dilated raw mask, and
// the flagged pieces under the found lines, drawn thick, taken back.
struct LineSearch {
  int kernel;        // px, dilation that joins the pieces of one line
  int votes;
  double minLength;  // px
  double maxGap;     // px
};

void addPiecesOnLines(const cv::Mat& frame, const cv::Mat& raw, const LineSearch& search, int grow, cv::Mat& clean) {
  cv::Mat lineMask;
  const int k = search.kernel;
  cv::dilate(raw, lineMask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(k, k)));
  std::vector<cv::Vec4i> lines;
  cv::HoughLinesP(lineMask, lines, 1.0, CV_PI / 180.0, search.votes, search.minLength, search.maxGap);
  if (lines.empty()) return;
  cv::Mat drawing = cv::Mat::zeros(raw.size(), CV_8U);
  bool drawn = false;
  for (const cv::Vec4i& l : lines) {
    if (std::hypot(double(l[2] - l[0]), double(l[3] - l[1])) < search.minLength) continue;
    cv::line(drawing, {l[0], l[1]}, {l[2], l[3]}, cv::Scalar(255), 2 * grow + 5, cv::LINE_AA);
    drawn = true;
  }
  if (!drawn) return;
  cv::bitwise_and(drawing, raw, drawing);  // the flagged pieces on the lines
  for (const FlagComponent& c : startrail_detail::flagComponents(drawing))
    if (c.pixels.size() >= 2 && !rimOfSharedStar(frame, raw, c)) startrail_detail::paintComponent(c, clean);
}

// Aircraft lights blink: a line of separate dots too small for the shape
// filter. A Hough line through the dilated dots brings them back.
void addAircraftDots(const cv::Mat& frame, const cv::Mat& raw, const RejectionPreset& preset, bool high, int grow,
                     double sensitivity, cv::Mat& clean) {
  const double a = std::clamp(sensitivity / 100.0, 0.0, 1.0);
  const LineSearch search{preset.aircraftKernel, int(std::round(high ? 13.0 - 6.0 * a : 20.0 - 8.0 * a)),
                          high ? 70.0 - 30.0 * a : 115.0 - 45.0 * a, high ? 55.0 + 60.0 * a : 65.0 + 70.0 * a};
  addPiecesOnLines(frame, raw, search, grow, clean);
}

// Without registration the stars of the neighbours sit a few pixels off, so
// every star leaves a residue; but residues are short and scattered, while a
// satellite or an aircraft is straight, long and absent from the neighbours.
// Long straight lines of the lower, registered-level mask are therefore
// taken even when the stricter fallback level misses a faint streak.
void addLongStreaks(const cv::Mat& frame, const cv::Mat& neighbourMedianRaw, int grow, cv::Mat& clean) {
  const double shorter = std::min(frame.cols, frame.rows);
  const LineSearch search{5, 40, std::max(80.0, 0.12 * shorter), 40.0};
  addPiecesOnLines(frame, neighbourMedianRaw, search, grow, clean);
}

void grow(cv::Mat& clean, int g) {
  if (g <= 0 || cv::countNonZero(clean) == 0) return;
  cv::dilate(clean, clean, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * g + 1, 2 * g + 1)));
}

}  // namespace

namespace startrail_detail {

cv::Mat luminancePlane(const cv::Mat& image) {
  cv::Mat plane(image.size(), CV_32F);
  std::vector<double> row(size_t(image.cols));
  for (int y = 0; y < image.rows; ++y) {
    NL_luminanceRow(image, y, row.data());
    float* out = plane.ptr<float>(y);
    for (int x = 0; x < image.cols; ++x) out[x] = float(row[size_t(x)]);
  }
  return plane;
}

double fullScaleOf(const cv::Mat& image) { return image.depth() == CV_16U ? 65535.0 : 255.0; }

cv::Mat registeredOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                              const std::vector<cv::Mat>& toFrame, double fullScale, const std::string& rejectionMode,
                              int maskGrowPx, double rejectionThresholdPct, double aircraftSensitivity,
                              const std::vector<cv::Mat>& unmoved) {
  if (neighbours.empty()) return cv::Mat();
  const RejectionPreset preset = presetFor(rejectionMode);
  const double threshold = thresholdFor(fullScale, rejectionThresholdPct, preset.registered.thresholdBase);
  const std::vector<NeighbourView> views = viewsOf(frame, neighbours, toFrame);
  cv::Mat raw = rawOutlierMask(frame, views, threshold, false);
  if (cv::countNonZero(raw) == 0) return cv::Mat();
  // Moving a neighbour by the sky's motion moves its landscape too: along the
  // horizon its dark ground lands on this frame's sky, and a light on the
  // ground moves off its place, so both look new against the sky. Neither is
  // new against the unmoved frames of a fixed camera; a satellite or an
  // aircraft is new against both.
  judgeFlagsAgainstTheLandscape(frame, views, viewsOf(frame, unmoved, {}), threshold, raw);
  if (cv::countNonZero(raw) == 0) return cv::Mat();
  cv::Mat clean = shapeFilter(raw, preset.registered, preset.registered.minArea / 2);
  if (preset.aircraft && aircraftSensitivity > 0.0) {
    // A neighbour's stars come out of the interpolation a little lower and
    // wider than this frame's own, so a small bright star can be flagged
    // whole, and a line through two such dots looks like an aircraft's
    // lights. Dots that the neighbours' brightest pixel within one pixel
    // explains are stars; blinking lights over empty sky are not explained.
    // (the shape filter is done with raw, so the dots are cleared out of it in place)
    clearFlagsExplainedBy(frame, views, threshold, true, raw);
    addAircraftDots(frame, raw, preset, rejectionMode == "high", maskGrowPx, aircraftSensitivity, clean);
  }
  grow(clean, maskGrowPx);
  return clean;
}

cv::Mat fallbackOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                            const std::vector<cv::Mat>& toFrame, double fullScale, const std::string& rejectionMode,
                            int maskGrowPx, double rejectionThresholdPct) {
  if (neighbours.empty()) return cv::Mat();
  const RejectionPreset preset = presetFor(rejectionMode);
  const double threshold = thresholdFor(fullScale, rejectionThresholdPct, preset.fallback.thresholdBase);
  const std::vector<NeighbourView> views = viewsOf(frame, neighbours, toFrame);
  const cv::Mat raw = rawOutlierMask(frame, views, threshold, true);
  cv::Mat clean = shapeFilter(raw, preset.fallback, std::max(preset.fallback.minArea / 2, 8));
  const double lineThreshold = thresholdFor(fullScale, rejectionThresholdPct, preset.registered.thresholdBase);
  addLongStreaks(frame, rawOutlierMask(frame, views, lineThreshold, true), maskGrowPx, clean);
  grow(clean, maskGrowPx);
  return clean;
}

}  // namespace startrail_detail

namespace {

// The frame's and its compatible neighbours' luminance planes.
struct Planes {
  cv::Mat frame;
  std::vector<cv::Mat> neighbours;
};

std::vector<cv::Mat> compatiblePlanes(const cv::Mat& frame, const std::vector<cv::Mat>& images) {
  std::vector<cv::Mat> planes;
  for (const cv::Mat& n : images)
    if (NL_isImageCompatibleForStarTrail(frame, n)) planes.push_back(startrail_detail::luminancePlane(n));
  return planes;
}

Planes planesOf(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours) {
  return {startrail_detail::luminancePlane(frame), compatiblePlanes(frame, neighbours)};
}

}  // namespace

cv::Mat NL_starTrailBuildRegisteredOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                                               const std::string& rejectionMode, int maskGrowPx,
                                               double rejectionThresholdPct, double aircraftSensitivity,
                                               const std::vector<cv::Mat>& unmovedNeighbours) {
  if (neighbours.empty()) return cv::Mat();
  const Planes p = planesOf(frame, neighbours);
  return startrail_detail::registeredOutlierMask(p.frame, p.neighbours, {}, startrail_detail::fullScaleOf(frame),
                                                 rejectionMode, maskGrowPx, rejectionThresholdPct,
                                                 aircraftSensitivity, compatiblePlanes(frame, unmovedNeighbours));
}

cv::Mat NL_starTrailBuildOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                                     const std::string& rejectionMode, int maskGrowPx,
                                     double rejectionThresholdPct) {
  if (neighbours.empty()) return cv::Mat();
  const Planes p = planesOf(frame, neighbours);
  return startrail_detail::fallbackOutlierMask(p.frame, p.neighbours, {}, startrail_detail::fullScaleOf(frame),
                                               rejectionMode, maskGrowPx, rejectionThresholdPct);
}
