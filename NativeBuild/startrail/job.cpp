#include "startrail/startrail.h"

#include "plumbing/plumbing.h"

#include <algorithm>
#include <cmath>

namespace {

// Halves away from zero, then into the int range before the cast.
int roundToInt(double value) {
  const double r = std::round(value);
  if (!(r == r)) return 0;
  return static_cast<int>(std::clamp(r, -2147483648.0, 2147483647.0));
}

int legalTemporalWindow(double value) {
  const int w = std::clamp(roundToInt(value), 3, 9);
  return (w % 2 == 0) ? w + 1 : w;
}

std::string orDefault(const std::string& value, const char* fallback) { return value.empty() ? fallback : value; }

std::string oneOf(const std::string& value, const char* a, const char* b, const char* fallback) {
  return (value == a || value == b) ? value : fallback;
}

// "low" and "high" move the defaults of the threshold and the aircraft sensitivity.
double defaultThreshold(const std::string& mode) {
  if (mode == "low") return 150.0;
  if (mode == "high") return 100.0;
  return 125.0;
}

double defaultAircraftSensitivity(const std::string& mode) {
  if (mode == "low") return 50.0;
  if (mode == "high") return 100.0;
  return 75.0;
}

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool NL_starTrailReadBool(const std::string& text, const std::string& key, bool fallback) {
  const std::string needle = "\"" + key + "\"";
  const size_t at = text.find(needle);
  if (at == std::string::npos) return fallback;
  size_t pos = text.find(':', at + needle.size());
  if (pos == std::string::npos) return fallback;
  ++pos;
  while (pos < text.size() && isJsonSpace(text[pos])) ++pos;
  if (pos >= text.size()) return fallback;
  if (text.compare(pos, 4, "true") == 0) return true;
  if (text.compare(pos, 5, "false") == 0) return false;
  if (text[pos] == '1') return true;
  if (text[pos] == '0') return false;
  return fallback;
}

bool NL_starTrailIsRejectionOff(const std::string& mode) {
  return mode == "off" || mode == "Off" || mode == "false" || mode == "disabled" || mode == "none" || mode == "0";
}

NLStarTrailNativeJob NL_parseStarTrailNativeJob(const std::string& jobPath) {
  NLStarTrailNativeJob job;
  const std::string text = NL_readTextFile(jobPath);
  job.inputs = NL_extractJsonPathObjectsArray(text, "inputs");
  job.foregroundInputs = NL_extractJsonPathObjectsArray(text, "foregroundInputs");
  job.output = NL_extractJsonString(text, "output");
  job.skyOutput = NL_extractJsonString(text, "skyOutput");
  job.foregroundOutput = NL_extractJsonString(text, "foregroundOutput");
  job.maskInput = NL_extractJsonString(text, "maskInput");
  job.progress = NL_extractJsonString(text, "progress");
  job.resultLog = NL_extractJsonString(text, "resultLog");
  job.rejectionMode = orDefault(NL_extractJsonString(text, "rejectionMode"), "medium");
  job.foregroundMode = orDefault(NL_extractJsonString(text, "foregroundMode"), "none");
  job.temporalWindow = legalTemporalWindow(NL_jsonNumber(text, "temporalWindow", 5.0));
  job.maskGrowPx = std::clamp(roundToInt(NL_jsonNumber(text, "maskGrowPx", 2.0)), 0, 8);
  job.rejectionThresholdPct =
      std::clamp(NL_jsonNumber(text, "rejectionThresholdPct", defaultThreshold(job.rejectionMode)), 50.0, 220.0);
  job.aircraftSensitivity = std::clamp(
      NL_jsonNumber(text, "aircraftSensitivity", defaultAircraftSensitivity(job.rejectionMode)), 0.0, 100.0);
  job.cometEnabled = NL_starTrailReadBool(text, "cometEnabled", false);
  job.cometStrength = std::clamp(NL_jsonNumber(text, "cometStrength", 50.0), 0.0, 100.0);
  job.cometDirection = oneOf(NL_extractJsonString(text, "cometDirection"), "reverse", "both", "forward");
  job.blendingRefinementEnabled = NL_starTrailReadBool(text, "blendingRefinementEnabled", true);
  job.blendingRefinementStrength =
      oneOf(NL_extractJsonString(text, "blendingRefinementStrength"), "subtle", "strong", "standard");
  job.replaceOutput = NL_starTrailReadBool(text, "replaceOutput", false);
  job.keepMeteors = NL_starTrailReadBool(text, "keepMeteors", false);
  job.meteorOutput = NL_extractJsonString(text, "meteorOutput");
  job.rejectionOverlay = NL_extractJsonString(text, "rejectionOverlay");
  job.badFrames = oneOf(NL_extractJsonString(text, "badFrames"), "report", "exclude", "off");
  job.buildUpOutput = NL_extractJsonString(text, "buildUpOutput");
  job.buildUpEvery = std::max(roundToInt(NL_jsonNumber(text, "buildUpEvery", 1.0)), 1);
  job.buildUpFormat = oneOf(NL_extractJsonString(text, "buildUpFormat"), "jpg", "jpg", "tif");
  job.buildUpVideo = NL_extractJsonString(text, "buildUpVideo");
  job.fillGaps = NL_starTrailReadBool(text, "fillGaps", false);
  const double gap = NL_jsonNumber(text, "gapFraction", std::nan(""));
  if (std::isfinite(gap)) job.gapFraction = std::clamp(gap, 0.0, 0.9);
  return job;
}

NLJobPaths NL_starTrailJobPaths(const std::string& jobPath, const NLStarTrailNativeJob& job) {
  NLJobPaths paths;
  paths.inputs.push_back({"job file", jobPath});
  for (const std::string& f : job.inputs) paths.inputs.push_back({"input frame", f});
  for (const std::string& f : job.foregroundInputs) paths.inputs.push_back({"foreground frame", f});
  paths.inputs.push_back({"sky mask", job.maskInput});
  paths.outputs.push_back({"output", job.output});
  const bool composite = !job.foregroundInputs.empty() && !job.foregroundOutput.empty() && !job.maskInput.empty();
  if (composite) paths.outputs.push_back({"sky output", job.skyOutput});
  if (!job.foregroundInputs.empty()) paths.outputs.push_back({"foreground output", job.foregroundOutput});
  if (!job.meteorOutput.empty()) paths.outputs.push_back({"meteor output", job.meteorOutput});
  if (!job.rejectionOverlay.empty()) paths.outputs.push_back({"rejection overlay", job.rejectionOverlay});
  if (!job.buildUpVideo.empty()) paths.outputs.push_back({"build-up video", job.buildUpVideo});
  paths.outputs.push_back({"progress file", job.progress});
  paths.outputs.push_back({"result log", job.resultLog});
  return paths;
}
