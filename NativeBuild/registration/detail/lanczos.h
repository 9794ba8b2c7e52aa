// Lanczos-4 resampling for the warps onto the stacking canvas: the sampling
// of cv::warpPerspective and cv::remap with INTER_LANCZOS4 and a constant 0
// border (source positions rounded to 1/32 px, 8 x 8 taps of the normalised
// Lanczos window, a sample rounded to the nearest integer and clamped), but
// computed as a vertical then a horizontal pass with SIMD, several times
// faster than OpenCV's generic kernel. Results equal OpenCV's within one unit
// (the sums are only ordered differently).
#pragma once

#include <opencv2/core.hpp>

namespace registration_detail {

// 8- or 16-bit unsigned frames with 1, 3 or 4 channels; anything else is
// left to OpenCV.
bool lanczosSupported(const cv::Mat& src);

// dst (dsize, src's type) at (x, y) takes src at inverse(M) (x, y), as
// cv::warpPerspective(src, dst, M, dsize, INTER_LANCZOS4, BORDER_CONSTANT, 0).
// wanted (optional, CV_8UC1 of dst's size): where it is 0 dst is left 0
// instead of resampled; elsewhere dst is as without it.
void lanczosWarpPerspective(const cv::Mat& src, cv::Mat& dst, const cv::Matx33d& M, cv::Size dsize,
                            const cv::Mat& wanted = cv::Mat());

// dst (the maps' size, src's type) at (x, y) takes src at (mapX, mapY) (CV_32F
// maps), as cv::remap(src, dst, mapX, mapY, INTER_LANCZOS4, BORDER_CONSTANT, 0).
// wanted as for lanczosWarpPerspective.
void lanczosRemap(const cv::Mat& src, cv::Mat& dst, const cv::Mat& mapX, const cv::Mat& mapY,
                  const cv::Mat& wanted = cv::Mat());

// One 3-channel output pixel from its 8 column sums and the horizontal
// weights (24 floats each, tap * 3 + channel) as the warps compute it, and
// by the plain tree of sums it must equal bit for bit.
void lanczosAcross3(const float* columns, const float* wx, ushort* out);
void lanczosAcross3(const float* columns, const float* wx, uchar* out);
void lanczosAcross3Plain(const float* columns, const float* wx, ushort* out);
void lanczosAcross3Plain(const float* columns, const float* wx, uchar* out);

}  // namespace registration_detail
