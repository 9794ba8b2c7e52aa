// Frame quality filter: ranks frames by how small (sharp) their stars are.
#include "hybrid/hybrid.h"

#include "hybrid/detail/stack_progress.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kSigmaFactor = 2.5;
constexpr int kMaxCandidates = 5000;
constexpr int kMinStars = 80;          // fewer cannot carry a homography either
constexpr int kMaxSampled = 1500;
constexpr double kLargeArea = 48.0;    // px: seeing or focus has bloated the stars
constexpr double kVeryLargeArea = 58.0;

cv::Mat floatGrey(const cv::Mat& image) {
  cv::Mat grey = image, value;
  if (image.channels() == 3) cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  else if (image.channels() == 4) cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
  grey.convertTo(value, CV_32F, 1.0, 0.0);
  return value;
}

double medianOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// The very brightest stars are saturated and bloated whatever the seeing, so
// a few of them are left out of the statistics.
void sampleStatistics(const std::vector<NLStarCandidate>& stars, NLFrameQuality& q) {
  const int skip = q.stars >= 81 ? std::min(q.stars / 20, 20) : 0;
  q.sampled = std::min(q.stars - skip, kMaxSampled);
  std::vector<double> areas;
  double peaks = 0.0;
  for (int i = skip; i < skip + q.sampled; ++i) {
    areas.push_back(double(stars[i].area));
    peaks += double(stars[i].peak);
  }
  q.medianArea = medianOf(areas);
  q.medianRadius = q.medianArea > 0.0 ? std::sqrt(q.medianArea / CV_PI) : 0.0;
  q.avgBrightness = peaks / q.sampled;
}

void scoreFrame(NLFrameQuality& q) {
  if (q.stars < kMinStars) {
    q.score = 0.0;
    q.reason = "very few stars";
  } else {
    q.score = std::min(std::max(100.0 - q.medianArea, 0.0), 100.0);
    q.reason = q.medianArea >= kVeryLargeArea ? "very large/soft stars"
               : q.medianArea >= kLargeArea   ? "large/soft stars"
                                              : "ok";
  }
  q.compactScore = q.score;
}

bool isValid(const NLFrameQuality& q) { return q.stars >= kMinStars && q.medianArea > 0.0; }

const char* const kNoStarsAboveNoise = "no stars above the noise";

// A frame whose stars could be measured at all. Unreadable frames, frames
// without a star and frames of noise rank after every other and are never
// taken: with no stars there is nothing to register or to rank by.
bool hasStars(const NLFrameQuality& q) {
  return q.stars > 0 && q.medianArea > 0.0 && q.reason != kNoStarsAboveNoise;
}

int tier(const NLFrameQuality& q) { return hasStars(q) ? (isValid(q) ? 0 : 1) : 2; }

// Spots five noise deviations above the smoothed sky: in pure noise a
// pixel lies that high once in millions, while a star's core clears it.
constexpr double kNoiseSigmas = 5.0;

// Sensor noise (a lens cap, a frame of noise) passes the search relative to
// the brightest residual as thousands of tiny specks, smaller than any star,
// so such a frame would rank first. Stars stand above the sky's own noise;
// noise does not: at least half of the frame's stars (counting up to the
// minimum a registration needs) must be seen again as spots that far above
// the sky, the noise measured robustly (median absolute deviation) on the
// frame smoothed as the star search smooths it, the sky taken from a coarse
// blur so that gradients do not count.
bool starsStandAboveNoise(const cv::Mat& image, int stars) {
  if (image.empty()) return false;
  cv::Mat grey = floatGrey(image), smooth, coarse, sky, residual;
  cv::GaussianBlur(grey, smooth, cv::Size(3, 3), 0.0);
  const double shrink = std::max(1.0, std::min(grey.cols, grey.rows) / 64.0);
  cv::resize(smooth, coarse, cv::Size(), 1.0 / shrink, 1.0 / shrink, cv::INTER_AREA);
  cv::medianBlur(coarse, coarse, 5);
  cv::resize(coarse, sky, smooth.size(), 0.0, 0.0, cv::INTER_LINEAR);
  residual = smooth - sky;
  std::vector<float> sample;
  const int step = std::max(1, int(std::sqrt(double(residual.total()) / 2.0e5)));
  for (int y = 0; y < residual.rows; y += step)
    for (int x = 0; x < residual.cols; x += step) sample.push_back(residual.at<float>(y, x));
  const auto mid = sample.begin() + std::ptrdiff_t(sample.size() / 2);
  std::nth_element(sample.begin(), mid, sample.end());
  const float median = *mid;
  for (float& v : sample) v = std::abs(v - median);
  std::nth_element(sample.begin(), mid, sample.end());
  const double sigma = std::max(1.4826 * *mid, 1e-6);
  cv::Mat spots, labels;
  cv::threshold(residual, spots, median + kNoiseSigmas * sigma, 255.0, cv::THRESH_BINARY);
  spots.convertTo(spots, CV_8U);
  const int found = cv::connectedComponents(spots, labels, 8, CV_32S) - 1;
  return 2 * found >= std::min(stars, kMinStars);
}

