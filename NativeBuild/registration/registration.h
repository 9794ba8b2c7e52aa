// Star registration: star candidates, pattern matching, homographies and
// their checks. Every function is re-entrant and keeps no state, so parallel
// workers may register different frame pairs at the same time (a reference
// image shared read-only among them is fine).
//
// Conventions:
// - Pixel centres sit at integer coordinates (OpenCV's convention).
// - A homography is a 3 x 3 CV_64F matrix mapping MOVING-frame positions onto
//   REFERENCE positions, fitted on raw pixel coordinates, so it can be passed
//   straight to cv::warpPerspective.
// - In a match list, first is the reference star and second the moving star.
// - An error figure of 9999.0 means "not measured"; gates treat figures above
//   9000.0 as absent.
// Only OpenCV and allocation errors propagate; bad data gives false or empty.
#pragma once

#include "plumbing/plumbing.h"

#include <opencv2/core.hpp>

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// ---- Settings and verdict limits -------------------------------------------

// How one use of registration looks for stars and pairs them: callers name
// their row instead of passing bare numbers.
struct NLRegistrationSettings {
  double sigmaFactor = 2.5;  // star detection threshold
  int starBudget = 4500;     // stars selected per frame
  int maxShift = 500;        // px, the largest offset the shift vote tries
  double tolerance = 12.0;   // px, how far a star may lie from its partner's predicted place
};
// The stacks that must align stars to a fraction of their width: Sky Blend's
// sky stack, the hybrid alignment gate and its sigma and average stacks.
extern const NLRegistrationSettings NL_kStackRegistration;
// The hybrid median stack: the median forgives more, so fewer stars and a wider tolerance.
extern const NLRegistrationSettings NL_kMedianStackRegistration;
// Star Trail's temporal neighbours: only bright stars, a generous tolerance
// (the neighbours are close in time); maxShift is the floor of NL_trailMaxShift.
extern const NLRegistrationSettings NL_kTrailRegistration;
// A third of the frame's shorter side, at least NL_kTrailRegistration.maxShift.
int NL_trailMaxShift(cv::Size frame);

// Every pass/fail limit of the registrations. Errors are px.
struct NLRegistrationLimits {
  // Plain pair (stacks, Star Trail).
  int plainMinMatches = 8;
  // Quality pair (alignment gate, sky stack, the register command).
  int qualityMinStars = 80;             // selected stars in each frame
  int qualityMinMatches = 25;
  int qualityMinInliers = 8;
  double qualityMinInlierRatio = 0.2;
  double qualityMaxAverageError = 12.0;  // above: failure
  double qualityWarnAverageError = 6.0;  // above: "warning: elevated alignment error"
  // Sky stack gate: aligned to a fraction of a star's width everywhere.
  int skyGateMinInliers = 80;
  double skyGateMinInlierRatio = 0.25;
  double skyGateMaxAverageError = 1.1;
  double skyGateMaxMedianError = 0.85;
  double skyGateMaxEdgeError = 3.5;
  double skyGateMaxCornerError = 5.0;
  // Hybrid high precision gate.
  double preciseGateMaxAverageError = 0.35;
  double preciseGateMinInlierRatio = 0.65;
  int preciseGateFullInlierFloor = 900;  // where the reference offers the full 4500-star budget
  int preciseGateMinInlierFloor = 80;    // the stars a trustworthy homography needs
  // A sound fit (NL_registrationFitFailure): it explains a star when it
  // carries it within fitExplainedError of its partner (a few times the
  // centroid noise of the poorest seeing); its inliers are at least
  // fitMinStarShare of the sparser frame's stars; the explained stars' box
  // covers fitMinSpan of the overlap's box by area; its median error stays
  // within the star diameter, and never under fitMinFarError.
  double fitExplainedError = 3.0;
  double fitMinStarShare = 0.25;
  double fitMinSpan = 0.3;
  double fitMinFarError = 2.0;
  // Figures above this were not measured (9999.0).
  double notMeasured = 9000.0;
};
extern const NLRegistrationLimits NL_kRegistrationLimits;

// ---- Star candidates -------------------------------------------------------

