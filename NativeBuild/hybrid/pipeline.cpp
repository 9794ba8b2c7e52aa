// Registered stack pipeline: load, register on the first frame, warp onto a
// common canvas and combine. The median and sigma stacks combine the canvas
// in bands of rows, so only the inputs and one band of warped rows per frame
// are held; the average adds one warped frame at a time.
#include "hybrid/detail/registered_stack.h"

#include "hybrid/detail/stack_progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace hybrid_detail {
namespace {


// Warped rows of every frame held at once: small enough that each frame's
// band buffers are reused from band to band rather than faulted in anew
// (a band per frame stays well below the size the allocator hands back to
// the system), large enough that a band's fixed costs stay small.
constexpr size_t kBandBytes = size_t(64) << 20;
constexpr int kMinBandRows = 32;

std::string num(long long value) { return std::to_string(value); }

struct StackRun {
  StackRun(const StackMethod& method, const std::string& progressPath, NLJobFrames* jobFrames)
      : m(method), progress{progressPath}, store(jobFrames) {}
  const StackMethod& m;
  JobProgress progress;
  NLJobFrames* store;  // may be null
  std::vector<std::string> paths;
  std::vector<cv::Mat> frames;
  std::vector<cv::Mat> transforms;
  std::vector<NLStarMatchList> matches;
  std::vector<NLCanvasWarp> warps;  // per frame; the reference is copied instead
  cv::Mat covered;                  // 255 over a whole frame, for every band's validity masks
  int width = 0, height = 0, offsetX = 0, offsetY = 0;
  NLLocalCorrectionStats stats;
  NLStackReport report;
};

bool sameShape(const cv::Mat& a, const cv::Mat& b) {
  return a.cols == b.cols && a.rows == b.rows && a.type() == b.type();
}

// Empty, or the failure message without the method's prefix.
std::string loadFrames(StackRun& run, const std::vector<std::string>& inputs) {
  const int n = int(inputs.size());
  for (int i = 1; i <= n; ++i) {
    run.progress.write(progressBetween(35, 5.0, i, n), "Loading Images",
                       "Loading frame " + num(i) + " of " + num(n) + ".");
    const std::string& path = inputs[i - 1];
    cv::Mat frame = run.store ? run.store->image(path) : cv::Mat();
    // A frame the quality filter could not read is not waited for again.
    if (frame.empty() && !(run.store && run.store->unreadable(path))) frame = NL_imreadWithRetry(path, -1);
    if (frame.empty()) return "could not load input: " + path;
    if (!run.frames.empty() && !sameShape(frame, run.frames[0])) return "input image size/type mismatch: " + path;
    run.frames.push_back(std::move(frame));
  }
  run.paths = inputs;
  // The stack holds the frames now; the store need not keep them beyond it.
  if (run.store) run.store->releaseImages();
  return std::string();
}

std::string typeProblem(const StackMethod& m, const cv::Mat& first) {
  if (m.checkDepth && first.depth() != CV_8U && first.depth() != CV_16U)
    return "only 8-bit and 16-bit images are currently supported.";
  const int cn = first.channels();
  if (cn != 1 && cn != 3 && cn != 4) return "only 1, 3 or 4 channel images are currently supported.";
  return std::string();
}

// The alignment gate's fits, when it registered every frame on this
// reference with this stack's star budget and tolerance: the very fits the
// stack's own registration would make (same stars, same attempts), so they
// are taken as they are, with the progress entries the registration writes.
bool takeGateFits(StackRun& run, double& minX, double& minY, double& maxX, double& maxY) {
  const int n = int(run.frames.size());
  if (!run.store || n < 2) return false;
  std::vector<cv::Mat> transforms(n);
  std::vector<NLStarMatchList> matches(n);
  transforms[0] = cv::Mat::eye(3, 3, CV_64F);
  for (int i = 1; i < n; ++i) {
    NLJobFrames::Fit fit;
    if (!run.store->fit(run.paths[0], run.m.registration.starBudget, run.m.registration.tolerance, run.paths[i],
                        fit)) return false;
    transforms[i] = fit.homography;
    matches[i] = std::move(fit.matches);
  }
  run.transforms = std::move(transforms);
  run.matches = std::move(matches);
  run.progress.write(42, "Aligning Frames", "Computing homography transforms.");
  for (int k = 0; k + 1 < n; ++k)
    run.progress.write(42 + int(std::trunc((k + 1) * 16.0 / (std::max(n, 2) - 1))), "Aligning Frames",
                       "Registered frame " + num(k + 2) + " of " + num(n) + ".");
  std::vector<cv::Size> sizes;
  for (const cv::Mat& f : run.frames) sizes.push_back(f.size());
  NL_boundsOfTransforms(sizes, run.transforms, minX, minY, maxX, maxY);
  return true;
}

// Registers every frame on the first and lays out the canvas that holds them all.
std::string registerFrames(StackRun& run) {
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
  const NLProgressCallback progress = [&run](int percent, const std::string& stage, const std::string& detail) {
    run.progress.write(percent, stage, detail);
  };
  if (!takeGateFits(run, minX, minY, maxX, maxY)) {
    // Stars already detected by the quality filter are not detected again.
    std::vector<std::shared_ptr<const NLStarDetection>> held(run.frames.size());
    std::vector<const NLStarDetection*> detections(run.frames.size(), nullptr);
    for (size_t i = 0; run.store && i < run.frames.size(); ++i) {
      held[i] = run.store->stars(run.paths[i]);
      if (held[i] && held[i]->size == run.frames[i].size()) detections[i] = held[i].get();
    }
    NLStackTransforms t =
        NL_computeStackTransforms(run.frames, run.m.registration, progress, run.store ? &detections : nullptr);
    if (!t.ok) return t.error;
    run.transforms = std::move(t.transforms);
    run.matches = std::move(t.matches);
    minX = t.minX;
    minY = t.minY;
    maxX = t.maxX;
    maxY = t.maxY;
  }
  run.width = int(std::ceil(maxX - minX));
  run.height = int(std::ceil(maxY - minY));
  run.offsetX = int(std::ceil(-minX));
  run.offsetY = int(std::ceil(-minY));
  return std::string();
}

// Each frame's way onto the canvas (and its residual mesh) is decided once,
// however many bands it is then rendered in.
void planWarps(StackRun& run) {
  cv::Mat T = cv::Mat::eye(3, 3, CV_64F);
  T.at<double>(0, 2) = run.offsetX;
  T.at<double>(1, 2) = run.offsetY;
  run.warps.resize(run.frames.size());
  run.covered = cv::Mat(run.frames[0].size(), CV_8UC1, cv::Scalar(255));
  for (size_t i = 1; i < run.frames.size(); ++i)
    run.warps[i] = NL_planWarpToCanvas(run.frames[i].size(), run.transforms[i], T, run.width, run.height,
                                       run.matches[i], run.offsetX, run.offsetY, run.stats);
}

// Rows of frame i on the canvas. The reference is copied, not resampled, so
// it keeps its own sharpness and adds nothing to the correction statistics.
void warpRows(const StackRun& run, size_t i, const cv::Range& rows, cv::Mat& warped, cv::Mat& mask) {
  if (i > 0) return NL_renderWarpRows(run.warps[i], run.frames[i], rows, warped, mask, run.covered);
  const cv::Mat& ref = run.frames[0];
  // The band's buffers are kept from the band before when they fit.
  warped.create(rows.size(), run.width, ref.type());
  warped.setTo(0);
  mask.create(rows.size(), run.width, CV_8UC1);
  mask.setTo(0);
  const int top = std::max(rows.start, run.offsetY), bottom = std::min(rows.end, run.offsetY + ref.rows);
  if (top >= bottom) return;
  const cv::Rect onBand(run.offsetX, top - rows.start, ref.cols, bottom - top);
  ref.rowRange(top - run.offsetY, bottom - run.offsetY).copyTo(warped(onBand));
  mask(onBand).setTo(255);
}

int bandPercent(const StackMethod& m, long long rowsDone, int height) {
  return progressBetween(60, m.combineStart + m.combineSpan - 60, rowsDone, height);
}

cv::Mat combineInBands(StackRun& run, int bandRows) {
  const StackMethod& m = run.m;
  const int n = int(run.frames.size());
  cv::Mat result = cv::Mat::zeros(run.height, run.width, run.frames[0].type());
  NLRowProgress rows(run.height, [&](int done, int total) {
    run.progress.write(bandPercent(m, done, total), "Combining Loaded Images",
                       m.rowMessage + num(done) + " of " + num(total) + ".");
  });
  std::vector<cv::Mat> warped(n), masks(n);
  run.progress.write(60, "Combining Loaded Images", m.combineMessage);
  for (int y0 = 0; y0 < run.height; y0 += bandRows) {
    const cv::Range band(y0, std::min(y0 + bandRows, run.height));
    run.progress.write(bandPercent(m, y0, run.height), "Warping frames",
                       m.warpMessage + num(n) + " frames, rows " + num(band.start + 1) + " to " + num(band.end) +
                           " of " + num(run.height) + ".");
    Clock::time_point start = Clock::now();
    for (int i = 0; i < n; ++i) warpRows(run, size_t(i), band, warped[i], masks[i]);
    run.report.warpMs += msSince(start);
    start = Clock::now();
    cv::Mat out = result.rowRange(band);
    NL_combineFrames(m.combine, warped, masks, out, &rows);
    run.report.combineMs += msSince(start);
  }
  return result;
}

cv::Mat combineStreamed(StackRun& run) {
  const StackMethod& m = run.m;
  const int n = int(run.frames.size());
  NLCoverageAverage average(cv::Size(run.width, run.height), run.frames[0].channels());
  const Clock::time_point start = Clock::now();
  for (int i = 1; i <= n; ++i) {
    run.progress.write(progressBetween(60, m.warpSpan, i, n), "Warping frames",
                       m.warpMessage + num(i) + " of " + num(n) + ".");
    cv::Mat warped, mask;
    warpRows(run, size_t(i - 1), cv::Range(0, run.height), warped, mask);
    NLRowProgress rows(run.height, [&](int r, int total) {
      run.progress.write(NL_roundPercent(60 + (i - 1 + double(r) / total) * m.warpSpan / n), "Warping frames",
                         "Accumulating frame " + num(i) + " of " + num(n) + ", row " + num(r) + " of " +
                             num(total) + ".");
    });
    average.add(warped, mask, &rows);
  }
  run.report.warpMs += msSince(start);
  run.progress.write(m.combineStart, "Combining Loaded Images", m.combineMessage);
  NLRowProgress rows(run.height, [&](int done, int total) {
    run.progress.write(progressBetween(m.combineStart, m.combineSpan, done, total), "Combining Loaded Images",
                       m.rowMessage + num(done) + " of " + num(total) + ".");
  });
  const Clock::time_point combine = Clock::now();
  cv::Mat result = average.result(run.frames[0].type(), &rows);
  run.report.combineMs = msSince(combine);
  return result;
}

}  // namespace

