// The streaks of one frame's rejection mask: the flagged pieces of one
// streak joined along its line and classed (satellite, aircraft, meteor).
#pragma once

#include "startrail/startrail.h"
#include "startrail/detail/neighbour_views.h"

#include <opencv2/core.hpp>

#include <vector>

namespace startrail_detail {

// A straight group of pixels: its centre, unit direction, and half its
// length and its width along the principal axes.
struct PixelLine {
  cv::Point2d centre, direction{1.0, 0.0};
  double halfLength = 0.0, width = 1.0;
};
PixelLine lineOf(const std::vector<cv::Point>& pixels);

struct FrameStreak {
  NLStarTrailStreakClass kind = NLStarTrailStreakClass::satellite;
  cv::Point2d from, to;           // px, its ends along its line
  double width = 1.0;             // px
  std::vector<cv::Point> pixels;  // its flagged pixels, before the mask grows
};

// True when p lies within half the streak's width (and a pixel) of its segment.
bool onCore(const FrameStreak& s, const cv::Point& p);

// Joins the pieces of `clean` (the flags before growth) that lie on one
// line and classes each streak by its shape and its brightness along its
// length over the sky of `levels`.
std::vector<FrameStreak> findStreaks(const cv::Mat& frame, const cv::Mat& clean, const FlagLevels& levels);

// Lines along the streaks of `streaks` (a mask of accepted streak
// groups), drawn a little wider than each and as long again on both sides,
// where the faint ends and the pieces a star broke off lie.
cv::Mat linesAlongStreaks(const cv::Mat& streaks, int grow);

// The mask of a set of streaks: their pixels and segments, grown by `grow` px.
cv::Mat streakArea(const std::vector<FrameStreak>& streaks, cv::Size size, int grow);

}  // namespace startrail_detail
