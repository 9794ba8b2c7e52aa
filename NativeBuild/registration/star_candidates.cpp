#include "registration/registration.h"

#include "plumbing/plumbing.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kBackgroundSigma = 12.0;  // px: far wider than a star, so only sky gradients survive
constexpr int kMaxBlobArea = 120;          // larger blobs are clouds, glows and foreground lights
constexpr int kMinLevel = 18;
constexpr int kMaxLevel = 180;
constexpr int kGridCells = 5;
constexpr int kCellCapacity = 180;

int greyCode(const cv::Mat& image) {
  return image.channels() == 4 ? cv::COLOR_BGRA2GRAY : image.channels() == 3 ? cv::COLOR_BGR2GRAY : -1;
}

cv::Mat greyOf(const cv::Mat& image) {
  const int code = greyCode(image);
  if (code < 0) return image;
  cv::Mat grey;
  cv::cvtColor(image, grey, code);
  return grey;
}

bool isFlat(const cv::Mat& image) {
  double lo = 0.0, hi = 0.0;
  cv::minMaxLoc(image, &lo, &hi);
  return !(lo < hi);
}

// Frame-sized buffers are few and filled strip by strip: a fresh buffer of a
// 24 MP frame costs more in first-touch page faults than the arithmetic done
// in it. Strips change no value: every step is per pixel.
constexpr int kStripRows = 64;

// The mean and standard deviation of the float grey image, for callers that
// would otherwise convert the frame once more: only for 1-, 3- and 4-channel
// 8- and 16-bit frames, whose grey values are integers however they are cut
// into strips (so the figures equal those of a whole-frame conversion).
void recordGreyStats(const cv::Mat& image, const cv::Mat& value, NLStarDetection* out) {
  if (!out) return;
  const int depth = image.depth(), cn = image.channels();
  if (!(depth == CV_8U || depth == CV_16U) || !(cn == 1 || cn == 3 || cn == 4)) return;
  cv::Scalar mean, deviation;
  cv::meanStdDev(value, mean, deviation);
  out->hasGreyStats = true;
  out->greyMean = mean[0];
  out->greyStdDev = deviation[0];
}

// Grey as 32-bit float in `grey`: for a one-channel float frame the frame
// itself (its flat test comes with the background pass), else converted into
// `value`. For 8-, 16-bit and float frames the conversion is exact, so the
// flat test can be run on the float copy.
bool floatGrey(const cv::Mat& image, cv::Mat& value, cv::Mat& grey, NLStarDetection* stats) {
  const int code = greyCode(image);
  const int depth = image.depth();
  if (code < 0 && depth == CV_32F) {
    grey = image;
    return true;
  }
  if (code < 0 || !(depth == CV_8U || depth == CV_16U || depth == CV_32F)) {
    const cv::Mat plain = greyOf(image);
    if (isFlat(plain)) return false;
    plain.convertTo(value, CV_32F, 1.0, 0.0);
    recordGreyStats(image, value, stats);
    grey = value;
    return true;
  }
  value.create(image.size(), CV_32F);
  cv::Mat strip;
  for (int y0 = 0; y0 < image.rows; y0 += kStripRows) {
    const cv::Range rows(y0, std::min(y0 + kStripRows, image.rows));
    cv::cvtColor(image.rowRange(rows), strip, code);
    strip.convertTo(value.rowRange(rows), CV_32F, 1.0, 0.0);
  }
  if (isFlat(value)) return false;
  recordGreyStats(image, value, stats);
  grey = value;
  return true;
}

// The sky background is smooth on the scale of its 12 px blur, so it is
// estimated on a grid four times coarser: block means, a Gaussian whose width
// makes up the rest of the 12 px, and a bilinear return to full size. That is
// a sixteenth of the blur's work. What the coarse grid loses is only where a
// star's faint 12 px halo is centred, within two pixels, a percent of its peak.
constexpr int kBackgroundScale = 4;

// Block averaging adds a variance of (f^2 - 1) / 12 and the bilinear return
// about f^2 / 6 (a triangle of half-width f), in full-resolution pixels.
double coarseBackgroundSigma() {
  const double f = kBackgroundScale;
  const double added = (f * f - 1.0) / 12.0 + f * f / 6.0;
  return std::sqrt(kBackgroundSigma * kBackgroundSigma - added) / f;
}

