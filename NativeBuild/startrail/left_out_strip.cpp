// The frames left out, shown under the rejection overlay: a photographer
// checks at a glance that each was worth losing.
#include "startrail/startrail.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <sstream>

namespace {

constexpr int kCell = 200;     // px: thumbnail width, and the cell's
constexpr int kLine = 14;      // px between caption lines
constexpr double kFont = 0.38;

// 8-bit BGR at thumbnail size, its brightest thousandth stretched to white.
cv::Mat thumbnail(const cv::Mat& frame) {
  const double scale = double(kCell) / std::max(frame.cols, 1);
  cv::Mat small, gray, sorted, out;
  cv::resize(frame, small, cv::Size(kCell, std::max(1, int(frame.rows * scale + 0.5))), 0, 0, cv::INTER_AREA);
  if (small.channels() == 1) cv::cvtColor(small, small, cv::COLOR_GRAY2BGR);
  if (small.channels() == 4) cv::cvtColor(small, small, cv::COLOR_BGRA2BGR);
  cv::cvtColor(small, gray, cv::COLOR_BGR2GRAY);
  cv::sort(gray.reshape(1, 1), sorted, cv::SORT_EVERY_ROW | cv::SORT_ASCENDING);
  sorted.convertTo(sorted, CV_64F);
  const double top = std::max(1.0, sorted.at<double>(0, std::max(0, int(0.999 * (sorted.cols - 1)))));
  small.convertTo(out, CV_8UC3, 255.0 / top);
  return out;
}

// The caption broken at spaces to fit the cell.
std::vector<std::string> wrapped(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream words(text);
  std::string word, current;
  while (words >> word) {
    const std::string longer = current.empty() ? word : current + " " + word;
    int base = 0;
    if (!current.empty() && cv::getTextSize(longer, cv::FONT_HERSHEY_SIMPLEX, kFont, 1, &base).width > kCell - 6) {
      lines.push_back(current);
      current = word;
    } else {
      current = longer;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

}  // namespace

cv::Mat NL_starTrailLeftOutStrip(const cv::Mat& overlay, const std::vector<cv::Mat>& frames,
                                 const std::vector<std::string>& captions) {
  if (frames.empty() || overlay.empty()) return overlay;
  std::vector<cv::Mat> thumbs;
  std::vector<std::vector<std::string>> text;
  int thumbHeight = 0;
  size_t lines = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    thumbs.push_back(frames[i].empty() ? cv::Mat() : thumbnail(frames[i]));
    text.push_back(wrapped(i < captions.size() ? captions[i] : std::string()));
    thumbHeight = std::max(thumbHeight, thumbs.back().rows);
    lines = std::max(lines, text.back().size());
  }
  const int perRow = std::max(1, overlay.cols / (kCell + 4));
  const int cellHeight = thumbHeight + 6 + int(lines) * kLine + 4;
  const int rows = int((frames.size() + size_t(perRow) - 1) / size_t(perRow));
  cv::Mat out(overlay.rows + rows * cellHeight, std::max(overlay.cols, kCell + 4), CV_8UC3, cv::Scalar::all(24));
  overlay.copyTo(out(cv::Rect(0, 0, overlay.cols, overlay.rows)));
  for (size_t i = 0; i < frames.size(); ++i) {
    const int x = int(i % size_t(perRow)) * (kCell + 4) + 2, y = overlay.rows + int(i / size_t(perRow)) * cellHeight + 2;
    if (!thumbs[i].empty()) thumbs[i].copyTo(out(cv::Rect(x, y, thumbs[i].cols, thumbs[i].rows)));
    for (size_t l = 0; l < text[i].size(); ++l)
      cv::putText(out, text[i][l], cv::Point(x + 2, y + thumbHeight + 4 + int(l + 1) * kLine - 3),
                  cv::FONT_HERSHEY_SIMPLEX, kFont, cv::Scalar(220, 220, 220), 1, cv::LINE_AA);
  }
  return out;
}
