// Image writing shared by the Star Trail steps.
#pragma once

#include <opencv2/imgcodecs.hpp>

#include <string>

namespace startrail_detail {

// cv::imwrite with no parameters; an encoder exception counts as a failed write.
inline bool writeImage(const std::string& path, const cv::Mat& image) {
  try {
    return cv::imwrite(path, image);
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace startrail_detail
