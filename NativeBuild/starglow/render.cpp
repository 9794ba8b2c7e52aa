#include "starglow/starglow.h"

#include "starglow/detail/star_norms.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>

namespace {

using starglow_detail::ratioPower;
using starglow_detail::StarNormalisers;

constexpr float kGlowCeiling = 1.6f;  // keeps overlapping halos from running away before the screen blend

// One row of data per star class: small, medium, large.
struct GlowClass {
  double extentFactor;
  double intensity;
};
constexpr GlowClass kClasses[3] = {{0.42, 0.075}, {0.74, 0.34}, {1.12, 0.92}};

struct Shape {
  double opacity, tintGain, coreFactor, haloPower;
};

bool prepareOne(const NL_StarCandidate& s, const StarNormalisers& n, const Shape& shape, cv::Size size,
                const NL_StarGlowSettings& st, NL_PreparedGlowStar& g) {
  const int cls = std::clamp<int>(s.starClass, 0, 2);
  const double classSize[3] = {st.smallGlowSize, st.mediumGlowSize, st.largeGlowSize};
  if (classSize[cls] <= 0.01 || st.glowStrength <= 0.0) return false;
  const double sN = ratioPower(s.score, n.score, 0.56), pN = ratioPower(s.peak, n.peak, 0.72);
  const double rN = std::clamp(s.radius / n.radius, 0.0, 1.0);
  const double b = std::clamp(0.58 * sN + 0.25 * pN + 0.17 * rN, 0.0, 1.0);
  const double radiusFactor = std::clamp(0.72 + 0.045 * s.radius, 0.76, 1.4);
  const double brightFactor = std::clamp(0.3 + 1.7 * b, 0.26, 2.02);
  const double e = std::clamp(kClasses[cls].extentFactor * classSize[cls] * radiusFactor * brightFactor, 0.5, 140.0);
  const int reach = static_cast<int>(std::ceil(2.25 * e));
  const int cx = static_cast<int>(std::lround(s.x)), cy = static_cast<int>(std::lround(s.y));
  g.x0 = std::max(0, cx - reach);
  g.x1 = std::min(size.width, cx + reach + 1);
  g.y0 = std::max(0, cy - reach);
  g.y1 = std::min(size.height, cy + reach + 1);
  if (g.x0 >= g.x1 || g.y0 >= g.y1) return false;
  auto tint = [&](double ratio) { return std::clamp(1.0 + shape.tintGain * (ratio - 1.0), 0.05, 4.5); };
  g.tintB = tint(s.colorB);
  g.tintG = tint(s.colorG);
  g.tintR = tint(s.colorR);
  const double brightTerm = std::clamp(0.06 + 1.02 * b, 0.035, 1.08);
  const double fluxTerm = std::clamp(0.01 * s.flux + 1.2 * s.peak, 0.003, 0.82);
  g.intensity = shape.opacity * st.glowStrength * kClasses[cls].intensity * brightTerm * fluxTerm;
  g.x = s.x;
  g.y = s.y;
  g.reach2 = static_cast<double>(reach) * reach;
  g.extent2 = e * e;
  g.sigmaCore = std::max(0.28 * e, 0.45);
  g.sigmaSoft = std::max(shape.coreFactor * e, 0.75);
  g.haloPower = shape.haloPower;
  return true;
}

int bandStart(int band, int bands, int rows) { return static_cast<int>(static_cast<long long>(band) * rows / bands); }

// The estimate trunc(bands * row / rows) can name the band before the one
// whose rows [k * rows / bands, (k + 1) * rows / bands) hold the row, which
// would drop that star's row at the band seam; step to the owning band.
int bandOfRow(int row, int bands, int rows) {
  int k = std::min(static_cast<int>(static_cast<long long>(bands) * row / std::max(rows, 1)), bands - 1);
  while (k + 1 < bands && bandStart(k + 1, bands, rows) <= row) ++k;
  while (k > 0 && bandStart(k, bands, rows) > row) --k;
  return k;
}

// Per-star constants in the precision of the inner loop.
struct RowKernel {
  float x, y, invCore, invSoft, invHalo, haloPower, intensity, tint[3];
  double reach2;
};

RowKernel kernelOf(const NL_PreparedGlowStar& g) {
  RowKernel k;
  k.x = static_cast<float>(g.x);
  k.y = static_cast<float>(g.y);
  k.invCore = static_cast<float>(-0.5 / (g.sigmaCore * g.sigmaCore));
  k.invSoft = static_cast<float>(-0.5 / (g.sigmaSoft * g.sigmaSoft));
  k.invHalo = static_cast<float>(1.0 / (0.18 * g.extent2 + 1e-6));
  k.haloPower = static_cast<float>(-g.haloPower);
  k.intensity = static_cast<float>(g.intensity);
  k.tint[0] = static_cast<float>(g.tintB);
  k.tint[1] = static_cast<float>(g.tintG);
  k.tint[2] = static_cast<float>(g.tintR);
  k.reach2 = g.reach2;
  return k;
}

// Only the columns whose squared distance can be within reach are visited, so
// no exponential is ever computed for a pixel outside the star's disc.
void drawStarRow(const NL_PreparedGlowStar& g, const RowKernel& k, int row, const cv::Mat& mask, float* out) {
  const double dy = row - g.y;
  const double room = g.reach2 - dy * dy;
  if (room < 0.0) return;
  const double half = std::sqrt(room);
  const int xa = std::max(g.x0, static_cast<int>(std::floor(g.x - half)));
  const int xb = std::min(g.x1, static_cast<int>(std::ceil(g.x + half)) + 1);
  const uchar* m = mask.empty() ? nullptr : mask.ptr<uchar>(row);
  for (int x = xa; x < xb; ++x) {
    if (m && !m[x]) continue;
    const double dx = x - g.x;
    const double d2 = dx * dx + dy * dy;
    if (d2 > g.reach2) continue;
    const float f2 = static_cast<float>(d2);
    const float core = std::exp(k.invCore * f2);
    const float soft = std::exp(k.invSoft * f2);
    const float halo = std::pow(f2 * k.invHalo + 1.0f, k.haloPower);
    const float w = k.intensity * (0.58f * core + 0.34f * soft + 0.08f * halo);
    float* p = out + 3 * x;
    p[0] += k.tint[0] * w;
    p[1] += k.tint[1] * w;
    p[2] += k.tint[2] * w;
  }
}

}  // namespace

