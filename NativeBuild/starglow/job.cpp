#include "starglow/starglow.h"

#include "plumbing/plumbing.h"

#include <algorithm>

NL_StarGlowSettings NL_readStarGlowSettings(const std::string& text) {
  NL_StarGlowSettings s;
  auto number = [&](const char* key, double fallback, double lo, double hi) {
    return std::clamp(NL_jsonNumber(text, key, fallback), lo, hi);
  };
  s.starAmount = number("starAmount", s.starAmount, 0.0, 100.0);
  s.glowStrength = number("glowStrength", s.glowStrength, 0.0, 3.0);
  s.smallGlowSize = number("smallGlowSize", s.smallGlowSize, 0.0, 300.0);
  s.mediumGlowSize = number("mediumGlowSize", s.mediumGlowSize, 0.0, 500.0);
  s.largeGlowSize = number("largeGlowSize", s.largeGlowSize, 0.0, 900.0);
  s.mediumSplit = number("mediumSplit", s.mediumSplit, 5.0, 95.0);
  // mediumSplit is at most 95, so the large split always has room below 99.
  s.largeSplit = number("largeSplit", s.largeSplit, s.mediumSplit + 1.0, 99.0);
  s.colorSaturation = number("colorSaturation", s.colorSaturation, 0.0, 400.0);
  s.softness = number("softness", s.softness, 0.0, 100.0);
  s.outputOpacity = number("outputOpacity", s.outputOpacity, 0.0, 100.0);
  s.useSkyMask = NL_jsonBool(text, "useSkyMask", s.useSkyMask);
  s.debugOverlay = NL_jsonBool(text, "debugOverlay", s.debugOverlay);
  s.outputMode = NL_jsonString(text, "outputMode", s.outputMode);
  return s;
}

NL_StarGlowJob NL_readStarGlowJob(const std::string& text) {
  NL_StarGlowJob job;
  job.type = NL_jsonString(text, "type", "");
  job.inputPath = NL_jsonString(text, "inputPath", "");
  job.outputPath = NL_jsonString(text, "outputPath", "");
  job.resultLog = NL_jsonString(text, "resultLog", "");
  job.skyMaskPath = NL_jsonString(text, "skyMaskPath", "");
  job.debugOverlayPath = NL_jsonString(text, "debugOverlayPath", "");
  job.progressPath = NL_jsonString(text, "progress", "");
  if (job.progressPath.empty()) job.progressPath = NL_jsonString(text, "progressPath", "");
  job.inputComplete = NL_jsonBool(text, "inputComplete", false);
  job.settings = NL_readStarGlowSettings(text);
  return job;
}

NLJobPaths NL_starGlowJobPaths(const std::string& jobPath, const NL_StarGlowJob& job) {
  NLJobPaths paths;
  paths.inputs = {{"job file", jobPath}, {"input image", job.inputPath}, {"sky mask", job.skyMaskPath}};
  paths.outputs.push_back({"output", job.outputPath});
  if (job.settings.debugOverlay) paths.outputs.push_back({"debug overlay", job.debugOverlayPath});
  paths.outputs.push_back({"progress file", job.progressPath});
  paths.outputs.push_back({"result log", job.resultLog});
  return paths;
}
