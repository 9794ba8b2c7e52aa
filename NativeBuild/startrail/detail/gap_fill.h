// Filling the gaps between exposures: each frame's star light carried along
// the sky's motion until the next exposure begins, so a camera that pauses
// between frames still gives continuous trails.
#pragma once

#include "startrail/startrail.h"

#include "registration/registration.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace startrail_detail {

// The sky's motion over one frame interval, taken apart so that any share
// of it can be applied: the sky turns about the pole, so the turn angle,
// the scale and the translation are interpolated (stars move along arcs),
// and what a similarity cannot express is added in proportion.
class SkyMotion {
 public:
  SkyMotion() = default;
  // nextOntoThis maps the next frame's pixels onto this frame's (3 x 3,
  // CV_64F); the turn is fitted at `where` (this frame's pixels, the stars
  // the motion was measured on), or over the whole frame of `size` when
  // fewer than three are given.
  SkyMotion(const cv::Mat& nextOntoThis, cv::Size size, const std::vector<cv::Point2d>& where = {});
  bool valid() const { return valid_; }
  // Where a point of this frame has moved after `share` of the interval
  // (0: here, 1: where the next frame shows it), as a 2 x 3 affine map.
  cv::Matx23d after(double share) const;
  cv::Point2d at(cv::Point2d p, double share) const;
  // The largest distance (px) a point of the frame moves in a whole interval.
  double largestStep() const { return largestStep_; }

 private:
  bool valid_ = false;
  double angle_ = 0.0, logScale_ = 0.0;  // of the similarity
  cv::Point2d shift_;                    // the similarity's translation
  cv::Matx23d rest_ = cv::Matx23d::zeros();  // affine minus similarity
  double largestStep_ = 0.0;
};

// The next frame's stars onto this frame's, measured afresh about a
// registration: the stars matched near where it puts them, then a turn (and,
// with stars enough, an affine) fitted to their centroids with outliers
// left out. A registration built to align neighbours for streak search may
// stray by pixels where a field has few stars; carried light must land on
// the trail. Returns the 3 x 3 map (the registration itself when too few
// stars match) and the matched stars' positions in this frame.
cv::Mat refineSkyMotion(const cv::Mat& nextOntoThis, const std::vector<NLStarCandidate>& thisStars,
                        const std::vector<NLStarCandidate>& nextStars, std::vector<cv::Point2d>& matchedHere);

// A frame's sky: its background (a coarse grid of block medians, read
// bilinearly) and the noise of that sky, both in the plane's units.
class SkyLevels {
 public:
  SkyLevels(const cv::Mat& luminance, const cv::Mat& skyMask);
  double at(int x, int y) const;
  double noise() const { return noise_; }

 private:
  cv::Mat grid_;  // CV_64F, one value per block
  int block_ = 32;
  double noise_ = 1.0;
};

// The pixels of the frame whose light is carried: stars standing above the
// sky that the next frame shows moved on with the sky, or, for stars that
// leave the frame or set behind the sky mask's landscape, that the frame
// before shows coming (the fixed
// landscape, hot pixels, streaks and anything else that does not move with
// the stars stay); inside the sky mask when there is one, never where the
// rejection took a streak out. previous may be empty. 8-bit, 255 = carried.
cv::Mat gapSourceMask(const cv::Mat& luminance, const cv::Mat& nextLuminance, const cv::Mat& previousLuminance,
                      const SkyMotion& motion, const cv::Mat& skyMask, const cv::Mat& rejection);

// The shares of the interval at which the frame's light is laid down across
// a gap of gapShare: dense enough that the copies of a star's own arc (the
// exposure's share of the motion) join into one line.
std::vector<double> gapSteps(double gapShare, double largestStep);

// Lightens the accumulators (as NL_starTrailAccumulateFrame does, rows
// locked one at a time) with the frame's carried light: at every pixel the
// brightest of the source pixels moved there by one of the steps, sampled
// bilinearly among source pixels only. The sky mask of the target holds;
// the fourth channel of a four-channel image is left alone. Returns the
// number of pixels the fill reached.
std::int64_t fillGap(const cv::Mat& frame, const cv::Mat& sourceMask, const SkyMotion& motion, double gapShare,
                     double weight, const NLStarTrailAccumulateTarget& target);

// The gap's share from capture times: 1 - exposure / interval with the
// medians of the exposures and of the differences between consecutive
// capture times; negative when the frames do not tell.
double gapShareFromCaptures(const std::vector<NLCaptureInfo>& captures);
// The gap's share from the trails themselves: the length of the arcs of
// bright unsaturated stars (from their second moments along and across the
// motion) against the motion of a whole interval; negative when too few
// stars can be measured or the sky barely moves.
double gapShareFromTrails(const cv::Mat& luminance, const SkyMotion& motion, double fullScale, const cv::Mat& skyMask);

}  // namespace startrail_detail
