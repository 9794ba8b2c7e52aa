#include "startrail/startrail.h"

#include "plumbing/plumbing.h"

#include <algorithm>
#include <cmath>

namespace {

std::string line(const std::string& key, const std::string& value) { return key + "=" + value + "\n"; }

std::string integer(std::int64_t v) { return std::to_string(v); }

const char* const kFixedLines[] = {
    "engineMode=registered-local-window-rejection-v4.0-manual-rejection-controls",
    "foregroundStackEngine=landscape-fixed-sigma-stack-v44-no-brightness-remap",
    "aircraftBlinkRejection=manual-sensitivity-v40",
    "memoryMode=single-output-image-current-neighbors-only-no-partial-stacks",
    "progressDetail=simple-processed-frames-only",
    "rejectionPresetTuning=v40-manual-threshold-and-aircraft-sensitivity",
    "skyMaskProcessing=v45-startrail-sky-only-foreground-protected-compile-fix",
    "intermediateOutputPolicy=v47-final-output-only-delete-temp-sidecars",
    "cometMode=v71-range-fade-all-processing-paths",
    "foregroundEdgeRepair=v80-blending-refinement-edge-band-clean-comet-bridge",
};

int countOf(const std::vector<NLStarTrailStreak>& streaks, NLStarTrailStreakClass kind, bool keptOnly = false) {
  int n = 0;
  for (const NLStarTrailStreak& s : streaks) n += s.kind == kind && (!keptOnly || s.kept);
  return n;
}

// What the rejection found: the streaks of each class (an aircraft counts
// once per frame it crossed), then one line per streak.
std::string streakLines(const std::vector<NLStarTrailStreak>& streaks) {
  using C = NLStarTrailStreakClass;
  std::string out = line("satellitesRemoved", integer(countOf(streaks, C::satellite)));
  out += line("aircraftRemoved", integer(countOf(streaks, C::aircraft)));
  out += line("meteorsFound", integer(countOf(streaks, C::meteor)));
  out += line("meteorsKept", integer(countOf(streaks, C::meteor, true)));
  for (const NLStarTrailStreak& s : streaks) {
    const cv::Point2d d = s.to - s.from;
    out += line("streak", "frame=" + integer(s.frame) + ",class=" + NL_starTrailStreakClassName(s.kind) +
                              ",lengthPx=" + NL_formatNumber(std::hypot(d.x, d.y), 0));
  }
  return out;
}

const char* measureName(NLStarTrailFrameMeasure m) {
  switch (m) {
    case NLStarTrailFrameMeasure::background: return "background";
    case NLStarTrailFrameMeasure::unevenness: return "uneven sky";
    case NLStarTrailFrameMeasure::stars: return "stars found";
    case NLStarTrailFrameMeasure::starSize: return "star size";
    case NLStarTrailFrameMeasure::ground: return "ground";
  }
  return "background";
}

std::string fileName(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

bool leftOut(const NLStarTrailRunReport& r, int frame) {
  return std::count(r.badFramesLeftOut.begin(), r.badFramesLeftOut.end(), frame) > 0;
}

// What the bad-frame check found and did; nothing when it was off.
std::string badFrameLines(const NLStarTrailRunReport& r) {
  const NLStarTrailBadFrameVerdict& v = r.badFrames;
  std::string out = line("badFramesMode", r.job.badFrames);
  out += line("badFramesFound", integer(std::int64_t(v.found.size())));
  out += line("badFramesExcluded", integer(std::int64_t(r.badFramesLeftOut.size())));
  for (const NLStarTrailBadFrame& b : v.found) {
    const std::string path = size_t(b.frame) < r.inputs.size() ? r.inputs[size_t(b.frame)] : std::string();
    out += line(leftOut(r, b.frame) ? "badFrame" : "badFrameKept", NL_starTrailBadFrameLine(b, path, v.wholeFrame));
  }
  if (v.tooMany)
    out += line("badFramesNote", "more than half of the frames stand out from the night (" +
                                     integer(std::int64_t(v.found.size())) + " of " +
                                     integer(std::int64_t(r.inputs.size())) +
                                     "): the night itself is judged, so none was left out");
  if (v.tooFewLeft) out += line("badFramesNote", "leaving them out would leave fewer than two frames: none was left out");
  return out;
}

}  // namespace

std::string NL_starTrailBadFrameLine(const NLStarTrailBadFrame& b, const std::string& path, bool wholeFrame) {
  const char* region = wholeFrame ? "frame" : (b.sky ? "sky" : "ground");
  const double ratio = b.baseline > 0.0 ? b.value / b.baseline : 0.0;
  const std::string figure = b.baseline > 0.0 ? NL_formatNumber(ratio, ratio < 1.0 ? 2 : 1) + "x the night's median"
                                              : NL_formatNumber(b.value, 4) + " against the night's 0";
  return integer(b.frame) + " " + fileName(path) + " " + region + ": " + measureName(b.measure) + " " + figure;
}

namespace {

std::string buildUpLines(const NLStarTrailRunReport& r) {
  const NLStarTrailNativeJob& j = r.job;
  std::string out;
  if (!j.buildUpOutput.empty()) out += line("buildUpOutput", j.buildUpOutput);
  out += line("buildUpImages", integer(r.buildUpImages));
  out += line("buildUpEvery", integer(j.buildUpEvery));
  if (!j.buildUpOutput.empty()) out += line("buildUpFormat", j.buildUpFormat);
  if (!j.buildUpVideo.empty())
    out += line("buildUpVideo", r.buildUpVideoNote.empty() ? j.buildUpVideo : "skipped (" + r.buildUpVideoNote + ")");
  return out;
}

}  // namespace

std::string NL_starTrailFormatMegabytes(std::uint64_t bytes) {
  return NL_formatNumber(double(bytes) / 1048576.0, 0);
}

std::string NL_starTrailSuccessLog(const NLStarTrailRunReport& r) {
  const NLStarTrailNativeJob& j = r.job;
  std::string out = "Star Trail native job completed.\n";
  out += line("status", "success");
  out += line("frames", integer(r.frames));
  out += line("rejectionMode", j.rejectionMode);
  out += line("temporalWindow", integer(j.temporalWindow));
  out += line("maskGrowPx", integer(j.maskGrowPx));
  out += line("workers", integer(r.workers));
  out += line("cometEnabled", j.cometEnabled ? "true" : "false");
  out += line("cometStrength", NL_formatNumber(j.cometStrength));
  out += line("cometDirection", j.cometDirection);
  out += line("availablePhysicalRamMB", NL_starTrailFormatMegabytes(r.availablePhysicalBytes));
  out += line("estimatedBytesPerWorkerMB", NL_starTrailFormatMegabytes(r.estimatedBytesPerWorker));
  for (const char* fixed : kFixedLines) out += std::string(fixed) + "\n";
  out += line("blendingRefinementEnabled", j.blendingRefinementEnabled ? "1" : "0");
  out += line("blendingRefinementStrength", j.blendingRefinementStrength);
  if (!j.maskInput.empty()) out += line("maskInput", j.maskInput);
  if (!j.skyOutput.empty()) out += line("skyOutput", j.skyOutput);
  out += line("rejectedMaskPixels", integer(r.rejectedMaskPixels));
  out += line("timingMs", integer(r.timingMs));
  if (r.requestedOutput != j.output) out += line("requestedOutput", r.requestedOutput);
  out += line("output", j.output);
  if (!j.foregroundOutput.empty() && !j.foregroundInputs.empty()) out += line("foregroundOutput", j.foregroundOutput);
  if (NL_starTrailWantsBuildUp(j)) out += buildUpLines(r);
  if (r.streaksSearched) out += streakLines(r.streaks);
  if (r.job.badFrames != "off") out += badFrameLines(r);
  if (!r.gapSource.empty()) {
    out += line("gapFill", NL_formatNumber(r.gapShare, 2) + " (" + r.gapSource + ")");
    if (r.gapsNotFilled > 0) out += line("gapsNotFilled", integer(r.gapsNotFilled));
  }
  return out + NL_captureSequenceLines(r.capture, r.inputs);
}

std::string NL_starTrailFailureLog(const std::string& error) {
  return "Star Trail native job failed.\nstatus=failed\nerror=" + error + "\n";
}

namespace {

std::string depthName(int depth) {
  switch (depth) {
    case CV_8U: return "8-bit";
    case CV_8S: return "signed 8-bit";
    case CV_16U: return "16-bit";
    case CV_16S: return "signed 16-bit";
    case CV_32S: return "32-bit integer";
    case CV_32F: return "32-bit float";
    case CV_64F: return "64-bit float";
    default: return "16-bit float";
  }
}

std::string channelCount(int channels) { return integer(channels) + (channels == 1 ? " channel" : " channels"); }

}  // namespace

std::string NL_starTrailFrameDifference(cv::Size firstSize, int firstType, const cv::Mat& frame,
                                        const std::string& path) {
  if (frame.empty()) {
    if (!NL_isRegularFile(path) && !NL_isNonRegularFile(path)) return "is missing";
    const std::string why = NL_imageFileProblem(path), damage = NL_imageFileDamage(path);
    if (!why.empty()) return why;
    return damage.empty() ? "could not be decoded" : "could not be decoded: " + damage;
  }
  std::vector<std::string> parts;
  if (frame.size() != firstSize)
    parts.push_back(integer(frame.cols) + " x " + integer(frame.rows) + " pixels, the first frame " +
                    integer(firstSize.width) + " x " + integer(firstSize.height));
  if (frame.depth() != CV_MAT_DEPTH(firstType))
    parts.push_back(depthName(frame.depth()) + ", the first frame " + depthName(CV_MAT_DEPTH(firstType)));
  if (frame.channels() != CV_MAT_CN(firstType))
    parts.push_back(channelCount(frame.channels()) + ", the first frame " + channelCount(CV_MAT_CN(firstType)));
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

std::string NL_starTrailFrameDifference(const cv::Mat& first, const cv::Mat& frame, const std::string& path) {
  return NL_starTrailFrameDifference(first.size(), first.type(), frame, path);
}
