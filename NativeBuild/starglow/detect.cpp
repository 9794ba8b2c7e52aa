#include "starglow/starglow.h"

#include "plumbing/plumbing.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr std::size_t kPeakReserve = 16000;
constexpr std::size_t kPeakCap = 24000;
constexpr int kBorder = 6;  // peaks need room for the 7x7 maximum and the measuring window

struct SignalStats {
  double mean = 0.0, stddev = 0.0, max = 0.0;
};

}  // namespace

namespace {

// Four samples at a time through OpenCV's portable vectors (SSE, NEON):
// with the strict floating-point rules the compiler keeps the maxima scalar.
void signalRow(const float* l, const float* blurSmall, const float* blurLarge, float* out, int n) {
  int x = 0;
#if CV_SIMD128
  const cv::v_float32x4 zero = cv::v_setzero_f32(), large = cv::v_setall_f32(0.65f);
  for (; x + 4 <= n; x += 4) {
    const cv::v_float32x4 v = cv::v_load(l + x);
    const cv::v_float32x4 hpSmall = cv::v_max(v - cv::v_load(blurSmall + x), zero);
    const cv::v_float32x4 hpLarge = cv::v_max(v - cv::v_load(blurLarge + x), zero);
    cv::v_store(out + x, cv::v_max(hpSmall, large * hpLarge));
  }
#endif
  for (; x < n; ++x) {
    const float hpSmall = std::max(l[x] - blurSmall[x], 0.0f), hpLarge = std::max(l[x] - blurLarge[x], 0.0f);
    out[x] = std::max(hpSmall, 0.65f * hpLarge);
  }
}

}  // namespace

// Two high-pass scales: sigma 10 keeps compact stars, sigma 45 lets large bright
// stars through without their cores being eaten by the small blur. Both skies
// are smooth, so they are blurred on a coarse grid and returned a row at a
// time into the one pass that combines them: a 24-megapixel frame needs no
// frame-sized temporaries and a small share of two full blurs' work.
namespace {

// signal may be the luminance itself: each row is read before it is written,
// and the skies keep their own coarse copies.
void signalInto(const cv::Mat& luminance, const cv::Mat& mask, cv::Mat& signal) {
  const NLCoarseBlur blurSmall(luminance, 10.0, cv::BORDER_REPLICATE);
  const NLCoarseBlur blurLarge(luminance, 45.0, cv::BORDER_REPLICATE);
  // A band of rows to a task: OpenCV hands a loop over rows out a row at a
  // time, and a cursor made for each row widens both skies' two coarse rows
  // anew, four for every row of the frame; down a band it widens five for
  // every eight rows.
  constexpr int kBandRows = 32;
  const int bands = (luminance.rows + kBandRows - 1) / kBandRows;
  cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
    std::vector<float> bs(size_t(luminance.cols)), bl(size_t(luminance.cols));
    NLCoarseBlur::Rows small(blurSmall), large(blurLarge);
    const int last = std::min(luminance.rows, range.end * kBandRows);
    for (int y = range.start * kBandRows; y < last; ++y) {
      small.row(y, bs.data());
      large.row(y, bl.data());
      signalRow(luminance.ptr<float>(y), bs.data(), bl.data(), signal.ptr<float>(y), luminance.cols);
      if (!mask.empty()) {
        const uchar* m = mask.ptr<uchar>(y);
        float* out = signal.ptr<float>(y);
        for (int x = 0; x < luminance.cols; ++x) out[x] = m[x] ? out[x] : 0.0f;
      }
    }
  });
}

}  // namespace

cv::Mat NL_starGlowSignal(const cv::Mat& luminance, const cv::Mat& mask) {
  cv::Mat signal(luminance.size(), CV_32FC1);
  signalInto(luminance, mask, signal);
  return signal;
}

