// The hybrid stack job file (key=value lines) and the method table.
#include "hybrid/hybrid.h"

#include "plumbing/plumbing.h"

#include <cstdlib>
#include <sstream>

namespace {

const char* const kAverage = "registered-average-homography";
const char* const kMedian = "registered-median-homography";
const char* const kSigma = "registered-sigma-homography";

bool isCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Leading digits as atoi reads them, but a number past the int range clamps
// like any other instead of being undefined (glibc's atoi wraps it).
int keepPercentOf(const std::string& value) {
  const long long read = std::strtoll(value.c_str(), nullptr, 10);
  return read < 50 ? 50 : (read > 100 ? 100 : int(read));
}

void applyLine(const std::string& key, const std::string& value, TestJobConfig& config) {
  if (key == "method") config.method = value;
  else if (key == "output") config.output = value;
  else if (key == "progress") config.progress = value;
  else if (key == "resultLog") config.resultLog = value;
  else if (key == "input") config.inputs.push_back(value);
  else if (key == "qualityKeepPercent") config.qualityKeepPercent = keepPercentOf(value);
}

}  // namespace

std::string trimTestString(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && isCSpace(text[begin])) ++begin;
  while (end > begin && isCSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string NL_formatDouble(double value, int decimals) { return NL_formatNumber(value, decimals); }

TestJobConfig NL_readTestJobConfig(const std::string& jobPath, std::string* failure) {
  TestJobConfig config;
  std::string text, why;
  if (!NL_readJobFile(jobPath, text, why)) {
    if (failure) *failure = why;
    return config;
  }
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    const std::string line = trimTestString(raw);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    applyLine(trimTestString(line.substr(0, eq)), trimTestString(line.substr(eq + 1)), config);
  }
  return config;
}

bool NL_isKnownStackMethod(const std::string& method) {
  return method == kAverage || method == kMedian || method == kSigma || method == "auto";
}

std::string NL_selectStackMethod(const std::string& method, int frameCount) {
  if (method != "auto") return method;
  if (frameCount < 3) return kAverage;
  return frameCount < 6 ? kMedian : kSigma;
}

int NL_minFramesForMethod(const std::string& selectedMethod) { return selectedMethod == kSigma ? 3 : 2; }
