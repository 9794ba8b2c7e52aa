// Pieces shared by the scene makers of this folder.
#pragma once

#include "synth/synth.h"

namespace synth {
namespace detail {

// Throws std::invalid_argument when a scene cannot be made at this size, count or depth.
void checkSceneShape(cv::Size size, int frames, int bits);

// Truth of one rendered frame: its matrix, FWHM and the stars whose centre
// falls on a pixel of the frame (and of the sky, when skyMask is given).
FrameTruth frameTruth(const std::vector<Star>& stars, const cv::Matx33d& frameToReference,
                      const FrameSettings& frame, const cv::Mat& image, const cv::Mat& skyMask);

// A dark landscape across the bottom: horizon height per column (px, rows
// at or below it are ground) and the matching sky mask.
std::vector<double> horizonProfile(cv::Size size, double groundFraction, std::uint64_t seed);
cv::Mat skyMaskFromHorizon(const std::vector<double>& horizon, cv::Size size);
// Ground signal (CV_32FC3, full-scale units, mean about level) with rocks,
// grass texture, tree-line roughness, a few buildings and lights.
cv::Mat groundSignal(cv::Size size, double level, int buildings, int lights, std::uint64_t seed);

// Ground replaces the sky wherever skyMask is 0.
void composeGround(cv::Mat& signal, const cv::Mat& ground, const cv::Mat& skyMask);

// Adds a trail layer into signal on sky pixels only and keeps the mask to
// the sky too: the ground hides anything behind it.
void addOnSky(cv::Mat& signal, cv::Mat& layer, cv::Mat& mask, const cv::Mat& skyMask);

// Writes the scene's ready-to-run job file into dir (absolute) and returns its
// path; outputs, progress and result logs all lie inside dir.
std::string writeJobFile(const Scene& scene, const std::string& dir, const SceneFiles& files);

// Adds a spoiled frame's stray light to its signal (dew is a wider star
// image, set before rendering, and adds nothing here).
void spoilFrame(cv::Mat& signal, const BadFrame& bad, const cv::Mat& skyMask);
// The entry for frame, or null.
const BadFrame* badFrameAt(const std::vector<BadFrame>& bad, int frame);

}  // namespace detail
}  // namespace synth