// Where full-resolution pixel i falls on a coarse axis of n samples covering
// `full` pixels (pixel centres, as the block means' own), as the lower sample
// and the weight of the upper one; the edges hold the end sample.
struct CoarseTap {
  int lower = 0, upper = 0;
  float weight = 0.0f;
};

CoarseTap coarseTap(int i, int full, int n) {
  const double u = (double(i) + 0.5) * double(n) / double(full) - 0.5;
  CoarseTap t;
  if (u <= 0.0) return t;
  if (u >= double(n - 1)) {
    t.lower = t.upper = n - 1;
    return t;
  }
  t.lower = int(u);
  t.upper = t.lower + 1;
  t.weight = float(u - double(t.lower));
  return t;
}

// Lowest and highest value of float rows, gathered row by row while each is
// still in cache instead of in passes of their own over the whole frame.
// A NaN has no place in an order: a row holding one is only noted, and the
// caller measures such an image as before.
struct Extent {
  float lo = std::numeric_limits<float>::infinity(), hi = -std::numeric_limits<float>::infinity();
  bool nan = false;

  void add(const float* row, int n) {
    int x = 0;
#if CV_SIMD128
    // two sets of lanes, so that each comparison need not wait for the one before
    cv::v_float32x4 lo0 = cv::v_setall_f32(lo), hi0 = cv::v_setall_f32(hi), lo1 = lo0, hi1 = hi0;
    cv::v_float32x4 odd = cv::v_setall_f32(0.0f);
    for (; x + 8 <= n; x += 8) {
      const cv::v_float32x4 a = cv::v_load(row + x), b = cv::v_load(row + x + 4);
      odd = odd | (a != a) | (b != b);
      lo0 = cv::v_min(lo0, a);
      hi0 = cv::v_max(hi0, a);
      lo1 = cv::v_min(lo1, b);
      hi1 = cv::v_max(hi1, b);
    }
    nan = nan || cv::v_check_any(cv::v_reinterpret_as_s32(odd) != cv::v_setzero_s32());
    lo = std::min(lo, cv::v_reduce_min(cv::v_min(lo0, lo1)));
    hi = std::max(hi, cv::v_reduce_max(cv::v_max(hi0, hi1)));
#endif
    for (; x < n; ++x) {
      nan = nan || row[x] != row[x];
      lo = std::min(lo, row[x]);
      hi = std::max(hi, row[x]);
    }
  }
};

// grey - background(grey), clamped at 0, written into residual (grey itself
// when they share their pixels); the extents of both on the way.
void subtractBackground(const cv::Mat& grey, cv::Mat& residual, Extent& greyExtent, Extent& residualExtent) {
  const cv::Size coarseSize((grey.cols + kBackgroundScale - 1) / kBackgroundScale,
                            (grey.rows + kBackgroundScale - 1) / kBackgroundScale);
  cv::Mat coarse;
  cv::resize(grey, coarse, coarseSize, 0.0, 0.0, cv::INTER_AREA);
  cv::GaussianBlur(coarse, coarse, cv::Size(0, 0), coarseBackgroundSigma(), 0.0, cv::BORDER_DEFAULT);
  residual.create(grey.size(), CV_32F);
  // Each coarse row is widened to full width once; the four or so frame rows
  // between two coarse rows then blend two full rows, which vectorises. The
  // blends are written (1 - w) a + w b so that mirror-image pixels get
  // bit-identical skies.
  std::vector<CoarseTap> across(size_t(grey.cols));
  for (int x = 0; x < grey.cols; ++x) across[size_t(x)] = coarseTap(x, grey.cols, coarse.cols);
  auto widen = [&](int coarseRow, std::vector<float>& out) {
    const float* c = coarse.ptr<float>(coarseRow);
    for (int x = 0; x < grey.cols; ++x) {
      const CoarseTap& t = across[size_t(x)];
      out[size_t(x)] = (1.0f - t.weight) * c[t.lower] + t.weight * c[t.upper];
    }
  };
  std::vector<float> lower(size_t(grey.cols)), upper(size_t(grey.cols));
  int lowerRow = -1, upperRow = -1;
  for (int y = 0; y < grey.rows; ++y) {
    const CoarseTap down = coarseTap(y, grey.rows, coarse.rows);
    if (down.lower != lowerRow) {
      if (down.lower == upperRow) {
        std::swap(lower, upper);
        std::swap(lowerRow, upperRow);
      } else {
        widen(down.lower, lower);
        lowerRow = down.lower;
      }
    }
    if (down.upper != upperRow) {
      widen(down.upper, upper);
      upperRow = down.upper;
    }
    const float w = down.weight;
    const float* a = lower.data();
    const float* b = upper.data();
    const float* g = grey.ptr<float>(y);
    greyExtent.add(g, grey.cols);
    float* v = residual.ptr<float>(y);
    for (int x = 0; x < grey.cols; ++x) {
      const float r = g[x] - ((1.0f - w) * a[x] + w * b[x]);
      v[x] = r > 0.0f ? r : 0.0f;
    }
    residualExtent.add(v, grey.cols);
  }
}

