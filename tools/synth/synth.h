// Synthetic night skies whose true geometry is known: star fields seen
// through known homographies, star-trail time-lapses with injected satellite
// and aircraft trails, drifting skies over a fixed foreground, and a single
// glow frame. Used by tests, benchmarks and the lumivex program.
//
// Conventions (the same as the registration code):
// - Pixel centres sit at integer coordinates (OpenCV's convention).
// - A frame's truth matrix maps FRAME pixel coordinates onto REFERENCE pixel
//   coordinates, so a star at reference position r appears in frame i at
//   H_i^-1 r (before the optional radial distortion, see below).
// - Images are 3-channel BGR, CV_16UC3 (bits = 16) or CV_8UC3 (bits = 8).
// - Signal levels (sky, star flux, streak peak) are in units of the full
//   scale of the image type: 1.0 is 65535 in a 16-bit frame, 255 in an
//   8-bit one. A star's flux is its integrated signal, so a flux of 2.0
//   spreads two full-scale pixels' worth of light over its point spread.
// - Everything is deterministic for a seed, whatever the thread count.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace synth {

// ---- Records ---------------------------------------------------------------

enum class Psf { Gaussian, Moffat };

struct Star {
  cv::Point2d position;            // px, reference coordinates
  double flux = 1.0;               // integrated signal, full-scale units
  cv::Vec3d colour{1.0, 1.0, 1.0}; // B, G, R multipliers of the flux (green = 1)
  double fwhm = 0.0;               // px; 0: the frame's FWHM (set for bloated bright stars)
};

// A star as it appears in one frame.
struct FrameStar {
  cv::Point2d position;            // px, frame coordinates (after distortion)
  cv::Point2d reference;           // px, reference coordinates
  double flux = 1.0;
  cv::Vec3d colour{1.0, 1.0, 1.0};
  double fwhm = 3.0;               // px, as rendered
  bool saturated = false;          // its peak pixel reached the type's maximum
};

// Optional barrel/pincushion distortion applied after the homography, about
// the frame centre: p = c + (u - c) * (1 + k1 * |u - c|^2 / R^2), R = half
// the frame diagonal, u = H^-1 r. k1 = 0 means a pure homography.
struct Distortion {
  double k1 = 0.0;
};

enum class TrailKind { Satellite, Aircraft, Meteor };

// One injected trail. mask is 8-bit single channel, 255 exactly on the
// pixels whose value the trail changed (before clipping), 0 elsewhere.
struct TrailTruth {
  int frame = 0;
  TrailKind kind = TrailKind::Satellite;
  cv::Point2d from, to;            // px, frame coordinates of the path's ends
  cv::Mat mask;
  cv::Mat strength;                // CV_32FC1: the luminance the trail added (full-scale units), 0 off the trail
};

struct FrameTruth {
  cv::Matx33d frameToReference = cv::Matx33d::eye();
  double fwhm = 3.0;               // px
  Distortion distortion;
  std::vector<FrameStar> stars;    // stars whose centre lies inside the frame
};

// A frame a photographer would throw away: the moon's glow, a cloud lit by
// a town, a car's headlights on the ground, dawn, a dewed lens.
enum class BadFrameKind { Moon, Cloud, Headlights, Dawn, Dew };
struct BadFrame {
  int frame = 0;
  BadFrameKind kind = BadFrameKind::Moon;
  double strength = 1.0;           // 1: a clear case; smaller is fainter
};
// "moon", "cloud", "headlights", "dawn" or "dew".
const char* badFrameKindName(BadFrameKind kind);
// Whether the kind spoils the sky (all but headlights, which light the ground only).
bool badFrameSpoilsSky(BadFrameKind kind);

