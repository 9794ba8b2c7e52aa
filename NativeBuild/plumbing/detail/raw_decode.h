// The camera RAW decoder behind the image reading home; other folders use
// the entries of plumbing.h instead.
#pragma once

#include "plumbing/capture_info.h"

#include <opencv2/core.hpp>

#include <string>

namespace nl_detail {

// Capture time, exposure and camera as the RAW decoder reads them; false
// (info untouched) when the build has no decoder or it cannot open the file.
bool rawCaptureInfo(const std::string& path, NLCaptureInfo& info);

}  // namespace nl_detail
