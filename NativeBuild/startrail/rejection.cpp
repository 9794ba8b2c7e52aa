#include "startrail/startrail.h"
#include "startrail/detail/rejection_planes.h"
#include "startrail/detail/neighbour_views.h"
#include "startrail/detail/line_search.h"

#include "plumbing/plumbing.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {

using startrail_detail::FlagLevels;
using startrail_detail::NeighbourView;
using startrail_detail::sampleAt;
using startrail_detail::smallMedian;

// A row worker's buffers: the neighbours as read along the row, the columns
// of one tile's span above its gate, the samples of one pixel.
struct RowScratch {
  explicit RowScratch(size_t neighbours) : above(FlagLevels::kTile), samples(neighbours) {}
  std::vector<startrail_detail::NeighbourRow> rows;
  std::vector<int> above;
  std::vector<double> samples;
};

// Component limits of one mask flavour: how long, large and thin a blob of
// "brighter than the neighbours" pixels must be to count as a trail rather
// than a twinkling star or noise.
struct ShapeLimits {
  double thresholdBase;  // fraction of full scale above the neighbours' median
  int minExtent;         // px
  int minArea;           // px
  double minElongation;  // extent / thickness
};

// The flags referenced to the sky's noise, and the streaks among them:
// noise, twinkling and the residue of registered stars leave short, roundish
// groups; a satellite, an aircraft's line or a meteor is long and thin.
struct NoiseLimits {
  double k;              // times the tile's scatter of frame minus median
  double starShare;      // of the median's height above the tile's sky, added to the level
  double minLength;      // px along the group's major axis
  double minElongation;  // length over width, from the group's second moments
};

struct RejectionPreset {
  ShapeLimits registered;
  ShapeLimits fallback;  // unregistered neighbours leave star residue, so stricter
  bool aircraft;
  int aircraftKernel;  // px, dilation that joins the blinking dots of one aircraft
  NoiseLimits noise;
};

RejectionPreset presetFor(const std::string& mode) {
  if (mode == "low") return {{0.14, 34, 36, 3.4}, {0.24, 55, 45, 4.2}, false, 5, {7.0, 0.6, 68.0, 6.0}};
  if (mode == "high") return {{0.055, 16, 12, 2.1}, {0.10, 18, 14, 2.4}, true, 7, {4.0, 0.4, 32.0, 4.0}};
  return {{0.09, 24, 20, 2.7}, {0.16, 32, 26, 3.2}, true, 5, {5.0, 0.5, 48.0, 5.0}};
}

// An 8-bit frame's steps are whole units, so its scatter is never taken as less than one step.
constexpr double kMinimumNoise = 0.75;

// The flags of one row at the fixed threshold and at the levels
// (noise; a superset, since no level exceeds the threshold), written over
// the rows' old bytes: each row is cleared here, while it is in cache, not in
// a pass of its own over the mask. True when a flag was set (in noise, when
// asked for).
bool rawMaskRow(int y, const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, const FlagLevels& levels,
                bool blackVotes, RowScratch& scratch, uchar* atThreshold, uchar* noise) {
  std::fill(atThreshold, atThreshold + frame.cols, uchar(0));
  if (noise) std::fill(noise, noise + frame.cols, uchar(0));
  bool flagged = false;
  const float* f = frame.ptr<float>(y);
  const double threshold = levels.threshold();
  startrail_detail::neighbourRows(neighbours, y, scratch.rows);
  const bool fourNeighbours = scratch.rows.size() == 4;
  // one gate per tile: the row is read in the tiles' spans
  for (int start = 0; start < frame.cols; start += FlagLevels::kTile) {
    const int end = std::min(start + FlagLevels::kTile, frame.cols);
    const float gate = levels.gate(start, y);
    // The neighbours vote with values of 0 or more, so only a pixel above the
    // gate can stand above their median by its level: the others are never
    // read. The span's pixels above it are listed first.
    const int count = startrail_detail::columnsAbove(f, start, end, gate, scratch.above.data());
    for (int i = 0; i < count; ++i) {
      const int x = scratch.above[size_t(i)];
      double median = 0.0, floor = 0.0;
      if (fourNeighbours &&
          startrail_detail::lowestMedianOfFour(scratch.rows, x, blackVotes, scratch.samples.data(), floor)) {
        // Most pixels above the gate are stars the neighbours show as well:
        // no median the fourth could make flags them, and its sample is not
        // taken. Median plus level never falls as the median rises, and no
        // level exceeds the threshold.
        if (f[x] <= floor + levels.level(x, y, floor)) continue;
        median = startrail_detail::medianWithFourth(scratch.rows, x, blackVotes, scratch.samples.data());
      } else if (!startrail_detail::neighbourMedian(scratch.rows, x, blackVotes, scratch.samples.data(), median,
                                                    true)) {
        continue;
      }
      const bool above = f[x] > median + threshold;
      if (above) atThreshold[x] = 255;
      if (noise && f[x] > median + levels.level(x, y, median)) noise[x] = 255, flagged = true;
      if (!noise && above) flagged = true;
    }
  }
  return flagged;
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
      for (int x = NL_nextSetByte(flags, 0, frame.cols); x < frame.cols; x = NL_nextSetByte(flags, x + 1, frame.cols))
        if (clear(x, y, double(own[x]), samples.data())) flags[x] = 0;
    }
  });
}

