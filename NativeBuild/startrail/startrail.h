// Star Trail job: combines a night-sky time-lapse into one star-trail image
// by per-pixel maximum (Lighten), optionally rejecting satellite and aircraft
// trails against registered temporal neighbours, fading the trails like
// comets and blending a stacked foreground in through the sky mask.
#pragma once

#include "plumbing/plumbing.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// ---- Job record and parser -------------------------------------------------
struct NLStarTrailNativeJob {
  std::vector<std::string> inputs;            // night-sky frames in time order; the first is the reference
  std::vector<std::string> foregroundInputs;  // optional landscape frames
  std::string output;                         // final image; may be replaced by a numbered name
  std::string skyOutput;                      // intermediate sky image when a composite is made
  std::string foregroundOutput;               // foreground stack image
  std::string maskInput;                      // sky mask exported by the host (white = sky)
  std::string progress;                       // progress file
  std::string resultLog;                      // result log file
  std::string rejectionMode = "medium";       // "off" family: direct Lighten; "low"/"high" also tune defaults
  std::string foregroundMode = "none";        // carried for the script side only
  std::int32_t temporalWindow = 5;            // odd, 3..9
  std::int32_t maskGrowPx = 2;                // px, 0..8
  double rejectionThresholdPct = 125.0;       // percent, 50..220
  double aircraftSensitivity = 75.0;          // 0..100
  bool cometEnabled = false;
  double cometStrength = 50.0;                // percent, 0..100
  std::string cometDirection = "forward";     // "forward", "reverse" or "both"
  bool blendingRefinementEnabled = true;
  std::string blendingRefinementStrength = "standard";  // "subtle", "standard" or "strong"
  bool replaceOutput = false;                 // an existing output is replaced instead of numbered around
  bool keepMeteors = false;                   // meteors stay in the trail image while satellites and aircraft go
  std::string meteorOutput;                   // 16-bit TIFF of the meteors alone over the night's darkest sky
  std::string rejectionOverlay;               // PNG of the result, reduced, with each streak outlined in its class's colour
  std::string badFrames = "off";              // "off", "report" (measure and log) or "exclude" (also leave them out)
  std::string buildUpOutput;                  // folder for the image as it builds up; empty: none written
  std::int32_t buildUpEvery = 1;              // frames between two build-up images, at least 1
  std::string buildUpFormat = "tif";          // "tif" (the result's depth) or "jpg" (8-bit)
  std::string buildUpVideo;                   // .mp4 or .avi of the same images; empty: none
  bool fillGaps = false;                      // each frame's star light carried across the pause before the next
  double gapFraction = -1.0;                  // share of the interval the shutter was closed, 0..0.9; negative: measured
};

// Reads the job file; every missing or unreadable key keeps its default and
// every value is brought into its legal range. Never throws.
NLStarTrailNativeJob NL_parseStarTrailNativeJob(const std::string& jobPath);
// The job's boolean reader: true/false words or a bare 1/0 after the first
// occurrence of "key"; anything else gives the fallback.
bool NL_starTrailReadBool(const std::string& text, const std::string& key, bool fallback);
// Every file the job reads (the job file included) and every file it will
// write, named as the failure texts name them; outputs the run will not
// write (a sky output without a composite) are left out.
NLJobPaths NL_starTrailJobPaths(const std::string& jobPath, const NLStarTrailNativeJob& job);
// True when the job asks for the image as it builds up (files or a video).
bool NL_starTrailWantsBuildUp(const NLStarTrailNativeJob& job);
// The frame counts after which a build-up image is taken: every `every`
// frames, and always the last frame.
std::vector<int> NL_starTrailBuildUpCounts(int frameCount, int every);
// "buildup_0001.tif": the n-th build-up image (from 1) in the given format.
std::string NL_starTrailBuildUpName(int n, const std::string& format);
// True for a file name a build-up writes in that format ("buildup_" digits "." format).
bool NL_starTrailIsBuildUpName(const std::string& fileName, const std::string& format);
// True for the words that switch rejection off ("off", "Off", "false", "disabled", "none", "0").
bool NL_starTrailIsRejectionOff(const std::string& rejectionMode);

