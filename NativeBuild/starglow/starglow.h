// Star Glow job: waits for a temporary export to be complete, finds and
// classifies its stars, renders a colour-aware glow and writes a 16-bit TIFF.
#pragma once

#include "plumbing/plumbing.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// ---- Settings and job record -------------------------------------------------
struct NL_StarGlowSettings {
  double starAmount = 30.0;        // percent of the best stars kept, 0..100
  double glowStrength = 0.6;       // overall glow weight, 0..3
  double smallGlowSize = 3.0;      // px, 0..300
  double mediumGlowSize = 6.0;     // px, 0..500
  double largeGlowSize = 8.0;      // px, 0..900
  double mediumSplit = 58.0;       // percent, 5..95; echoed only
  double largeSplit = 89.0;        // percent, mediumSplit + 1..99; echoed only
  double colorSaturation = 400.0;  // percent, 0..400
  double softness = 40.0;          // percent, 0..100
  double outputOpacity = 100.0;    // percent, 0..100
  bool useSkyMask = false;
  bool debugOverlay = false;
  std::string outputMode = "glowOnly";  // only "final" selects the screen composite
};

struct NL_StarGlowJob {
  std::string type, inputPath, outputPath, resultLog, skyMaskPath, debugOverlayPath, progressPath;
  bool inputComplete = false;  // the input was written before the job began: no export to wait for
  NL_StarGlowSettings settings;
};

// Reads settings (defaults for missing keys) and applies the clamps; never throws.
NL_StarGlowSettings NL_readStarGlowSettings(const std::string& jobText);
// Reads paths and settings of a job file's text; never throws.
NL_StarGlowJob NL_readStarGlowJob(const std::string& jobText);
// Every file the job reads (the job file included) and writes, named as the
// failure texts name them; the overlay counts only when it is asked for.
NLJobPaths NL_starGlowJobPaths(const std::string& jobPath, const NL_StarGlowJob& job);

// ---- Star detection ------------------------------------------------------------
struct NLPeak {
  std::int32_t x = 0;
  std::int32_t y = 0;
  float value = 0.0f;
};

struct NL_StarCandidate {
  double x = 0.0, y = 0.0;  // intensity-weighted centroid
  double peak = 0.0;        // signal at the peak
  double flux = 0.0;        // sum of the measured signal
  double radius = 1.0;      // px, 1..14
  double score = 0.0;       // ranking and class score
  double colorB = 1.0, colorG = 1.0, colorR = 1.0;  // channel / luminance, 0.25..2.8
  std::int32_t starClass = 0;                        // 0 small, 1 medium, 2 large
};

enum class NL_StarDetectionOutcome { NoSignal, NoPeaks, NoCandidates, NoneKept, Kept };

// What a detection found, for the result log.
struct NL_StarDetection {
  NL_StarDetectionOutcome outcome = NL_StarDetectionOutcome::NoSignal;
  double threshold = 0.0;
  double signalMax = 0.0;
  double starAmount = 0.0;   // the setting, echoed
  std::size_t detected = 0;  // candidates before the limit
  std::size_t limit = 0;
  std::size_t classCount[3] = {0, 0, 0};
  double q56 = 0.0, q88 = 0.0;
  std::vector<NL_StarCandidate> stars;  // kept stars, highest score first, classified
};

// The star signal peaks are found in: luminance above its sigma 10 and 0.65 x
// above its sigma 45 sky (replicated border), whichever is more, 0 outside the
// mask. The skies come from coarse-grid blurs, within a thousandth of the
// signal's peak of exact ones.
cv::Mat NL_starGlowSignal(const cv::Mat& luminance, const cv::Mat& mask);
// Finds, measures, ranks and classifies stars; luminance CV_32FC1, image CV_32FC3 BGR,
// mask empty or CV_8UC1 (non-zero usable). Throws only OpenCV and allocation errors.
NL_StarDetection NL_analyzeStars(const cv::Mat& luminance, const cv::Mat& image, const cv::Mat& mask,
                                 const NL_StarGlowSettings& settings);
// The same, computing the signal over the luminance's own pixels (one
// frame-sized buffer fewer): luminance is consumed.
NL_StarDetection NL_analyzeStars(cv::Mat&& luminance, const cv::Mat& image, const cv::Mat& mask,
                                 const NL_StarGlowSettings& settings);