struct NLStarCandidate {
  int x = 0;             // centroid column, rounded half away from zero
  int y = 0;             // centroid row, rounded half away from zero
  double centerX = 0.0;  // sub-pixel centroid column
  double centerY = 0.0;  // sub-pixel centroid row
  int area = 0;          // blob pixels, 1..120
  int peak = 0;          // highest smoothed 8-bit detection value in the blob
  double flux = 0.0;     // summed background-free signal of the blob (image units); unlike
                         // the 8-bit peak it keeps growing past saturation, so it ranks bright stars
};

using NLStarMatch = std::pair<NLStarCandidate, NLStarCandidate>;  // (reference, moving)
using NLStarMatchList = std::vector<NLStarMatch>;

// The star as a point: (centerX, centerY), an axis that is exactly 0.0 taking
// the integer field of that axis instead.
cv::Point2d NL_starPoint(const NLStarCandidate& star);

// Point-like stars of a 1-, 3- (BGR) or 4-channel (BGRA) image of any depth,
// brightest peak first; maxCount > 0 caps the list. Empty for an empty or flat frame.
// When the level relative to the brightest star leaves fewer than `wanted`
// stars (a few bright stars set the scale of a sparse or light-polluted sky),
// the stars are found against the sky noise instead: same record, centroid
// rule and blob limits. wanted <= 0, or enough stars: the relative level's list.
std::vector<NLStarCandidate> NL_findStarCandidates(const cv::Mat& image, double sigmaFactor, int maxCount,
                                                   int wanted = 0);

// One frame's star detection, kept so that every later use of the frame (the
// quality filter's statistics, registrations with any star budget) takes its
// stars from it instead of detecting them again. NL_starCandidatesOf gives
// exactly what NL_findStarCandidates gives on the same image.
struct NLStarDetection {
  bool detected = false;                  // filled by NL_detectStars
  cv::Size size;                          // of the frame
  double sigmaFactor = 2.5;
  int noiseWanted = 0;                    // the sky-noise search ran when relativeFound < noiseWanted
  int keep = 0;                           // lists capped at this many (<= 0: uncapped)
  std::vector<NLStarCandidate> relative;  // above the level relative to the brightest star, brightest first
  int relativeFound = 0;                  // before the cap
  bool noiseSearched = false;
  std::vector<NLStarCandidate> noise;     // above the sky noise, brightest first (when searched)
  int noiseFound = 0;                     // before the cap
  // Mean and standard deviation of the frame's grey image in 32-bit float
  // (BGR/BGRA to grey, no scaling), recorded for 1-, 3- and 4-channel 8- and
  // 16-bit frames that are not flat.
  bool hasGreyStats = false;
  double greyMean = 0.0, greyStdDev = 0.0;
};
// Detects once; answers NL_starCandidatesOf for any maxCount <= keep (any
// maxCount when keep <= 0) and any wanted <= noiseWanted.
NLStarDetection NL_detectStars(const cv::Mat& image, double sigmaFactor, int noiseWanted, int keep);
// The detection's frame-sized working images. A caller detecting in many
// frames of one size keeps them, so that each frame does not allocate (and
// the system clear) them again; the stars found are the same.
struct NLDetectionBuffers {
  cv::Mat residual, mask, detection;
};
NLStarDetection NL_detectStars(const cv::Mat& image, double sigmaFactor, int noiseWanted, int keep,
                               NLDetectionBuffers& buffers);
// NL_findStarCandidates(image, sigmaFactor, maxCount, wanted) from a detection
// of that image (throws cv::Exception outside the detection's limits).
std::vector<NLStarCandidate> NL_starCandidatesOf(const NLStarDetection& detection, int maxCount, int wanted);

// Thins a detector-ordered list over a 5 x 5 grid of the frame (at most 180
// stars per cell); maxTotal >= 1 caps the whole list. Result brightest first.
std::vector<NLStarCandidate> NL_selectGridBalancedStars(const std::vector<NLStarCandidate>& stars, int width,
                                                        int height, int maxTotal);

// ---- Pattern matching and registration attempts ----------------------------

struct NLTrianglePattern {
  int star0 = 0, star1 = 0, star2 = 0;  // indices into the star list, ascending
  double shortRatio = 0.0;              // shortest side / longest side
  double middleRatio = 0.0;             // middle side / longest side
  double area = 0.0;                    // px^2
  double longestSide = 0.0;             // px
};

struct NLQuadPattern {
  int star0 = 0, star1 = 0, star2 = 0, star3 = 0;  // indices into the star list, ascending
  double ratio0 = 0.0, ratio1 = 0.0, ratio2 = 0.0, ratio3 = 0.0,
         ratio4 = 0.0;                             // five shorter distances / longest, ascending
  double longestSide = 0.0;                        // px
  double maxTriangleArea = 0.0;                    // px^2, largest of the four triangles
};