// ---- Sky mask, bridge mask and composite -----------------------------------
// Both non-empty with equal rows, columns, depth and channels.
bool NL_isImageCompatibleForStarTrail(const cv::Mat& a, const cv::Mat& b);
// What keeps a frame from joining the first: "is missing", "could not be
// decoded" (or the file's problem), else each of size, depth and channels that differ, e.g.
// "8-bit, the first frame 16-bit; 1 channel, the first frame 3 channels".
std::string NL_starTrailFrameDifference(const cv::Mat& first, const cv::Mat& frame, const std::string& path);
// The same against the first frame's size and type alone.
std::string NL_starTrailFrameDifference(cv::Size firstSize, int firstType, const cv::Mat& frame,
                                        const std::string& path);
// Mask level of every pixel (luminance / full scale, 0..1) as CV_64F; zeros
// for unsupported depths or two-channel masks.
cv::Mat NL_starTrailMaskLevel(const cv::Mat& mask);
// 255 where the mask level is at least 0.5. Empty path: empty result, message
// untouched; otherwise empty on failure with the reason in message.
cv::Mat NL_starTrailLoadBinarySkyMask(const std::string& maskPath, const cv::Size& frameSize,
                                      std::string& message);
// Soft weights on both sides of the mask edge; empty when the mask cannot be used.
cv::Mat NL_starTrailBuildThreeZoneBridgeMask(const std::string& maskPath, const cv::Size& frameSize,
                                             const std::string& strength);
// Sky where the mask level >= 0.5, foreground elsewhere, the bridge blended
// in by its mask; writes outputPath. False with the reason in message;
// nothing is written unless every input was usable. Either pointer may be null.
bool NL_starTrailCompositeSkyForeground(const std::string& skyPath, const std::string& foregroundPath,
                                        const std::string& maskPath, const std::string& outputPath,
                                        std::string& message, const cv::Mat* bridgeAccumulator,
                                        const cv::Mat* bridgeMask);

// The same composite in memory with the binary sky mask (255 = sky) the
// workers use; the result is made in out (its buffer reused when it fits).
void NL_starTrailCompositeImages(const cv::Mat& sky, const cv::Mat& foreground, const cv::Mat& skyMask,
                                 const cv::Mat* bridgeAccumulator, const cv::Mat* bridgeMask, cv::Mat& out);

// ---- Rejection -------------------------------------------------------------
// Pixels bright in this frame only, against registered neighbours (black
// neighbour pixels do not vote) and, when given, also against the same
// neighbours unmoved (the fixed landscape). Empty when there are no
// neighbours or no pixel stands out; otherwise the shape-filtered, grown
// mask (255 = reject).
cv::Mat NL_starTrailBuildRegisteredOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                                               const std::string& rejectionMode, int maskGrowPx,
                                               double rejectionThresholdPct, double aircraftSensitivity,
                                               const std::vector<cv::Mat>& unmovedNeighbours = {});
// Stricter mask for unregistered neighbours; empty only without neighbours.
cv::Mat NL_starTrailBuildOutlierMask(const cv::Mat& frame, const std::vector<cv::Mat>& neighbours,
                                     const std::string& rejectionMode, int maskGrowPx,
                                     double rejectionThresholdPct);
// The frames compared with frame i: the 2*clamp(h,1,5) (at most frameCount-1)
// nearest, earlier first at equal distance.
std::vector<int> NL_starTrailNeighbourList(int frameIndex, int frameCount, int halfWindow);
// Comet fade weight of frame i of frameCount, 0..1 (1 when fading is off).
double NL_starTrailCometWeight(const NLStarTrailNativeJob& job, int frameIndex, int frameCount);