// Clears the flags of pixels that are no brighter than the median of
// `others` there (black samples do not vote; with no vote the flag stays),
// each neighbour read at the pixel itself or, widened, at its brightest
// within one pixel.
void clearFlagsExplainedBy(const cv::Mat& frame, const std::vector<NeighbourView>& others, const FlagLevels& levels,
                           bool widened, cv::Mat& raw) {
  if (others.empty()) return;
  clearFlagsWhere(frame, others.size(), raw, [&](int x, int y, double own, double* samples) {
    int votes = 0;
    for (const NeighbourView& n : others) {
      const double v = widened ? widenedSampleAt(n, frame, x, y) : sampleAt(n, x, y);
      if (v > 0.0) samples[votes++] = v;
    }
    if (votes == 0) return false;
    const double median = smallMedian(samples, votes);
    return own <= median + levels.level(x, y, median);
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
                                   const std::vector<NeighbourView>& unmoved, const FlagLevels& levels, cv::Mat& raw) {
  if (unmoved.empty()) return;
  clearFlagsWhere(frame, std::max(moved.size(), unmoved.size()), raw, [&](int x, int y, double own, double* samples) {
    int votes = 0;
    for (const NeighbourView& n : unmoved) samples[votes++] = sampleAt(n, x, y);
    const double still = smallMedian(samples, votes);
    const double threshold = levels.level(x, y, still);
    if (own <= still + threshold) return true;
    votes = 0;
    for (const NeighbourView& n : moved) {
      const double v = sampleAt(n, x, y);
      if (v > 0.0 && v >= still - threshold) samples[votes++] = v;
    }
    if (votes == 0) return true;
    const double median = smallMedian(samples, votes);
    return own <= median + levels.level(x, y, median);
  });
}

// The flags at the fixed threshold and, when noise is asked for, at the levels.
struct RawFlags {
  cv::Mat atThreshold, noise;
  bool any = false;  // a flag set in noise (in atThreshold when noise is not asked for)
};

// Frame-sized 8-bit working masks of one rejection, kept by a worker thread
// for its next frame: made afresh, each would be faulted in by the system
// page by page again, every frame. A mask still held elsewhere (its
// reference count above the slot's own) is never handed out again. Only the
// job's own workers keep them, so the masks go when the job ends; any other
// caller's thread (the host's, which lives on) gets masks of its own call.
class ScratchMasks {
 public:
  enum Slot { kAtThreshold, kNoise, kCandidates, kStreaks, kPieces, kLines, kSlots };
  cv::Mat zeros(Slot slot, cv::Size size) {
    cv::Mat m = unset(slot, size);
    m.setTo(0);
    return m;
  }
  // For a mask that its maker writes whole (a dilation's output, the raw flags).
  cv::Mat unset(Slot slot, cv::Size size) {
    cv::Mat& m = slots_[slot];
    if (m.empty() || m.size() != size || m.type() != CV_8U || m.u->refcount != 1) m = cv::Mat(size, CV_8U);
    return m;
  }
  // The line search's vote table and point list, kept alike.
  startrail_detail::LineSearchScratch& lineSearch() { return lineSearch_; }

 private:
  cv::Mat slots_[kSlots];
  startrail_detail::LineSearchScratch lineSearch_;
};

ScratchMasks& threadScratchMasks() {
  thread_local ScratchMasks masks;
  return masks;
}

// frame and neighbours are luminance planes (CV_32F); raw holds 8-bit
// masks of the frame's size, whatever their bytes (noise may be empty: not
// asked for).
RawFlags rawOutlierMasks(const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, const FlagLevels& levels,
                         bool blackVotes, RawFlags raw) {
  const bool withNoise = !raw.noise.empty();
  std::atomic<bool> any{false};
  cv::parallel_for_(cv::Range(0, frame.rows), [&](const cv::Range& rows) {
    RowScratch scratch(neighbours.size());
    bool flagged = false;
    for (int y = rows.start; y < rows.end; ++y)
      flagged |= rawMaskRow(y, frame, neighbours, levels, blackVotes, scratch, raw.atThreshold.ptr<uchar>(y),
                            withNoise ? raw.noise.ptr<uchar>(y) : nullptr);
    if (flagged) any.store(true);
  });
  raw.any = any.load();
  return raw;
}

cv::Mat rawOutlierMask(const cv::Mat& frame, const std::vector<NeighbourView>& neighbours, double threshold,
                       bool blackVotes) {
  return rawOutlierMasks(frame, neighbours, FlagLevels(threshold), blackVotes,
                         RawFlags{cv::Mat(frame.size(), CV_8U), cv::Mat()})
      .atThreshold;
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

// Length and width of a group along its principal axes (a line of length L
// and width w has variances L^2 / 12 and w^2 / 12 along them).
bool streakShaped(const FlagComponent& c, const NoiseLimits& lim) {
  if (double(std::max(c.box.width, c.box.height)) < lim.minLength / 1.5) return false;  // too short whatever its angle
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  for (const cv::Point& p : c.pixels) {
    sx += p.x, sy += p.y, sxx += double(p.x) * p.x, syy += double(p.y) * p.y, sxy += double(p.x) * p.y;
  }
  const double n = double(c.pixels.size());
  const double vx = sxx / n - (sx / n) * (sx / n), vy = syy / n - (sy / n) * (sy / n);
  const double cxy = sxy / n - (sx / n) * (sy / n);
  const double spread = std::sqrt(0.25 * (vx - vy) * (vx - vy) + cxy * cxy);
  const double major = 0.5 * (vx + vy) + spread, minor = std::max(0.5 * (vx + vy) - spread, 0.0);
  const double length = std::sqrt(12.0 * major), width = std::max(std::sqrt(12.0 * minor), 1.0);
  return length >= lim.minLength && length / width >= lim.minElongation;
}

void addStreaks(const cv::Mat& noiseRaw, const NoiseLimits& lim, cv::Mat& clean) {
  for (const FlagComponent& c : startrail_detail::flagComponents(noiseRaw))
    if (streakShaped(c, lim)) startrail_detail::paintComponent(c, clean);
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

// A piece of a line rather than a star's residue: longer than wide.
bool lineLike(const FlagComponent& c) {
  const startrail_detail::PixelLine l = startrail_detail::lineOf(c.pixels);
  return 2.0 * l.halfLength >= 6.0 && 2.0 * l.halfLength >= 2.5 * l.width;
}

// A piece touching what is already taken: the faint rim of a strobe or of a streak.
bool touches(const FlagComponent& c, const cv::Mat& taken) {
  for (const cv::Point& p : c.pixels)
    for (int y = std::max(p.y - 1, 0); y <= std::min(p.y + 1, taken.rows - 1); ++y)
      for (int x = std::max(p.x - 1, 0); x <= std::min(p.x + 1, taken.cols - 1); ++x)
        if (taken.ptr<uchar>(y)[x]) return true;
  return false;
}

// The pieces of `flags` set in `pieces` (2 px or more, no star's rim) into
// clean; with `taken` given, only those longer than wide or touching it.
void addPieces(const cv::Mat& frame, const cv::Mat& flags, const cv::Mat& pieces, cv::Mat& clean,
               const cv::Mat& taken = cv::Mat()) {
  for (const FlagComponent& c : startrail_detail::flagComponents(pieces))
    if (c.pixels.size() >= 2 && !rimOfSharedStar(frame, flags, c) &&
        (taken.empty() || lineLike(c) || touches(c, taken)))
      startrail_detail::paintComponent(c, clean);
}

// Returns the found lines drawn at their width (empty when none was found).
// The dilated mask is written whole into lineMask (a kept mask of the
// frame's size, or empty to be made), which the line search then uses up.
cv::Mat addPiecesOnLines(const cv::Mat& frame, const cv::Mat& raw, const LineSearch& search, int grow, cv::Mat& clean,
                         startrail_detail::LineSearchScratch& searchScratch, cv::Mat lineMask = cv::Mat()) {
  const int k = search.kernel;
  cv::dilate(raw, lineMask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(k, k)));
  const std::vector<cv::Vec4i> lines =
      startrail_detail::probabilisticLines(lineMask, search.votes, search.minLength, search.maxGap, searchScratch);
  if (lines.empty()) return cv::Mat();
  cv::Mat drawing = cv::Mat::zeros(raw.size(), CV_8U);
  bool drawn = false;
  for (const cv::Vec4i& l : lines) {
    if (std::hypot(double(l[2] - l[0]), double(l[3] - l[1])) < search.minLength) continue;
    cv::line(drawing, {l[0], l[1]}, {l[2], l[3]}, cv::Scalar(255), 2 * grow + 5, cv::LINE_AA);
    drawn = true;
  }
  if (!drawn) return cv::Mat();
  cv::Mat pieces;
  cv::bitwise_and(drawing, raw, pieces);  // the flagged pieces on the lines
  addPieces(frame, raw, pieces, clean);
  return drawing;
}

// Aircraft lights blink: a line of separate dots too small for the shape
// filter. A Hough line through the dilated dots brings them back.
cv::Mat addAircraftDots(const cv::Mat& frame, const cv::Mat& raw, const RejectionPreset& preset, bool high, int grow,
                        double sensitivity, cv::Mat& clean, const cv::Mat& lineMask,
                        startrail_detail::LineSearchScratch& searchScratch) {
  const double a = std::clamp(sensitivity / 100.0, 0.0, 1.0);
  const LineSearch search{preset.aircraftKernel, int(std::round(high ? 13.0 - 6.0 * a : 20.0 - 8.0 * a)),
                          high ? 70.0 - 30.0 * a : 115.0 - 45.0 * a, high ? 55.0 + 60.0 * a : 65.0 + 70.0 * a};
  return addPiecesOnLines(frame, raw, search, grow, clean, searchScratch, lineMask);
}

// Without registration the stars of the neighbours sit a few pixels off, so
// every star leaves a residue; but residues are short and scattered, while a
// satellite or an aircraft is straight, long and absent from the neighbours.
// Long straight lines of the lower, registered-level mask are therefore
// taken even when the stricter fallback level misses a faint streak.
void addLongStreaks(const cv::Mat& frame, const cv::Mat& neighbourMedianRaw, int grow, cv::Mat& clean) {
  const double shorter = std::min(frame.cols, frame.rows);
  const LineSearch search{5, 40, std::max(80.0, 0.12 * shorter), 40.0};
  startrail_detail::LineSearchScratch searchScratch;
  addPiecesOnLines(frame, neighbourMedianRaw, search, grow, clean, searchScratch);
}

// lines & flags & ~taken, one row pass into one image: the masks are
// frame-sized, and each whole-image operation would make and fill another.
cv::Mat onLinesNotTaken(const cv::Mat& lines, const cv::Mat& flags, const cv::Mat& taken) {
  CV_Assert(lines.type() == CV_8U && flags.type() == CV_8U && taken.type() == CV_8U);
  CV_Assert(lines.size() == flags.size() && lines.size() == taken.size());
  cv::Mat out(lines.size(), CV_8U);
  for (int y = 0; y < out.rows; ++y) {
    const uchar *l = lines.ptr<uchar>(y), *f = flags.ptr<uchar>(y), *t = taken.ptr<uchar>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < out.cols; ++x) o[x] = uchar(l[x] & f[x] & ~t[x]);
  }
  return out;
}

void grow(cv::Mat& clean, int g) {
  if (g <= 0 || cv::countNonZero(clean) == 0) return;
  cv::dilate(clean, clean, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * g + 1, 2 * g + 1)));
}

}  // namespace

