// Sub-pixel star positions for the final fit: the detector's centroid weighs
// only the pixels above its threshold, so it is pulled by the threshold's
// cut through the star and by noise in the wings. An iterated Gaussian-
// windowed centroid over the whole star converges on the centre of any
// symmetric profile (a seeing disc, a clipped bright star, a short arc).
#include "registration/registration.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kMaxIterations = 20;
constexpr double kConverged = 1e-4;  // px
constexpr double kMinWindowSigma = 0.8, kMaxWindowSigma = 4.0;  // px

// Grey value with the detector's weights (OpenCV's BGR-to-grey), any depth.
template <typename T>
double greyOf(const T* p, int channels) {
  if (channels < 3) return double(p[0]);
  return 0.114 * double(p[0]) + 0.587 * double(p[1]) + 0.299 * double(p[2]);
}

double greyAt(const cv::Mat& image, int x, int y) {
  const int cn = image.channels();
  switch (image.depth()) {
    case CV_8U: return greyOf(image.ptr<uchar>(y) + x * cn, cn);
    case CV_16U: return greyOf(image.ptr<ushort>(y) + x * cn, cn);
    case CV_32F: return greyOf(image.ptr<float>(y) + x * cn, cn);
    default: return greyOf(image.ptr<double>(y) + x * cn, cn);
  }
}

bool supportedDepth(const cv::Mat& image) {
  const int d = image.depth();
  return d == CV_8U || d == CV_16U || d == CV_32F || d == CV_64F;
}

// One star's window with the local sky (median of the window's border) removed.
struct Window {
  int x0 = 0, y0 = 0, side = 0;
  std::vector<double> values;
};

bool windowAround(const cv::Mat& image, cv::Point2d centre, int reach, Window& w) {
  const int cx = int(std::lround(centre.x)), cy = int(std::lround(centre.y));
  if (cx - reach < 0 || cy - reach < 0 || cx + reach >= image.cols || cy + reach >= image.rows) return false;
  w.x0 = cx - reach, w.y0 = cy - reach, w.side = 2 * reach + 1;
  w.values.resize(size_t(w.side) * size_t(w.side));
  std::vector<double> border;
  for (int j = 0; j < w.side; ++j)
    for (int i = 0; i < w.side; ++i) {
      const double v = greyAt(image, w.x0 + i, w.y0 + j);
      w.values[size_t(j) * size_t(w.side) + size_t(i)] = v;
      if (i == 0 || j == 0 || i == w.side - 1 || j == w.side - 1) border.push_back(v);
    }
  std::nth_element(border.begin(), border.begin() + std::ptrdiff_t(border.size() / 2), border.end());
  const double sky = border[border.size() / 2];
  for (double& v : w.values) v -= sky;
  return true;
}

// The windowed centroid: p <- p + 2 sum(w v (x - p)) / sum(w v) with a
// Gaussian weight w about p. False when it does not settle near its start.
bool windowedCentroid(const cv::Mat& image, cv::Point2d start, double sigma, cv::Point2d& out) {
  const int reach = int(std::ceil(4.0 * sigma)) + 1;
  Window w;
  if (!windowAround(image, start, reach, w)) return false;
  const double k = -0.5 / (sigma * sigma);
  cv::Point2d p = start;
  // The Gaussian weight factors into a column and a row term: 2 x side
  // exponentials an iteration instead of side^2.
  std::vector<double> across(size_t(w.side)), down(size_t(w.side));
  for (int it = 0; it < kMaxIterations; ++it) {
    for (int i = 0; i < w.side; ++i) {
      const double dx = w.x0 + i - p.x, dy = w.y0 + i - p.y;
      across[size_t(i)] = std::exp(k * dx * dx);
      down[size_t(i)] = std::exp(k * dy * dy);
    }
    double s = 0.0, sx = 0.0, sy = 0.0;
    for (int j = 0; j < w.side; ++j) {
      const double dy = w.y0 + j - p.y;
      const double* row = &w.values[size_t(j) * size_t(w.side)];
      double rs = 0.0, rsx = 0.0;
      for (int i = 0; i < w.side; ++i) {
        const double wv = across[size_t(i)] * row[i];
        rs += wv, rsx += wv * (w.x0 + i - p.x);
      }
      s += down[size_t(j)] * rs, sx += down[size_t(j)] * rsx, sy += down[size_t(j)] * rs * dy;
    }
    if (!(s > 0.0)) return false;
    const cv::Point2d step(2.0 * sx / s, 2.0 * sy / s);
    p += step;
    if (!(std::hypot(p.x - start.x, p.y - start.y) <= std::max(1.5, sigma))) return false;
    if (std::hypot(step.x, step.y) < kConverged) break;
  }
  out = p;
  return true;
}

