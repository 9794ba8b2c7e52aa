#include "startrail/detail/bad_frame_step.h"
#include "startrail/detail/rejection_planes.h"

#include "plumbing/plumbing.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace startrail_detail {
namespace {

// Frames that cannot be read or differ from the first stay unmeasured: the
// trail's own read names them when it fails on them.
std::vector<NLStarTrailFrameMeasures> measureAll(const NLStarTrailNativeJob& job, const cv::Mat& first,
                                                 const cv::Mat& skyMask, unsigned hardwareThreads) {
  const int n = int(job.inputs.size());
  std::vector<NLStarTrailFrameMeasures> out(static_cast<size_t>(n));
  if (first.empty() || (!skyMask.empty() && skyMask.size() != first.size())) return out;
  std::atomic<int> next{0};
  const auto work = [&] {
    // Each thread reads its frames into one buffer and one plane, kept from frame to frame.
    cv::Mat buffer(first.size(), first.type()), plane;
    for (int i = next++; i < n; i = next++) {
      const cv::Mat image = i == 0 ? first : NL_imreadWithRetryInto(job.inputs[size_t(i)], -1, buffer);
      if (!NL_isImageCompatibleForStarTrail(first, image)) continue;
      luminancePlaneInto(image, plane);
      out[size_t(i)] = NL_starTrailMeasureFrame(plane, fullScaleOf(image), skyMask);
    }
  };
  NLOpenCVSingleThreadHold singleThreaded;
  std::vector<std::thread> threads;
  const int workers = NL_starTrailWorkerCount(hardwareThreads, n);
  for (int t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  return out;
}

// The trail covers the ground too unless the composite replaces it by the
// foreground stack, so lit ground then spoils the trail.
bool leavesTrail(const NLStarTrailBadFrame& b, bool composite) { return b.sky || (b.ground && !composite); }

void removePaths(std::vector<std::string>& list, const std::vector<std::string>& gone) {
  std::vector<std::string> kept;
  for (const std::string& p : list)
    if (std::find(gone.begin(), gone.end(), p) == gone.end()) kept.push_back(p);
  if (!kept.empty()) list = kept;  // a foreground stack needs a frame
}

void exclude(NLStarTrailNativeJob& job, BadFrameStep& step) {
  const bool composite = !job.foregroundInputs.empty() && !job.foregroundOutput.empty() && !job.maskInput.empty();
  std::vector<bool> out(job.inputs.size(), false);
  std::vector<std::string> litGround;
  for (const NLStarTrailBadFrame& b : step.verdict.found) {
    const std::string& path = job.inputs[size_t(b.frame)];
    out[size_t(b.frame)] = leavesTrail(b, composite);
    const bool inForeground = std::count(job.foregroundInputs.begin(), job.foregroundInputs.end(), path) > 0;
    if (b.ground && inForeground) litGround.push_back(path);
    if (out[size_t(b.frame)] || (b.ground && inForeground)) step.excluded.push_back(b.frame);
  }
  std::vector<std::string> kept;
  step.trailFrames.clear();
  for (size_t i = 0; i < out.size(); ++i)
    if (!out[i]) {
      kept.push_back(job.inputs[i]);
      step.trailFrames.push_back(int(i));
    }
  if (kept.size() < 2) {  // never reached past the verdict's own checks; kept as the last guard
    step.excluded.clear();
    step.trailFrames.resize(job.inputs.size());
    for (size_t i = 0; i < out.size(); ++i) step.trailFrames[i] = int(i);
    return;
  }
  job.inputs = kept;
  removePaths(job.foregroundInputs, litGround);
}

}  // namespace

BadFrameStep judgeBadFrames(NLStarTrailNativeJob& job, unsigned hardwareThreads) {
  BadFrameStep step;
  for (int i = 0; i < int(job.inputs.size()); ++i) step.trailFrames.push_back(i);
  if (job.badFrames == "off") return step;
  NL_writeProgressFile(job.progress, 2, "Checking Frames", "Measuring each frame against its night.");
  std::string ignored;
  const cv::Mat first = NL_imreadWithRetry(job.inputs[0], -1);
  const cv::Mat skyMask =
      first.empty() ? cv::Mat() : NL_starTrailLoadBinarySkyMask(job.maskInput, first.size(), ignored);
  step.verdict = NL_starTrailJudgeFrames(measureAll(job, first, skyMask, hardwareThreads), !skyMask.empty());
  if (job.badFrames != "exclude" || step.verdict.tooMany || step.verdict.tooFewLeft) return step;
  const std::vector<std::string> inputs = job.inputs;
  exclude(job, step);
  for (int i : step.excluded)
    NL_writeProgressFile(job.progress, 3, "Checking Frames", "Left out " + leftOutCaption(step, i, inputs[size_t(i)]) + ".");
  return step;
}

std::string leftOutCaption(const BadFrameStep& step, int inputIndex, const std::string& path) {
  for (const NLStarTrailBadFrame& b : step.verdict.found)
    if (b.frame == inputIndex) return NL_starTrailBadFrameLine(b, path, step.verdict.wholeFrame);
  return std::to_string(inputIndex);
}

}  // namespace startrail_detail