namespace startrail_detail {

// Lists the columns x in [start, end) with f[x] > gate into `above`, in
// order, and returns their count. Most of a night's pixels are dark sky
// below the gate, so eight are tested at once and passed over together.
int columnsAbove(const float* f, int start, int end, float gate, int* above) {
  int count = 0, x = start;
#if CV_SIMD128
  const cv::v_float32x4 g = cv::v_setall_f32(gate);
  for (; x + 8 <= end; x += 8)
    if (cv::v_check_any((cv::v_load(f + x) > g) | (cv::v_load(f + x + 4) > g)))
      for (int i = x; i < x + 8; ++i) {
        above[count] = i;
        count += f[i] > gate ? 1 : 0;
      }
#endif
  for (; x < end; ++x) {
    above[count] = x;
    count += f[x] > gate ? 1 : 0;
  }
  return count;
}

namespace {

// The plumbing's luminance, each value rounded to float as it is stored.
template <typename T>
void luminanceRows(const cv::Mat& image, cv::Mat& plane) {
  const int cn = image.channels();
  for (int y = 0; y < image.rows; ++y) {
    const T* p = image.ptr<T>(y);
    float* out = plane.ptr<float>(y);
    if (cn == 1) {
      for (int x = 0; x < image.cols; ++x) out[x] = float(p[x]);
      continue;
    }
    for (int x = 0; x < image.cols; ++x, p += cn) out[x] = float(NL_luminance(p[0], p[1], p[2]));
  }
}

}  // namespace

void luminancePlaneInto(const cv::Mat& image, cv::Mat& plane) {
  plane.create(image.size(), CV_32F);
  const int cn = image.channels();
  const bool supported = (image.depth() == CV_8U || image.depth() == CV_16U) && (cn == 1 || cn == 3 || cn == 4);
  if (!supported) plane.setTo(0.0f);
  else if (image.depth() == CV_16U) luminanceRows<ushort>(image, plane);
  else luminanceRows<uchar>(image, plane);
}

cv::Mat luminancePlane(const cv::Mat& image) {
  cv::Mat plane;
  luminancePlaneInto(image, plane);
  return plane;
}

double fullScaleOf(const cv::Mat& image) { return image.depth() == CV_16U ? 65535.0 : 255.0; }

cv::Mat registeredOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                              const std::vector<cv::Mat>& toFrame, double fullScale, const std::string& rejectionMode,
                              int maskGrowPx, double rejectionThresholdPct, double aircraftSensitivity,
                              const std::vector<cv::Mat>& unmoved, const StreakRequest& request) {
  if (neighbours.empty()) return cv::Mat();
  const RejectionPreset preset = presetFor(rejectionMode);
  const double threshold = thresholdFor(fullScale, rejectionThresholdPct, preset.registered.thresholdBase);
  const std::vector<NeighbourView> views = viewsOf(frame, neighbours, toFrame);
  const FlagLevels fixed(threshold);
  const NoiseLimits& nl = preset.noise;
  const FlagLevels levels(frame, views, threshold, nl.k, nl.starShare, kMinimumNoise);
  ScratchMasks ownMasks;
  ScratchMasks& scratch = request.keepMasks ? threadScratchMasks() : ownMasks;
  RawFlags raw = rawOutlierMasks(
      frame, views, levels, false,
      RawFlags{scratch.unset(ScratchMasks::kAtThreshold, frame.size()), scratch.unset(ScratchMasks::kNoise, frame.size())});
  if (!raw.any) return cv::Mat();  // the noise flags hold the threshold's
  // Moving a neighbour by the sky's motion moves its landscape too: along the
  // horizon its dark ground lands on this frame's sky, and a light on the
  // ground moves off its place, so both look new against the sky. Neither is
  // new against the unmoved frames of a fixed camera; a satellite or an
  // aircraft is new against both.
  const std::vector<NeighbourView> still = viewsOf(frame, unmoved, {});
  judgeFlagsAgainstTheLandscape(frame, views, still, fixed, raw.atThreshold);
  const bool thresholdFlags = cv::countNonZero(raw.atThreshold) > 0;
  cv::Mat clean = shapeFilter(raw.atThreshold, preset.registered, preset.registered.minArea / 2);
  // Most noise flags are star residue that no streak holds; only the
  // streaks are judged against the landscape, and what is left of them must
  // still be a streak.
  cv::Mat candidates = scratch.zeros(ScratchMasks::kCandidates, frame.size());
  cv::Mat streaks = scratch.zeros(ScratchMasks::kStreaks, frame.size());
  addStreaks(raw.noise, nl, candidates);
  judgeFlagsAgainstTheLandscape(frame, views, still, levels, candidates);
  addStreaks(candidates, nl, streaks);
  clean |= streaks;
  cv::Mat lines;
  if (preset.aircraft && aircraftSensitivity > 0.0) {
    // A neighbour's stars come out of the interpolation a little lower and
    // wider than this frame's own, so a small bright star can be flagged
    // whole, and a line through two such dots looks like an aircraft's
    // lights. Dots that the neighbours' brightest pixel within one pixel
    // explains are stars; blinking lights over empty sky are not explained.
    // (the shape filter is done with raw, so the dots are cleared out of it in place)
    clearFlagsExplainedBy(frame, views, fixed, true, raw.atThreshold);
    lines = addAircraftDots(frame, raw.atThreshold, preset, rejectionMode == "high", maskGrowPx, aircraftSensitivity,
                            clean, scratch.unset(ScratchMasks::kLines, frame.size()), scratch.lineSearch());
  }
  // The whole streak: between an aircraft's strobes its navigation lights
  // leave a faint line, and a streak's faint ends and the pieces a star
  // broke off lie on its line; the noise-referenced flags hold them.
  const cv::Mat along = startrail_detail::linesAlongStreaks(streaks, maskGrowPx);
  if (!along.empty()) lines = lines.empty() ? along : (lines | along);
  if (!lines.empty()) {
    // the noise-level flags hold star residue too, in round groups, while a
    // streak's piece is drawn out along it: only such pieces are judged
    cv::Mat pieces = scratch.zeros(ScratchMasks::kPieces, frame.size());
    addPieces(frame, raw.noise, onLinesNotTaken(lines, raw.noise, clean), pieces, clean);
    judgeFlagsAgainstTheLandscape(frame, views, still, levels, pieces);
    clearFlagsExplainedBy(frame, views, levels, true, pieces);
    addPieces(frame, raw.noise, pieces, clean);
  }
  // Without a flag at the fixed threshold and without a streak at the noise
  // levels nothing stands out (the fallback may then look again).
  if (!thresholdFlags && cv::countNonZero(clean) == 0) return cv::Mat();
  if (!request.streaks && !request.keepMeteors) {
    grow(clean, maskGrowPx);
    return clean;
  }
  std::vector<startrail_detail::FrameStreak> found = startrail_detail::findStreaks(frame, clean, levels);
  std::vector<startrail_detail::FrameStreak> meteors, others;
  for (const auto& s : found)
    (request.keepMeteors && s.kind == NLStarTrailStreakClass::meteor ? meteors : others).push_back(s);
  if (!meteors.empty()) clean.setTo(0, startrail_detail::streakArea(meteors, clean.size(), 0));
  grow(clean, maskGrowPx);
  if (!meteors.empty()) {
    // the meteor's glow around its flagged core stays with it; where a
    // satellite crosses it, the satellite's core still goes
    clean.setTo(0, startrail_detail::streakArea(meteors, clean.size(), maskGrowPx + 1));
    for (const auto& s : others)
      for (const cv::Point& p : s.pixels)
        if (startrail_detail::onCore(s, p)) clean.ptr<uchar>(p.y)[p.x] = 255;
  }
  if (request.streaks) *request.streaks = std::move(found);
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
