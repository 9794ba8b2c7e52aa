// The camera RAW decoder behind the image reading home; other folders use
// the entries of plumbing.h instead.
#pragma once

#include "plumbing/plumbing.h"

#include <opencv2/core.hpp>

#include <string>

namespace nl_detail {

// Capture time, exposure and camera as the RAW decoder reads them; false
// (info untouched) when the build has no decoder or it cannot open the file.
bool rawCaptureInfo(const std::string& path, NLCaptureInfo& info);
// The size of the decoded image (turned as it will be), read without
// unpacking the sensor data; false when the decoder cannot open the file.
bool rawImageSize(const std::string& path, cv::Size& size);
// The whole decode with the rendering registered for the path; for the
// flags of cv::imread: unchanged or any-depth keeps 16 bits, greyscale
// gives one channel. Empty on any failure.
cv::Mat decodeRaw(const std::string& path, int flags);
// The rendering an NLRawRenderingScope holds for the path; Camera when none.
NLRawRendering rawRenderingFor(const std::string& path);

}  // namespace nl_detail