// What every scene produces; members that a scene does not make stay empty.
struct Scene {
  std::string name;                // "stack", "trail", "skyblend", "glow"
  std::vector<cv::Mat> frames;
  std::vector<FrameTruth> truth;   // one per frame
  int reference = 0;               // index of the reference frame
  std::vector<Star> stars;         // the sky, reference coordinates
  std::vector<TrailTruth> trails;
  cv::Mat skyMask;                 // CV_8UC1, 255 sky, 0 ground (trail, skyblend)
  cv::Mat cleanLighten;            // per-pixel max of the frames rendered without trails (trail)
  cv::Mat gaplessLighten;          // the same without the pauses between exposures (trail, when asked)
  cv::Mat carriedLighten;          // each exposure carried with the sky through its pause (trail, when asked)
  cv::Mat noiselessReference;      // the reference frame without noise or hot pixels (stack)
  std::vector<BadFrame> badFrames;  // frames spoiled by light or dew, in frame order (trail)
};

// ---- Settings --------------------------------------------------------------

// The sky: where stars are, how bright, what colour.
struct SkySettings {
  int starCount = 0;               // 0: density * area of the star region
  double density = 2.0e-3;         // stars per square pixel when starCount is 0: a wide field near the Milky Way
  double faintestFlux = 0.05;      // full-scale units
  double brightestFlux = 60.0;     // full-scale units (bright stars saturate)
  double powerLaw = 0.8;           // N(> F) ~ F^-powerLaw: many faint, few bright
  double colourSpread = 0.10;      // sd of the red/blue tilt of star colours
  int planets = 0;                 // saturated planets or very bright stars, larger than the seeing
  double planetFlux = 400.0;       // full-scale units: clips over many pixels
  double planetFwhm = 7.0;         // px
};

// A light-polluted suburban sky: few stars (a few bright ones set the
// brightness scale, a few hundred more stand just above the sky noise) and
// one saturated planet. Use it with a bright skyLevel and 8-bit frames.
SkySettings sparseSky();

// Optics and sensor of one frame.
struct FrameSettings {
  cv::Size size{400, 300};
  int bits = 16;                   // 8 or 16
  Psf psf = Psf::Gaussian;
  double fwhm = 3.0;               // px
  double moffatBeta = 3.0;
  double skyLevel = 0.03;          // full-scale units at the frame centre
  cv::Vec2d gradient{0.004, 0.010};// sky change across the frame width / height
  bool noise = true;
  double fullWell = 20000.0;       // electrons at full scale: sets the shot noise
  double readNoise = 6.0;          // electrons rms
  int hotPixels = 0;
  std::uint64_t sensorSeed = 7;    // places the hot pixels: keep it for every frame of a scene
  Distortion distortion;
  // Star images as the arc the sky traces during the exposure: the sky turns
  // by arcDegrees about arcPole (frame coordinates), centred on the frame's
  // nominal position, so the truth matrix still holds for the arc's middle.
  double arcDegrees = 0.0;
  cv::Point2d arcPole{0.0, 0.0};
};

struct StackSettings {
  cv::Size size{3000, 2000};
  int frames = 8;
  int bits = 16;
  std::uint64_t seed = 1;
  SkySettings sky;
  Psf psf = Psf::Gaussian;
  double fwhmMin = 2.5, fwhmMax = 3.5;  // px, per-frame seeing
  int poorSeeingFrame = -1;        // -1: the last frame when frames >= 4, none otherwise
  double poorSeeingFwhm = 6.0;     // px
  double maxShift = 30.0;          // px
  double maxRotationDeg = 0.5;
  double maxScale = 0.003;         // |scale - 1|
  double distortionK1 = 0.0;       // per-frame k1 drawn within +-distortionK1 (frame 0 has none)
  bool noise = true;
  int hotPixels = 12;
  int streakFrame = -1;            // -1: frame 1 when frames >= 2; -2: no streak
  double skyLevel = 0.03;          // full-scale units; the gradient scales with it (light pollution)
};