struct NLRegistrationAttempt {
  std::string mode;          // "shift", "triangle-pattern" or "quad-pattern"
  NLStarMatchList matches;   // the strategy's match list
  NLStarMatchList inliers;   // matches consistent with the homography
  cv::Mat homography;        // 3 x 3 CV_64F, moving to reference; empty when none
  int inlierCount = 0;       // inliers of the homography fit that was kept
  double inlierRatio = 0.0;  // inlierCount / matches
  double meanError = 9999.0; // px
  bool valid = false;        // a homography exists and meanError is finite
};

// Triangles of the 48 brightest stars (longest side >= 35 px, area >= 80 px^2),
// largest area first, at most 2400.
std::vector<NLTrianglePattern> NL_buildTrianglePatterns(const std::vector<NLStarCandidate>& stars);

// Quads of the 34 brightest stars (longest distance >= 45 px, shortest/longest
// >= 0.1, largest triangle >= 160 px^2), largest triangle first, at most 2600.
std::vector<NLQuadPattern> NL_buildQuadPatterns(const std::vector<NLStarCandidate>& stars);

// 2 x 3 CV_64F affine map taking source onto destination (least squares);
// empty when the solver fails.
cv::Mat NL_estimateAffineFromTriangle(const std::array<cv::Point2d, 3>& source,
                                      const std::array<cv::Point2d, 3>& destination);

// Greedy one-to-one assignment in moving-list order: each moving star, mapped
// by affine (moving to reference), takes the nearest free reference star
// strictly closer than tolerance. Empty when a list or the map is empty.
NLStarMatchList NL_matchStarsByAffineSeed(const std::vector<NLStarCandidate>& reference,
                                          const std::vector<NLStarCandidate>& moving, const cv::Mat& affine,
                                          double tolerance);

// Fits and refines a homography on a match list; not valid below 25 matches.
NLRegistrationAttempt NL_evaluateRegistrationAttempt(const std::string& mode, const NLStarMatchList& matches);

// Shift vote, then triangle and quad stages unless one is accepted early;
// returns the best attempt (valid false when none worked).
NLRegistrationAttempt NL_buildBestRegistrationAttempt(const std::vector<NLStarCandidate>& reference,
                                                      const std::vector<NLStarCandidate>& moving, int maxShift,
                                                      double tolerance);

// The attempt refitted on its matched stars re-measured on the two images
// (an iterated Gaussian-windowed centroid, window about the seeing); the
// attempt unchanged when the refit is less precise or loses more than one
// inlier in a hundred.
NLRegistrationAttempt NL_refineRegistrationAttempt(const cv::Mat& reference, const cv::Mat& moving,
                                                   const NLRegistrationAttempt& attempt);
// Re-measured star centres of one image, kept for its next refinements: a
// frame of a time-lapse is registered with its neighbours on both sides,
// with much the same stars each time. Threads may share one.
class NLCentroidCache {
 public:
  struct Entry {
    bool settled = false;  // false: the window did not settle, the detector's centre stays
    double x = 0.0, y = 0.0;
  };
  bool find(double x, double y, double sigma, Entry& entry);
  void add(double x, double y, double sigma, const Entry& entry);
  void clear();

 private:
  struct Key {
    double x, y, sigma;
    bool operator<(const Key& o) const {
      return x != o.x ? x < o.x : y != o.y ? y < o.y : sigma < o.sigma;
    }
  };
  std::mutex mutex_;
  std::map<Key, Entry> entries_;
};
// The same refinement, each image's centres taken from and added to its
// cache where one is given (null: measured afresh); the result is the same.
NLRegistrationAttempt NL_refineRegistrationAttempt(const cv::Mat& reference, const cv::Mat& moving,
                                                   const NLRegistrationAttempt& attempt,
                                                   NLCentroidCache* referenceCentres, NLCentroidCache* movingCentres);

// ---- Homography estimation and checks --------------------------------------