// Lighten accumulation of one weighted frame. Rows are locked one at a time
// when rowLocks is given. The bridge accumulator takes the weighted maximum
// inside the bridge mask regardless of rejection and sky mask; the main
// accumulator only where the sky mask is set (or empty) and nothing is
// rejected. A fourth channel is accumulated at full weight (never into the bridge).
struct NLStarTrailAccumulateTarget {
  cv::Mat* accumulator = nullptr;
  cv::Mat* bridgeAccumulator = nullptr;  // may be null or empty
  const cv::Mat* bridgeMask = nullptr;   // may be null or empty
  const cv::Mat* skyMask = nullptr;      // may be null or empty
  std::vector<std::mutex>* rowLocks = nullptr;  // may be null (single thread)
};
void NL_starTrailAccumulateFrame(const cv::Mat& frame, const cv::Mat& rejectionMask, double weight,
                                 const NLStarTrailAccumulateTarget& target);

// ---- Streaks ---------------------------------------------------------------
enum class NLStarTrailStreakClass { satellite, aircraft, meteor };
// One streak the rejection found in one frame.
struct NLStarTrailStreak {
  int frame = 0;
  NLStarTrailStreakClass kind = NLStarTrailStreakClass::satellite;
  cv::Point2d from, to;  // px, its ends
  double width = 1.0;    // px
  bool kept = false;     // a meteor left in the trail image
};
// "satellite", "aircraft" or "meteor".
const char* NL_starTrailStreakClassName(NLStarTrailStreakClass kind);
// An aircraft crosses the sky over several exposures: a streak that goes on
// along the line of a streak in the frame before or after is classed
// aircraft, both of them (meteors keep their class: one lasts one frame).
void NL_starTrailLinkStreaksAcrossFrames(std::vector<NLStarTrailStreak>& streaks);
// The result reduced to at most maxSide px, stretched to 8 bits, with each
// streak outlined: satellites red, aircraft orange, meteors removed magenta,
// meteors kept green.
cv::Mat NL_starTrailRejectionOverlay(const cv::Mat& result, const std::vector<NLStarTrailStreak>& streaks,
                                     int maxSide = 1600);

// ---- Bad frames ------------------------------------------------------------
// What one frame shows of its night, as shares of full scale where levels.
struct NLStarTrailFrameMeasures {
  bool measured = false;   // false: the frame could not be read or does not match
  double background = 0;   // median of the sky's 32 px block medians
  double unevenness = 0;   // their spread, 90th minus 10th percentile: gradients and patches
  double stars = 0;        // star peaks found in the sky
  double starSize = 0;     // median count of pixels above half a star's peak
  double ground = -1;      // median of the ground's block medians; -1 without ground
  double step = 0;         // one sensor unit, the finest change a level can show
};
// Measures a frame's luminance plane (CV_32F, sensor units) inside the sky
// mask (255 = sky; empty: the whole frame is sky).
NLStarTrailFrameMeasures NL_starTrailMeasureFrame(const cv::Mat& luminance, double fullScale, const cv::Mat& skyMask);

enum class NLStarTrailFrameMeasure { background, unevenness, stars, starSize, ground };
// A frame that stands out from its night, with the measure that shows it most.
struct NLStarTrailBadFrame {
  int frame = 0;            // input index from 0
  bool sky = false;         // the sky (or, without a mask, the whole frame) is spoiled
  bool ground = false;      // the ground below the mask is lit
  NLStarTrailFrameMeasure measure = NLStarTrailFrameMeasure::background;
  double value = 0, baseline = 0;
};
struct NLStarTrailBadFrameVerdict {
  std::vector<NLStarTrailBadFrame> found;  // in frame order
  bool tooMany = false;     // more than half look bad: the baseline itself is wrong, none is left out
  bool tooFewLeft = false;  // leaving them out would leave fewer than two frames: none is left out
  bool wholeFrame = true;   // judged without a sky mask
};
// Each frame against a running baseline of its night (median and median
// absolute deviation of the measures of up to 8 other frames about it; the
// first and last frames against the nearest full window): a jump is bad,
// slow change is not.
NLStarTrailBadFrameVerdict NL_starTrailJudgeFrames(const std::vector<NLStarTrailFrameMeasures>& measures,
                                                   bool withMask);