namespace {

SignalStats signalStats(const cv::Mat& signal, const cv::Mat& mask) {
  SignalStats st;
  cv::Scalar mean, stddev;
  cv::meanStdDev(signal, mean, stddev, mask);
  cv::minMaxLoc(signal, nullptr, &st.max, nullptr, nullptr, mask);
  st.mean = mean[0];
  st.stddev = stddev[0];
  return st;
}

double detectionThreshold(const SignalStats& st, double a) {
  const double statistical = st.mean + (2.45 - 1.05 * a) * st.stddev;
  const double fractional = st.max * ((1.0 - a) * 0.0045 + 0.0035);
  return std::min(std::max(statistical, fractional), 0.55 * st.max);
}

// Maximum of the 7x7 neighbourhood, the value a 7x7 rectangular dilation
// gives; every scanned pixel has its whole window inside the image.
float neighbourhoodMax(const cv::Mat& signal, int x, int y) {
  float m = signal.ptr<float>(y)[x];
  for (int r = y - 3; r <= y + 3; ++r) {
    const float* row = signal.ptr<float>(r);
    for (int c = x - 3; c <= x + 3; ++c) m = std::max(m, row[c]);
  }
  return m;
}

// A local maximum at or above the threshold. The neighbourhood is examined
// only for the few pixels above the threshold, so no dilated frame is built.
std::vector<NLPeak> findPeaks(const cv::Mat& signal, const cv::Mat& mask, double threshold) {
  std::vector<NLPeak> peaks;
  peaks.reserve(kPeakReserve);
  if (signal.rows < 2 * kBorder + 1 || signal.cols < 2 * kBorder + 1) return peaks;
  for (int y = kBorder; y <= signal.rows - kBorder - 1; ++y) {
    const float* s = signal.ptr<float>(y);
    const uchar* m = mask.empty() ? nullptr : mask.ptr<uchar>(y);
    for (int x = kBorder; x <= signal.cols - kBorder - 1; ++x) {
      if ((m && !m[x]) || s[x] < threshold || neighbourhoodMax(signal, x, y) > s[x] + 1e-6f) continue;
      peaks.push_back({x, y, s[x]});
    }
  }
  // Stable so that equal peaks keep scan order and results never depend on the sort.
  std::stable_sort(peaks.begin(), peaks.end(), [](const NLPeak& a, const NLPeak& b) { return a.value > b.value; });
  if (peaks.size() > kPeakCap) peaks.resize(kPeakCap);
  return peaks;
}

struct Measured {
  bool ok = false;
  NL_StarCandidate star;
};

struct ChannelSums {
  double bgr[3] = {0, 0, 0};
  int n = 0;
  void add(const cv::Vec3f& p) {
    for (int c = 0; c < 3; ++c) bgr[c] += p[c];
    ++n;
  }
  double mean(int c) const { return n ? bgr[c] / n : 0.0; }
};

// Colour of the star's own light: the rectangle's mean minus the mean of its
// one-pixel frame, so a tinted sky (gradient, light pollution) does not colour
// the glow of every faint star it surrounds.
void measureColor(const NL_FloatBgrFrame& image, const cv::Mat& mask, NL_StarCandidate& c) {
  const int s = std::clamp(static_cast<int>(2.0 * c.radius + 2.0), 3, 16);
  const int cx = static_cast<int>(c.x), cy = static_cast<int>(c.y);
  const int x0 = std::max(0, cx - s), x1 = std::min(image.size().width, cx + s + 1);
  const int y0 = std::max(0, cy - s), y1 = std::min(image.size().height, cy + s + 1);
  c.colorB = c.colorG = c.colorR = 1.0;
  if (x0 >= x1 || y0 >= y1) return;
  cv::Mat patch;
  image.read(cv::Rect(x0, y0, x1 - x0, y1 - y0), patch);
  ChannelSums all, frame;
  for (int y = y0; y < y1; ++y) {
    const cv::Vec3f* p = patch.ptr<cv::Vec3f>(y - y0);
    const uchar* m = mask.empty() ? nullptr : mask.ptr<uchar>(y);
    for (int x = x0; x < x1; ++x) {
      if (m && !m[x]) continue;
      all.add(p[x - x0]);
      if (y == y0 || y == y1 - 1 || x == x0 || x == x1 - 1) frame.add(p[x - x0]);
    }
  }
  if (all.n == 0) return;
  double excess[3];
  for (int ch = 0; ch < 3; ++ch) excess[ch] = std::max(all.mean(ch) - frame.mean(ch), 0.0);
  const double lum = NL_luminance(excess[0], excess[1], excess[2]);
  if (!(lum > 1e-6)) return;
  c.colorB = std::clamp(excess[0] / lum, 0.25, 2.8);
  c.colorG = std::clamp(excess[1] / lum, 0.25, 2.8);
  c.colorR = std::clamp(excess[2] / lum, 0.25, 2.8);
}

Measured measurePeak(const NLPeak& p, const cv::Mat& signal, const NL_FloatBgrFrame& image, const cv::Mat& mask,
                     double threshold, double max) {
  const bool bright = p.value > 0.18 * max;
  const int w = bright ? 8 : 5;
  const int reach = bright ? 64 : 25;
  const double floorValue = std::max(0.16 * p.value, 0.52 * threshold);
  double sumW = 0.0, sumWx = 0.0, sumWy = 0.0, flux = 0.0;
  int n = 0;
  for (int y = std::max(0, p.y - w); y <= std::min(signal.rows - 1, p.y + w); ++y) {
    const float* s = signal.ptr<float>(y);
    const uchar* m = mask.empty() ? nullptr : mask.ptr<uchar>(y);
    for (int x = std::max(0, p.x - w); x <= std::min(signal.cols - 1, p.x + w); ++x) {
      const int d2 = (x - p.x) * (x - p.x) + (y - p.y) * (y - p.y);
      if ((m && !m[x]) || d2 > reach || s[x] < floorValue) continue;
      const double weight = s[x] - floorValue;
      sumW += weight;
      sumWx += weight * x;
      sumWy += weight * y;
      flux += s[x];
      ++n;
    }
  }
  Measured out;
  if (!(sumW > 0.0) || n <= 0) return out;
  NL_StarCandidate& c = out.star;
  c.x = sumWx / sumW;
  c.y = sumWy / sumW;
  if (!std::isfinite(c.x) || !std::isfinite(c.y)) return out;
  const double r0 = std::max(1.0, std::sqrt(n / CV_PI));
  const double peak = std::clamp(static_cast<double>(p.value), 0.0, max);
  c.radius = std::clamp(r0 * (0.85 * peak / max + 1.0), 1.0, 14.0);
  c.peak = p.value;
  c.flux = flux;
  measureColor(image, mask, c);
  c.score = (0.22 * c.radius + 1.0) * (0.03 * flux + 0.72 * p.value);
  out.ok = true;
  return out;
}

double suppressionRadius(float value, double max) {
  if (value > 0.35 * max) return 18.0;
  if (value > 0.12 * max) return 13.0;
  return 8.0;
}

// Accepted peak positions in 18 px cells, the largest suppression radius, so a
// lookup needs only the 3x3 cells around a peak.
class AcceptedGrid {
 public:
  explicit AcceptedGrid(cv::Size size) : cols_(size.width / kCell + 1), cells_((size.height / kCell + 1) * cols_) {}
  bool near(const NLPeak& p, double r) const {
    const double r2 = r * r;
    for (int gy = p.y / kCell - 1; gy <= p.y / kCell + 1; ++gy)
      for (int gx = p.x / kCell - 1; gx <= p.x / kCell + 1; ++gx) {
        if (gx < 0 || gy < 0 || gx >= cols_ || gy * cols_ + gx >= static_cast<int>(cells_.size())) continue;
        for (const cv::Point& q : cells_[gy * cols_ + gx]) {
          const double dx = q.x - p.x, dy = q.y - p.y;
          if (dx * dx + dy * dy <= r2) return true;
        }
      }
    return false;
  }
  void add(const NLPeak& p) { cells_[(p.y / kCell) * cols_ + p.x / kCell].push_back({p.x, p.y}); }

