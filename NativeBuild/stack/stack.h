// Hybrid stack job, and the combine engine every stacking job shares: the
// key=value job, the frame quality filter, the alignment quality gate and the
// registered median, sigma and average stacks.
//
// Progress: every hybrid stack function that reports takes the progress-file
// path of its own job (empty: no progress), so two jobs running at once never
// write each other's progress file.
#pragma once

#include "plumbing/plumbing.h"
#include "registration/registration.h"

#include <opencv2/core.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// ---- Combine engine ----------------------------------------------------------
// Every per-pixel combine of the stacking jobs (hybrid median, sigma and
// average stacks, the Sky Blend sky stack, the fixed foreground stack of Sky
// Blend and Star Trail) runs through this one pipeline; the variants differ
// only in an NLCombineSettings record.
//
// Frames: one size and type, 8- or 16-bit unsigned, any channel count
// (interleaved). Masks: an empty vector, or up to one per frame; mask k is
// 8-bit single-channel of the frame size and 0 where frame k does not cover
// the pixel; a missing or empty mask admits every pixel. A pixel's samples are
// the admitted frames' values, channel by channel, in frame order.

enum class NLCombineKernel {
  Median,     // middle sample; the mean of the two middle ones for an even count
  SigmaClip,  // mean of the samples within mean - sigmaLow*sd .. mean + sigmaHigh*sd
              // (population sd, bounds inclusive); the plain mean when none is inside
  Average,    // plain mean
};
enum class NLUncoveredPixel {
  Zero,        // no admitted sample: 0
  FirstFrame,  // no admitted sample: frame 0's own value there
};
enum class NLCombineRounding {
  Truncate,  // clamp to the type's range, then toward zero (10, 13 -> 11)
  AddHalf,   // clamp, add 0.5, then toward zero (127.5 -> 128, 65535.7 -> 65535)
};

struct NLCombineSettings {
  NLCombineKernel kernel = NLCombineKernel::Average;
  NLUncoveredPixel uncovered = NLUncoveredPixel::Zero;
  NLCombineRounding rounding = NLCombineRounding::AddHalf;
  double sigmaLow = 2.0;   // clip factor below the mean, standard deviations
  double sigmaHigh = 2.0;  // clip factor above the mean, standard deviations
};

// The variants the jobs use.
extern const NLCombineSettings NL_kMedianCombine;          // registered median stack
extern const NLCombineSettings NL_kSigmaClipCombine;       // registered sigma stack
extern const NLCombineSettings NL_kMaskedAverageCombine;   // NL_averageCombineImagesWithMasks
extern const NLCombineSettings NL_kMaskedSigmaCombine;     // NL_sigmaCombineImagesWithMasks

// Empty when NL_combineFrames can read the frames and masks as given,
// otherwise the reason: "no images.", "only 8-bit and 16-bit images are
// supported.", "image size/type mismatch.", "mask count does not match image
// count." or "mask size/type mismatch.".
std::string NL_combineInputProblem(const std::vector<cv::Mat>& frames, const std::vector<cv::Mat>& masks);

// Combines frames into out, which must already have the frames' size and
// type: it may be a row band (a view) of a larger canvas, so a stack can warp
// and combine the canvas band by band and hold only a band of warped rows.
// Every pixel of out is written. Rows run on OpenCV's parallel loop; progress
// (may be null) gets one rowDone() per row. Throws cv::Exception when
// NL_combineInputProblem would report a problem.
void NL_combineFrames(const NLCombineSettings& settings, const std::vector<cv::Mat>& frames,
                      const std::vector<cv::Mat>& masks, cv::Mat& out, NLRowProgress* progress = nullptr);

// Coverage-weighted average of frames added one at a time, so that only one
// warped frame needs to exist at once: a 32-bit float sum per pixel and
// channel and a coverage count per pixel. Frames of any depth and channel
// count, all of the accumulator's size and channel count.
class NLCoverageAverage {
 public:
  NLCoverageAverage(cv::Size size, int channels);
  // Adds the frame where mask is non-zero (an empty mask admits every pixel).
  // Rows in parallel; progress (may be null) gets one rowDone() per row.
  void add(const cv::Mat& frame, const cv::Mat& mask, NLRowProgress* progress = nullptr);
  // sum / coverage per pixel (0 where nothing covered it), converted to type
  // with OpenCV's saturating conversion (nearest integer, clamped).
  cv::Mat result(int type, NLRowProgress* progress = nullptr) const;
  const cv::Mat& coverage() const { return weight_; }  // CV_32FC1 frame counts