// The best-ranked frame becomes every registration's reference, so it is
// checked for real stars; a frame of noise is marked and the next one checked.
bool confirmReference(std::vector<NLFrameQuality>& frames, const std::vector<int>& ranking, NLJobFrames* store) {
  bool changed = false;
  for (int i : ranking) {
    NLFrameQuality& q = frames[i];
    if (!hasStars(q)) break;
    cv::Mat image = store ? store->image(q.path) : cv::Mat();
    if (image.empty()) image = NL_imreadWithRetry(q.path, -1);
    if (starsStandAboveNoise(image, q.stars)) break;
    q.reason = kNoStarsAboveNoise;
    q.score = q.compactScore = 0.0;
    changed = true;
  }
  return changed;
}

}  // namespace

NLFrameQuality NL_measureFrameQuality(const std::string& path, int index, NLJobFrames* store) {
  NLFrameQuality q;
  q.path = path;
  q.index = index;
  const cv::Mat image = NL_imreadWithRetry(path, -1);
  if (image.empty()) {
    if (store) store->recordFrame(path, image, nullptr);
    q.reason = "could not load image";
    return q;
  }
  // In a job one detection serves the registrations too: it holds this
  // filter's 5000 brightest stars and everything a registration selects.
  const auto detection = std::make_shared<const NLStarDetection>(
      store ? NL_detectRegistrationStars(image, kSigmaFactor) : NL_detectStars(image, kSigmaFactor, 0, kMaxCandidates));
  if (store) store->recordFrame(path, image, detection);
  if (detection->hasGreyStats) {
    q.backgroundMean = detection->greyMean;
    q.backgroundStdDev = detection->greyStdDev;
  } else {
    cv::Scalar mean, stdDev;
    cv::meanStdDev(floatGrey(image), mean, stdDev);
    q.backgroundMean = mean[0];
    q.backgroundStdDev = stdDev[0];
  }
  const std::vector<NLStarCandidate> stars = NL_starCandidatesOf(*detection, kMaxCandidates, 0);
  q.stars = int(stars.size());
  if (stars.empty()) {
    q.reason = "no stars detected";
    return q;
  }
  sampleStatistics(stars, q);
  scoreFrame(q);
  return q;
}

std::vector<int> NL_rankFramesByQuality(const std::vector<NLFrameQuality>& frames) {
  std::vector<int> order(frames.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = int(i);
  std::sort(order.begin(), order.end(), [&](int a, int b) {
    const NLFrameQuality& qa = frames[a];
    const NLFrameQuality& qb = frames[b];
    if (tier(qa) != tier(qb)) return tier(qa) < tier(qb);
    if (qa.medianArea != qb.medianArea) return qa.medianArea < qb.medianArea;
    return qa.index < qb.index;
  });
  return order;
}

int NL_qualityKeepCount(int keepPercent, int minFrames, int frameCount) {
  const int keep = std::min(std::max(keepPercent, 50), 100);
  int count = int(std::ceil((keep / 100.0) * frameCount));
  count = std::max(count, minFrames);
  return std::min(count, frameCount);
}

std::vector<std::string> NL_filterInputsByFrameQuality(const std::vector<std::string>& inputs, int keepPercent,
                                                       int minFrames, std::string& log,
                                                       const std::string& progressPath, NLJobFrames* store) {
  const int n = int(inputs.size());
  if (n == 0) return {};
  const hybrid_detail::JobProgress progress{progressPath};
  std::vector<NLFrameQuality> frames(n);
  progress.write(10, "Checking Frame Quality", "Measuring frame quality.");
  NLFinishedCount completed;
  cv::parallel_for_(cv::Range(0, n), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      frames[i] = NL_measureFrameQuality(inputs[i], i, store);
      completed.finishOne([&](int done) {
        progress.write(hybrid_detail::progressBetween(10, 12.0, done, n), "Checking Frame Quality",
                       "Analyzed frame " + std::to_string(done) + " of " + std::to_string(n) + ".");
      });
    }
  });
  std::vector<int> ranking = NL_rankFramesByQuality(frames);
  if (confirmReference(frames, ranking, store)) ranking = NL_rankFramesByQuality(frames);
  const int keepCount = NL_qualityKeepCount(keepPercent, minFrames, n);
  std::vector<std::string> kept;
  for (int r = 0; r < keepCount && hasStars(frames[ranking[r]]); ++r) {
    frames[ranking[r]].used = true;
    kept.push_back(frames[ranking[r]].path);
  }
  log += NL_formatFrameQualityLog(std::min(std::max(keepPercent, 50), 100), frames, ranking[0]);
  return kept;
}