struct NLAlignmentQuality {
  int frameIndex = 0;          // the caller's slot; the registration does not use it
  int referenceStars = 0;      // stars selected in the reference frame
  int movingStars = 0;         // stars selected in the moving frame
  int matchCount = 0;          // the winning attempt's matches
  int inlierCount = 0;
  double inlierRatio = 0.0;
  double averageError = 9999.0;  // px, the attempt's meanError
  double medianError = 9999.0;   // px, over all matches
  double maxError = 9999.0;
  double centerError = 9999.0;   // mean in the centre region
  double edgeError = 9999.0;     // mean in the edge region
  double cornerError = 9999.0;   // mean in the corner region
  bool ok = false;
  std::string mode;              // winning attempt's mode
  std::string reason;            // "ok", a warning or the failure message
};

// Reprojection error statistics by region of the reference frame; 9999.0 when unmeasured.
struct NLAlignmentErrorStats {
  double mean = 9999.0;
  double median = 9999.0;
  double max = 9999.0;
  double centerMean = 9999.0;
  double edgeMean = 9999.0;
  double cornerMean = 9999.0;
};

// (u, v, w) = H (x, y, 1); returns (u/w, v/w), or (u, v) when |w| < 1e-9.
cv::Point2d NL_projectPoint(const cv::Mat& homography, const cv::Point2d& point);

// Least-squares direct linear fit (h22 = 1) on all pairs; false below 4 pairs or when the solver fails.
bool NL_estimateHomographyDLT(const NLStarMatchList& matches, cv::Mat& homography);

// Fit on all pairs, then refit on the pairs within threshold px (NaN errors
// excluded) when there are at least 4 of them; inlierCount is that number.
bool NL_estimateHomographyWithInliers(const NLStarMatchList& matches, cv::Mat& homography, double threshold,
                                      int& inlierCount);

// Pairs, in order, whose reprojection error is finite and <= maxError.
NLStarMatchList NL_filterMatchesByReprojectionError(const NLStarMatchList& matches, const cv::Mat& homography,
                                                    double maxError);

// Mean of the finite reprojection errors; 9999.0 when there is none.
double NL_computeAverageReprojectionError(const cv::Mat& homography, const NLStarMatchList& matches);

// Error statistics over the finite errors, regions by reference position in a width x height frame.
NLAlignmentErrorStats NL_computeAlignmentErrorStats(const cv::Mat& homography, const NLStarMatchList& matches,
                                                    int width, int height);

// Checks the matrix and the area its image of the moving frame's corners
// spans (0.35..3.0 of width x height); message is "ok" or the failure text.
bool NL_isHomographyPlausible(const cv::Mat& homography, int width, int height, std::string& message);

// Why a fit that passed its count checks still cannot be trusted, or empty
// when it is sound: inliers a small share of the stars ("very poor inlier
// ratio"), a part of the overlap whose stars the fit does not explain ("fit
// explains only part of the frame"), or a median error far above the size of
// the stars ("alignment error far above the seeing"). Both frame-pair
// entries apply it (limits: the fit rows of NL_kRegistrationLimits).
std::string NL_registrationFitFailure(const NLRegistrationAttempt& attempt,
                                      const std::vector<NLStarCandidate>& reference,
                                      const std::vector<NLStarCandidate>& moving, cv::Size referenceSize);

// ---- Reference stars, selected once --------------------------------------

// A reference frame's stars, selected once with its settings and shared
// read-only by every frame pair registered against it. image shares the
// reference's pixels and must stay unchanged while the record is in use.
struct NLReferenceStars {
  cv::Mat image;
  std::vector<NLStarCandidate> stars;  // selected as every frame-pair registration selects them
  NLRegistrationSettings settings;
  // stars came from the sky-noise search (the relative level found too few);
  // relativeStars then holds the relative level's own selection, else it is empty.
  bool noiseLevel = false;
  std::vector<NLStarCandidate> relativeStars;
};
NLReferenceStars NL_selectReferenceStars(const cv::Mat& reference, const NLRegistrationSettings& settings);
// The same, detecting in buffers kept from an earlier frame (their contents do not matter).
NLReferenceStars NL_selectReferenceStars(const cv::Mat& reference, const NLRegistrationSettings& settings,
                                         NLDetectionBuffers& buffers);
// The reference record from a detection of the reference image (of the settings' sigma factor).
NLReferenceStars NL_selectReferenceStars(const cv::Mat& reference, const NLStarDetection& detection,
                                         const NLRegistrationSettings& settings);