struct TrailSettings {
  cv::Size size{1200, 800};
  int frames = 12;
  int bits = 16;
  std::uint64_t seed = 1;
  SkySettings sky;
  double fwhm = 2.4;               // px
  cv::Point2d pole{-1.0, -1.0};    // px; negative: (width / 2, -0.6 * height), above the top edge
  double degreesPerFrame = 0.25;   // sky rotation about the pole between frames
  double groundFraction = 0.25;    // share of the height taken by the landscape
  int groundLights = 4;
  bool noise = true;
  // {-1}: chosen from the frame count, including the first and last frames
  // and frames next to each other; {} none.
  std::vector<int> satelliteFrames{-1};
  std::vector<int> aircraftFrames{-1};
  double dutyCycle = 0.95;         // share of the frame interval the shutter is open: stars draw arcs
  double skyLevel = 0.02;          // full-scale units
  double fullWell = 20000.0;       // electrons at full scale: sets the sky noise
  // Satellites: peak and width drawn per streak; the brightness changes by
  // `satelliteVariation` of the peak from one end to the other (a tumbling body).
  double satellitePeakMin = 0.15, satellitePeakMax = 0.5;
  double satelliteWidthMin = 1.5, satelliteWidthMax = 2.3;  // px, FWHM
  double satelliteVariation = 0.0;
  // Aircraft: strobes every spacing px over a faint line; one aircraft
  // crosses `aircraftFrameSpan` consecutive frames on one straight path.
  double aircraftDotPeak = 0.9, aircraftTrailPeak = 0.04;
  double aircraftSpacingMin = 14.0, aircraftSpacingMax = 24.0;  // px
  int aircraftFrameSpan = 1;
  // Meteors: one in each listed frame, pointing away from the radiant
  // (frame px; (-1, -1): above the frame's top-left corner), brightening and
  // fading along its length with a flare.
  std::vector<int> meteorFrames;
  cv::Point2d radiant{-1.0, -1.0};
  double meteorPeakMin = 0.1, meteorPeakMax = 0.5;
  // Scintillation: sd of a star's brightness from frame to frame, as a share,
  // at the horizon's height, falling off with the square of the height above it.
  double twinkle = 0.0;
  // Spoiled frames (their truth in Scene::badFrames), and two slow changes
  // a night has that spoil nothing: the sky level growing evenly by
  // nightBrightening of itself from the first frame to the last, and the
  // whole frame's gain changing evenly by exposureDrift (auto exposure).
  std::vector<BadFrame> badFrames;
  double nightBrightening = 0.0;
  double exposureDrift = 0.0;
  // Also render, as truth, the same stars with the shutter open from each
  // exposure's start to the next one's (the last frame as it is): the
  // trails a camera without pauses would have drawn (Scene::gaplessLighten),
  // and each exposure moved on with the sky through the pause after it
  // (Scene::carriedLighten).
  bool gaplessTruth = false;
};

struct SkyBlendSettings {
  cv::Size size{1200, 800};
  int frames = 6;
  int bits = 16;
  std::uint64_t seed = 1;
  // Three times the default density: these frames stand in for a crop of a
  // wide Milky Way field, and the registration needs its stars in the sky
  // part alone (about 200 detectable at 960x640).
  SkySettings sky{0, 6.0e-3};
  double fwhm = 2.8;               // px
  cv::Vec2d driftPerFrame{1.6, 0.7};  // px, sky motion between frames
  double rotationPerFrameDeg = 0.02;
  double groundFraction = 0.35;
  bool noise = true;
};

struct GlowSettings {
  cv::Size size{1200, 800};
  int bits = 16;
  std::uint64_t seed = 1;
  int starCount = 250;
  bool noise = true;
};

// Two consecutive exposures of a turning sky: frame 1 turned by `degrees`
// about a pole above the frame and shifted by `shift`, as the next frame of
// a night is. The default sky keeps its fluxes in a narrow range, so that
// the registration's relative level finds thousands of stars (3000 to 6000
// in 1.5 MP at densities of 1e-2 to 1.6e-2): a field as crowded as the
// match tolerances. Both frames have the same hot pixels.
struct TurningPairSettings {
  cv::Size size{1500, 1000};
  int bits = 16;
  std::uint64_t seed = 1;
  SkySettings sky{0, 1.0e-2, 0.1, 1.5};
  double degrees = 0.1;
  cv::Vec2d shift{1.0, 1.0};       // px
  double fwhm = 2.4;               // px, frame 0
  double movingFwhm = 2.4;         // px, frame 1
  int hotPixels = 12;
};

// ---- Building blocks -------------------------------------------------------

// Stars spread uniformly over region (reference coordinates) with the
// power-law flux distribution; deterministic for seed.
std::vector<Star> makeSky(const SkySettings& sky, const cv::Rect2d& region, std::uint64_t seed);

