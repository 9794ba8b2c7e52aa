// The rejection masks on luminance planes: the masks compare luminance only,
// so the workers convert each frame once and warp one plane per neighbour
// instead of every colour channel.
#pragma once

#include "startrail/detail/streaks.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace startrail_detail {

// Luminance of an 8- or 16-bit image as a CV_32F plane in the image's units.
cv::Mat luminancePlane(const cv::Mat& image);
// The same into `plane`, whose memory is reused when it has the image's size and CV_32F.
void luminancePlaneInto(const cv::Mat& image, cv::Mat& plane);
// 65535 for 16-bit images, 255 otherwise.
double fullScaleOf(const cv::Mat& image);
// The two masks of NL_starTrailBuildRegisteredOutlierMask and
// NL_starTrailBuildOutlierMask on luminance planes; fullScale is the frames'
// full scale (the threshold is a share of it). toFrame[k], when given and not
// empty, maps neighbour k onto the frame (3 x 3 CV_64F): the neighbour is
// then sampled bilinearly (black outside) where the frame needs it, which is
// where the frame stands above the threshold, instead of being warped whole;
// otherwise neighbour k is on the frame's grid already.
// `unmoved` are planes on the frame's grid as decoded (the fixed landscape of
// the neighbours): a flag they explain is cleared.
// What a worker asks of the registered mask beyond the flags: the streaks
// found (classed), and the meteors left out of the mask.
struct StreakRequest {
  bool keepMeteors = false;
  std::vector<FrameStreak>* streaks = nullptr;  // filled when given
  // The calling thread keeps its frame-sized working masks for its next
  // frame: only for the job's own workers, whose threads end with the job.
  bool keepMasks = false;
};
cv::Mat registeredOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                              const std::vector<cv::Mat>& toFrame, double fullScale, const std::string& rejectionMode,
                              int maskGrowPx, double rejectionThresholdPct, double aircraftSensitivity,
                              const std::vector<cv::Mat>& unmoved, const StreakRequest& request = {});
cv::Mat fallbackOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                            const std::vector<cv::Mat>& toFrame, double fullScale, const std::string& rejectionMode,
                            int maskGrowPx, double rejectionThresholdPct);

// One 8-connected group of the set pixels of an 8-bit mask.
struct FlagComponent {
  std::vector<cv::Point> pixels;  // each pixel once, in no particular order
  cv::Rect box;
};
// The 8-connected components of the mask's set pixels, found from those
// pixels alone: a frame holds some thousands of flags among millions of
// pixels, so labelling the whole grid would cost far more than the flags.
std::vector<FlagComponent> flagComponents(const cv::Mat& mask);
// Sets the component's pixels to 255 in mask.
void paintComponent(const FlagComponent& component, cv::Mat& mask);

}  // namespace startrail_detail