std::vector<NL_PreparedGlowStar> NL_prepareGlowStars(const std::vector<NL_StarCandidate>& stars, cv::Size size,
                                                     const NL_StarGlowSettings& st) {
  std::vector<NL_PreparedGlowStar> out;
  const double opacity = st.outputOpacity / 100.0, soft = st.softness / 100.0;
  if (opacity <= 0.0 || stars.empty()) return out;
  const Shape shape{opacity, std::clamp(0.62 * (st.colorSaturation / 100.0) + 0.28, 0.0, 3.2), 0.48 + 0.18 * soft,
                    2.4 + 2.0 * (1.0 - soft)};
  const StarNormalisers n = starglow_detail::starNormalisers(stars);
  out.reserve(stars.size());
  for (const NL_StarCandidate& s : stars) {
    NL_PreparedGlowStar g;
    if (prepareOne(s, n, shape, size, st, g)) out.push_back(g);
  }
  return out;
}

int NL_glowBandCount(int rows) { return std::max(1, std::min(2 * std::max(cv::getNumThreads(), 1), rows)); }

namespace {

// The prepared stars and, for each horizontal band, the stars whose
// rectangle touches it, in star order.
struct GlowPlan {
  std::vector<NL_PreparedGlowStar> stars;
  std::vector<RowKernel> kernels;
  std::vector<std::vector<int>> listed;
  int rows = 0, bands = 0;
};

GlowPlan planGlow(const std::vector<NL_StarCandidate>& stars, cv::Size size, const NL_StarGlowSettings& settings) {
  GlowPlan plan;
  plan.stars = NL_prepareGlowStars(stars, size, settings);
  if (plan.stars.empty()) return plan;
  plan.rows = size.height;
  plan.bands = NL_glowBandCount(plan.rows);
  plan.listed.resize(plan.bands);
  for (int i = 0; i < static_cast<int>(plan.stars.size()); ++i) {
    const NL_PreparedGlowStar& g = plan.stars[i];
    plan.kernels.push_back(kernelOf(g));
    const int first = bandOfRow(std::clamp(g.y0, 0, plan.rows - 1), plan.bands, plan.rows);
    const int last = bandOfRow(std::clamp(std::max(g.y0, g.y1 - 1), 0, plan.rows - 1), plan.bands, plan.rows);
    for (int b = first; b <= last; ++b) plan.listed[b].push_back(i);
  }
  return plan;
}

// Adds the glow of a band's stars to rows r0..r1 of the layer, whose row y
// starts at rowOf(y); every star in star order, so each pixel sums the same
// terms in the same order however the rows are cut.
template <typename RowOf>
void drawRows(const GlowPlan& plan, int band, int r0, int r1, const cv::Mat& mask, RowOf rowOf) {
  for (int i : plan.listed[band]) {
    const NL_PreparedGlowStar& g = plan.stars[i];
    for (int y = std::max(r0, g.y0); y < std::min(r1, g.y1); ++y) drawStarRow(g, plan.kernels[i], y, mask, rowOf(y));
  }
}

template <typename BandBody>
void forEachBand(const GlowPlan& plan, BandBody body) {
  cv::parallel_for_(cv::Range(0, plan.bands), [&](const cv::Range& range) {
    for (int b = range.start; b < range.end; ++b) body(b, bandStart(b, plan.bands, plan.rows),
                                                       bandStart(b + 1, plan.bands, plan.rows));
  });
}

// Rows of layer handed out at a time: 8 rows of a 6000-column frame are
// about half a megabyte, so the rows drawn are still in cache when blended.
constexpr int kPieceRows = 8;

}  // namespace

