#include "startrail/startrail.h"

#include "plumbing/plumbing.h"

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
  if (r.streaksSearched) out += streakLines(r.streaks);
  return out;
}

std::string NL_starTrailFailureLog(const std::string& error) {
  return "Star Trail native job failed.\nstatus=failed\nerror=" + error + "\n";
}