int bandRowsFor(int frames, int width, size_t bytesPerPixel, size_t bandBytes) {
  const size_t perRow = std::max<size_t>(1, size_t(std::max(frames, 1)) * size_t(std::max(width, 1)) * bytesPerPixel);
  return int(std::max<size_t>(kMinBandRows, bandBytes / perRow));
}

bool runRegisteredStack(const StackMethod& m, const std::vector<std::string>& inputs, const std::string& output,
                        std::string& text, const std::string& progressPath, int bandRows, NLJobFrames* store) {
  const int n = int(inputs.size());
  if (n < m.minInputs) return NL_failStep(text, m.tooFewInputs, m.failurePrefix);
  StackRun run(m, progressPath, store);
  Clock::time_point start = Clock::now();
  run.progress.write(35, "Loading Images", m.loadingMessage);
  std::string problem = loadFrames(run, inputs);
  run.report.loadMs = msSince(start);
  if (problem.empty()) problem = typeProblem(m, run.frames[0]);
  if (!problem.empty()) return NL_failStep(text, problem, m.failurePrefix);
  if (m.announceAlignment) run.progress.write(41, "Aligning Frames", "Starting frame registration.");
  start = Clock::now();
  problem = registerFrames(run);
  run.report.transformMs = msSince(start);
  if (!problem.empty()) return NL_failStep(text, problem, m.failurePrefix);
  start = Clock::now();
  planWarps(run);
  run.report.warpMs = msSince(start);
  const size_t bytesPerPixel = run.frames[0].elemSize() + 1;  // warped sample and its mask
  if (bandRows <= 0) bandRows = bandRowsFor(n, run.width, bytesPerPixel, kBandBytes);
  const cv::Mat result = m.streamFrames ? combineStreamed(run) : combineInBands(run, bandRows);
  run.frames.clear();
  start = Clock::now();
  run.progress.write(94, "Writing Final Result", m.writeMessage);
  // The stack keeps the colour profile of its reference frame.
  std::string why;
  if (!NL_writeImageFile(output, result, NL_readIccProfile(inputs[0]), &why))
    return NL_failStep(text, NL_withReason("could not write output: " + output, why), m.failurePrefix);
  run.report.writeMs = msSince(start);
  run.report.kind = m.kind;
  run.report.output = output;
  run.report.inputs = n;
  run.report.width = run.width;
  run.report.height = run.height;
  run.report.threads = cv::getNumThreads();
  run.report.localCorrection = NL_formatLocalCorrectionStats(run.stats);
  text = NL_formatStackReport(run.report);
  return true;
}

}  // namespace hybrid_detail
