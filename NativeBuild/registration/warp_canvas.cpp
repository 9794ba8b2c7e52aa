// Resampling a registered frame onto the stacking canvas. One homography
// cannot follow lens distortion or refraction across a wide field, so where
// the star residuals it leaves are large enough a smooth field estimated on
// a 21 x 21 mesh pulls the stars the rest of the way.
#include "registration/registration.h"

#include "registration/detail/lanczos.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kNodes = NLResidualMesh::kNodes;
constexpr int kCells = kNodes - 1;
constexpr int kMinMatches = 80;            // fewer stars cannot support a local field
constexpr double kGoodMean = 0.22;         // px: below these the frame is already good
constexpr double kGoodEdgeMean = 0.75;     // px
constexpr double kGoodCornerMean = 1.0;    // px
constexpr double kMaxResidual = 8.0;       // px: beyond this a pair is a mismatch, not distortion
constexpr double kCoreRadius = 3.6;        // px around the node's weighted mean
constexpr double kFullConfidenceStars = 18.0;
constexpr double kWeakConfidence = 0.65;
constexpr double kMaxNodeShift = 4.0;      // px
constexpr double kNegligibleShift = 0.05;  // px
// Rows warped beyond a band so its remap finds every source row it reads:
// a node moves content by at most 4 px and Lanczos-4 reaches 4 rows further.
constexpr int kBandPad = 10;

struct Residual {
  cv::Point2d reference;  // R, reference coordinates
  cv::Point2d r;          // R - H(S)
  double length;
};

std::vector<Residual> residualsOf(const cv::Mat& homography, const NLStarMatchList& matches) {
  std::vector<Residual> out;
  out.reserve(matches.size());
  for (const NLStarMatch& m : matches) {
    const cv::Point2d ref = NL_starPoint(m.first);
    const cv::Point2d r = ref - NL_projectPoint(homography, NL_starPoint(m.second));
    const double length = std::hypot(r.x, r.y);
    if (std::isfinite(length) && length > 0.0 && length <= kMaxResidual) out.push_back({ref, r, length});
  }
  return out;
}

struct WeightedResidual {
  cv::Point2d r;
  double w;
};

enum class NodeData { None, Weak, Strong };

// Near stars count most (a Gaussian plus a long Cauchy tail so sparse fields
// still reach far), large residuals less (they are likelier mismatches).
double residualWeight(double d2, double s2, double length) {
  const double distance = 0.35 / (d2 / s2 + 1.0) + 0.65 * std::exp(-d2 / (2.0 * s2));
  return distance / (0.08 * std::max(length - 1.0, 0.0) + 1.0);
}

cv::Point2d weightedMean(const std::vector<WeightedResidual>& v, double& weight, int& count,
                         const cv::Point2d* centre) {
  cv::Point2d sum(0.0, 0.0);
  weight = 0.0;
  count = 0;
  for (const WeightedResidual& e : v) {
    if (centre && std::hypot(e.r.x - centre->x, e.r.y - centre->y) > kCoreRadius) continue;
    sum += e.w * e.r;
    weight += e.w;
    ++count;
  }
  return weight > 0.0 ? sum * (1.0 / weight) : cv::Point2d(0.0, 0.0);
}

// The displacement of one node: a confidence-scaled weighted mean of the
// residuals near it, after dropping those far from the first mean.
NodeData estimateNode(const cv::Point2d& node, const std::vector<Residual>& residuals, double s2,
                      std::vector<WeightedResidual>& scratch, cv::Point2d& displacement) {
  displacement = {0.0, 0.0};
  scratch.clear();
  for (const Residual& e : residuals) {
    const cv::Point2d d = node - e.reference;
    const double d2 = d.x * d.x + d.y * d.y;
    if (d2 > 9.0 * s2) continue;
    const double w = residualWeight(d2, s2, e.length);
    if (w > 0.0001 && std::isfinite(w)) scratch.push_back({e.r, w});
  }
  if (scratch.empty()) return NodeData::None;
  double weight = 0.0;
  int count = 0;
  const cv::Point2d first = weightedMean(scratch, weight, count, nullptr);
  const cv::Point2d core = weightedMean(scratch, weight, count, &first);
  if (weight <= 0.0 || count == 0) return NodeData::None;
  const double confidence = std::min(count / kFullConfidenceStars, 1.0);
  displacement = (0.2 + 0.55 * confidence) * core;
  const double length = std::hypot(displacement.x, displacement.y);
  if (length > kMaxNodeShift) displacement *= kMaxNodeShift / length;
  return confidence < kWeakConfidence ? NodeData::Weak : NodeData::Strong;
}