// NL_analyzeStars plus its result-log lines appended to log; returns the kept stars.
std::vector<NL_StarCandidate> NL_detectStars(const cv::Mat& luminance, const cv::Mat& image,
                                             const cv::Mat& mask, const NL_StarGlowSettings& settings,
                                             std::ostream& log);
std::vector<NL_StarCandidate> NL_detectStars(cv::Mat&& luminance, const cv::Mat& image, const cv::Mat& mask,
                                             const NL_StarGlowSettings& settings, std::ostream& log);
class NL_FloatBgrFrame;
// The same with the colours read from the job's frame (see NL_FloatBgrFrame below).
NL_StarDetection NL_analyzeStars(cv::Mat&& luminance, const NL_FloatBgrFrame& frame, const cv::Mat& mask,
                                 const NL_StarGlowSettings& settings);
std::vector<NL_StarCandidate> NL_detectStars(cv::Mat&& luminance, const NL_FloatBgrFrame& frame,
                                             const cv::Mat& mask, const NL_StarGlowSettings& settings,
                                             std::ostream& log);

// ---- Glow rendering, composite, overlay -------------------------------------------
struct NL_PreparedGlowStar {
  double x = 0.0, y = 0.0;
  std::int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // drawing rectangle, end exclusive
  double reach2 = 0.0;                          // squared drawing radius
  double extent2 = 0.0;                         // squared glow extent
  double sigmaCore = 0.0, sigmaSoft = 0.0, haloPower = 0.0;
  double intensity = 0.0;
  double tintB = 1.0, tintG = 1.0, tintR = 1.0;
};

// Stars ready to draw on an image of the given size; skipped stars are left out.
std::vector<NL_PreparedGlowStar> NL_prepareGlowStars(const std::vector<NL_StarCandidate>& stars,
                                                     cv::Size size, const NL_StarGlowSettings& settings);
// Band count the renderer uses for an image of the given height.
int NL_glowBandCount(int rows);
// Adds every star's glow into glow (CV_32FC3), band-parallel; returns the band count,
// 0 when nothing was prepared (layer untouched, no log line).
int NL_renderGlow(cv::Mat& glow, const std::vector<NL_StarCandidate>& stars, const cv::Mat& mask,
                  const NL_StarGlowSettings& settings, std::ostream& log);
// Receives rows y0 .. y0 + piece.rows of the finished glow layer (CV_32FC3,
// already capped); called from the parallel loop, each row exactly once, and
// may change the piece.
using NL_GlowPieceSink = std::function<void(int y0, cv::Mat& piece)>;
// The layer NL_renderGlow draws on a zero layer of the given size, the same
// values, handed out a few rows at a time while it is drawn: no frame-sized
// layer exists. Every row is handed out, zero when nothing was prepared;
// returns the band count, 0 (and no log line) when nothing was prepared.
int NL_renderGlowPieces(cv::Size size, const std::vector<NL_StarCandidate>& stars, const cv::Mat& mask,
                        const NL_StarGlowSettings& settings, std::ostream& log, const NL_GlowPieceSink& take);
// Screen blend of image and glow (both CV_32FC3, clamped to 0..1 first).
cv::Mat NL_screenComposite(const cv::Mat& image, const cv::Mat& glow);
// The same blend written over the glow layer, sparing a frame-sized buffer.
void NL_screenCompositeInto(const cv::Mat& image, cv::Mat& glow);
// The same over a few rows on the calling thread, for a piece of a layer
// handed out inside a parallel loop.
void NL_screenCompositeRowsInto(const cv::Mat& image, cv::Mat& glow);
// Transparent CV_16UC4 overlay with one circle and cross per star.
cv::Mat NL_drawStarGlowDebugOverlay(cv::Size size, const std::vector<NL_StarCandidate>& stars);

// Any decoded image to CV_32FC3 BGR with white at 1.0; throws "Unsupported channel count.".
cv::Mat NL_toFloatBgr(const cv::Mat& src);