 private:
  cv::Mat sum_, weight_;
};

// ---- Masked combines and the fixed foreground stack ------------------------
class NLJobFrames;
// Frames and masks as above, limited to 8- or 16-bit frames with 1, 3 or 4
// channels. Progress goes to the callback mapped into the caller's
// start..end (start + round(p * (end - start) / 100)).

// Loads every path (retrying reader); false at the first unloadable or
// mismatching frame, or for fewer than two frames or an unsupported type.
// The message is set only on failure. With a store, a frame it holds is taken
// from it and a frame read here is offered to it (the same pixels, shared).
bool NL_loadSkyBlendImages(const std::vector<std::string>& paths, std::vector<cv::Mat>& images,
                           std::string& message, const NLProgressCallback& progress, int start, int end,
                           const std::string& stage, NLJobFrames* store = nullptr);
// Per-pixel mean over the frames each mask admits (a missing or empty mask
// admits all); 0 where none is admitted. Reports start (detail + ".") and end
// (detail + " complete."); message "Average combine success." or the failure.
bool NL_averageCombineImagesWithMasks(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                                      cv::Mat& out, std::string& message, const NLProgressCallback& progress,
                                      int start, int end, const std::string& stage, const std::string& detail);
// Per-pixel mean after one two-sigma clip of the admitted frames; the first
// frame's value where none is admitted. Masks: none, or one per frame.
// Reports start, then thinned rows (detail + " row d of R."). The message is
// set only on failure.
bool NL_sigmaCombineImagesWithMasks(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks,
                                    cv::Mat& out, std::string& message, const NLProgressCallback& progress,
                                    int start, int end, const std::string& stage, const std::string& detail);
// Loads the fixed (unregistered) foreground frames, combines them ("average"
// exactly, else sigma) and writes outputPath whole or not at all. The message
// holds the summary or the failure; never throws for bad input. Frames come
// from the store where it holds them; stack (when given) receives the image
// written; with a write queue the output is queued (NL_writeOrQueueImage).
bool NL_fixedSigmaStackToReferenceSize(const std::vector<std::string>& paths, const std::string& outputPath,
                                       std::string& message, const NLProgressCallback& progress,
                                       const std::string& stackMethod, NLJobFrames* store = nullptr,
                                       cv::Mat* stack = nullptr, NLImageWriteQueue* writes = nullptr);

// ---- What the stages of one hybrid stack job share ---------------------------
// The quality filter decodes every frame and detects its stars; the alignment
// gate and the stack would otherwise do both again, and the gate's fits on the
// reference are exactly the sigma and average stacks' own (same star budget
// and tolerance). A stage given a store takes from it what is there and works
// out the rest itself, so it gives the same results with or without one.
// Entries are keyed by path (a frame listed twice is decoded once). Safe to
// use from parallel workers.
class NLJobFrames {
 public:
  // Decoded frames are held while their bytes stay within imageBudget: for
  // 40 frames of 24 MP 16-bit colour (5.4 GiB) all of them; beyond it, the
  // frames that did not fit are read again by the stage that needs them.
  static constexpr size_t kDefaultImageBudget = size_t(6) << 30;
  // The default budget on a machine with this much memory (0: unknown): a
  // third of it where that is below kDefaultImageBudget, since held frames
  // pushed out to swap cost more than reading them again.
  static size_t imageBudgetFor(std::uint64_t physicalMemory);
  explicit NLJobFrames(size_t imageBudget = imageBudgetFor(NL_physicalMemoryBytes())) : imageBudget_(imageBudget) {}

  // What the quality filter read (empty: the frame could not be read) and
  // the frame's registration stars (NL_detectRegistrationStars; may be null).
  void recordFrame(const std::string& path, const cv::Mat& image, std::shared_ptr<const NLStarDetection> stars);
  // The held frame (shares its pixels), or an empty one.
  cv::Mat image(const std::string& path) const;
  // The quality filter could not read the frame (so no stage waits for it again).
  bool unreadable(const std::string& path) const;
  std::shared_ptr<const NLStarDetection> stars(const std::string& path) const;
  // Lets go of the decoded frames of every path not listed.
  void keepImagesOf(const std::vector<std::string>& paths);
  void releaseImages();
  size_t heldImageBytes() const;