// The stars a frame-pair registration with these settings selects in a frame.
std::vector<NLStarCandidate> NL_selectRegistrationStars(const cv::Mat& image, const NLRegistrationSettings& settings);
std::vector<NLStarCandidate> NL_selectRegistrationStars(const cv::Mat& image, const NLRegistrationSettings& settings,
                                                        NLDetectionBuffers& buffers);
// Registration's star detection of a frame, enough for every star budget up
// to 6000 (the stacks use 3000 and 4500).
NLStarDetection NL_detectRegistrationStars(const cv::Mat& image, double sigmaFactor);
// The stars a frame-pair registration with this budget selects, from a
// detection of the frame (NL_detectRegistrationStars or one at least as wide).
std::vector<NLStarCandidate> NL_selectRegistrationStars(const NLStarDetection& detection, int starBudget);

// ---- Frame pairs: one entry per purpose ------------------------------------
// Both register the moving frame (its stars selected with the reference's
// settings) onto the prepared reference and return the whole outcome.

struct NLPairRegistration {
  bool ok = false;           // every check of the entry passed
  bool fitted = false;       // homography and matches hold the fit
  cv::Mat homography;        // moving onto reference
  NLStarMatchList matches;   // the fit's inliers (all matches when there are none)
  NLAlignmentQuality quality;  // star counts, attempt figures, error statistics once fitted, reason
};

// The plain pair's verdict on an attempt: empty when it may be used, else
// "homography estimation failed", "too few star matches" (under
// plainMinMatches) or a reason of NL_registrationFitFailure. Every plain
// registration (the stacks' transforms, Star Trail's neighbours) decides by it.
std::string NL_plainPairFailure(const NLRegistrationAttempt& attempt, const std::vector<NLStarCandidate>& reference,
                                const std::vector<NLStarCandidate>& moving, cv::Size referenceSize);
// A pair that fails on its stars is tried once more on both frames' stars of
// the relative detection level alone (when those differ), and that outcome
// is kept when it passes: a sky-noise list of blends in a blurred frame never
// loses a pair the relative level registers.
// Plain pair: fitted only when ok; reason "ok" or NL_plainPairFailure's.
NLPairRegistration NL_registerPlainPair(const NLReferenceStars& reference, const cv::Mat& moving,
                                        const std::vector<NLStarCandidate>& movingStars);
// Quality pair: ok only when every check passed (reason "ok" or "warning:
// elevated alignment error"); fitted once the fit passed its count checks,
// even if a later check fails. Limits: the quality rows of NL_kRegistrationLimits.
NLPairRegistration NL_registerQualityPair(const NLReferenceStars& reference, const cv::Mat& moving,
                                          const std::vector<NLStarCandidate>& movingStars);
// Both entries with the moving frame's stars prepared like the reference's:
// when either frame's stars came from the sky-noise search, the pair is also
// registered on both frames' relative-level stars, and the better verdict
// wins (a passing one over a failing one; of two passing ones, the fit with
// the smaller standard error, its mean error over the root of its inliers).
// A blurred frame's faint stars have loose centroids that can outweigh
// their number. The forms above, given bare moving stars, detect the moving
// frame once more to learn its relative level's stars.
NLPairRegistration NL_registerPlainPair(const NLReferenceStars& reference, const NLReferenceStars& moving);
NLPairRegistration NL_registerQualityPair(const NLReferenceStars& reference, const NLReferenceStars& moving);

// The image forms of the two entries (the register command, tests): the
// reference's stars selected here. Plain: on success writes the homography
// and the inlier matches; on failure leaves both untouched. Quality: resets
// and fills quality; homography and matches (when given) are written once
// the fit passed its count checks. WithFigures is the plain pair with its
// figures, for reporting.
bool NL_buildHomographyTransform(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                 int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                 NLStarMatchList& matches);
bool NL_buildHomographyTransformWithFigures(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches = nullptr);
bool NL_buildHomographyTransformWithQuality(const cv::Mat& reference, const cv::Mat& moving, double sigmaFactor,
                                            int starBudget, int maxShift, double tolerance, cv::Mat& homography,
                                            NLAlignmentQuality& quality, NLStarMatchList* matches = nullptr);

// ---- Report ----------------------------------------------------------------

// One JSON object (no trailing newline) of a registration outcome: the quality
// record's fields and the nine homography elements row-major, numbers in the
// "C" locale with 17 significant digits; "homography" is null when empty.
std::string NL_formatRegistrationJson(const NLAlignmentQuality& quality, const cv::Mat& homography);