// Background-free residual (float, clamped at 0, in `residual`) and the 8-bit
// detection image; false for a flat grey image or residual. The grey image's
// flat test is repeated here only for a frame that skipped it (one-channel
// float) and holds a NaN.
bool buildResidual(const cv::Mat& grey, cv::Mat& residual, cv::Mat& normalised, cv::Mat& detection) {
  Extent greyExtent, extent;
  subtractBackground(grey, residual, greyExtent, extent);
  if (greyExtent.nan ? isFlat(grey) : !(greyExtent.lo < greyExtent.hi)) return false;
  // the residual is clamped at 0, so it holds no NaN and its extent is exact
  const double lo = extent.lo, hi = extent.hi;
  if (!(lo < hi)) return false;
  residual.convertTo(normalised, CV_8U, 255.0 / (hi - lo), -255.0 * lo / (hi - lo));
  cv::GaussianBlur(normalised, detection, cv::Size(3, 3), 0.0, 0.0, cv::BORDER_DEFAULT);
  return true;
}

int thresholdLevel(const cv::Mat& detection, double sigmaFactor) {
  cv::Scalar mean, deviation;
  cv::meanStdDev(detection, mean, deviation);
  const double level = std::trunc(mean[0] + sigmaFactor * deviation[0]);
  if (!(level >= kMinLevel)) return kMinLevel;  // also catches NaN
  if (level > kMaxLevel) return kMaxLevel;
  return int(level);
}

struct BlobSums {
  long long count = 0, sumX = 0, sumY = 0;
  double weightedX = 0.0, weightedY = 0.0, weight = 0.0, flux = 0.0;
  int peak = 0;
};

double roundHalfAway(double v) { return std::round(v); }

NLStarCandidate candidateOf(const BlobSums& s) {
  double cx, cy;
  if (s.weight > 0.0) {
    cx = s.weightedX / s.weight;
    cy = s.weightedY / s.weight;
  } else {
    cx = double(s.sumX) / double(s.count);
    cy = double(s.sumY) / double(s.count);
  }
  NLStarCandidate c;
  c.x = int(roundHalfAway(cx));
  c.y = int(roundHalfAway(cy));
  c.centerX = cx;
  c.centerY = cy;
  c.area = int(s.count);
  c.peak = s.peak;
  c.flux = s.flux;
  return c;
}