double meshCoordinate(int pixel, int size) {
  return std::clamp(double(pixel) / (std::max(size, 2) - 1) * kCells, 0.0, double(kCells));
}

// Bilinear interpolation of the mesh at canvas pixel (x, y).
cv::Point2d fieldAt(const NLResidualMesh& mesh, int x, int y, cv::Size canvas) {
  const double gy = meshCoordinate(y, canvas.height), gx = meshCoordinate(x, canvas.width);
  const int i0 = int(gy), j0 = int(gx);
  const int i1 = std::min(i0, kCells - 1) + 1, j1 = std::min(j0, kCells - 1) + 1;
  const double fy = gy - i0, fx = gx - j0;
  const auto node = [&](int i, int j) { return mesh.displacement[size_t(i) * kNodes + size_t(j)]; };
  return (1 - fy) * (1 - fx) * node(i0, j0) + (1 - fy) * fx * node(i0, j1) + fy * (1 - fx) * node(i1, j0) +
         fy * fx * node(i1, j1);
}

// Canvas rows `rows` of M applied to the frame (Lanczos-4) and to an all-covering mask (nearest).
void warpRows(const cv::Mat& frame, const cv::Matx33d& toCanvas, int width, cv::Range rows, cv::Mat& warped,
              cv::Mat& mask, const cv::Mat& covered, const cv::Mat& wanted = cv::Mat()) {
  cv::Matx33d m = toCanvas;
  if (rows.start != 0) m = cv::Matx33d(1, 0, 0, 0, 1, -rows.start, 0, 0, 1) * toCanvas;
  const cv::Size size(width, rows.size());
  if (registration_detail::lanczosSupported(frame))
    registration_detail::lanczosWarpPerspective(frame, warped, m, size, wanted);
  else
    cv::warpPerspective(frame, warped, cv::Mat(m), size, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  cv::warpPerspective(covered, mask, cv::Mat(m), size, cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
}

// Maps of canvas rows `rows` reading a warped band that starts at canvas row sourceStart.
void correctionMaps(const NLResidualMesh& mesh, cv::Size canvas, cv::Range rows, int sourceStart, cv::Mat& mapX,
                    cv::Mat& mapY) {
  mapX.create(rows.size(), canvas.width, CV_32F);
  mapY.create(rows.size(), canvas.width, CV_32F);
  cv::parallel_for_(cv::Range(rows.start, rows.end), [&](const cv::Range& band) {
    for (int y = band.start; y < band.end; ++y) {
      float* mx = mapX.ptr<float>(y - rows.start);
      float* my = mapY.ptr<float>(y - rows.start);
      for (int x = 0; x < canvas.width; ++x) {
        const cv::Point2d d = fieldAt(mesh, x, y, canvas);
        mx[x] = float(x - d.x);
        // Rounded on canvas coordinates first, so a band samples exactly where the whole canvas does.
        my[x] = float(y - d.y) - float(sourceStart);
      }
    }
  });
}

void countFrame(NLLocalCorrectionStats& stats, size_t matches, bool corrected, double maxShift) {
  stats.frames += 1;
  stats.correctedFrames += corrected ? 1 : 0;
  stats.skippedFrames += corrected ? 0 : 1;
  stats.residualMatches += int(matches);
  stats.maxShiftPx = std::max(stats.maxShiftPx, maxShift);
  stats.sumMaxShiftPx += maxShift;
}

bool alreadyGood(const cv::Mat& homography, const NLStarMatchList& matches, int width, int height) {
  const NLAlignmentErrorStats e = NL_computeAlignmentErrorStats(homography, matches, width, height);
  return e.mean < kGoodMean && e.edgeMean < kGoodEdgeMean && e.cornerMean < kGoodCornerMean;
}

}  // namespace

NLResidualMesh NL_estimateResidualMesh(const cv::Mat& homography, const NLStarMatchList& matches, int canvasWidth,
                                       int canvasHeight, int offX, int offY) {
  NLResidualMesh mesh;
  mesh.displacement.assign(size_t(kNodes) * kNodes, cv::Point2d(0.0, 0.0));
  const std::vector<Residual> residuals = residualsOf(homography, matches);
  const double sigma = std::max(std::max(canvasWidth, canvasHeight) / 10.0, 220.0);
  std::vector<WeightedResidual> scratch;
  scratch.reserve(residuals.size());
  for (int gy = 0; gy < kNodes; ++gy) {
    for (int gx = 0; gx < kNodes; ++gx) {
      const cv::Point2d node(double(gx) / kCells * (canvasWidth - 1) - offX,
                             double(gy) / kCells * (canvasHeight - 1) - offY);
      cv::Point2d& d = mesh.displacement[size_t(gy) * kNodes + size_t(gx)];
      const NodeData data = estimateNode(node, residuals, sigma * sigma, scratch, d);
      mesh.strongNodes += data == NodeData::Strong ? 1 : 0;
      mesh.weakNodes += data == NodeData::Weak ? 1 : 0;
      mesh.maxShiftPx = std::max(mesh.maxShiftPx, std::hypot(d.x, d.y));
    }
  }
  return mesh;
}

NLCanvasWarp NL_planWarpToCanvas(cv::Size frameSize, const cv::Mat& homography, const cv::Mat& canvasTransform,
                                 int canvasWidth, int canvasHeight, const NLStarMatchList& matches, int offX,
                                 int offY, NLLocalCorrectionStats& stats) {
  CV_Assert(homography.rows == 3 && homography.cols == 3 && canvasTransform.rows == 3 && canvasTransform.cols == 3);
  NLCanvasWarp plan;
  plan.toCanvas = cv::Matx33d(canvasTransform) * cv::Matx33d(homography);
  plan.canvas = cv::Size(std::max(canvasWidth, 0), std::max(canvasHeight, 0));
  plan.frameSize = frameSize;
  const bool considered = !frameSize.empty() && !homography.empty() && matches.size() >= size_t(kMinMatches) &&
                          canvasWidth >= 1 && canvasHeight >= 1;
  if (!considered || alreadyGood(homography, matches, canvasWidth, canvasHeight)) {
    countFrame(stats, matches.size(), false, 0.0);
    return plan;
  }
  NLResidualMesh mesh = NL_estimateResidualMesh(homography, matches, canvasWidth, canvasHeight, offX, offY);
  stats.strongCells += mesh.strongNodes;
  stats.weakCells += mesh.weakNodes;
  plan.corrected = mesh.maxShiftPx >= kNegligibleShift;
  countFrame(stats, matches.size(), plan.corrected, mesh.maxShiftPx);
  if (plan.corrected) plan.mesh = std::move(mesh);
  return plan;
}

void NL_renderWarpRows(const NLCanvasWarp& plan, const cv::Mat& frame, cv::Range rows, cv::Mat& warped,
                       cv::Mat& mask, const cv::Mat& covered, const cv::Mat& wanted) {
  CV_Assert(rows.start >= 0 && rows.end <= plan.canvas.height && rows.start <= rows.end);
  if (frame.empty() || plan.canvas.empty() || rows.size() == 0) {
    warped = frame.empty() ? cv::Mat() : cv::Mat::zeros(rows.size(), plan.canvas.width, frame.type());
    mask = cv::Mat::zeros(rows.size(), plan.canvas.width, CV_8U);
    return;
  }
  // The mask is the warp of an all-covering frame; callers rendering many
  // bands keep one instead of filling a frame-sized image for every band.
  cv::Mat own;
  if (covered.size() != frame.size() || covered.type() != CV_8UC1) own = cv::Mat(frame.size(), CV_8UC1, cv::Scalar(255));
  const cv::Mat& all = own.empty() ? covered : own;
  // Pixels the caller does not want are left 0 by the Lanczos paths only.
  const bool fits = wanted.type() == CV_8UC1 && wanted.size() == cv::Size(plan.canvas.width, rows.size());
  const cv::Mat want = fits ? wanted : cv::Mat();
  if (!plan.corrected) return warpRows(frame, plan.toCanvas, plan.canvas.width, rows, warped, mask, all, want);
  const cv::Range source(std::max(0, rows.start - kBandPad), std::min(plan.canvas.height, rows.end + kBandPad));
  cv::Mat sourceWarped, sourceMask, mapX, mapY;
  warpRows(frame, plan.toCanvas, plan.canvas.width, source, sourceWarped, sourceMask, all);
  correctionMaps(plan.mesh, plan.canvas, rows, source.start, mapX, mapY);
  if (registration_detail::lanczosSupported(sourceWarped))
    registration_detail::lanczosRemap(sourceWarped, warped, mapX, mapY, want);
  else
    cv::remap(sourceWarped, warped, mapX, mapY, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  cv::remap(sourceMask, mask, mapX, mapY, cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
}

void NL_warpFrameToCanvas(const cv::Mat& frame, const cv::Mat& homography, const cv::Mat& canvasTransform,
                          int canvasWidth, int canvasHeight, const NLStarMatchList& matches, int offX, int offY,
                          cv::Mat& warped, cv::Mat& mask, NLLocalCorrectionStats& stats) {
  const NLCanvasWarp plan = NL_planWarpToCanvas(frame.size(), homography, canvasTransform, canvasWidth,
                                                canvasHeight, matches, offX, offY, stats);
  NL_renderWarpRows(plan, frame, cv::Range(0, plan.canvas.height), warped, mask);
}