 private:
  static constexpr int kCell = 18;
  int cols_;
  std::vector<std::vector<cv::Point>> cells_;
};

// Measurements do not depend on each other, so they run in parallel; the
// suppression walk that follows is sequential in peak order.
std::vector<NL_StarCandidate> measureCandidates(const std::vector<NLPeak>& peaks, const cv::Mat& signal,
                                                const NL_FloatBgrFrame& image, const cv::Mat& mask, double threshold,
                                                double max) {
  std::vector<Measured> measured(peaks.size());
  cv::parallel_for_(cv::Range(0, static_cast<int>(peaks.size())), [&](const cv::Range& r) {
    for (int i = r.start; i < r.end; ++i) measured[i] = measurePeak(peaks[i], signal, image, mask, threshold, max);
  });
  std::vector<NL_StarCandidate> out;
  AcceptedGrid accepted(signal.size());
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    if (accepted.near(peaks[i], suppressionRadius(peaks[i].value, max)) || !measured[i].ok) continue;
    out.push_back(measured[i].star);
    accepted.add(peaks[i]);
  }
  return out;
}

std::size_t candidateLimit(double a, std::size_t count) {
  if (a <= 0.0005) return 0;
  const double limit = std::ceil(std::pow(a, 1.18) * static_cast<double>(count));
  return limit <= 1.0 ? 1 : static_cast<std::size_t>(limit);
}

