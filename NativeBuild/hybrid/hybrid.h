// Hybrid stack job: the key=value job, the frame quality filter, the
// alignment quality gate and the registered median, sigma and average stacks,
// all built on the combine engine of stack/.
//
// Progress: every hybrid stack function that reports takes the progress-file
// path of its own job (empty: no progress), so two jobs running at once never
// write each other's progress file.
#pragma once

#include "plumbing/plumbing.h"
#include "registration/registration.h"
#include "stack/stack.h"

#include <string>
#include <vector>

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
// before frames with fewer stars, and frames without stars to measure
// (unreadable, none found, or "no stars above the noise") last; then smaller
// median star area, then input position. The filter never takes a frame of
// the last kind, and checks that the first frame's stars stand above its noise.
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
// Computation fills these records; hybrid_report.cpp spells every log line.

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