int NL_renderGlow(cv::Mat& glow, const std::vector<NL_StarCandidate>& stars, const cv::Mat& mask,
                  const NL_StarGlowSettings& settings, std::ostream& log) {
  CV_Assert(glow.type() == CV_32FC3);
  CV_Assert(mask.empty() || (mask.type() == CV_8UC1 && mask.size() == glow.size()));
  const GlowPlan plan = planGlow(stars, glow.size(), settings);
  if (plan.stars.empty()) return 0;
  forEachBand(plan, [&](int b, int r0, int r1) {
    drawRows(plan, b, r0, r1, mask, [&](int y) { return glow.ptr<float>(y); });
    if (r1 > r0) {
      cv::Mat own = glow.rowRange(r0, r1);
      cv::min(own, kGlowCeiling, own);
    }
  });
  log << NL_glowRenderReport(plan.bands);
  return plan.bands;
}

int NL_renderGlowPieces(cv::Size size, const std::vector<NL_StarCandidate>& stars, const cv::Mat& mask,
                        const NL_StarGlowSettings& settings, std::ostream& log, const NL_GlowPieceSink& take) {
  CV_Assert(mask.empty() || (mask.type() == CV_8UC1 && mask.size() == size));
  const GlowPlan plan = planGlow(stars, size, settings);
  const int bands = plan.stars.empty() ? NL_glowBandCount(size.height) : plan.bands;
  cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
    cv::Mat piece;
    for (int b = range.start; b < range.end; ++b) {
      const int r0 = bandStart(b, bands, size.height), r1 = bandStart(b + 1, bands, size.height);
      for (int p0 = r0; p0 < r1; p0 += kPieceRows) {
        const int p1 = std::min(r1, p0 + kPieceRows);
        piece.create(p1 - p0, size.width, CV_32FC3);
        piece.setTo(cv::Scalar::all(0));
        if (!plan.stars.empty()) {
          drawRows(plan, b, p0, p1, mask, [&](int y) { return piece.ptr<float>(y - p0); });
          cv::min(piece, kGlowCeiling, piece);
        }
        take(p0, piece);
      }
    }
  });
  if (!plan.stars.empty()) log << NL_glowRenderReport(plan.bands);
  return plan.stars.empty() ? 0 : plan.bands;
}

namespace {

// out may be glow itself: each sample is read before it is written. Four
// samples at a time through OpenCV's portable vectors (SSE, NEON): with the
// strict floating-point rules the compiler keeps clamps scalar.
void screenRow(const float* a, const float* g, float* o, int n) {
  int i = 0;
#if CV_SIMD128
  const cv::v_float32x4 zero = cv::v_setzero_f32(), one = cv::v_setall_f32(1.0f);
  for (; i + 4 <= n; i += 4) {
    const cv::v_float32x4 ia = cv::v_min(cv::v_max(cv::v_load(a + i), zero), one);
    const cv::v_float32x4 ig = cv::v_min(cv::v_max(cv::v_load(g + i), zero), one);
    cv::v_store(o + i, one - (one - ia) * (one - ig));
  }
#endif
  for (; i < n; ++i) {
    const float ia = std::clamp(a[i], 0.0f, 1.0f), ig = std::clamp(g[i], 0.0f, 1.0f);
    o[i] = 1.0f - (1.0f - ia) * (1.0f - ig);
  }
}

void screenRows(const cv::Mat& image, const cv::Mat& glow, cv::Mat& out, int y0, int y1) {
  for (int y = y0; y < y1; ++y) screenRow(image.ptr<float>(y), glow.ptr<float>(y), out.ptr<float>(y), 3 * image.cols);
}

void screenAll(const cv::Mat& image, const cv::Mat& glow, cv::Mat& out) {
  CV_Assert(image.type() == CV_32FC3 && glow.type() == CV_32FC3 && image.size() == glow.size());
  cv::parallel_for_(cv::Range(0, image.rows),
                    [&](const cv::Range& range) { screenRows(image, glow, out, range.start, range.end); });
}

}  // namespace

cv::Mat NL_screenComposite(const cv::Mat& image, const cv::Mat& glow) {
  cv::Mat out(image.size(), CV_32FC3);
  screenAll(image, glow, out);
  return out;
}

void NL_screenCompositeInto(const cv::Mat& image, cv::Mat& glow) { screenAll(image, glow, glow); }

void NL_screenCompositeRowsInto(const cv::Mat& image, cv::Mat& glow) {
  CV_Assert(image.type() == CV_32FC3 && glow.type() == CV_32FC3 && image.size() == glow.size());
  screenRows(image, glow, glow, 0, image.rows);
}
