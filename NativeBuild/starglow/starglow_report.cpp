#include "starglow/starglow.h"

#include "plumbing/plumbing.h"

std::string NL_sgFormatNumber(double value) { return NL_formatNumber(value); }

std::string NL_sgLine(const std::string& key, const std::string& value) { return key + " = " + value + "\n"; }

namespace {

std::string onOff(bool on) { return on ? "on" : "off"; }

std::string count(std::size_t n) { return std::to_string(n); }

}  // namespace

std::string NL_starGlowSettingsReport(const NL_StarGlowJob& job) {
  const NL_StarGlowSettings& s = job.settings;
  std::string out = NL_sgLine("opencvDllStatus", "ready");
  out += NL_sgLine("input", job.inputPath);
  out += NL_sgLine("output", job.outputPath);
  out += NL_sgLine("outputMode", s.outputMode);
  out += NL_sgLine("useSkyMask", onOff(s.useSkyMask));
  out += NL_sgLine("debugOverlay", onOff(s.debugOverlay));
  out += NL_sgLine("skyMask", job.skyMaskPath);
  out += NL_sgLine("debugOverlayPath", job.debugOverlayPath);
  out += NL_sgLine("starClasses", "small, medium, large");
  const std::pair<const char*, double> numbers[] = {
      {"starAmount", s.starAmount},           {"glowStrength", s.glowStrength},
      {"smallGlowSize", s.smallGlowSize},     {"mediumGlowSize", s.mediumGlowSize},
      {"largeGlowSize", s.largeGlowSize},     {"mediumSplit", s.mediumSplit},
      {"largeSplit", s.largeSplit},           {"colorSaturation", s.colorSaturation},
      {"softness", s.softness}};
  for (const auto& [key, value] : numbers) out += NL_sgLine(key, NL_sgFormatNumber(value));
  return out;
}

std::string NL_starGlowReadinessReport(const NL_ReadinessResult& wait, const std::string& prefix, int required) {
  std::string out = NL_sgLine("inputFileSize", std::to_string(wait.size));
  out += NL_sgLine("inputContainer", wait.container.empty() ? "unknown" : wait.container);
  out += NL_sgLine("inputFilePrefix", prefix);
  out += NL_sgLine("inputFileStableChecks", std::to_string(wait.stable) + " / " + std::to_string(required));
  return out;
}

std::string NL_starGlowWaitDetail(std::uint64_t size, int stable, int required) {
  return "Waiting for complete image data (size=" + std::to_string(size) + " bytes, stable=" +
         std::to_string(stable) + "/" + std::to_string(required) + ").";
}

std::string NL_starGlowWaitFailure(const NL_ReadinessResult& wait, int limitMs) {
  return "The exported temporary image never became complete within " + std::to_string(limitMs / 1000) +
         " seconds. Last validation: " + (wait.message.empty() ? "file size was not stable" : wait.message);
}

std::string NL_starDetectionReport(const NL_StarDetection& d) {
  using O = NL_StarDetectionOutcome;
  if (d.outcome == O::NoSignal) return NL_sgLine("starDetectionThreshold", "0") + NL_sgLine("starCandidates", "0");
  std::string out = NL_sgLine("starDetectionThreshold", NL_sgFormatNumber(d.threshold));
  if (d.outcome == O::NoPeaks || d.outcome == O::NoCandidates) return out + NL_sgLine("starCandidates", "0");
  if (d.outcome == O::NoneKept) {
    out += NL_sgLine("starAmount", NL_sgFormatNumber(d.starAmount));
    out += NL_sgLine("starCandidatesDetected", count(d.detected));
    out += NL_sgLine("starCandidates", "0");
    return out + NL_sgLine("starCandidateLimit", count(d.limit));
  }
  out = NL_sgLine("starDetector", "star_analyze_local_maxima") + out;
  out += NL_sgLine("starSignalMax", NL_sgFormatNumber(d.signalMax));
  out += NL_sgLine("starAmount", NL_sgFormatNumber(d.starAmount));
  out += NL_sgLine("starCandidatesDetected", count(d.detected));
  out += NL_sgLine("starCandidates", count(d.stars.size()));
  out += NL_sgLine("starCandidateLimit", count(d.limit));
  out += NL_sgLine("starClassSmall", count(d.classCount[0]));
  out += NL_sgLine("starClassMedium", count(d.classCount[1]));
  out += NL_sgLine("starClassLarge", count(d.classCount[2]));
  out += NL_sgLine("mediumPercentile", "56");
  out += NL_sgLine("largePercentile", "88");
  out += NL_sgLine("mediumScoreThreshold", NL_sgFormatNumber(d.q56));
  out += NL_sgLine("largeScoreThreshold", NL_sgFormatNumber(d.q88));
  return out + NL_sgLine("performanceStarMeasurement", "star-analyze local maxima + duplicate suppression");
}

std::string NL_glowRenderReport(int bands) {
  return "performanceGlowRender = horizontal-band parallel render; full-frame thread buffers=0; bands=" +
         std::to_string(bands) + "\n";
}
