// Alignment quality gate: only frames that register precisely on the
// reference go on to the stack.
#include "hybrid/hybrid.h"

#include "hybrid/detail/stack_progress.h"

#include <algorithm>
#include <cmath>

namespace {

// The gate registers as the sigma and average stacks do, so they can take its fits.
const NLRegistrationSettings& gateSettings() { return NL_kStackRegistration; }
const NLRegistrationLimits& limits() { return NL_kRegistrationLimits; }

struct GateReference : NLReferenceStars {
  GateReference(NLReferenceStars stars, std::string referencePath)
      : NLReferenceStars(std::move(stars)), path(std::move(referencePath)) {}
  std::string path;
};

bool sameShape(const cv::Mat& a, const cv::Mat& b) {
  return a.cols == b.cols && a.rows == b.rows && a.type() == b.type();
}

// The frame as the quality filter read it, or read now; empty when unreadable.
cv::Mat frameOf(const std::string& path, const NLJobFrames* store) {
  if (store) {
    cv::Mat held = store->image(path);
    if (!held.empty()) return held;
    if (store->unreadable(path)) return cv::Mat();  // the filter already waited for it
  }
  return NL_imreadWithRetry(path, -1);
}

NLAlignmentGateResult checkFrame(const GateReference& reference, const std::string& path, int index,
                                 NLJobFrames* store) {
  NLAlignmentGateResult r;
  r.path = path;
  const cv::Mat frame = frameOf(path, store);
  if (frame.empty()) {
    r.verdict = NLAlignmentVerdict::LoadFailed;
    return r;
  }
  if (!sameShape(frame, reference.image)) {
    r.verdict = NLAlignmentVerdict::Mismatch;
    return r;
  }
  r.verdict = NLAlignmentVerdict::Registered;
  r.quality.frameIndex = index;
  std::shared_ptr<const NLStarDetection> stars = store ? store->stars(path) : nullptr;
  if (stars && stars->size != frame.size()) stars.reset();  // not of this frame after all: detect anew
  const NLPairRegistration pair = NL_registerQualityPair(
      reference, stars ? NL_selectReferenceStars(frame, *stars, gateSettings())
                       : NL_selectReferenceStars(frame, gateSettings()));
  r.quality = pair.quality;
  r.quality.frameIndex = index;
  if (!pair.ok || !r.quality.ok) {
    r.reason = r.quality.reason;
    return r;
  }
  r.reason = NL_alignmentGateFailure(r.quality);
  r.used = r.reason.empty();
  // The stacks with the gate's star budget and tolerance take this fit as their own.
  if (r.used && store)
    store->recordFit(reference.path, gateSettings().starBudget, gateSettings().tolerance, path,
                     {pair.homography, pair.matches});
  return r;
}

}  // namespace

int NL_alignmentInlierFloor(int referenceStars) {
  const int full = limits().preciseGateFullInlierFloor;
  const int scaled = int(std::lround(double(full) * referenceStars / gateSettings().starBudget));
  return std::min(std::max(scaled, limits().preciseGateMinInlierFloor), full);
}

std::string NL_alignmentGateFailure(const NLAlignmentQuality& q) {
  if (!(q.averageError <= limits().preciseGateMaxAverageError))
    return "alignment error too high for high precision gate";
  if (!(q.inlierRatio >= limits().preciseGateMinInlierRatio)) return "inlier ratio too low for high precision gate";
  if (q.inlierCount < NL_alignmentInlierFloor(q.referenceStars))
    return "not enough reliable inliers for high precision gate";
  return std::string();
}

namespace {

// The reference's stars, selected once for every frame it is compared with.
GateReference referenceOf(const std::string& path, const cv::Mat& image, const NLJobFrames* store) {
  std::shared_ptr<const NLStarDetection> stars = store ? store->stars(path) : nullptr;
  if (stars && stars->size != image.size()) stars.reset();
  return GateReference{stars ? NL_selectReferenceStars(image, *stars, gateSettings())
                             : NL_selectReferenceStars(image, gateSettings()),
                       path};
}

// The sharpest frame is the reference unless it holds too few stars to carry
// any registration (a soft frame of a small or sparse field can rank first on
// its few bright cores): then every pair would fail on it, so the next frame
// in rank that can carry them takes its place and goes first to the stacks.
GateReference chooseReference(std::vector<std::string>& inputs, const cv::Mat& first, NLJobFrames* store) {
  GateReference best = referenceOf(inputs[0], first, store);
  for (size_t i = 1; i < inputs.size() && int(best.stars.size()) < limits().qualityMinStars; ++i) {
    const cv::Mat image = frameOf(inputs[i], store);
    if (image.empty() || !sameShape(image, first)) continue;
    GateReference candidate = referenceOf(inputs[i], image, store);
    if (int(candidate.stars.size()) < limits().qualityMinStars) continue;
    std::rotate(inputs.begin(), inputs.begin() + std::ptrdiff_t(i), inputs.begin() + std::ptrdiff_t(i) + 1);
    best = std::move(candidate);
  }
  return best;
}

}  // namespace

std::vector<std::string> NL_filterInputsByAlignmentQuality(const std::vector<std::string>& ranked, int minFrames,
                                                           std::string& log, const std::string& progressPath,
                                                           NLJobFrames* store) {
  std::vector<std::string> inputs = ranked;
  const int n = int(inputs.size());
  if (n <= 1) return inputs;
  const cv::Mat first = frameOf(inputs[0], store);
  if (first.empty()) {
    log += "Alignment quality gate failed: could not load reference frame.\n";
    return inputs;
  }
  const hybrid_detail::JobProgress progress{progressPath};
  const GateReference referenceStars = chooseReference(inputs, first, store);
  std::vector<NLAlignmentGateResult> results(n);
  results[0].used = true;
  results[0].path = inputs[0];
  progress.write(25, "Checking Frame Alignment", "Validating frame alignment.");
  const int total = std::max(n, 2) - 1;
  NLFinishedCount finished;
  cv::parallel_for_(cv::Range(1, n), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      results[i] = checkFrame(referenceStars, inputs[i], i, store);
      finished.finishOne([&](int done) {
        progress.write(hybrid_detail::progressBetween(25, 8.0, done, total), "Checking Frame Alignment",
                       "Checked alignment " + std::to_string(done) + " of " + std::to_string(total) + ".");
      });
    }
  });
  std::vector<std::string> kept;
  for (const NLAlignmentGateResult& r : results)
    if (r.used) kept.push_back(r.path);
  log += NL_formatAlignmentGateLog(results, minFrames, cv::getNumThreads());
  return kept;
}
