// Shared inside the Sky Blend folder only.
#pragma once

#include "plumbing/plumbing.h"

#include <opencv2/core.hpp>

#include <string>

namespace skyblend_detail {

// False when the image could not be written; never a partial file at path.
inline bool writeImage(const std::string& path, const cv::Mat& image) { return NL_writeImageFile(path, image); }

}  // namespace skyblend_detail
