// Every frame of a stack registered on one reference, frames in parallel.
// Each worker writes only its own frame's slots; the reference's stars are
// selected once and shared read-only.
#include "registration/registration.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

namespace {

constexpr double kPlainSigmaFactor = 2.5;
constexpr int kPlainMaxShift = 500;  // px
const char* const kAligningTitle = "Aligning Frames";
const char* const kSkyTitle = "Creating Registered Sky Stack";

// Quality gate of the sky stack: a frame must be aligned to a fraction of a
// star's width everywhere, or it would smear the stacked stars.
constexpr int kGateInliersMin = 80;
constexpr double kGateInlierRatioMin = 0.25;
constexpr double kGateAverageErrorMax = 1.1;  // px
constexpr double kGateMedianErrorMax = 0.85;  // px
constexpr double kGateEdgeErrorMax = 3.5;     // px
constexpr double kGateCornerErrorMax = 5.0;   // px
constexpr double kNotMeasured = 9000.0;       // figures above this were not measured

using Corners = std::array<cv::Point2d, 4>;

Corners projectedCorners(const cv::Mat& homography, cv::Size size) {
  const double w = size.width, h = size.height;
  return {NL_projectPoint(homography, {0.0, 0.0}), NL_projectPoint(homography, {w, 0.0}),
          NL_projectPoint(homography, {w, h}), NL_projectPoint(homography, {0.0, h})};
}

// Serialises the callback: workers finish in any order, the receiver sees one call at a time.
class SerialProgress {
 public:
  explicit SerialProgress(const NLProgressCallback& callback) : callback_(callback) {}
  void operator()(int percent, const std::string& title, const std::string& message) {
    if (!callback_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    callback_(percent, title, message);
  }

 private:
  const NLProgressCallback& callback_;
  std::mutex mutex_;
};

void extendBounds(const std::vector<Corners>& corners, double& minX, double& minY, double& maxX, double& maxY) {
  for (size_t i = 1; i < corners.size(); ++i) {
    for (const cv::Point2d& p : corners[i]) {
      minX = std::min(minX, p.x);
      minY = std::min(minY, p.y);
      maxX = std::max(maxX, p.x);
      maxY = std::max(maxY, p.y);
    }
  }
}

}  // namespace

bool NL_computeHomographyTransformsParallel(const std::vector<cv::Mat>& frames, int starBudget, double tolerance,
                                            std::vector<cv::Mat>& transforms, std::vector<NLStarMatchList>& matches,
                                            double& minX, double& minY, double& maxX, double& maxY,
                                            std::string& error, const NLProgressCallback& progress,
                                            const std::vector<const NLStarDetection*>* detections) {
  if (frames.empty()) return error = "no images loaded", false;
  CV_Assert(!detections || detections->size() == frames.size());
  const auto detectionOf = [&](int i) -> const NLStarDetection* {
    const NLStarDetection* d = detections ? (*detections)[size_t(i)] : nullptr;
    CV_Assert(!d || (d->detected && d->size == frames[size_t(i)].size() && d->sigmaFactor == kPlainSigmaFactor));
    return d;
  };
  const int n = int(frames.size());
  transforms.assign(n, cv::Mat());
  matches.assign(n, NLStarMatchList());
  transforms[0] = cv::Mat::eye(3, 3, CV_64F);
  std::vector<int> registered(n, 1);
  std::vector<Corners> corners(n);
  SerialProgress report(progress);
  report(42, kAligningTitle, "Computing homography transforms.");
  if (n > 1) {
    const NLStarDetection* referenceDetection = detectionOf(0);
    const NLReferenceStars reference =
        referenceDetection ? NL_selectReferenceStars(frames[0], *referenceDetection, starBudget)
                           : NL_selectReferenceStars(frames[0], kPlainSigmaFactor, starBudget);
    const double steps = std::max(n, 2) - 1;
    NLFinishedCount done;
    cv::parallel_for_(cv::Range(1, n), [&](const cv::Range& range) {
      for (int i = range.start; i < range.end; ++i) {
        cv::Mat h;
        NLAlignmentQuality figures;
        const NLStarDetection* detection = detectionOf(i);
        const bool ok =
            detection ? NL_buildHomographyTransformWithFigures(reference, frames[i],
                                                               NL_selectRegistrationStars(*detection, starBudget),
                                                               kPlainMaxShift, tolerance, h, figures, &matches[i])
                      : NL_buildHomographyTransformWithFigures(reference, frames[i], kPlainMaxShift, tolerance, h,
                                                               figures, &matches[i]);
        if (!ok) {
          registered[i] = 0;
          continue;
        }
        transforms[i] = h;
        corners[i] = projectedCorners(h, frames[i].size());
        done.finishOne([&](int k) {
          report(42 + int(std::trunc(k * 16.0 / steps)), kAligningTitle,
                 "Registered frame " + std::to_string(k + 1) + " of " + std::to_string(n) + ".");
        });
      }
    });
  }
  for (int i = 1; i < n; ++i)
    if (!registered[i]) return error = "homography failed for input index " + std::to_string(i + 1), false;
  minX = 0.0;
  minY = 0.0;
  maxX = frames[0].cols;
  maxY = frames[0].rows;
  extendBounds(corners, minX, minY, maxX, maxY);
  return true;
}

void NL_boundsOfTransforms(const std::vector<cv::Size>& sizes, const std::vector<cv::Mat>& transforms, double& minX,
                           double& minY, double& maxX, double& maxY) {
  CV_Assert(!sizes.empty() && sizes.size() == transforms.size());
  std::vector<Corners> corners(sizes.size());
  for (size_t i = 1; i < sizes.size(); ++i) corners[i] = projectedCorners(transforms[i], sizes[i]);
  minX = 0.0;
  minY = 0.0;
  maxX = sizes[0].width;
  maxY = sizes[0].height;
  extendBounds(corners, minX, minY, maxX, maxY);
}

std::string NL_skyRegistrationGateFailure(bool registered, const NLAlignmentQuality& q) {
  if (!registered || !q.ok) return q.reason.empty() ? "ok" : q.reason;
  if (!(q.inlierCount >= kGateInliersMin)) return "not enough reliable inliers";
  if (!(q.inlierRatio >= kGateInlierRatioMin)) return "inlier ratio too low";
  if (!(q.averageError <= kGateAverageErrorMax)) return "average error too high";
  if (!(q.medianError <= kGateMedianErrorMax)) return "median error too high";
  if (!(q.edgeError <= kGateEdgeErrorMax || q.edgeError > kNotMeasured)) return "edge error too high";
  if (!(q.cornerError <= kGateCornerErrorMax || q.cornerError > kNotMeasured)) return "corner error too high";
  return "";
}

namespace {

NLSkyRegistrationFrame registerSkyFrame(const NLReferenceStars& reference, const NLReferenceStars& moving, int index,
                                        int maxShift, double tolerance, cv::Mat& homography,
                                        NLStarMatchList& inliers) {
  NLSkyRegistrationFrame f;
  f.quality.frameIndex = index;
  const bool registered = NL_buildHomographyTransformWithQuality(reference, moving.image, moving.stars, maxShift,
                                                                 tolerance, homography, f.quality, &inliers);
  f.quality.frameIndex = index;
  const std::string failure = NL_skyRegistrationGateFailure(registered, f.quality);
  f.used = failure.empty();
  f.reason = f.used ? (f.quality.reason.empty() ? "ok" : f.quality.reason) : failure;
  return f;
}

}  // namespace

bool NL_computeSkyHomographyTransformsParallelRobust(const std::vector<cv::Mat>& frames, double sigmaFactor,
                                                     int starBudget, int maxShift, double tolerance,
                                                     std::vector<cv::Mat>& transforms,
                                                     std::vector<NLStarMatchList>& matches,
                                                     std::vector<unsigned char>& used, std::string& error,
                                                     std::string& log, const NLProgressCallback& progress,
                                                     NLSkyRegistrationRun* runOut) {
  error.clear();
  if (frames.empty()) return error = "no images loaded", false;
  const int n = int(frames.size());
  NLSkyRegistrationRun run;
  run.anchor = n / 2;
  run.frames.assign(n, NLSkyRegistrationFrame());
  run.frames[run.anchor].used = run.frames[run.anchor].anchor = true;
  transforms.assign(n, cv::Mat());
  matches.assign(n, NLStarMatchList());
  used.assign(n, 0);
  transforms[run.anchor] = cv::Mat::eye(3, 3, CV_64F);
  SerialProgress report(progress);
  report(0, kSkyTitle, "Aligning sky frames against the middle reference frame.");
  if (n > 1) {
    // Every frame's stars first, the anchor's among them: detecting the
    // anchor alone before the pairs would leave all but one worker idle.
    std::vector<NLReferenceStars> stars(n);
    cv::parallel_for_(cv::Range(0, n), [&](const cv::Range& range) {
      for (int i = range.start; i < range.end; ++i) stars[i] = NL_selectReferenceStars(frames[i], sigmaFactor, starBudget);
    });
    const NLReferenceStars& reference = stars[run.anchor];
    const int total = std::max(n, 2) - 1;
    NLFinishedCount done;
    cv::parallel_for_(cv::Range(0, n), [&](const cv::Range& range) {
      for (int i = range.start; i < range.end; ++i) {
        if (i == run.anchor) continue;
        cv::Mat h;
        NLStarMatchList inliers;
        run.frames[i] = registerSkyFrame(reference, stars[i], i, maxShift, tolerance, h, inliers);
        if (run.frames[i].used) {
          transforms[i] = h;
          matches[i] = std::move(inliers);
        }
        done.finishOne([&](int k) {
          report(int(std::trunc(k * 100.0 / total)), kSkyTitle,
                 "Registered sky frame " + std::to_string(k) + " of " + std::to_string(total) + ".");
        });
      }
    });
  }
  int usedCount = 0;
  for (int i = 0; i < n; ++i) usedCount += used[i] = run.frames[i].used ? 1 : 0;
  run.threads = cv::getNumThreads();
  log = NL_formatSkyRegistrationLog(run);
  if (runOut) *runOut = run;
  if (usedCount <= 1) return error = "robust sky registration rejected all moving frames\n" + log, false;
  return true;
}