// The decoded frame as the float BGR image the job works on, handed out a
// rectangle at a time: 8- and 16-bit samples are scaled where they are read,
// so no frame-sized float copy (12 bytes a pixel) is ever made; other depths
// are converted once. Every sample is the one NL_toFloatBgr gives.
class NL_FloatBgrFrame {
 public:
  // Throws as NL_toFloatBgr does (empty image, "Unsupported channel count.").
  explicit NL_FloatBgrFrame(const cv::Mat& decoded);
  // A CV_32FC3 image read as it is, with no scaling or clamping.
  static NL_FloatBgrFrame ofFloatBgr(const cv::Mat& image);
  cv::Size size() const { return size_; }
  // The area as CV_32FC3; out may then share the frame's own pixels, so it
  // is for reading only. Its buffer is reused when the size allows.
  void read(const cv::Rect& area, cv::Mat& out) const;
  // 0.2126 R + 0.7152 G + 0.0722 B of every pixel (CV_32FC1), row pieces in parallel.
  cv::Mat luminance() const;

 private:
  NL_FloatBgrFrame() = default;
  cv::Mat decoded_;   // 8- or 16-bit samples, scaled where read
  cv::Mat floatBgr_;  // every other depth, converted once
  cv::Size size_;
};

// ---- Temporary-image readiness --------------------------------------------------
struct NL_TemporaryImageCheck {
  bool ready = false;
  std::string container;  // "PNG", "TIFF", "unknown" or empty when the file did not open
  std::string message;    // why it is not ready; empty when ready
};

// Structure check of a TIFF or BigTIFF header against the file size; sets message when false.
bool NL_isPlausibleTiffFile(const std::string& path, std::uint64_t fileSize, std::string& message);
// Header and trailer checks of a PNG or TIFF that may still be growing.
NL_TemporaryImageCheck NL_validateTemporaryImage(const std::string& path, std::uint64_t fileSize);

struct NL_ReadinessWaitSettings {
  int limitMs = 60000;       // give up after this long
  int pollMs = 250;          // pause between polls
  int requiredStable = 8;    // consecutive ready polls of unchanged size
  std::uint64_t minimumSize = 4096;  // bytes; smaller files are never ready
};

// The wait of a job whose input is complete ("inputComplete": true): one
// structural check of any non-empty file, decoded at once when it passes.
NL_ReadinessWaitSettings NL_completeInputCheck();

struct NL_ReadinessResult {
  bool ready = false;
  std::uint64_t size = 0;  // size seen by the last poll
  std::string container;
  std::string message;     // last validation message
  int stable = 0;
};

// Polls until the file is structurally complete and stable; progress gets (percent, detail).
NL_ReadinessResult NL_waitForTemporaryImage(const std::string& path, const NL_ReadinessWaitSettings& wait,
                                            const std::function<void(int, const std::string&)>& progress);
// First up to 16 bytes as lower-case hexadecimal pairs; "unavailable" when unopenable.
std::string NL_fileHexPrefix(const std::string& path);

// ---- Job ---------------------------------------------------------------------
struct NL_StarGlowJobTiming {
  NL_ReadinessWaitSettings wait;
  int settleMs = 500;          // pause after the wait before decoding
  int maskRetryLimitMs = 6000; // sky-mask read retries
};

// Runs the job described by the job file and returns its result log text.
std::string NL_runStarGlowNativeJob(const std::string& jobPath);
// Same job with other timings (tests drive the readiness wait with a short limit).
std::string NL_runStarGlowNativeJobWithTiming(const std::string& jobPath, const NL_StarGlowJobTiming& timing);

// ---- Result-log text ------------------------------------------------------------
// Number in default stream formatting (six significant digits), "C" locale.
std::string NL_sgFormatNumber(double value);
// "key = value\n"
std::string NL_sgLine(const std::string& key, const std::string& value);
// Settings block of step 4, "opencvDllStatus = ready" to "softness = ".
std::string NL_starGlowSettingsReport(const NL_StarGlowJob& job);
// Lines after the readiness wait, "inputFileSize = " to "inputFileStableChecks = ".
std::string NL_starGlowReadinessReport(const NL_ReadinessResult& wait, const std::string& prefix, int required);
// Detail text of one readiness poll.
std::string NL_starGlowWaitDetail(std::uint64_t size, int stable, int required);
// Failure text of a wait that did not succeed.
std::string NL_starGlowWaitFailure(const NL_ReadinessResult& wait, int limitMs);
// Detection lines for each outcome.
std::string NL_starDetectionReport(const NL_StarDetection& detection);
// "performanceGlowRender = ..." line.
std::string NL_glowRenderReport(int bands);
