// Transforms between the frames of one rejection window, composed from the
// registrations of consecutive frames.
#pragma once

#include "registration/registration.h"

#include <opencv2/core.hpp>

#include <vector>

namespace startrail_detail {

// The stars a rejection registration matches: detection and grid selection
// with the worker's settings, on a luminance plane.
std::vector<NLStarCandidate> selectTrailStars(const cv::Mat& plane);
// Moving onto reference (luminance planes with their selected stars), with
// the fit checks every registration applies; empty when unsound. A seed (a
// predicted transform) is tried first by matching the stars near where it
// puts them; the pattern search runs when that fit is unsound.
// The frames' caches, where given, keep the re-measured star centres for
// their other pairs.
cv::Mat registerTrailPair(const cv::Mat& referencePlane, const std::vector<NLStarCandidate>& referenceStars,
                          const cv::Mat& movingPlane, const std::vector<NLStarCandidate>& movingStars,
                          const cv::Mat& seed = cv::Mat(), NLCentroidCache* referenceCentres = nullptr,
                          NLCentroidCache* movingCentres = nullptr);
// toPrevious[j] maps frame j onto frame j - 1 (toPrevious[0] unused). The
// transform of frame k onto frame i through the frames between; empty when
// a link on the way is missing.
cv::Mat composeOnto(const std::vector<cv::Mat>& toPrevious, int frameIndex, int neighbourIndex);
// Largest distance (px) between where the two transforms put the corners and
// the centre of a frame of the given size; infinite when either is empty.
double transformDisagreement(const cv::Mat& a, const cv::Mat& b, cv::Size size);

}  // namespace startrail_detail
