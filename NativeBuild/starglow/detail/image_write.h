// Image writing that never leaves a partial file at the final path.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace starglow_detail {

// Encodes to a sibling temporary name with the same extension (so the encoder
// is chosen as for the final path) and renames it into place; false on any
// failure, with the temporary removed and the final path untouched.
bool writeImageReplacing(const std::string& path, const cv::Mat& image);

}  // namespace starglow_detail