  // A frame's fit on a reference (homography onto it and inlier matches),
  // recorded by the alignment gate for frames that passed it.
  struct Fit {
    cv::Mat homography;
    NLStarMatchList matches;
  };
  void recordFit(const std::string& reference, int starBudget, double tolerance, const std::string& path,
                 const Fit& fit);
  bool fit(const std::string& reference, int starBudget, double tolerance, const std::string& path,
           Fit& out) const;

 private:
  struct Entry {
    cv::Mat image;
    bool unreadable = false;
    std::shared_ptr<const NLStarDetection> stars;
  };
  struct FitKey {
    std::string reference;
    int starBudget;
    double tolerance;
    std::string path;
    bool operator<(const FitKey& o) const;
  };
  size_t imageBudget_;
  size_t held_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, Entry> frames_;
  std::map<FitKey, Fit> fits_;
};

// ---- Job file ----------------------------------------------------------------

struct TestJobConfig {
  std::string method;
  std::string output;
  std::string progress;
  std::string resultLog;
  int qualityKeepPercent = 100;     // 50..100
  std::vector<std::string> inputs;  // "input" lines, in file order
};

// The text without leading and trailing C-locale white space.
std::string trimTestString(const std::string& text);
// Fixed notation with the given decimals in the "C" locale (1234.5678 with 2
// -> "1234.57"): the quality section's figures use two, the alignment
// section's ratio and errors six.
std::string NL_formatDouble(double value, int decimals);

// key=value lines: "#" comments, blanks around "=", CRLF line ends; a repeated
// key replaces the earlier value, every "input" line adds a frame. A file that
// cannot be read (missing, not a regular file, over 16 MB) gives the defaults,
// and its reason in failure when given.
TestJobConfig NL_readTestJobConfig(const std::string& jobPath, std::string* failure = nullptr);
// Every file the job reads and writes (for the path checks).
NLJobPaths NL_hybridStackJobPaths(const std::string& jobPath, const TestJobConfig& job);

// A method name of the job file: the three registered stacks and "auto".
bool NL_isKnownStackMethod(const std::string& method);
// "auto" chooses by frame count (average below 3, median below 6, else sigma);
// any other name is returned unchanged.
std::string NL_selectStackMethod(const std::string& method, int frameCount);
// Frames the method needs: 3 for the sigma stack, 2 otherwise.
int NL_minFramesForMethod(const std::string& selectedMethod);

// ---- Frame quality filter -----------------------------------------------------

struct NLFrameQuality {
  std::string path;
  int index = 0;               // position in the job's input list
  int stars = 0;               // star candidates found
  int sampled = 0;             // candidates behind the statistics
  double medianArea = 0.0;     // px
  double medianRadius = 0.0;   // px, of a disc of medianArea
  double avgBrightness = 0.0;  // mean candidate peak
  double backgroundMean = 0.0;
  double backgroundStdDev = 0.0;
  double compactScore = 0.0;   // 0..100
  double countScore = 0.0;
  double brightnessScore = 0.0;
  double backgroundScore = 0.0;
  double score = 0.0;          // 0..100
  bool used = false;
  std::string reason;
};

// Measures one frame (read unchanged); the record's used flag stays false.
// With a store, the frame and its registration stars go into it as well.
NLFrameQuality NL_measureFrameQuality(const std::string& path, int index, NLJobFrames* store = nullptr);
// Frame indices, best first: valid frames (80+ stars, positive median area)
// before the rest, then smaller median star area, then input position.
std::vector<int> NL_rankFramesByQuality(const std::vector<NLFrameQuality>& frames);
// ceil(keep% of n), at least minFrames, at most n.
int NL_qualityKeepCount(int keepPercent, int minFrames, int frameCount);

// Measures every frame in parallel, keeps the best share and returns the kept
// paths best first (the first is the registration reference). Appends the
// quality section to log. Never fails: unreadable or starless frames rank last.
std::vector<std::string> NL_filterInputsByFrameQuality(const std::vector<std::string>& inputs, int keepPercent,
                                                       int minFrames, std::string& log,
                                                       const std::string& progressPath = std::string(),
                                                       NLJobFrames* store = nullptr);

// ---- Alignment quality gate ---------------------------------------------------

enum class NLAlignmentVerdict { Reference, LoadFailed, Mismatch, Registered };

