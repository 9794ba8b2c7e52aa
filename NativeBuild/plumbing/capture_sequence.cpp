// A night's frames as the camera took them: the step between frames, the
// exposures, and frames whose capture time runs against their name order.
#include "plumbing/plumbing.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>

namespace {

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(mid), v.end());
  if (v.size() % 2) return v[mid];
  const double upper = v[mid];
  return (*std::max_element(v.begin(), v.begin() + std::ptrdiff_t(mid)) + upper) / 2;
}

// Backsteps follow the order given; the interval and the gaps come from the
// times sorted, so a frame named out of order is no gap.
void intervals(const std::vector<NLCaptureInfo>& frames, NLCaptureSequence& s) {
  std::vector<double> times;
  int previous = -1;
  for (int i = 0; i < int(frames.size()); ++i) {
    if (!frames[size_t(i)].hasTime) continue;
    times.push_back(frames[size_t(i)].timeSeconds);
    const double step = previous < 0 ? 0 : frames[size_t(i)].timeSeconds - frames[size_t(previous)].timeSeconds;
    if (step < 0) s.backsteps.push_back({i, previous, -step});
    previous = i;
  }
  std::sort(times.begin(), times.end());
  std::vector<double> steps;
  for (size_t k = 1; k < times.size(); ++k) steps.push_back(times[k] - times[k - 1]);
  s.intervals = int(steps.size());
  if (steps.empty()) return;
  s.intervalMedian = median(steps);
  s.intervalMin = *std::min_element(steps.begin(), steps.end());
  s.intervalMax = *std::max_element(steps.begin(), steps.end());
  if (s.intervalMedian > 0)
    s.gaps = int(std::count_if(steps.begin(), steps.end(), [&](double d) { return d > 1.5 * s.intervalMedian; }));
}

void exposures(const std::vector<NLCaptureInfo>& frames, NLCaptureSequence& s) {
  std::vector<double> seconds;
  for (const NLCaptureInfo& f : frames)
    if (f.hasExposure) seconds.push_back(f.exposureSeconds);
  s.withExposure = int(seconds.size());
  if (seconds.empty()) return;
  s.exposureMedian = median(seconds);
  s.exposureMin = *std::min_element(seconds.begin(), seconds.end());
  s.exposureMax = *std::max_element(seconds.begin(), seconds.end());
}

std::string line(const std::string& key, const std::string& value) { return key + "=" + value + "\n"; }

std::string fileName(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string frameName(const std::vector<std::string>& paths, int i) {
  return std::to_string(i) + (size_t(i) < paths.size() ? " " + fileName(paths[size_t(i)]) : std::string());
}

// Seconds as the logs give them: to the millisecond, no trailing zeros.
std::string seconds(double s) { return NL_formatNumber(std::round(s * 1000) / 1000); }

// Exposures run from 1/8000 s to minutes: four significant digits.
std::string exposure(double s) { return NL_formatNumber(s, -1, 4); }

constexpr size_t kMaxOrderWarnings = 10;

std::string orderLines(const NLCaptureSequence& s, const std::vector<std::string>& paths) {
  std::string out;
  for (size_t k = 0; k < s.backsteps.size() && k < kMaxOrderWarnings; ++k) {
    const NLCaptureSequence::Backstep& b = s.backsteps[k];
    out += line("captureOrderWarning", "frame " + frameName(paths, b.frame) + " was taken " + seconds(b.seconds) +
                                           " s before frame " + frameName(paths, b.previous) +
                                           " listed ahead of it: name order and capture order disagree");
  }
  if (s.backsteps.size() > kMaxOrderWarnings)
    out += line("captureOrderWarning", std::to_string(s.backsteps.size() - kMaxOrderWarnings) +
                                           " more frames were taken before the frame listed ahead of them");
  return out;
}

}  // namespace

NLCaptureSequence NL_captureSequence(const std::vector<NLCaptureInfo>& frames) {
  NLCaptureSequence s;
  s.frames = int(frames.size());
  for (const NLCaptureInfo& f : frames) {
    s.withTime += f.hasTime;
    if (s.camera.empty()) s.camera = f.camera;
  }
  intervals(frames, s);
  exposures(frames, s);
  return s;
}

std::vector<NLCaptureInfo> NL_readCaptureInfos(const std::vector<std::string>& paths) {
  std::vector<NLCaptureInfo> infos(paths.size());
  cv::parallel_for_(cv::Range(0, int(paths.size())), [&](const cv::Range& r) {
    for (int i = r.start; i < r.end; ++i) infos[size_t(i)] = NL_readCaptureInfo(paths[size_t(i)]);
  });
  return infos;
}

std::string NL_captureSequenceLines(const NLCaptureSequence& s, const std::vector<std::string>& paths) {
  if (s.withTime == 0 && s.withExposure == 0 && s.camera.empty()) return std::string();
  std::string out = line("captureTimes", std::to_string(s.withTime) + " of " + std::to_string(s.frames));
  if (s.intervals > 0) {
    out += line("frameIntervalS", seconds(s.intervalMedian));
    out += line("frameIntervalMinS", seconds(s.intervalMin));
    out += line("frameIntervalMaxS", seconds(s.intervalMax));
    out += line("frameIntervalGaps", std::to_string(s.gaps));
  }
  if (s.withExposure > 0) {
    out += line("exposureS", exposure(s.exposureMedian));
    out += line("exposureMinS", exposure(s.exposureMin));
    out += line("exposureMaxS", exposure(s.exposureMax));
  }
  if (!s.camera.empty()) out += line("camera", s.camera);
  return out + orderLines(s, paths);
}
