#include "startrail/detail/run_state.h"

#include "plumbing/plumbing.h"

#include <limits>
#include <stdexcept>

namespace startrail_detail {

void addToMeteorImage(TrailRun& run, const cv::Mat& frame, const std::vector<FrameStreak>& streaks) {
  if (run.job.meteorOutput.empty() || run.darkest.empty()) return;
  std::vector<FrameStreak> meteors;
  for (const FrameStreak& s : streaks)
    if (s.kind == NLStarTrailStreakClass::meteor) meteors.push_back(s);
  // the meteor's glow reaches past its flagged core
  const cv::Mat area = meteors.empty() ? cv::Mat() : streakArea(meteors, frame.size(), run.job.maskGrowPx + 2);
  for (int y = 0; y < frame.rows; ++y) {
    std::lock_guard<std::mutex> lock(run.rowLocks[size_t(y)]);
    cv::Mat darkRow = run.darkest.row(y);
    cv::min(darkRow, frame.row(y), darkRow);
    if (area.empty() || cv::countNonZero(area.row(y)) == 0) continue;
    cv::Mat layerRow = run.meteorLayer.row(y), brighter;
    cv::max(layerRow, frame.row(y), brighter);
    brighter.copyTo(layerRow, area.row(y));
  }
}

void writeMeteorImage(const TrailRun& run) {
  const std::string& path = run.job.meteorOutput;
  if (path.empty() || run.darkest.empty()) return;
  cv::Mat image = cv::max(run.darkest, run.meteorLayer), wide;
  // 16 bits whatever the frames' depth: 255 steps become 65535
  image.convertTo(wide, CV_MAKETYPE(CV_16U, image.channels()), image.depth() == CV_8U ? 257.0 : 1.0);
  if (!NL_writeImageFile(path, wide)) throw std::runtime_error("Star Trail failed: could not write meteor output: " + path);
}

}  // namespace startrail_detail
