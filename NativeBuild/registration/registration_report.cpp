#include "registration/registration.h"

#include "plumbing/plumbing.h"

#include <cmath>
#include <cstdio>

namespace {

// 17 significant digits round-trip a double; JSON has no NaN or infinity.
std::string number(double value) {
  if (!std::isfinite(value)) return "null";
  return NL_formatNumber(value, -1, 17);
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string homographyJson(const cv::Mat& h) {
  if (h.empty() || h.rows != 3 || h.cols != 3 || h.type() != CV_64F) return "null";
  std::string out = "[";
  for (int i = 0; i < 9; ++i) out += (i ? "," : "") + number(h.at<double>(i / 3, i % 3));
  return out + "]";
}

}  // namespace

std::string NL_formatRegistrationJson(const NLAlignmentQuality& q, const cv::Mat& homography) {
  std::string out = "{";
  out += "\"ok\":" + std::string(q.ok ? "true" : "false");
  out += ",\"reason\":" + quoted(q.reason);
  out += ",\"mode\":" + quoted(q.mode);
  out += ",\"referenceStars\":" + std::to_string(q.referenceStars);
  out += ",\"movingStars\":" + std::to_string(q.movingStars);
  out += ",\"matchCount\":" + std::to_string(q.matchCount);
  out += ",\"inlierCount\":" + std::to_string(q.inlierCount);
  out += ",\"inlierRatio\":" + number(q.inlierRatio);
  out += ",\"averageError\":" + number(q.averageError);
  out += ",\"medianError\":" + number(q.medianError);
  out += ",\"maxError\":" + number(q.maxError);
  out += ",\"centerError\":" + number(q.centerError);
  out += ",\"edgeError\":" + number(q.edgeError);
  out += ",\"cornerError\":" + number(q.cornerError);
  out += ",\"homography\":" + homographyJson(homography);
  return out + "}";
}

// ---- Registered stacking reports ---------------------------------------------

namespace {

std::string fixed3(double value) { return NL_formatNumber(value, 3); }

std::string keyLine(const std::string& key, const std::string& value) { return key + " = " + value + "\n"; }

}  // namespace

std::string NL_formatSkyRegistrationFrameLine(int index, const NLSkyRegistrationFrame& f, int anchor) {
  const std::string head = "skyRegistrationFrame " + std::to_string(index + 1) + " = ";
  if (f.anchor) return head + "registration-anchor | used | mode=middle-reference\n";
  const NLAlignmentQuality& q = f.quality;
  return head + (f.used ? "used" : "skipped") + " | reason=" + f.reason + " | anchorFrame=" +
         std::to_string(anchor + 1) + " | mode=" + q.mode + " | stars=" + std::to_string(q.movingStars) +
         " | matches=" + std::to_string(q.matchCount) + " | inliers=" + std::to_string(q.inlierCount) +
         " | ratio=" + fixed3(q.inlierRatio) + " | avg=" + fixed3(q.averageError) + " | median=" +
         fixed3(q.medianError) + " | edge=" + fixed3(q.edgeError) + " | corner=" + fixed3(q.cornerError) + "\n";
}

std::string NL_formatSkyRegistrationLog(const NLSkyRegistrationRun& run) {
  const int n = int(run.frames.size());
  int used = 0;
  for (const NLSkyRegistrationFrame& f : run.frames) used += f.used ? 1 : 0;
  const std::string of = " / " + std::to_string(n);
  std::string out = keyLine("skyRegistrationQualityGate", "on");
  out += keyLine("skyRegistrationAnchorMode", "middle-reference");
  out += keyLine("skyRegistrationAnchorFrame", std::to_string(run.anchor + 1) + of);
  out += keyLine("skyRegistrationReferenceUsage",
                 "middle frame used for star alignment; final composite still uses no reference pixels");
  out += keyLine("skyRegistrationUsedFrames", std::to_string(used) + of);
  out += keyLine("skyRegistrationSkippedFrames", std::to_string(n - used));
  const std::pair<const char*, double> gate[] = {
      {"skyRegistrationGateAverageErrorMax", 1.1}, {"skyRegistrationGateMedianErrorMax", 0.85},
      {"skyRegistrationGateEdgeErrorMax", 3.5},    {"skyRegistrationGateCornerErrorMax", 5.0},
      {"skyRegistrationGateInliersMin", 80.0},     {"skyRegistrationGateInlierRatioMin", 0.25}};
  for (const auto& [key, value] : gate) out += keyLine(key, NL_formatNumber(value));
  out += keyLine("performanceSkyRegistration",
                 "parallel middle-anchor frame alignment, threads=" + std::to_string(run.threads));
  for (int i = 0; i < n; ++i) out += NL_formatSkyRegistrationFrameLine(i, run.frames[i], run.anchor);
  return out;
}

std::string NL_formatLocalCorrectionStats(const NLLocalCorrectionStats& s) {
  if (s.frames < 1) return "localCorrection = not used";
  std::string out = keyLine("localCorrection", "on");
  out += keyLine("localCorrectionMode", "adaptive");
  out += keyLine("mesh", "21 x 21");
  out += keyLine("localCorrectionFrames", std::to_string(s.correctedFrames) + " / " + std::to_string(s.frames));
  out += keyLine("localCorrectionSkipped", std::to_string(s.skippedFrames));
  out += keyLine("localCorrectionResidualMatches", std::to_string(s.residualMatches));
  out += keyLine("localCorrectionStrongCells", std::to_string(s.strongCells));
  out += keyLine("localCorrectionWeakCells", std::to_string(s.weakCells));
  out += keyLine("localCorrectionMaxPx", fixed3(s.maxShiftPx));
  return out + "localCorrectionAvgMaxPx = " + fixed3(s.sumMaxShiftPx / s.frames);
}