// The rejection overlay (8-bit BGR) with a strip under it: each frame left
// out as a small thumbnail over its caption. The overlay itself when there
// are none.
cv::Mat NL_starTrailLeftOutStrip(const cv::Mat& overlay, const std::vector<cv::Mat>& frames,
                                 const std::vector<std::string>& captions);

// ---- Driver ----------------------------------------------------------------
// The output path to write: the request itself when no file exists there,
// otherwise stem_1.ext ... stem_999.ext (".tif" when the name has none),
// otherwise stem_<epoch seconds>.ext.
std::string NL_starTrailChooseOutputPath(const std::string& requested);
// Available physical memory in bytes as the platform reports it; 0 when unknown.
std::uint64_t NL_starTrailAvailablePhysicalMemory();
// Worker count: 80 % of the logical threads rounded up (0 reported counts as 4), at most frameCount.
int NL_starTrailWorkerCount(unsigned hardwareThreads, int frameCount);
// Estimated bytes held by one worker: frames in hand times frame bytes.
std::uint64_t NL_starTrailEstimatedBytesPerWorker(std::uint64_t frameBytes, bool rejectionOff, int halfWindow,
                                                  int frameCount);

// Runs the job described by the job file and returns its result log text
// (also written to the job's result log). Never throws.
std::string NL_runStarTrailNativeJob(const std::string& jobPath);
// CPU time spent in each step of the frame workers, summed over all workers (ns).
struct NLStarTrailStageTimes {
  std::int64_t decode = 0;
  std::int64_t luminance = 0;  // the planes the masks and the registration compare
  std::int64_t starDetection = 0;
  std::int64_t matching = 0;
  std::int64_t masks = 0;      // neighbours sampled where the frame is bright, the masks built
  std::int64_t accumulate = 0;
};
// The same run planned for the given logical thread count instead of the
// platform's (0 counts as 4), so the worker count can be chosen; stageTimes,
// when given, receives the workers' step timings.
std::string NL_runStarTrailNativeJob(const std::string& jobPath, unsigned hardwareThreads,
                                     NLStarTrailStageTimes* stageTimes = nullptr);

// ---- Result log ------------------------------------------------------------
struct NLStarTrailRunReport {
  NLStarTrailNativeJob job;           // after parsing and output numbering
  std::string requestedOutput;        // the output as the job file named it
  int frames = 0;
  int workers = 0;
  std::uint64_t availablePhysicalBytes = 0;
  std::uint64_t estimatedBytesPerWorker = 0;
  std::int64_t rejectedMaskPixels = 0;
  std::int64_t timingMs = 0;
  bool streaksSearched = false;              // the rejection ran: the streak lines follow the job's own
  std::vector<NLStarTrailStreak> streaks;    // in frame order
  NLStarTrailBadFrameVerdict badFrames;      // when the job's badFrames is not "off"
  std::vector<std::string> inputs;           // the frames as the job file listed them
  std::vector<int> badFramesLeftOut;         // input indices left out of the trail or the foreground
  int buildUpImages = 0;                     // build-up images taken (files and video frames alike)
  std::string buildUpVideoNote;              // why the video was not written; empty when it was
  NLCaptureSequence capture;                 // the frames' capture times and exposures, in input order
  double gapShare = 0.0;                     // with fillGaps: the share of each interval filled
  std::string gapSource;                     // where that share came from; empty without fillGaps
  int gapsNotFilled = 0;                     // gaps whose frames could not be registered
};
// Whole megabytes, no decimals.
std::string NL_starTrailFormatMegabytes(std::uint64_t bytes);
std::string NL_starTrailSuccessLog(const NLStarTrailRunReport& report);
std::string NL_starTrailFailureLog(const std::string& error);
// "5 IMG_0006.tif sky: background 14.2x the night's median": the input
// index, the file's name, the region and the measure against its baseline.
std::string NL_starTrailBadFrameLine(const NLStarTrailBadFrame& bad, const std::string& path, bool wholeFrame);