struct NLAlignmentGateResult {
  bool used = false;
  std::string path;
  NLAlignmentVerdict verdict = NLAlignmentVerdict::Reference;
  NLAlignmentQuality quality;  // filled for Registered
  std::string reason;          // why a registered frame failed; empty when it passed
};

// Inlier floor of the high precision gate: 900 where the reference offers
// the full 4500-star budget, scaled down with the stars it offers, never below 80.
int NL_alignmentInlierFloor(int referenceStars);
// The failing limit's reason for a registration that passed its own checks;
// empty when the frame passes the high precision gate.
std::string NL_alignmentGateFailure(const NLAlignmentQuality& quality);

// Registers every frame to the first in parallel and keeps those that pass
// the high precision gate (reference first, then input order). Appends the
// alignment section to log. Never fails; an unreadable reference keeps all.
// With a store: frames and stars come from it where it has them, and the fit
// of every frame that passed is recorded in it (star budget 4500, tolerance 12).
std::vector<std::string> NL_filterInputsByAlignmentQuality(const std::vector<std::string>& inputs, int minFrames,
                                                           std::string& log,
                                                           const std::string& progressPath = std::string(),
                                                           NLJobFrames* store = nullptr);

// ---- Registered stacks --------------------------------------------------------
// Each registers the frames to the first, combines them on a common canvas and
// writes output. True when the output was written; text holds the success
// report or the failure message. Nothing is written on failure. Only OpenCV
// and allocation errors propagate. With a store, the frames, their stars and
// (where the stack's star budget and tolerance are the gate's) the gate's
// fits come from it; the store lets go of its frames once the stack holds them.

bool NL_registeredMedianHomography(const std::vector<std::string>& inputs, const std::string& output,
                                   std::string& text, const std::string& progressPath = std::string(),
                                   NLJobFrames* store = nullptr);
bool NL_registeredSigmaHomography(const std::vector<std::string>& inputs, const std::string& output,
                                  std::string& text, const std::string& progressPath = std::string(),
                                  NLJobFrames* store = nullptr);
bool NL_registeredAverageHomography(const std::vector<std::string>& inputs, const std::string& output,
                                    std::string& text, const std::string& progressPath = std::string(),
                                    NLJobFrames* store = nullptr);

// ---- Job ---------------------------------------------------------------------

// Runs the job described by the job file and returns its result log text
// (also written to the job's result log). An exception escaping the job still
// writes the failure log and a final "Failed" progress entry before it
// propagates.
std::string NL_runLumivexJob(const std::string& jobPath);

// ---- Result log ----------------------------------------------------------------
// Computation fills these records; stack_report.cpp spells every log line.

enum class NLStackKind { Median, Sigma, Average };

struct NLStackReport {
  NLStackKind kind = NLStackKind::Median;
  std::string output;
  int inputs = 0;
  int width = 0, height = 0;         // canvas, px
  int threads = 0;                   // OpenCV's thread count
  std::string localCorrection;       // the local-correction block of the warp
  long long loadMs = 0, transformMs = 0, warpMs = 0, combineMs = 0, writeMs = 0;
  double sigmaLow = 2.0, sigmaHigh = 2.0;
};

struct NLHybridJobOutcome {
  bool success = false;
  std::string selectedMethod;
  long long qualityMs = 0, alignmentMs = 0, stackMs = 0;
  std::string qualityLog, alignmentLog, stackText;
  std::string error;                 // set when an exception ended the job
};

// "Frame quality filter:" section for the records (input order), the keep
// share and the quality reference's input index (-1: no frame used).
std::string NL_formatFrameQualityLog(int keepPercent, const std::vector<NLFrameQuality>& frames,
                                     int referenceIndex);
// One frame's line of the alignment section ("Frame p: used | ...\n"), p 1-based.
std::string NL_formatAlignmentGateLine(int position, const NLAlignmentGateResult& result);
// The whole alignment section (results[0] is the reference): frame lines,
// counts, the too-few warning when fewer than minFrames passed, the thread count.
std::string NL_formatAlignmentGateLog(const std::vector<NLAlignmentGateResult>& results, int minFrames,
                                      int threads);
// The success report of a registered stack.
std::string NL_formatStackReport(const NLStackReport& report);
// The whole result log of a job that got past validation.
std::string NL_formatHybridJobLog(const NLHybridJobOutcome& outcome);
