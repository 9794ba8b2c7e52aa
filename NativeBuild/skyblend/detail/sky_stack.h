// The registered sky stack with its band height chosen by the caller (tests
// compare band heights; the job lets the stack choose).
#pragma once

#include "skyblend/skyblend.h"

namespace skyblend_detail {

// NL_registeredSigmaReferenceCanvas, warping and combining bandRows canvas
// rows of every frame at a time (0: a band of about 48 MB for all frames).
bool registeredSkyStack(const std::vector<std::string>& inputs, const std::string& outputPath,
                        const std::string& skyMaskPath, std::string& text, const NLProgressCallback& progress,
                        const std::string& stackMethod, NLSkyCoverage* coverage, NLJobFrames* store,
                        cv::Mat* stackOut, NLImageWriteQueue* writes, int bandRows);

}  // namespace skyblend_detail
