// Brightness normalisers shared by the glow renderer and the debug overlay.
#pragma once

#include "starglow/starglow.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace starglow_detail {

// Largest finite score, peak and radius over the stars, each at least 1e-9 so ratios stay defined.
struct StarNormalisers {
  double score = 1e-9, peak = 1e-9, radius = 1e-9;
};

inline StarNormalisers starNormalisers(const std::vector<NL_StarCandidate>& stars) {
  StarNormalisers n;
  for (const NL_StarCandidate& s : stars) {
    if (std::isfinite(s.score)) n.score = std::max(n.score, s.score);
    if (std::isfinite(s.peak)) n.peak = std::max(n.peak, s.peak);
    if (std::isfinite(s.radius)) n.radius = std::max(n.radius, s.radius);
  }
  return n;
}

// (value / norm, at most 1) ^ exponent; a negative ratio contributes 0.
inline double ratioPower(double value, double norm, double exponent) {
  const double ratio = std::min(value / norm, 1.0);
  return ratio < 0.0 ? 0.0 : std::pow(ratio, exponent);
}

}  // namespace starglow_detail
