// Every line of the hybrid stack job's result log.
#include "hybrid/hybrid.h"

#include <filesystem>

namespace {

// The quality section numbers frames by input position, the alignment
// section by rank: each line ends with the frame's file name, so both name a
// frame the same way.
std::string fileOf(const std::string& path) { return " | file=" + std::filesystem::path(path).filename().string(); }

std::string f2(double value) { return NL_formatDouble(value, 2); }
// The gate prints its ratios and errors as printf's %f would.
std::string f6(double value) { return NL_formatDouble(value, 6); }
std::string num(long long value) { return std::to_string(value); }

std::string qualityFrameLine(const NLFrameQuality& q) {
  return "Frame " + num(q.index + 1) + (q.used ? ": used" : ": skipped") + " | score=" + f2(q.score) +
         " | stars=" + num(q.stars) + " | sampled=" + num(q.sampled) + " | medianArea=" + f2(q.medianArea) +
         " | medianRadius=" + f2(q.medianRadius) + " | avgBrightness=" + f2(q.avgBrightness) +
         " | backgroundMean=" + f2(q.backgroundMean) + " | backgroundStdDev=" + f2(q.backgroundStdDev) +
         " | compact=" + f2(q.compactScore) + " | count=" + f2(q.countScore) +
         " | brightness=" + f2(q.brightnessScore) + " | background=" + f2(q.backgroundScore) +
         " | reason=" + q.reason + fileOf(q.path) + "\n";
}

// The figures after the mode (and, for a skipped frame, the star count).
std::string alignmentFigures(const NLAlignmentQuality& q) {
  return " | matches=" + num(q.matchCount) + " | inliers=" + num(q.inlierCount) + " | ratio=" + f6(q.inlierRatio) +
         " | avgError=" + f6(q.averageError) + " | medianError=" + f6(q.medianError) +
         " | maxError=" + f6(q.maxError) + " | centerError=" + f6(q.centerError) +
         " | edgeError=" + f6(q.edgeError) + " | cornerError=" + f6(q.cornerError);
}

const char* stackName(NLStackKind kind) {
  switch (kind) {
    case NLStackKind::Median: return "Median";
    case NLStackKind::Sigma: return "Sigma";
    case NLStackKind::Average: return "Average";
  }
  return "";
}

std::string sigmaPhases(const NLStackReport& r) {
  return "performanceSigma = parallel transforms + no per-pixel value vector, streaming two-pass clip\n"
         "timingSigmaLoadMs = " + num(r.loadMs) + "\ntimingSigmaTransformMs = " + num(r.transformMs) +
         "\ntimingSigmaWarpMs = " + num(r.warpMs) + "\ntimingSigmaCombineMs = " + num(r.combineMs) +
         "\ntimingSigmaWriteMs = " + num(r.writeMs) + "\n";
}

}  // namespace

std::string NL_formatFrameQualityLog(int keepPercent, const std::vector<NLFrameQuality>& frames,
                                     int referenceIndex) {
  std::string log = "Frame quality filter:\nqualityKeepPercent = " + num(keepPercent) +
                    "\nRanking method = smaller median star area is better\n";
  if (referenceIndex >= 0 && referenceIndex < int(frames.size()) && frames[referenceIndex].used) {
    const NLFrameQuality& ref = frames[referenceIndex];
    log += "Quality reference frame = original frame " + num(ref.index + 1) + " | medianArea=" +
           f2(ref.medianArea) + "\n";
  }
  int used = 0;
  for (const NLFrameQuality& q : frames) {
    log += qualityFrameLine(q);
    used += q.used ? 1 : 0;
  }
  const int n = int(frames.size());
  return log + "Used frames after quality filter: " + num(used) + " / " + num(n) +
         "\nSkipped by quality filter: " + num(n - used) + "\n";
}

std::string NL_formatAlignmentGateLine(int position, const NLAlignmentGateResult& r) {
  const std::string lead = "Frame " + num(position) + ": ", end = fileOf(r.path) + "\n";
  switch (r.verdict) {
    case NLAlignmentVerdict::Reference: return lead + "reference | used" + end;
    case NLAlignmentVerdict::LoadFailed: return lead + "skipped | could not load image" + end;
    case NLAlignmentVerdict::Mismatch: return lead + "skipped | size/type mismatch" + end;
    case NLAlignmentVerdict::Registered: break;
  }
  const NLAlignmentQuality& q = r.quality;
  if (r.used) return lead + "used | mode=" + q.mode + alignmentFigures(q) + end;
  return lead + "skipped | " + r.reason + " | mode=" + q.mode + " | stars=" + num(q.movingStars) +
         alignmentFigures(q) + end;
}

std::string NL_formatAlignmentGateLog(const std::vector<NLAlignmentGateResult>& results, int minFrames,
                                      int threads) {
  std::string log = "Alignment quality gate:\n";
  int used = 0;
  for (size_t i = 0; i < results.size(); ++i) {
    log += NL_formatAlignmentGateLine(int(i) + 1, results[i]);
    used += results[i].used ? 1 : 0;
  }
  const int n = int(results.size());
  log += "Used frames after alignment gate: " + num(used) + " / " + num(n) +
         "\nSkipped by alignment gate: " + num(n - used) + "\n";
  if (used < minFrames) log += "Warning: alignment gate left too few frames for selected method.\n";
  return log + "performanceAlignment = parallel frames, threads=" + num(threads) + "\n";
}

std::string NL_formatStackReport(const NLStackReport& r) {
  std::string text = std::string(stackName(r.kind)) + " stack success.\noutput = " + r.output +
                     "\ninputs = " + num(r.inputs) + "\ncanvas = " + num(r.width) + " x " + num(r.height) +
                     "\nperformance = OpenCV parallel quality/alignment/transforms/rows, threads=" +
                     num(r.threads) + "\n";
  if (r.kind != NLStackKind::Sigma) return text + r.localCorrection;
  return text + sigmaPhases(r) + r.localCorrection + "\nsigmaLow = " + NL_formatDouble(r.sigmaLow, 6) +
         "\nsigmaHigh = " + NL_formatDouble(r.sigmaHigh, 6);
}

std::string NL_formatHybridJobLog(const NLHybridJobOutcome& o) {
  std::string text = o.success ? "Lumivex Hybrid stack completed.\n" : "Lumivex Hybrid stack failed.\n";
  if (!o.error.empty()) text += "error = " + o.error + "\n";
  return text + "selectedMethod = " + o.selectedMethod + "\ntimingQualityMs = " + num(o.qualityMs) +
         "\ntimingAlignmentMs = " + num(o.alignmentMs) + "\ntimingStackMs = " + num(o.stackMs) + "\n" +
         o.qualityLog + o.alignmentLog + o.stackText;
}