// ---- Registered stacking: parallel transforms, warp to canvas --------------

// The parallel transforms of a stack: every frame registered on frame 0.
struct NLStackTransforms {
  bool ok = false;
  std::vector<cv::Mat> transforms;        // 3 x 3 CV_64F onto frame 0, identity for frame 0
  std::vector<NLStarMatchList> matches;   // inliers; empty for frame 0
  double minX = 0.0, minY = 0.0, maxX = 0.0, maxY = 0.0;  // frame 0's rectangle and every frame's corners
  std::string error;
};
// Every frame registered on frames[0] (plain pair with the settings) on
// OpenCV's parallel loop; the reference's stars are selected once. Callers:
// median stack (NL_kMedianStackRegistration), sigma and average stacks
// (NL_kStackRegistration). Bounds cover frame 0's rectangle and every
// frame's projected corners (minX, minY <= 0).
// Progress (absolute percents, title "Aligning Frames"): 42 "Computing
// homography transforms.", then per registered frame in completion order
// 42 + trunc(k * 16 / (max(n, 2) - 1)) "Registered frame K of N.". Pass the
// job's own progress writer (never a process-wide path), or nothing.
// False with error "no images loaded" or "homography failed for input index
// I" (the lowest failing frame, 1-based); registered frames stay filled.
// detections (optional, one per frame, null where none): each frame's stars
// from an earlier detection of it (NL_detectRegistrationStars) instead of
// detecting them again; the results are the same.
NLStackTransforms NL_computeStackTransforms(const std::vector<cv::Mat>& frames, const NLRegistrationSettings& settings,
                                            const NLProgressCallback& progress = {},
                                            const std::vector<const NLStarDetection*>* detections = nullptr);
// The same with sigma factor 2.5 and maximum shift 500, its outcome spread
// over out-parameters (transforms, matches and bounds are written on success
// only; registered frames stay filled on failure).
bool NL_computeHomographyTransformsParallel(const std::vector<cv::Mat>& frames, int starBudget, double tolerance,
                                            std::vector<cv::Mat>& transforms, std::vector<NLStarMatchList>& matches,
                                            double& minX, double& minY, double& maxX, double& maxY,
                                            std::string& error, const NLProgressCallback& progress = {},
                                            const std::vector<const NLStarDetection*>* detections = nullptr);

// The bounds NL_computeHomographyTransformsParallel gives for frames of these
// sizes with these transforms onto frame 0 (transforms[0] is not read).
void NL_boundsOfTransforms(const std::vector<cv::Size>& sizes, const std::vector<cv::Mat>& transforms, double& minX,
                           double& minY, double& maxX, double& maxY);

// Outcome of one frame of the robust sky registration.
struct NLSkyRegistrationFrame {
  bool used = false;
  bool anchor = false;
  std::string reason;          // q.reason ("ok" when empty) or the first failing gate test
  NLAlignmentQuality quality;  // figures of the frame-pair registration
};
struct NLSkyRegistrationRun {
  int anchor = 0;                              // n / 2
  int threads = 1;                             // OpenCV's thread count during the run
  std::vector<NLSkyRegistrationFrame> frames;  // one per input frame, in frame order
};

// Every frame registered on the middle frame (quality variant) on OpenCV's
// parallel loop, accepted only through the quality gate (the skyGate rows
// of NL_kRegistrationLimits: inliers >= 80, ratio >= 0.25, average <= 1.1 px,
// median <= 0.85 px, edge <= 3.5 px and corner <= 5.0 px or not measured). Out: transforms and matches of the
// accepted frames (identity for the anchor), used flags (anchor 1), error,
// and log: the gate block and one "skyRegistrationFrame" line per frame.
// Progress: 0 "Aligning sky frames against the middle reference frame.",
// then trunc(k * 100 / t) "Registered sky frame K of T." (title "Creating
// Registered Sky Stack"), one call at a time. True when a frame besides the
// anchor was accepted; otherwise error "robust sky registration rejected all
// moving frames\n" + log (or "no images loaded").
bool NL_computeSkyHomographyTransformsParallelRobust(const std::vector<cv::Mat>& frames,
                                                     const NLRegistrationSettings& settings,
                                                     std::vector<cv::Mat>& transforms,
                                                     std::vector<NLStarMatchList>& matches,
                                                     std::vector<unsigned char>& used, std::string& error,
                                                     std::string& log, const NLProgressCallback& progress,
                                                     NLSkyRegistrationRun* run = nullptr);
