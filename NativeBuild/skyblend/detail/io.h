// Shared inside the Sky Blend folder only.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <string>

namespace skyblend_detail {

// False when the image could not be written.
inline bool writeImage(const std::string& path, const cv::Mat& image) {
  try {
    return cv::imwrite(path, image);
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace skyblend_detail
