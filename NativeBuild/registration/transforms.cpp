// Every frame of a stack registered on one reference, frames in parallel.
// Each worker writes only its own frame's slots; the reference's stars are
// selected once and shared read-only.
#include "registration/registration.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <mutex>

namespace {

const char* const kAligningTitle = "Aligning Frames";
const char* const kSkyTitle = "Creating Registered Sky Stack";

using Corners = std::array<cv::Point2d, 4>;

Corners projectedCorners(const cv::Mat& homography, cv::Size size) {
  const double w = size.width, h = size.height;
  return {NL_projectPoint(homography, {0.0, 0.0}), NL_projectPoint(homography, {w, 0.0}),
          NL_projectPoint(homography, {w, h}), NL_projectPoint(homography, {0.0, h})};
}

// Detection planes handed from one frame to the next: each frame's float
// residual and masks would otherwise be allocated and faulted in afresh.
// At most one set per worker exists at a time.
class DetectionBufferPool {
 public:
  std::unique_ptr<NLDetectionBuffers> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return std::make_unique<NLDetectionBuffers>();
    std::unique_ptr<NLDetectionBuffers> b = std::move(free_.back());
    free_.pop_back();
    return b;
  }
  void giveBack(std::unique_ptr<NLDetectionBuffers> b) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(b));
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<NLDetectionBuffers>> free_;
};

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

NLStackTransforms NL_computeStackTransforms(const std::vector<cv::Mat>& frames, const NLRegistrationSettings& settings,
                                            const NLProgressCallback& progress,
                                            const std::vector<const NLStarDetection*>* detections) {
  NLStackTransforms out;
  if (frames.empty()) return out.error = "no images loaded", out;
  CV_Assert(!detections || detections->size() == frames.size());
  const auto detectionOf = [&](int i) -> const NLStarDetection* {
    const NLStarDetection* d = detections ? (*detections)[size_t(i)] : nullptr;
    CV_Assert(!d || (d->detected && d->size == frames[size_t(i)].size() && d->sigmaFactor == settings.sigmaFactor));
    return d;
  };
  const int n = int(frames.size());
  out.transforms.assign(n, cv::Mat());
  out.matches.assign(n, NLStarMatchList());
  out.transforms[0] = cv::Mat::eye(3, 3, CV_64F);
  std::vector<int> registered(n, 1);
  std::vector<Corners> corners(n);
  SerialProgress report(progress);
  report(42, kAligningTitle, "Computing homography transforms.");
  if (n > 1) {
    const NLStarDetection* referenceDetection = detectionOf(0);
    const NLReferenceStars reference = referenceDetection
                                           ? NL_selectReferenceStars(frames[0], *referenceDetection, settings)
                                           : NL_selectReferenceStars(frames[0], settings);
    const double steps = std::max(n, 2) - 1;
    NLFinishedCount done;
    cv::parallel_for_(cv::Range(1, n), [&](const cv::Range& range) {
      for (int i = range.start; i < range.end; ++i) {
        const NLStarDetection* detection = detectionOf(i);
        NLPairRegistration pair = NL_registerPlainPair(
            reference, detection ? NL_selectReferenceStars(frames[i], *detection, settings)
                                 : NL_selectReferenceStars(frames[i], settings));
        if (!pair.ok) {
          registered[i] = 0;
          continue;
        }
        out.transforms[i] = pair.homography;
        out.matches[i] = std::move(pair.matches);
        corners[i] = projectedCorners(pair.homography, frames[i].size());
        done.finishOne([&](int k) {
          report(42 + int(std::trunc(k * 16.0 / steps)), kAligningTitle,
                 "Registered frame " + std::to_string(k + 1) + " of " + std::to_string(n) + ".");
        });
      }
    });
  }
  for (int i = 1; i < n; ++i)
    if (!registered[i]) return out.error = "homography failed for input index " + std::to_string(i + 1), out;
  out.maxX = frames[0].cols;
  out.maxY = frames[0].rows;
  extendBounds(corners, out.minX, out.minY, out.maxX, out.maxY);
  out.ok = true;
  return out;
}

bool NL_computeHomographyTransformsParallel(const std::vector<cv::Mat>& frames, int starBudget, double tolerance,
                                            std::vector<cv::Mat>& transforms, std::vector<NLStarMatchList>& matches,
                                            double& minX, double& minY, double& maxX, double& maxY,
                                            std::string& error, const NLProgressCallback& progress,
                                            const std::vector<const NLStarDetection*>* detections) {
  NLStackTransforms t = NL_computeStackTransforms(frames, {2.5, starBudget, 500, tolerance}, progress, detections);
  if (!t.ok) error = t.error;
  if (frames.empty()) return false;
  transforms = std::move(t.transforms);
  matches = std::move(t.matches);
  if (!t.ok) return false;
  minX = t.minX;
  minY = t.minY;
  maxX = t.maxX;
  maxY = t.maxY;
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
  const NLRegistrationLimits& l = NL_kRegistrationLimits;
  if (!registered || !q.ok) return q.reason.empty() ? "ok" : q.reason;
  if (!(q.inlierCount >= l.skyGateMinInliers)) return "not enough reliable inliers";
  if (!(q.inlierRatio >= l.skyGateMinInlierRatio)) return "inlier ratio too low";
  if (!(q.averageError <= l.skyGateMaxAverageError)) return "average error too high";
  if (!(q.medianError <= l.skyGateMaxMedianError)) return "median error too high";
  if (!(q.edgeError <= l.skyGateMaxEdgeError || q.edgeError > l.notMeasured)) return "edge error too high";
  if (!(q.cornerError <= l.skyGateMaxCornerError || q.cornerError > l.notMeasured)) return "corner error too high";
  return "";
}

namespace {

NLSkyRegistrationFrame registerSkyFrame(const NLReferenceStars& reference, const NLReferenceStars& moving, int index,
                                        cv::Mat& homography, NLStarMatchList& inliers) {
  NLSkyRegistrationFrame f;
  NLPairRegistration pair = NL_registerQualityPair(reference, moving);
  const bool registered = pair.ok;
  if (pair.fitted) {
    homography = pair.homography;
    inliers = std::move(pair.matches);
  }
  f.quality = pair.quality;
  f.quality.frameIndex = index;
  const std::string failure = NL_skyRegistrationGateFailure(registered, f.quality);
  f.used = failure.empty();
  f.reason = f.used ? (f.quality.reason.empty() ? "ok" : f.quality.reason) : failure;
  return f;
}

}  // namespace

bool NL_computeSkyHomographyTransformsParallelRobust(const std::vector<cv::Mat>& frames,
                                                     const NLRegistrationSettings& settings,
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
    {
      DetectionBufferPool pool;  // let go before the pairs are registered
      cv::parallel_for_(cv::Range(0, n), [&](const cv::Range& range) {
        std::unique_ptr<NLDetectionBuffers> buffers = pool.take();
        for (int i = range.start; i < range.end; ++i) stars[i] = NL_selectReferenceStars(frames[i], settings, *buffers);
        pool.giveBack(std::move(buffers));
      });
    }
    const NLReferenceStars& reference = stars[run.anchor];
    const int total = std::max(n, 2) - 1;
    NLFinishedCount done;
    cv::parallel_for_(cv::Range(0, n), [&](const cv::Range& range) {
      for (int i = range.start; i < range.end; ++i) {
        if (i == run.anchor) continue;
        cv::Mat h;
        NLStarMatchList inliers;
        run.frames[i] = registerSkyFrame(reference, stars[i], i, h, inliers);
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
