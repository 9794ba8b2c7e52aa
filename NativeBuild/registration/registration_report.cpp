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
