// File names inside a scene folder, shared by the truth text and the writer.
#pragma once

#include <cstdio>
#include <string>

namespace synth {
namespace detail {

inline std::string numbered(const char* pattern, int a, int b = 0) {
  char buf[64];
  std::snprintf(buf, sizeof buf, pattern, a, b);
  return buf;
}

inline std::string frameFileName(int frame) { return numbered("frame_%03d.tif", frame); }
inline std::string trailMaskFileName(int trail, int frame) {
  return numbered("trail_mask_%02d_frame_%03d.png", trail, frame);
}
constexpr const char* kTruthFile = "truth.json";
constexpr const char* kSkyMaskFile = "sky_mask.png";
constexpr const char* kCleanLightenFile = "clean_lighten.tif";
constexpr const char* kNoiselessReferenceFile = "noiseless_reference.tif";

}  // namespace detail
}  // namespace synth
