// Sky Blend job.
#pragma once

#include "plumbing/plumbing.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Runs the job described by the job file and returns its result log text.
std::string NL_runSkyBlendNativeJob(const std::string& jobPath);

// ---- Fixed foreground stack and masked combines ---------------------------
// Frames and masks: 8- or 16-bit frames of one size and type with 1, 3 or 4
// channels; mask i (8-bit, frame size, 0 = frame i left out at that pixel)
// belongs to frame i. Progress is mapped into start..end of the caller's range.

// Loads every path (retrying reader); false at the first unloadable or
// mismatching frame, or for fewer than two frames or an unsupported type.
// The message is set only on failure.
bool NL_loadSkyBlendImages(const std::vector<std::string>& paths, std::vector<cv::Mat>& images,
                           std::string& message, const NLProgressCallback& progress, int start, int end,
                           const std::string& stage);
// Per-pixel mean over the frames each mask admits (a missing or empty mask
// admits all); 0 where none is admitted. False only for no images or
// inconsistent frames/masks.
bool NL_averageCombineImagesWithMasks(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                                      cv::Mat& out, std::string& message, const NLProgressCallback& progress,
                                      int start, int end, const std::string& stage, const std::string& detail);
// Per-pixel mean after one two-sigma clip of the admitted frames; the first
// frame's value where none is admitted. Masks: none, or one per frame. The
// message is set only on failure.
bool NL_sigmaCombineImagesWithMasks(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                                    cv::Mat& out, std::string& message, const NLProgressCallback& progress,
                                    int start, int end, const std::string& stage, const std::string& detail);
// Loads the fixed (unregistered) foreground frames, combines them ("average"
// exactly, else sigma) and writes outputPath. The message holds the summary
// or the failure; never throws for bad input.
bool NL_fixedSigmaStackToReferenceSize(const std::vector<std::string>& paths, const std::string& outputPath,
                                       std::string& message, const NLProgressCallback& progress,
                                       const std::string& stackMethod);