// Bounding box, in reference coordinates, of every frame's footprint, grown
// by margin px: where the sky needs stars so that no frame shows an empty edge.
cv::Rect2d skyRegion(const std::vector<cv::Matx33d>& frameToReference, cv::Size size, double margin);

// Noiseless float signal (CV_32FC3, full-scale units) of the stars seen
// through frameToReference, including the sky background; stars inside
// skyMask's black pixels are hidden when skyMask is not empty.
cv::Mat renderSignal(const std::vector<Star>& stars, const cv::Matx33d& frameToReference,
                     const FrameSettings& frame, const cv::Mat& skyMask = cv::Mat());

// Signal to sensor values: shot and read noise when frame.noise (row-seeded
// generators from seed), hot pixels, clipping and rounding to frame.bits.
cv::Mat quantize(const cv::Mat& signal, const FrameSettings& frame, std::uint64_t seed);

// One frame with its truth: renderSignal + quantize, and the visible star list.
// The usual entry for "a 320x240 noiseless 16-bit field of 300 stars seen
// through H": makeSky, then renderFrame with frame.noise = false.
cv::Mat renderFrame(const std::vector<Star>& stars, const cv::Matx33d& frameToReference,
                    const FrameSettings& frame, std::uint64_t seed, FrameTruth* truth = nullptr);

// Where a reference position lands in a frame: H^-1 r, then the distortion.
cv::Point2d referenceToFrame(const cv::Point2d& reference, const cv::Matx33d& frameToReference,
                             const Distortion& distortion, cv::Size frameSize);
// p' = H p (homogeneous), no distortion.
cv::Point2d applyHomography(const cv::Matx33d& h, const cv::Point2d& p);

// Similarity-plus-scale homography about centre: rotate by degrees, scale,
// then translate by shift. Maps frame coordinates onto reference coordinates.
cv::Matx33d makeHomography(cv::Point2d centre, double degrees, double scale, cv::Vec2d shift);

// Adds a straight streak of the given width (FWHM, px) and peak (full-scale
// units) to a CV_32FC3 signal; marks the changed pixels 255 in mask (CV_8UC1,
// same size, allocated when empty). Returns false when it misses the image.
bool addSatellite(cv::Mat& signal, cv::Mat& mask, cv::Point2d from, cv::Point2d to,
                  double width = 1.8, double peak = 0.35, cv::Vec3d colour = {1.0, 1.0, 1.0});
// An aircraft: blinking bright dots every spacing px along the path and a
// faint continuous trail between them.
bool addAircraft(cv::Mat& signal, cv::Mat& mask, cv::Point2d from, cv::Point2d to,
                 double spacing = 18.0, double dotPeak = 0.9, double trailPeak = 0.04);
// A satellite whose peak changes linearly by variation x peak from one end to the other.
bool addVaryingSatellite(cv::Mat& signal, cv::Mat& mask, cv::Point2d from, cv::Point2d to, double width,
                         double peak, double variation);
// A meteor from `from` (where it lights up) to `to` (where it burns out):
// its brightness rises, flares at about two thirds of its path and fades.
bool addMeteor(cv::Mat& signal, cv::Mat& mask, cv::Point2d from, cv::Point2d to, double width, double peak);

// ---- Scenes ----------------------------------------------------------------

// Deep-sky stack: fixed sky, per-frame homography, seeing, noise, one streak.
Scene makeStackScene(const StackSettings& settings);
// Star-trail time-lapse: stars rotating about a pole over a fixed landscape,
// with satellites and aircraft; truth matrices are the rotations.
Scene makeTrailScene(const TrailSettings& settings);
// Slowly drifting sky over a fixed, structured foreground, with the sky mask.
Scene makeSkyBlendScene(const SkyBlendSettings& settings);
// One frame with stars of varied brightness, size and colour.
Scene makeGlowScene(const GlowSettings& settings);
// Two consecutive frames of a turning sky; truth[1] maps frame 1 onto frame 0.
Scene makeTurningPair(const TurningPairSettings& settings);

// ---- Measures --------------------------------------------------------------