void classify(NL_StarDetection& d) {
  std::vector<double> scores;
  for (const NL_StarCandidate& c : d.stars) scores.push_back(c.score);
  std::sort(scores.begin(), scores.end());
  const std::size_t n = scores.size();
  d.q56 = scores[static_cast<std::size_t>(static_cast<double>(n - 1) * 0.56)];
  d.q88 = scores[static_cast<std::size_t>(static_cast<double>(n - 1) * 0.88)];
  for (NL_StarCandidate& c : d.stars) {
    c.starClass = c.score >= d.q88 ? 2 : (c.score >= d.q56 ? 1 : 0);
    ++d.classCount[c.starClass];
  }
}

}  // namespace

namespace {

void checkInputs(const cv::Mat& luminance, const NL_FloatBgrFrame& image, const cv::Mat& mask) {
  CV_Assert(luminance.type() == CV_32FC1 && image.size() == luminance.size());
  CV_Assert(mask.empty() || (mask.type() == CV_8UC1 && mask.size() == luminance.size()));
}

NL_StarDetection analyzeSignal(const cv::Mat& signal, const NL_FloatBgrFrame& image, const cv::Mat& mask,
                               const NL_StarGlowSettings& settings) {
  NL_StarDetection d;
  d.starAmount = settings.starAmount;
  const SignalStats st = signalStats(signal, mask);
  d.signalMax = st.max;
  if (!(st.max > 0.0) || !std::isfinite(st.max)) return d;
  const double a = std::clamp(settings.starAmount / 100.0, 0.0, 1.0);
  d.threshold = detectionThreshold(st, a);
  const std::vector<NLPeak> peaks = findPeaks(signal, mask, d.threshold);
  d.outcome = NL_StarDetectionOutcome::NoPeaks;
  if (peaks.empty()) return d;
  d.stars = measureCandidates(peaks, signal, image, mask, d.threshold, st.max);
  d.outcome = NL_StarDetectionOutcome::NoCandidates;
  if (d.stars.empty()) return d;
  std::stable_sort(d.stars.begin(), d.stars.end(),
                   [](const NL_StarCandidate& x, const NL_StarCandidate& y) { return x.score > y.score; });
  d.detected = d.stars.size();
  d.limit = candidateLimit(a, d.detected);
  d.stars.resize(std::min(d.limit, d.detected));
  d.outcome = NL_StarDetectionOutcome::NoneKept;
  if (d.stars.empty()) return d;
  d.outcome = NL_StarDetectionOutcome::Kept;
  classify(d);
  return d;
}

}  // namespace

NL_StarDetection NL_analyzeStars(const cv::Mat& luminance, const cv::Mat& image, const cv::Mat& mask,
                                 const NL_StarGlowSettings& settings) {
  const NL_FloatBgrFrame frame = NL_FloatBgrFrame::ofFloatBgr(image);
  checkInputs(luminance, frame, mask);
  return analyzeSignal(NL_starGlowSignal(luminance, mask), frame, mask, settings);
}

NL_StarDetection NL_analyzeStars(cv::Mat&& luminance, const NL_FloatBgrFrame& frame, const cv::Mat& mask,
                                 const NL_StarGlowSettings& settings) {
  checkInputs(luminance, frame, mask);
  signalInto(luminance, mask, luminance);
  return analyzeSignal(luminance, frame, mask, settings);
}

NL_StarDetection NL_analyzeStars(cv::Mat&& luminance, const cv::Mat& image, const cv::Mat& mask,
                                 const NL_StarGlowSettings& settings) {
  return NL_analyzeStars(std::move(luminance), NL_FloatBgrFrame::ofFloatBgr(image), mask, settings);
}

namespace {

std::vector<NL_StarCandidate> reported(NL_StarDetection&& d, std::ostream& log) {
  log << NL_starDetectionReport(d);
  return std::move(d.stars);
}

}  // namespace

std::vector<NL_StarCandidate> NL_detectStars(const cv::Mat& luminance, const cv::Mat& image, const cv::Mat& mask,
                                             const NL_StarGlowSettings& settings, std::ostream& log) {
  return reported(NL_analyzeStars(luminance, image, mask, settings), log);
}

std::vector<NL_StarCandidate> NL_detectStars(cv::Mat&& luminance, const cv::Mat& image, const cv::Mat& mask,
                                             const NL_StarGlowSettings& settings, std::ostream& log) {
  return reported(NL_analyzeStars(std::move(luminance), image, mask, settings), log);
}

std::vector<NL_StarCandidate> NL_detectStars(cv::Mat&& luminance, const NL_FloatBgrFrame& frame,
                                             const cv::Mat& mask, const NL_StarGlowSettings& settings,
                                             std::ostream& log) {
  return reported(NL_analyzeStars(std::move(luminance), frame, mask, settings), log);
}
