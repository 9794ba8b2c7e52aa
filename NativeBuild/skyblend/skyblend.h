// Sky Blend job.
#pragma once

#include "plumbing/plumbing.h"
#include "registration/registration.h"
#include "stack/stack.h"

#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

// ---- Job and driver ----------------------------------------------------------

struct NLSkyBlendNativeJob {
  std::vector<std::string> inputs;  // "inputs": objects with "path", or plain strings
  std::string referencePath;        // "referencePath"
  std::string skyMaskPath;          // "skyMaskPath"
  std::string skyOutput;            // "outputs" -> "sky"
  std::string foregroundOutput;     // "outputs" -> "foreground"
  std::string blendOutput;          // "outputs" -> "blend"
  std::string progress;             // "progress"
  std::string resultLog;            // "resultLog"
  std::string stackMethod = "auto"; // "stackMethod"; empty reads as "auto"
};

// Reads the job from the job file's text; missing keys keep their defaults.
NLSkyBlendNativeJob NL_parseSkyBlendNativeJob(const std::string& text);
// Every file the job reads and writes (for the path checks).
NLJobPaths NL_skyBlendJobPaths(const std::string& jobPath, const NLSkyBlendNativeJob& job);
// The reference (when non-empty) first, then every other input in order;
// the reference is added even when it is not among the inputs.
std::vector<std::string> NL_referenceFirstInputs(const std::vector<std::string>& inputs, const std::string& reference);
// Runs the job described by the job file: sky stack, foreground stack, blend.
// Returns the result log text, also written to the job's result log; every
// failure ends with a final "Failed" progress entry. An exception escaping a
// stage (OpenCV, memory) is logged the same way and then rethrown.
std::string NL_runSkyBlendNativeJob(const std::string& jobPath);

struct NLSkyBlendShared;
// The three stages the driver runs in order; the job's own are NL_skyBlendStages().
struct NLSkyBlendStages {
  std::function<bool(const std::vector<std::string>& ordered, const NLSkyBlendNativeJob& job,
                     const std::string& method, const NLProgressCallback& progress, std::string& message,
                     NLSkyBlendShared& shared)>
      skyStack;
  std::function<bool(const std::vector<std::string>& ordered, const NLSkyBlendNativeJob& job,
                     const std::string& method, const NLProgressCallback& progress, std::string& message,
                     NLSkyBlendShared& shared)>
      foregroundStack;
  std::function<bool(const NLSkyBlendNativeJob& job, NLSkyBlendShared& shared, std::string& message)> blend;
};
NLSkyBlendStages NL_skyBlendStages();
// The driver with the given stages (the same texts, progress and failure handling).
std::string NL_runSkyBlendNativeJobWith(const std::string& jobPath, const NLSkyBlendStages& stages);

// ---- Sky mask ----------------------------------------------------------------

// The mask at path or at its .tif/.tiff/.png sibling (tried in sorted order),
// as 8-bit single channel; empty, with the tried list in message, when none
// loads. Never throws for bad input.
cv::Mat NL_loadSkyBlendMaskImage(const std::string& path, std::string& message);

// ---- Registered sky stack ------------------------------------------------------

// How many of the combined sky frames reached each canvas pixel. Handed by
// the sky stack to the blend of the same run.
struct NLSkyCoverage {
  int frames = 0;  // frames combined
  cv::Mat map;     // CV_16UC1, canvas size; empty when unknown
};

// What the stages of one run hand on: the frames the sky stack decoded go on
// to the foreground stack (within the store's budget; the rest are read
// again), and the two stacks stay in memory for the blend, so no frame is
// decoded twice and no stack is read back from its file. The stages queue
// their outputs, so each stage computes while the one before is written; the
// driver waits for the writes before it reports the run's outcome.
struct NLSkyBlendShared {
  NLJobFrames frames;
  NLSkyCoverage coverage;
  cv::Mat sky, foreground;  // the stacks as written; empty: the blend reads the file
  NLImageWriteQueue writes;
};

// What became of the sky mask in one use (registration or stacking).
struct NLSkyMaskUse {
  enum class State { Off, LoadFailed, TooFew, On };
  State state = State::Off;
  std::string source;      // mask path
  std::string load;        // the loader's message
  long long pixels = 0;    // usable sky pixels after erosion
  long long total = 0;     // canvas pixels
};

