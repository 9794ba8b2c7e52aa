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
    if (isValid(qa) != isValid(qb)) return isValid(qa);
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
  const std::vector<int> ranking = NL_rankFramesByQuality(frames);
  const int keepCount = NL_qualityKeepCount(keepPercent, minFrames, n);
  std::vector<std::string> kept;
  for (int r = 0; r < keepCount; ++r) {
    frames[ranking[r]].used = true;
    kept.push_back(frames[ranking[r]].path);
  }
  log += NL_formatFrameQualityLog(std::min(std::max(keepPercent, 50), 100), frames, ranking[0]);
  return kept;
}