// One 8-connected flood fill from (sx, sy); the queue is reused across blobs.
// `mask` doubles as the visited marker: a visited pixel is cleared to 0,
// which is equivalent to a separate visited mask because only set pixels are
// ever queued.
BlobSums fillBlob(cv::Mat& mask, const cv::Mat& residual, const cv::Mat& detection, int sx, int sy,
                  std::vector<cv::Point>& queue) {
  static const int kDx[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
  static const int kDy[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
  BlobSums s;
  queue.clear();
  queue.emplace_back(sx, sy);
  mask.ptr<uchar>(sy)[sx] = 0;
  for (size_t head = 0; head < queue.size(); ++head) {
    const cv::Point p = queue[head];
    const float r = residual.ptr<float>(p.y)[p.x];
    const bool signal = std::isfinite(r) && r > 0.0f;
    const double w = signal ? double(r) : 1.0;
    if (signal) s.flux += double(r);
    ++s.count;
    s.sumX += p.x;
    s.sumY += p.y;
    s.weightedX += w * p.x;
    s.weightedY += w * p.y;
    s.weight += w;
    s.peak = std::max(s.peak, int(detection.ptr<uchar>(p.y)[p.x]));
    for (int k = 0; k < 8; ++k) {
      const int nx = p.x + kDx[k], ny = p.y + kDy[k];
      if (nx < 0 || ny < 0 || nx >= mask.cols || ny >= mask.rows) continue;
      uchar& m = mask.ptr<uchar>(ny)[nx];
      if (!m) continue;
      m = 0;
      queue.emplace_back(nx, ny);
    }
  }
  return s;
}

// Highest peak first. Every saturated star has the top peak, and in a rich
// field there are more of them than the pattern stages take, so equal peaks
// go larger blob first: the brightest stars, the same ones in every frame.
// Position decides last, so the order never depends on the sort algorithm.
bool brighterPeak(const NLStarCandidate& a, const NLStarCandidate& b) {
  if (a.peak != b.peak) return a.peak > b.peak;
  if (a.area != b.area) return a.area > b.area;
  if (a.centerY != b.centerY) return a.centerY < b.centerY;
  return a.centerX < b.centerX;
}

int gridCell(int coordinate, int extent) {
  const double cell = std::trunc(double(coordinate) / double(extent) * double(kGridCells));
  if (!(cell > 0.0)) return 0;
  if (cell >= kGridCells) return kGridCells - 1;
  return int(cell);
}

}  // namespace

cv::Point2d NL_starPoint(const NLStarCandidate& star) {
  return {star.centerX == 0.0 ? double(star.x) : star.centerX, star.centerY == 0.0 ? double(star.y) : star.centerY};
}

namespace {

// Every blob of the mask (consumed) that is small enough to be a star.
std::vector<NLStarCandidate> blobsOf(cv::Mat& mask, const cv::Mat& residual, const cv::Mat& detection) {
  std::vector<NLStarCandidate> result;
  std::vector<cv::Point> queue;
  queue.reserve(4096);
  for (int y = 0; y < mask.rows; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    for (int x = NL_nextSetByte(row, 0, mask.cols); x < mask.cols; x = NL_nextSetByte(row, x + 1, mask.cols)) {
      const BlobSums s = fillBlob(mask, residual, detection, x, y, queue);
      if (s.count <= kMaxBlobArea) result.push_back(candidateOf(s));
    }
  }
  return result;
}

// Median and normalised median absolute deviation of a float image, from a
// sample of at most about a million pixels (plenty for two quantiles).
void robustLevel(const cv::Mat& image, double& median, double& sigma) {
  const int step = std::max(1, int(std::sqrt(double(image.total()) / 1.0e6)));
  std::vector<float> v;
  v.reserve(image.total() / size_t(step * step) + image.rows + image.cols + 1);
  for (int y = 0; y < image.rows; y += step) {
    const float* row = image.ptr<float>(y);
    for (int x = 0; x < image.cols; x += step) v.push_back(row[x]);
  }
  const auto mid = v.begin() + std::ptrdiff_t(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  median = *mid;
  for (float& f : v) f = std::abs(f - float(median));
  std::nth_element(v.begin(), mid, v.end());
  sigma = 1.4826 * *mid;
}

// Stars this many noise deviations above the smoothed sky: a false alarm is
// rare at this level even among tens of millions of pixels, and a faint star
// spread over a few pixels of seeing still clears it.
constexpr double kNoiseSigmas = 5.0;
// A frame without noise (a rendered sky) has no deviation to scale: the level
// never falls below this share of the brightest residual.
constexpr double kNoiseFloorShare = 1.0 / 255.0;

// Stars above the sky noise of the residual rather than above a share of its
// brightest star. The 3 x 3 blur matches the detection image's.
std::vector<NLStarCandidate> noiseRelativeBlobs(const cv::Mat& residual, const cv::Mat& detection) {
  cv::Mat smooth;
  cv::GaussianBlur(residual, smooth, cv::Size(3, 3), 0.0, 0.0, cv::BORDER_DEFAULT);
  double median = 0.0, sigma = 0.0, lo = 0.0, hi = 0.0;
  robustLevel(smooth, median, sigma);
  cv::minMaxLoc(residual, &lo, &hi);
  const double level = std::max(median + kNoiseSigmas * sigma, kNoiseFloorShare * (hi - lo));
  cv::Mat mask;
  cv::threshold(smooth, mask, level, 255.0, cv::THRESH_BINARY);
  mask.convertTo(mask, CV_8U);
  return blobsOf(mask, residual, detection);
}

}  // namespace

namespace {

void sortAndCap(std::vector<NLStarCandidate>& stars, int& found, int keep) {
  found = int(stars.size());
  std::sort(stars.begin(), stars.end(), brighterPeak);
  if (keep > 0 && int(stars.size()) > keep) stars.resize(size_t(keep));
}

}  // namespace

NLStarDetection NL_detectStars(const cv::Mat& image, double sigmaFactor, int noiseWanted, int keep) {
  NLDetectionBuffers buffers;
  return NL_detectStars(image, sigmaFactor, noiseWanted, keep, buffers);
}

NLStarDetection NL_detectStars(const cv::Mat& image, double sigmaFactor, int noiseWanted, int keep,
                               NLDetectionBuffers& buffers) {
  NLStarDetection d;
  d.size = image.size();
  d.sigmaFactor = sigmaFactor;
  d.noiseWanted = noiseWanted;
  d.keep = keep;
  d.detected = true;
  d.noiseSearched = true;  // an empty or flat frame has no stars by either level
  if (image.empty()) return d;
  cv::Mat &residual = buffers.residual, &mask = buffers.mask, &detection = buffers.detection;
  cv::Mat grey;
  if (!floatGrey(image, residual, grey, &d)) return d;
  if (!buildResidual(grey, residual, mask, detection)) return d;
  d.noiseSearched = false;
  // The 8-bit normalised image is not needed once blurred: it becomes the mask.
  cv::threshold(detection, mask, thresholdLevel(detection, sigmaFactor), 255, cv::THRESH_BINARY);
  d.relative = blobsOf(mask, residual, detection);
  sortAndCap(d.relative, d.relativeFound, keep);
  if (d.relativeFound < noiseWanted) {
    d.noise = noiseRelativeBlobs(residual, detection);
    d.noiseSearched = true;
    sortAndCap(d.noise, d.noiseFound, keep);
  }
  return d;
}

std::vector<NLStarCandidate> NL_starCandidatesOf(const NLStarDetection& d, int maxCount, int wanted) {
  CV_Assert(d.detected);
  CV_Assert(d.keep <= 0 || (maxCount > 0 && maxCount <= d.keep));
  const bool fallBack = d.relativeFound < wanted;
  CV_Assert(!fallBack || d.noiseSearched);  // wanted above the detection's noiseWanted
  const std::vector<NLStarCandidate>& chosen = fallBack && d.noiseFound > d.relativeFound ? d.noise : d.relative;
  const size_t count = maxCount > 0 ? std::min(size_t(maxCount), chosen.size()) : chosen.size();
  return std::vector<NLStarCandidate>(chosen.begin(), chosen.begin() + std::ptrdiff_t(count));
}

std::vector<NLStarCandidate> NL_findStarCandidates(const cv::Mat& image, double sigmaFactor, int maxCount,
                                                   int wanted) {
  return NL_starCandidatesOf(NL_detectStars(image, sigmaFactor, wanted, maxCount), maxCount, wanted);
}

std::vector<NLStarCandidate> NL_selectGridBalancedStars(const std::vector<NLStarCandidate>& stars, int width,
                                                        int height, int maxTotal) {
  std::vector<NLStarCandidate> result;
  if (stars.empty() || width < 1 || height < 1) return result;
  int counts[kGridCells * kGridCells] = {};
  for (const NLStarCandidate& star : stars) {
    int& count = counts[gridCell(star.y, height) * kGridCells + gridCell(star.x, width)];
    if (count >= kCellCapacity) continue;
    result.push_back(star);
    ++count;
    if (maxTotal >= 1 && int(result.size()) >= maxTotal) break;
  }
  std::sort(result.begin(), result.end(), brighterPeak);
  return result;
}
