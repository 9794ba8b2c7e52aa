#include "startrail/detail/gap_fill.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <complex>
#include <mutex>

namespace startrail_detail {

namespace {

using Complex = std::complex<double>;

// A grid of points over the frame, where the motion is sampled for the fits.
std::vector<cv::Point2d> sampleGrid(cv::Size size) {
  std::vector<cv::Point2d> points;
  for (int j = 0; j <= 4; ++j)
    for (int i = 0; i <= 4; ++i) points.emplace_back((size.width - 1) * i / 4.0, (size.height - 1) * j / 4.0);
  return points;
}

cv::Point2d project(const cv::Matx33d& h, cv::Point2d p) {
  const double w = h(2, 0) * p.x + h(2, 1) * p.y + h(2, 2);
  return {(h(0, 0) * p.x + h(0, 1) * p.y + h(0, 2)) / w, (h(1, 0) * p.x + h(1, 1) * p.y + h(1, 2)) / w};
}

// Least-squares affine map from `from` onto `to`.
cv::Matx23d fitAffine(const std::vector<cv::Point2d>& from, const std::vector<cv::Point2d>& to) {
  cv::Mat a(int(from.size()), 3, CV_64F), b(int(from.size()), 2, CV_64F), m;
  for (int k = 0; k < a.rows; ++k) {
    a.at<double>(k, 0) = from[size_t(k)].x, a.at<double>(k, 1) = from[size_t(k)].y, a.at<double>(k, 2) = 1.0;
    b.at<double>(k, 0) = to[size_t(k)].x, b.at<double>(k, 1) = to[size_t(k)].y;
  }
  cv::solve(a, b, m, cv::DECOMP_SVD);
  return cv::Matx23d(m.at<double>(0, 0), m.at<double>(1, 0), m.at<double>(2, 0), m.at<double>(0, 1),
                     m.at<double>(1, 1), m.at<double>(2, 1));
}

cv::Matx23d similarityMatrix(Complex a, Complex b) {
  return cv::Matx23d(a.real(), -a.imag(), b.real(), a.imag(), a.real(), b.imag());
}

}  // namespace

SkyMotion::SkyMotion(const cv::Mat& nextOntoThis, cv::Size size, const std::vector<cv::Point2d>& where) {
  if (nextOntoThis.empty() || nextOntoThis.rows != 3 || nextOntoThis.cols != 3) return;
  cv::Mat inverse;
  if (cv::invert(nextOntoThis, inverse, cv::DECOMP_LU) == 0.0) return;
  const cv::Matx33d forward(inverse);  // this frame onto the next: where the sky goes
  const std::vector<cv::Point2d> from = where.size() >= 3 ? where : sampleGrid(size);
  std::vector<cv::Point2d> to;
  for (const cv::Point2d& p : from) {
    to.push_back(project(forward, p));
    if (!std::isfinite(to.back().x) || !std::isfinite(to.back().y)) return;
    largestStep_ = std::max(largestStep_, std::hypot(to.back().x - p.x, to.back().y - p.y));
  }
  // z' = a z + b in the least-squares sense: a turn and scale, then a shift.
  Complex meanFrom, meanTo;
  for (size_t k = 0; k < from.size(); ++k) meanFrom += Complex(from[k].x, from[k].y), meanTo += Complex(to[k].x, to[k].y);
  meanFrom /= double(from.size()), meanTo /= double(from.size());
  Complex cross;
  double spread = 0.0;
  for (size_t k = 0; k < from.size(); ++k) {
    const Complex f = Complex(from[k].x, from[k].y) - meanFrom, t = Complex(to[k].x, to[k].y) - meanTo;
    cross += t * std::conj(f);
    spread += std::norm(f);
  }
  if (spread <= 0.0 || std::abs(cross) <= 0.0) return;
  const Complex a = cross / spread, b = meanTo - a * meanFrom;
  angle_ = std::arg(a), logScale_ = std::log(std::abs(a));
  shift_ = {b.real(), b.imag()};
  rest_ = fitAffine(from, to) - similarityMatrix(a, b);
  valid_ = true;
}

cv::Matx23d SkyMotion::after(double share) const {
  const Complex a(std::exp(logScale_) * std::cos(angle_), std::exp(logScale_) * std::sin(angle_));
  const Complex as = std::exp(share * Complex(logScale_, angle_));
  const Complex b(shift_.x, shift_.y);
  // The s-th power of z -> a z + b is z -> a^s z + b (a^s - 1) / (a - 1): a
  // turn by s times the angle about the same fixed point (the pole).
  const Complex bs = std::abs(a - 1.0) < 1e-12 ? share * b : b * (as - 1.0) / (a - 1.0);
  return similarityMatrix(as, bs) + share * rest_;
}

cv::Point2d SkyMotion::at(cv::Point2d p, double share) const {
  const cv::Matx23d m = after(share);
  return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

namespace {

constexpr double kFirstMatch = 6.0;   // px: how far the registration may stray where it matched few stars
constexpr double kSecondMatch = 2.0;  // px: about the fitted turn, a centroid's scatter on a trailed star
constexpr int kAffineStars = 12;      // fewer leave the shear and stretch of an affine unsteady

void pointsOf(const NLStarMatchList& pairs, std::vector<cv::Point2f>& here, std::vector<cv::Point2f>& next) {
  here.clear(), next.clear();
  for (const NLStarMatch& m : pairs) {
    const cv::Point2d a = NL_starPoint(m.first), b = NL_starPoint(m.second);
    here.emplace_back(float(a.x), float(a.y));
    next.emplace_back(float(b.x), float(b.y));
  }
}

}  // namespace

cv::Mat refineSkyMotion(const cv::Mat& nextOntoThis, const std::vector<NLStarCandidate>& thisStars,
                        const std::vector<NLStarCandidate>& nextStars, std::vector<cv::Point2d>& matchedHere) {
  matchedHere.clear();
  if (nextOntoThis.empty()) return nextOntoThis;
  cv::Mat seed = nextOntoThis / nextOntoThis.at<double>(2, 2);
  std::vector<cv::Point2f> here, next;
  pointsOf(NL_matchStarsByAffineSeed(thisStars, nextStars, seed.rowRange(0, 2).clone(), kFirstMatch), here, next);
  if (here.size() < 6) return nextOntoThis;
  const cv::Mat turn = cv::estimateAffinePartial2D(next, here, cv::noArray(), cv::RANSAC, 1.0);
  if (turn.empty()) return nextOntoThis;
  pointsOf(NL_matchStarsByAffineSeed(thisStars, nextStars, turn, kSecondMatch), here, next);
  if (here.size() < 6) return nextOntoThis;
  std::vector<uchar> kept;
  const cv::Mat fit = here.size() >= size_t(kAffineStars)
                          ? cv::estimateAffine2D(next, here, kept, cv::RANSAC, 0.75)
                          : cv::estimateAffinePartial2D(next, here, kept, cv::RANSAC, 0.75);
  if (fit.empty()) return nextOntoThis;
  for (size_t k = 0; k < here.size(); ++k)
    if (kept[k]) matchedHere.emplace_back(here[k].x, here[k].y);
  cv::Mat out = cv::Mat::eye(3, 3, CV_64F);
  fit.copyTo(out.rowRange(0, 2));
  return out;
}

SkyLevels::SkyLevels(const cv::Mat& plane, const cv::Mat& skyMask) {
  const int bx = std::max((plane.cols + block_ - 1) / block_, 1), by = std::max((plane.rows + block_ - 1) / block_, 1);
  grid_ = cv::Mat(by, bx, CV_64F, cv::Scalar(0.0));
  std::vector<float> values;
  std::vector<double> noises;
  for (int j = 0; j < by; ++j)
    for (int i = 0; i < bx; ++i) {
      const cv::Rect r = cv::Rect(i * block_, j * block_, block_, block_) & cv::Rect(0, 0, plane.cols, plane.rows);
      values.clear();
      bool allSky = true;
      // every second pixel each way: a quarter of the reads, the same median to the noise
      for (int y = r.y; y < r.y + r.height; y += 2)
        for (int x = r.x; x < r.x + r.width; x += 2) {
          values.push_back(plane.ptr<float>(y)[x]);
          allSky = allSky && (skyMask.empty() || skyMask.ptr<uchar>(y)[x] != 0);
        }
      if (values.empty()) continue;
      const size_t mid = values.size() / 2, low = values.size() / 4;
      std::nth_element(values.begin(), values.begin() + long(mid), values.end());
      grid_.at<double>(j, i) = values[mid];
      if (!allSky || low == mid) continue;
      // Stars only ever lift the upper half, so the lower quartile reads the noise.
      std::nth_element(values.begin(), values.begin() + long(low), values.begin() + long(mid));
      noises.push_back((values[mid] - values[low]) / 0.6745);
    }
  if (!noises.empty()) {
    std::nth_element(noises.begin(), noises.begin() + long(noises.size() / 2), noises.end());
    noise_ = noises[noises.size() / 2];
  }
  noise_ = std::max(noise_, 0.5);  // an 8-bit sky is no smoother than its steps
}

double SkyLevels::at(int x, int y) const {
  const double gx = std::clamp((x + 0.5) / block_ - 0.5, 0.0, double(grid_.cols - 1));
  const double gy = std::clamp((y + 0.5) / block_ - 0.5, 0.0, double(grid_.rows - 1));
  const int x0 = int(gx), y0 = int(gy), x1 = std::min(x0 + 1, grid_.cols - 1), y1 = std::min(y0 + 1, grid_.rows - 1);
  const double ax = gx - x0, ay = gy - y0;
  const double top = grid_.at<double>(y0, x0) * (1 - ax) + grid_.at<double>(y0, x1) * ax;
  const double bottom = grid_.at<double>(y1, x0) * (1 - ax) + grid_.at<double>(y1, x1) * ax;
  return top * (1 - ay) + bottom * ay;
}

namespace {

// Bilinear sample of a float plane; false off the plane.
bool samplePlane(const cv::Mat& plane, cv::Point2d p, double& value) {
  if (!(p.x >= 0.0 && p.y >= 0.0 && p.x <= plane.cols - 1 && p.y <= plane.rows - 1)) return false;
  const int x0 = std::min(int(p.x), plane.cols - 2 < 0 ? 0 : plane.cols - 2);
  const int y0 = std::min(int(p.y), plane.rows - 2 < 0 ? 0 : plane.rows - 2);
  const int x1 = std::min(x0 + 1, plane.cols - 1), y1 = std::min(y0 + 1, plane.rows - 1);
  const double ax = p.x - x0, ay = p.y - y0;
  const float *r0 = plane.ptr<float>(y0), *r1 = plane.ptr<float>(y1);
  value = (r0[x0] * (1 - ax) + r0[x1] * ax) * (1 - ay) + (r1[x0] * (1 - ax) + r1[x1] * ax) * ay;
  return true;
}

cv::Point2d apply(const cv::Matx23d& m, double x, double y) {
  return {m(0, 0) * x + m(0, 1) * y + m(0, 2), m(1, 0) * x + m(1, 1) * y + m(1, 2)};
}

constexpr double kStarNoise = 5.0;  // a pixel this many sky noises above the sky is starlight, not noise

}  // namespace

namespace {

// Starlight has moved on with the sky between two frames (twinkling a
// little); a light on the ground, a hot pixel or a streak is still where it
// was, or gone. `other` is a neighbouring frame, `to` where the sky took the
// pixel in it: unseen when that lies off the frame or behind the landscape.
enum class Witness { moved, stayedOrGone, unseen };
Witness movedWithTheSky(const cv::Mat& other, cv::Point2d to, int x, int y, double v, double lift, double margin,
                        const cv::Mat& skyMask) {
  double moved = 0.0;
  if (!samplePlane(other, to, moved)) return Witness::unseen;
  if (!skyMask.empty() && !skyMask.at<uchar>(int(std::lround(to.y)), int(std::lround(to.x)))) return Witness::unseen;
  const double change = std::abs(moved - v), stayed = std::abs(other.ptr<float>(y)[x] - v);
  return change <= 0.5 * lift && change + margin < stayed ? Witness::moved : Witness::stayedOrGone;
}

}  // namespace

cv::Mat gapSourceMask(const cv::Mat& plane, const cv::Mat& next, const cv::Mat& previous, const SkyMotion& motion,
                      const cv::Mat& skyMask, const cv::Mat& rejection) {
  cv::Mat mask = cv::Mat::zeros(plane.size(), CV_8U);
  if (!motion.valid() || next.size() != plane.size()) return mask;
  const bool before = previous.size() == plane.size();
  const SkyLevels sky(plane, skyMask);
  const double noise = sky.noise(), margin = 2.0 * noise;
  const cv::Matx23d ahead = motion.after(1.0), back = motion.after(-1.0);
  for (int y = 0; y < plane.rows; ++y) {
    const float* row = plane.ptr<float>(y);
    const uchar* inSky = skyMask.empty() ? nullptr : skyMask.ptr<uchar>(y);
    const uchar* rejected = rejection.empty() ? nullptr : rejection.ptr<uchar>(y);
    uchar* out = mask.ptr<uchar>(y);
    for (int x = 0; x < plane.cols; ++x) {
      if ((inSky && !inSky[x]) || (rejected && rejected[x])) continue;
      const double v = row[x], lift = v - sky.at(x, y);
      if (lift <= kStarNoise * noise) continue;
      // A star leaving the frame, or setting behind the landscape where the
      // sky mask tells, is not in the next frame: the frame before shows
      // where it came from, the sky turning at a steady rate. Without a mask
      // a star that the next frame does not show may have set: not carried.
      const cv::Point2d to = apply(ahead, x, y);
      const Witness w = movedWithTheSky(next, to, x, y, v, lift, margin, skyMask);
      if (w == Witness::moved ||
          (w == Witness::unseen && before && movedWithTheSky(previous, apply(back, x, y), x, y, v, lift, margin,
                                                             skyMask) == Witness::moved))
        out[x] = 255;
    }
  }
  return mask;
}

std::vector<double> gapSteps(double gapShare, double largestStep) {
  std::vector<double> steps;
  if (!(gapShare > 0.0) || !(largestStep > 0.0)) return steps;
  // Copies of a star's arc a little less than half its length apart join
  // without a dip; a PSF's width is held back for its soft ends.
  const double arc = (1.0 - gapShare) * largestStep;
  const double spacing = std::max(0.5, 0.4 * arc - 1.0);  // px
  const int n = std::clamp(int(std::ceil(gapShare * largestStep / spacing)), 1, 512);
  for (int k = 1; k <= n; ++k) steps.push_back(gapShare * k / n);
  return steps;
}

namespace {

cv::Matx23d invertAffine(const cv::Matx23d& m) {
  const double det = m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0);
  const double a = m(1, 1) / det, b = -m(0, 1) / det, c = -m(1, 0) / det, d = m(0, 0) / det;
  return cv::Matx23d(a, b, -(a * m(0, 2) + b * m(1, 2)), c, d, -(c * m(0, 2) + d * m(1, 2)));
}


// Every pixel a source pixel lands on or beside at one of the steps.
cv::Mat reachedPixels(const cv::Mat& source, const std::vector<cv::Matx23d>& forward) {
  cv::Mat reached = cv::Mat::zeros(source.size(), CV_8U);
  const int w = source.cols, h = source.rows;
  for (int y = 0; y < h; ++y) {
    const uchar* row = source.ptr<uchar>(y);
    for (int x = 0; x < w; ++x) {
      if (!row[x]) continue;
      for (const cv::Matx23d& m : forward) {
        const cv::Point2d p = apply(m, x, y);
        const int x0 = int(std::floor(p.x)), y0 = int(std::floor(p.y));
        for (int dy = 0; dy <= 1; ++dy)
          for (int dx = 0; dx <= 1; ++dx) {
            const int tx = x0 + dx, ty = y0 + dy;
            if (tx >= 0 && ty >= 0 && tx < w && ty < h) reached.ptr<uchar>(ty)[tx] = 1;
          }
      }
    }
  }
  return reached;
}

// Catmull-Rom weights of the four taps about a position whose fraction past
// the second tap is t.
inline void cubicWeights(double t, double* w) {
  const double t2 = t * t, t3 = t2 * t;
  w[0] = 0.5 * (-t3 + 2 * t2 - t);
  w[1] = 0.5 * (3 * t3 - 5 * t2 + 2);
  w[2] = 0.5 * (-3 * t3 + 4 * t2 + t);
  w[3] = 0.5 * (t3 - t2);
}

// A sample of the frame among source pixels only (their weights
// renormalised), so the light carried is never diluted by the sky beside a
// star; false where less than half the weight falls on source pixels. A
// trail is only a few pixels wide and is carried along itself, so the
// sample's offset across it is fixed: a bilinear blend would flatten its
// crest by a tenth, so the sharper cubic is used, held within the four
// nearest source pixels so that it cannot ring.
template <typename T>
bool sampleSource(const cv::Mat& frame, const cv::Mat& source, cv::Point2d p, int colours, double* out) {
  const int x0 = int(std::floor(p.x)), y0 = int(std::floor(p.y));
  const double ax = p.x - x0, ay = p.y - y0;
  const int cn = frame.channels();
  double near = 0.0, low[4], high[4];
  for (int c = 0; c < colours; ++c) out[c] = 0.0, low[c] = 1e300, high[c] = -1e300;
  for (int dy = 0; dy <= 1; ++dy)
    for (int dx = 0; dx <= 1; ++dx) {
      const int x = x0 + dx, y = y0 + dy;
      if (x < 0 || y < 0 || x >= frame.cols || y >= frame.rows || !source.ptr<uchar>(y)[x]) continue;
      near += (dx ? ax : 1 - ax) * (dy ? ay : 1 - ay);
      const T* px = frame.ptr<T>(y) + x * cn;
      for (int c = 0; c < colours; ++c) low[c] = std::min(low[c], double(px[c])), high[c] = std::max(high[c], double(px[c]));
    }
  if (near < 0.5) return false;
  double wx[4], wy[4], total = 0.0;
  cubicWeights(ax, wx);
  cubicWeights(ay, wy);
  for (int j = 0; j < 4; ++j) {
    const int y = y0 - 1 + j;
    if (y < 0 || y >= frame.rows) continue;
    const uchar* in = source.ptr<uchar>(y);
    const T* row = frame.ptr<T>(y);
    for (int i = 0; i < 4; ++i) {
      const int x = x0 - 1 + i;
      if (x < 0 || x >= frame.cols || !in[x]) continue;
      const double w = wx[i] * wy[j];
      for (int c = 0; c < colours; ++c) out[c] += w * row[x * cn + c];
      total += w;
    }
  }
  if (total <= 0.25) return false;
  for (int c = 0; c < colours; ++c) out[c] = std::clamp(out[c] / total, low[c], high[c]);
  return true;
}

template <typename T>
inline void lightenSample(T& acc, double n, double top) {
  if (acc < n) acc = static_cast<T>(std::min(n, top) + 0.5);
}

const uchar* maskRow(const cv::Mat* m, int y) { return (m && !m->empty()) ? m->ptr<uchar>(y) : nullptr; }

template <typename T>
std::int64_t fillRows(const cv::Mat& frame, const cv::Mat& source, const std::vector<cv::Matx23d>& backward,
                      const cv::Mat& reached, double weight, const NLStarTrailAccumulateTarget& t) {
  const double top = sizeof(T) == 1 ? 255.0 : 65535.0;
  const int cn = frame.channels(), colours = cn == 4 ? 3 : cn;
  const bool useBridge = t.bridgeAccumulator && !t.bridgeAccumulator->empty() && maskRow(t.bridgeMask, 0);
  std::vector<double> best(size_t(frame.cols) * colours);
  std::vector<int> hits;
  std::int64_t filled = 0;
  double sample[4];
  for (int y = 0; y < frame.rows; ++y) {
    const uchar* r = reached.ptr<uchar>(y);
    const uchar* sky = maskRow(t.skyMask, y);
    hits.clear();
    for (int x = 0; x < frame.cols; ++x) {
      if (!r[x] || (sky && !sky[x])) continue;  // the ground never takes the sky's light
      double* b = &best[size_t(x) * colours];
      bool any = false;
      for (const cv::Matx23d& m : backward) {
        if (!sampleSource<T>(frame, source, apply(m, x, y), colours, sample)) continue;
        for (int c = 0; c < colours; ++c) b[c] = any ? std::max(b[c], sample[c]) : sample[c];
        any = true;
      }
      if (any) hits.push_back(x);
    }
    if (hits.empty()) continue;
    filled += std::int64_t(hits.size());
    std::unique_lock<std::mutex> lock;
    if (t.rowLocks) lock = std::unique_lock<std::mutex>((*t.rowLocks)[size_t(y)]);
    T* acc = t.accumulator->ptr<T>(y);
    T* bridge = useBridge ? t.bridgeAccumulator->ptr<T>(y) : nullptr;
    const uchar* band = useBridge ? maskRow(t.bridgeMask, y) : nullptr;
    for (int x : hits) {
      const double* b = &best[size_t(x) * colours];
      for (int c = 0; c < colours; ++c) {
        lightenSample(acc[x * cn + c], weight * b[c], top);
        if (bridge && band[x]) lightenSample(bridge[x * cn + c], weight * b[c], top);
      }
    }
  }
  return filled;
}

}  // namespace

std::int64_t fillGap(const cv::Mat& frame, const cv::Mat& source, const SkyMotion& motion, double gapShare,
                     double weight, const NLStarTrailAccumulateTarget& target) {
  if (!motion.valid() || !target.accumulator || source.size() != frame.size()) return 0;
  const std::vector<double> steps = gapSteps(gapShare, motion.largestStep());
  if (steps.empty() || cv::countNonZero(source) == 0) return 0;
  std::vector<cv::Matx23d> forward, backward;
  for (double s : steps) {
    forward.push_back(motion.after(s));
    backward.push_back(invertAffine(forward.back()));
  }
  const cv::Mat reached = reachedPixels(source, forward);
  if (frame.depth() == CV_16U) return fillRows<ushort>(frame, source, backward, reached, weight, target);
  return fillRows<uchar>(frame, source, backward, reached, weight, target);
}

}  // namespace startrail_detail