// What a star-trail rejection leaves and takes, against the trail scene's
// clean Lighten: shares of the satellite and of the aircraft pixels that
// still stand out, and of the star-trail pixels (well above their local sky,
// away from the injected trails) lost.
struct RejectionFigures {
  double satelliteLeft = 0.0, aircraftLeft = 0.0, starsLost = 0.0;
};
RejectionFigures rejectionFigures(const Scene& trailScene, const cv::Mat& result);
// The same at a level suited to the frames' noise (full-scale units): a
// trail pixel counts where its trail added at least twice the level, and
// remains where the result stands above the clean Lighten by the level;
// star-trail pixels stand above their local sky by the level and are lost
// where the result falls below the clean Lighten by it. meteorsKept is the
// share of the meteor pixels that remain (1 when there are none).
struct StreakFigures {
  double satelliteLeft = 0.0, aircraftLeft = 0.0, starsLost = 0.0, meteorsKept = 1.0;
};
StreakFigures streakFigures(const Scene& trailScene, const cv::Mat& result, double level);
// What filling the pauses between exposures did, against the scene's
// gapless truth, at a level (full-scale units) above the frames' noise.
// Missing: sky where the gapless Lighten stands above the clean Lighten by
// the level. A missing pixel is filled where the result comes to within the
// level of the gapless Lighten or of the carried one, whichever is darker
// (an arc shorter than a star's image is dimmer than a continuous trail, so
// no copy of it reaches the continuous trail's level), and reached where it
// comes to within the level of the gapless Lighten itself. Raised: the
// share of the sky away from every trail (2 px or more from any pixel the
// gapless Lighten lifts above its surroundings by the level) that the
// result lifts above the clean Lighten by the level. `region` (8-bit,
// optional) limits all to its set pixels.
struct GapFigures {
  int missing = 0;             // pixels
  double filled = 1.0;         // shares of the missing pixels (1 when none)
  double reached = 1.0;
  double falseRaised = 0.0;    // share of the sky away from the trails
};
GapFigures gapFigures(const Scene& trailScene, const cv::Mat& result, double level, const cv::Mat& region = cv::Mat());

// ---- Files -----------------------------------------------------------------

// The scene's truth as JSON text (matrices row-major, "C" locale numbers).
std::string truthJson(const Scene& scene, const std::vector<std::string>& frameFiles);

// What the command line asks for; zero / empty fields take the scene's default.
struct SceneRequest {
  std::string scene;               // "stack", "trail", "skyblend", "glow"
  std::string dir;                 // created when missing
  cv::Size size{0, 0};
  int frames = 0;
  int bits = 16;
  std::uint64_t seed = 1;
  std::string sky;                 // "" the scene's own sky; "sparse": sparseSky() over a bright 8-bit-like sky
  double fwhm = 0.0;               // px; > 0 sets the seeing (stack: every frame; trail, skyblend: the frames)
  bool lzwFrames = false;          // frames LZW-compressed, as an editor exports them, instead of uncompressed
};

// Paths written by writeScene (absolute when dir was).
struct SceneFiles {
  std::vector<std::string> frames;
  std::string truth;               // DIR/truth.json
  std::string job;                 // the ready-to-run job file
  std::string skyMask;             // trail, skyblend
  std::vector<std::string> trailMasks;
  std::string cleanLighten;        // trail
  std::string noiselessReference;  // stack
};

// True when name is one of the truth images writeScene puts beside a scene's
// frames (trail masks, sky mask, clean Lighten, noiseless reference) and the
// folder holds a scene's truth text: they are answers, never frames.
bool isSceneTruthImage(const std::string& folder, const std::string& name);

// Scene names writeScene knows, in demo order.
std::vector<std::string> sceneNames();

// Makes the scene and writes frames, truth, masks and a job file whose
// progress and result-log paths lie inside dir. False with error set on an
// unknown scene, bad settings or a file that could not be written.
bool writeScene(const SceneRequest& request, SceneFiles& files, std::string& error);

// Writes an already made scene (its name chooses the job format).
bool writeSceneFiles(const Scene& scene, const std::string& dir, SceneFiles& files, std::string& error,
                     bool lzwFrames = false);

}  // namespace synth
