// The combine engine every stacking job shares: the per-pixel combines, the
// coverage-weighted average, the masked combines and the fixed foreground
// stack, and the frame store that lets a job's stages share decoded frames.
#pragma once

#include "plumbing/plumbing.h"
#include "registration/registration.h"

#include <opencv2/core.hpp>

#include <functional>
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
// A canvas whose frames are rendered band by band (warped rows, say), so a
// stack holds one band of every frame instead of whole warped frames. The
// source fills frames and masks (one entry per frame, kept from band to band
// so that their buffers are reused) with canvas rows `rows`: frames of type
// `type` and rows.size() x canvas.width, masks as above.
struct NLCanvasBands {
  cv::Size canvas;
  int type = 0;
  size_t frames = 0;
  int bandRows = 256;
  std::function<void(const cv::Range& rows, std::vector<cv::Mat>& frames, std::vector<cv::Mat>& masks)> source;
};
// The average (NL_averageCombineImagesWithMasks) or sigma
// (NL_sigmaCombineImagesWithMasks) combine of the whole canvas, band by band:
// the same pixels, messages and progress as combining the whole frames.
bool NL_combineCanvasBandsWithMasks(bool average, const NLCanvasBands& bands, cv::Mat& out, std::string& message,
                                    const NLProgressCallback& progress, int start, int end, const std::string& stage,
                                    const std::string& detail);
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