// The gate's verdict on a frame-pair outcome: empty when accepted, else the
// reason of its line (the registration's own reason when it failed).
std::string NL_skyRegistrationGateFailure(bool registered, const NLAlignmentQuality& quality);
// One "skyRegistrationFrame I = ..." line (with its line feed) and the whole log block.
std::string NL_formatSkyRegistrationFrameLine(int index, const NLSkyRegistrationFrame& frame, int anchor);
std::string NL_formatSkyRegistrationLog(const NLSkyRegistrationRun& run);

// Statistics of the local residual correction over the frames of one stack.
struct NLLocalCorrectionStats {
  int frames = 0;           // frames that went through the warp
  int correctedFrames = 0;  // frames whose correction field was applied
  int skippedFrames = 0;    // frames warped without correction
  int residualMatches = 0;  // sum of the match-list sizes
  int strongCells = 0;      // mesh nodes with a confident estimate
  int weakCells = 0;        // mesh nodes with a low-confidence estimate
  double maxShiftPx = 0.0;     // largest node displacement over all frames, px
  double sumMaxShiftPx = 0.0;  // sum of each frame's largest node displacement, px
};

// The 21 x 21 correction mesh of one frame: node (gx, gy) sits at canvas
// (gx / 20 * (W - 1), gy / 20 * (H - 1)); displacement in canvas px, applied
// as "content moves by +d" (output at p takes the warped frame at p - d).
struct NLResidualMesh {
  static constexpr int kNodes = 21;
  std::vector<cv::Point2d> displacement;  // kNodes * kNodes, row-major by mesh row
  int strongNodes = 0, weakNodes = 0;
  double maxShiftPx = 0.0;                // longest node displacement
};
// Estimates the mesh from the star residuals that H leaves (no gating: the
// warp decides whether to estimate at all). Pure, for tests and benchmarks.
NLResidualMesh NL_estimateResidualMesh(const cv::Mat& homography, const NLStarMatchList& matches, int canvasWidth,
                                       int canvasHeight, int offX, int offY);

// One frame's way onto the canvas, decided once: M = T * H and the mesh when
// the correction applies. Planning updates the statistics exactly once.
struct NLCanvasWarp {
  cv::Matx33d toCanvas;
  cv::Size canvas;
  cv::Size frameSize;
  NLResidualMesh mesh;     // empty displacement when no correction is applied
  bool corrected = false;
};
NLCanvasWarp NL_planWarpToCanvas(cv::Size frameSize, const cv::Mat& homography, const cv::Mat& canvasTransform,
                                 int canvasWidth, int canvasHeight, const NLStarMatchList& matches, int offX,
                                 int offY, NLLocalCorrectionStats& stats);
// Renders canvas rows [rows.start, rows.end) of the planned warp into warped
// (frame type) and mask (CV_8U, 255 where the frame covers): a stack can hold
// just a band of every frame. The whole range gives exactly
// NL_warpFrameToCanvas; a band equals those rows of it. covered (optional):
// a CV_8UC1 image of the frame's size, 255 everywhere, kept by a caller that
// renders many bands (otherwise one is made for every call). wanted
// (optional): CV_8UC1 of the band's size; where it is 0 warped may be left 0
// instead of resampled (pixels a caller masks out anyway), elsewhere and in
// the mask nothing changes.
void NL_renderWarpRows(const NLCanvasWarp& plan, const cv::Mat& frame, cv::Range rows, cv::Mat& warped,
                       cv::Mat& mask, const cv::Mat& covered = cv::Mat(), const cv::Mat& wanted = cv::Mat());
// Warps the frame onto the canvas (Lanczos-4, black outside) with its
// validity mask and, when the star residuals call for it, the local residual
// correction on the 21 x 21 mesh; stats is updated once per call.
void NL_warpFrameToCanvas(const cv::Mat& frame, const cv::Mat& homography, const cv::Mat& canvasTransform,
                          int canvasWidth, int canvasHeight, const NLStarMatchList& matches, int offX, int offY,
                          cv::Mat& warped, cv::Mat& mask, NLLocalCorrectionStats& stats);
// "localCorrection = not used" when no frame was warped, otherwise the block
// of "localCorrection..." lines (no line feed after the last).
std::string NL_formatLocalCorrectionStats(const NLLocalCorrectionStats& stats);
