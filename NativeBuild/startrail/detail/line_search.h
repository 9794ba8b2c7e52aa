// The probabilistic Hough line search of the aircraft and long-streak steps,
// with its working images kept by the caller from one frame to the next.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace startrail_detail {

// A search's vote table (one row of distances per angle) and the list of
// the mask's points. Made once for a frame size and kept: made afresh, the
// vote table alone (7 MB for a 3000 x 2000 frame) would be mapped and
// cleared by the system page by page for every frame.
struct LineSearchScratch {
  cv::Mat votes;
  std::vector<cv::Point> points;
};

// The segments of the set pixels of an 8-bit mask found by the progressive
// probabilistic Hough transform at a distance step of 1 px and an angle step
// of pi / 180: the very segments, in the same order, that cv::HoughLinesP
// gives for the same mask, vote threshold, minimum length and largest gap
// (points taken in the same pseudo-random order, the same rounding). The
// mask is used up: the search clears the points its segments take.
std::vector<cv::Vec4i> probabilisticLines(cv::Mat& mask, int threshold, double minLength, double maxGap,
                                          LineSearchScratch& scratch);

}  // namespace startrail_detail