// Registers the sky frames on the middle frame by stars found only in the
// sky, warps them onto the canvas of the first frame with the local residual
// correction, combines them ("average", else sigma) inside their coverage and
// the sky mask, and writes outputPath. Text holds the report or the failure;
// coverage (when given) receives the per-pixel frame count, store (when
// given) the decoded frames and stack (when given) the image written; with a
// write queue the output is queued (NL_writeOrQueueImage). Throws only
// OpenCV and allocation errors.
bool NL_registeredSigmaReferenceCanvas(const std::vector<std::string>& inputs, const std::string& outputPath,
                                       const std::string& skyMaskPath, std::string& text,
                                       const NLProgressCallback& progress, const std::string& stackMethod,
                                       NLSkyCoverage* coverage = nullptr, NLJobFrames* store = nullptr,
                                       cv::Mat* stack = nullptr, NLImageWriteQueue* writes = nullptr);

// ---- Blend ---------------------------------------------------------------------

// Thresholded (above 128), closed (2 px), inset (4 px) sky and its smoothstep
// alpha over 18 px of distance to the ground.
struct NLBlendMask {
  cv::Mat inset;  // CV_8UC1, 255 sky
  cv::Mat alpha;  // CV_32FC1, 0..1
  struct Counts {
    long long sky = 0;   // inset pixels
    long long ramp = 0;  // inset pixels whose alpha is below 0.999
  } counted;
};
NLBlendMask NL_buildBlendMask(const cv::Mat& mask8, cv::Size size);
// sky * alpha + foreground * (1 - alpha) per channel, rounded; same size and type.
cv::Mat NL_compositeSkyOverForeground(const cv::Mat& sky, const cv::Mat& foreground, const cv::Mat& alpha);

// The border trim that removes lines of badly covered sky.
struct NLCoverageCrop {
  std::string offReason = "no coverage map";  // empty when the rule ran
  int frames = 0;                            // F
  int minFrames = 0;                         // max(ceil(0.6 F), 2)
  cv::Rect rect;                             // kept part
  int left = 0, top = 0, right = 0, bottom = 0;  // trimmed px per side
};
int NL_coverageCropMinFrames(int frames);
NLCoverageCrop NL_planCoverageCrop(const cv::Mat& insetMask, const NLSkyCoverage& coverage);

struct NLBlendReport {
  std::string output, mask, maskLoad, reference;
  long long skyPixels = 0, totalPixels = 0, edgeRampPixels = 0;
  NLCoverageCrop crop;
};

// Blends the two stacks through the sky mask and crops by coverage (no crop
// when coverage is empty). A stack given in memory is used instead of its
// file; with a write queue the output is queued. Message holds the report or
// the failure; nothing is written on failure. Throws only OpenCV and
// allocation errors.
bool NL_blendSkyForegroundWithMask(const std::string& skyPath, const std::string& foregroundPath,
                                   const std::string& referencePath, const std::string& skyMaskPath,
                                   const std::string& outputPath, std::string& message,
                                   const NLSkyCoverage& coverage = NLSkyCoverage(),
                                   const cv::Mat& skyStack = cv::Mat(), const cv::Mat& foregroundStack = cv::Mat(),
                                   NLImageWriteQueue* writes = nullptr);

// ---- Reports -------------------------------------------------------------------

struct NLSkyStackReport {
  std::string output;
  size_t inputs = 0;
  std::string method;  // "average" or "sigma"
  cv::Size canvas;
  NLSkyMaskUse registrationMask;
  std::string registrationLog;  // the per-frame registration lines
  NLSkyMaskUse stackMask;
  NLLocalCorrectionStats localCorrection;
};
std::string NL_formatSkyStackReport(const NLSkyStackReport& report);

std::string NL_formatBlendReport(const NLBlendReport& report);
std::string NL_formatSkyRegistrationMaskBlock(const NLSkyMaskUse& use);
std::string NL_formatSkyStackMaskBlock(const NLSkyMaskUse& use);
// The job's first validation failure text; empty when the job may run.
std::string NL_skyBlendJobProblem(const NLSkyBlendNativeJob& job);
// The success log: counts and paths, then the three stage reports as they are.
std::string NL_formatSkyBlendSummary(const NLSkyBlendNativeJob& job, size_t orderedInputs,
                                     const std::string& skyMessage, const std::string& foregroundMessage,
                                     const std::string& blendMessage);