// Window width from the typical blob of the matched stars: about the seeing.
double windowSigma(const NLStarMatchList& matches, bool moving) {
  std::vector<int> areas;
  for (const NLStarMatch& m : matches) areas.push_back(moving ? m.second.area : m.first.area);
  std::nth_element(areas.begin(), areas.begin() + std::ptrdiff_t(areas.size() / 2), areas.end());
  const double fwhm = 2.0 * std::sqrt(double(areas[areas.size() / 2]) / CV_PI);
  return std::clamp(fwhm / 2.3548, kMinWindowSigma, kMaxWindowSigma);
}

NLStarCandidate remeasured(const cv::Mat& image, const NLStarCandidate& star, double sigma, NLCentroidCache* cache) {
  const cv::Point2d start = NL_starPoint(star);
  NLCentroidCache::Entry e;
  if (!cache || !cache->find(start.x, start.y, sigma, e)) {
    cv::Point2d measured;
    e.settled = windowedCentroid(image, start, sigma, measured);
    e.x = measured.x, e.y = measured.y;
    if (cache) cache->add(start.x, start.y, sigma, e);
  }
  if (!e.settled) return star;
  const cv::Point2d p(e.x, e.y);
  NLStarCandidate out = star;
  out.centerX = p.x, out.centerY = p.y;
  out.x = int(std::round(p.x)), out.y = int(std::round(p.y));
  return out;
}

}  // namespace

bool NLCentroidCache::find(double x, double y, double sigma, Entry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = entries_.find({x, y, sigma});
  if (it == entries_.end()) return false;
  entry = it->second;
  return true;
}

void NLCentroidCache::add(double x, double y, double sigma, const Entry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.emplace(Key{x, y, sigma}, entry);
}

void NLCentroidCache::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

NLRegistrationAttempt NL_refineRegistrationAttempt(const cv::Mat& reference, const cv::Mat& moving,
                                                   const NLRegistrationAttempt& attempt) {
  return NL_refineRegistrationAttempt(reference, moving, attempt, nullptr, nullptr);
}

NLRegistrationAttempt NL_refineRegistrationAttempt(const cv::Mat& reference, const cv::Mat& moving,
                                                   const NLRegistrationAttempt& attempt,
                                                   NLCentroidCache* referenceCentres, NLCentroidCache* movingCentres) {
  if (!attempt.valid || attempt.matches.empty() || reference.empty() || moving.empty() ||
      !supportedDepth(reference) || !supportedDepth(moving))
    return attempt;
  const double refSigma = windowSigma(attempt.matches, false), movSigma = windowSigma(attempt.matches, true);
  NLStarMatchList refined;
  refined.reserve(attempt.matches.size());
  for (const NLStarMatch& m : attempt.matches)
    refined.emplace_back(remeasured(reference, m.first, refSigma, referenceCentres),
                         remeasured(moving, m.second, movSigma, movingCentres));
  NLRegistrationAttempt better = NL_evaluateRegistrationAttempt(attempt.mode, refined);
  // Kept when the re-measured stars agree at least as well and nearly as many:
  // a match the loose centroids let through (a blend, a star that moved) may
  // rightly fall out once the centres are measured; a refit that loses more
  // than one in a hundred is not trusted.
  const bool keepsTheInliers = 100 * better.inlierCount >= 99 * attempt.inlierCount;
  if (!better.valid || !keepsTheInliers || better.meanError > attempt.meanError) return attempt;
  return better;
}
