// Registered stacking: parallel transforms, the sky quality gate and its log,
// warping to the canvas with the local residual mesh.
#include "registration/registration.h"
#include "registration/detail/lanczos.h"

#include "synth/synth.h"
#include "truth.h"

#include <gtest/gtest.h>
#include <random>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>

using testsupport::rmsAgainstTruth;
using testsupport::sameBits;

namespace {

// ---- Synthetic frames -----------------------------------------------------

synth::FrameSettings smallFrame(cv::Size size = {560, 380}) {
  synth::FrameSettings f;
  f.size = size;
  f.noise = false;
  f.fwhm = 2.6;
  return f;
}

std::vector<synth::Star> denseSky(cv::Size size, std::uint64_t seed) {
  synth::SkySettings sky;
  sky.density = 1.6e-3;
  sky.faintestFlux = 0.8;
  return synth::makeSky(sky, cv::Rect2d(-60, -60, size.width + 120, size.height + 120), seed);
}

struct Frames {
  std::vector<cv::Mat> images;
  std::vector<cv::Matx33d> truth;  // frame -> reference
};

// Frames of one sky; frame 0 is the reference, the others through `moves`.
Frames renderedFrames(const std::vector<cv::Matx33d>& moves, std::uint64_t seed, cv::Size size = {560, 380}) {
  const synth::FrameSettings f = smallFrame(size);
  const std::vector<synth::Star> sky = denseSky(f.size, seed);
  Frames out;
  for (size_t i = 0; i < moves.size(); ++i) {
    out.images.push_back(synth::renderFrame(sky, moves[i], f, seed + i));
    out.truth.push_back(moves[i]);
  }
  return out;
}

cv::Matx33d moved(double degrees, double dx, double dy) {
  return synth::makeHomography({280, 190}, degrees, 1.0, {dx, dy});
}

struct Report {
  int percent;
  std::string title, message;
};

// ---- Plain variant ------------------------------------------------------------

// Frames rendered through known homographies come back with their matrices
// (under 0.02 px over the frame on a dense sky of about 1400 stars),
// bit-identical to registering each pair alone (the reference's stars are
// selected once and shared), with progress 42, 50, 58 for three frames.
TEST(ParallelTransforms, PlainVariantRecoversTruthWithItsProgressSteps) {
  const Frames f =
      renderedFrames({cv::Matx33d::eye(), moved(0.4, 7.5, -4.25), moved(-0.3, -11.0, 6.5)}, 21, {1120, 760});
  std::vector<cv::Mat> transforms;
  std::vector<NLStarMatchList> matches;
  double minX = 1, minY = 1, maxX = 0, maxY = 0;
  std::string error;
  std::vector<Report> reports;
  std::mutex m;
  const NLProgressCallback progress = [&](int p, const std::string& t, const std::string& msg) {
    std::lock_guard<std::mutex> lock(m);
    reports.push_back({p, t, msg});
  };
  ASSERT_TRUE(NL_computeHomographyTransformsParallel(f.images, 3000, 16.0, transforms, matches, minX, minY, maxX,
                                                     maxY, error, progress))
      << error;
  ASSERT_EQ(transforms.size(), 3u);
  EXPECT_EQ(cv::norm(transforms[0], cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0.0);
  EXPECT_TRUE(matches[0].empty());
  for (int i = 1; i < 3; ++i) {
    EXPECT_LT(rmsAgainstTruth(transforms[i], f.truth[i], f.images[i].size(), 8, 8), 0.02) << i;
    cv::Mat alone;
    NLStarMatchList aloneMatches;
    ASSERT_TRUE(NL_buildHomographyTransform(f.images[0], f.images[i], 2.5, 3000, 500, 16.0, alone, aloneMatches));
    EXPECT_TRUE(sameBits(alone, transforms[i])) << i;
    EXPECT_EQ(aloneMatches.size(), matches[i].size());
  }
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].percent, 42);
  EXPECT_EQ(reports[0].message, "Computing homography transforms.");
  EXPECT_EQ(reports[1].percent, 50);
  EXPECT_EQ(reports[1].message, "Registered frame 2 of 3.");
  EXPECT_EQ(reports[2].percent, 58);
  EXPECT_EQ(reports[2].message, "Registered frame 3 of 3.");
  for (const Report& r : reports) EXPECT_EQ(r.title, "Aligning Frames");
  // Bounds: the reference rectangle and every projected corner.
  EXPECT_LE(minX, 0.0);
  EXPECT_LE(minY, 0.0);
  EXPECT_GE(maxX, f.images[0].cols);
  EXPECT_GE(maxY, f.images[0].rows);
  EXPECT_NEAR(minX, std::min({0.0, synth::applyHomography(f.truth[2], {0, 0}).x,
                              synth::applyHomography(f.truth[2], {0, 380}).x}), 0.1);
}

TEST(ParallelTransforms, PlainVariantBoundsFailuresAndOneFrame) {
  // Every star of frame 2 sits 5 px to the right of its reference position.
  const Frames f = renderedFrames({cv::Matx33d::eye(), cv::Matx33d(1, 0, -5, 0, 1, 0, 0, 0, 1)}, 4);
  std::vector<cv::Mat> transforms;
  std::vector<NLStarMatchList> matches;
  double minX, minY, maxX, maxY;
  std::string error;
  ASSERT_TRUE(NL_computeHomographyTransformsParallel(f.images, 4500, 12.0, transforms, matches, minX, minY, maxX,
                                                     maxY, error));
  EXPECT_NEAR(transforms[1].at<double>(0, 2), -5.0, 0.05);
  EXPECT_NEAR(minX, -5.0, 0.05);
  EXPECT_NEAR(minY, 0.0, 0.05);
  EXPECT_EQ(maxX, f.images[0].cols);
  EXPECT_NEAR(maxY, f.images[0].rows, 0.05);

  // A starless frame fails the run with the lowest failing index; the others stay filled.
  std::vector<cv::Mat> withBlank = {f.images[0], f.images[1], cv::Mat(f.images[0].size(), f.images[0].type(), cv::Scalar::all(900)),
                                    cv::Mat(f.images[0].size(), f.images[0].type(), cv::Scalar::all(900))};
  EXPECT_FALSE(NL_computeHomographyTransformsParallel(withBlank, 4500, 12.0, transforms, matches, minX, minY, maxX,
                                                      maxY, error));
  EXPECT_EQ(error, "homography failed for input index 3");
  EXPECT_FALSE(transforms[1].empty());
  EXPECT_FALSE(matches[1].empty());

  int calls = 0;
  ASSERT_TRUE(NL_computeHomographyTransformsParallel({f.images[0]}, 4500, 12.0, transforms, matches, minX, minY, maxX,
                                                     maxY, error, [&](int, const std::string&, const std::string&) { ++calls; }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(cv::norm(transforms[0], cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::Vec4d(minX, minY, maxX, maxY), cv::Vec4d(0, 0, 560, 380));
  EXPECT_FALSE(NL_computeHomographyTransformsParallel({}, 4500, 12.0, transforms, matches, minX, minY, maxX, maxY, error));
  EXPECT_EQ(error, "no images loaded");
}

// ---- Robust sky variant -------------------------------------------------------

TEST(ParallelTransforms, RobustVariantAnchorsOnTheMiddleFrameAndSkipsAnUnrelatedSky) {
  const Frames f = renderedFrames({moved(0.1, 2.0, 1.0), moved(-0.1, -3.0, 2.0), cv::Matx33d::eye(),
                                   moved(0.05, 4.0, -2.5), moved(0.2, 1.5, 3.0)},
                                  31);
  std::vector<cv::Mat> frames = f.images;
  // Frame 4 shows another sky: it registers to nothing or fails the gate.
  frames[3] = synth::renderFrame(denseSky(smallFrame().size, 999), cv::Matx33d::eye(), smallFrame(), 5);
  std::vector<cv::Mat> transforms;
  std::vector<NLStarMatchList> matches;
  std::vector<unsigned char> used;
  std::string error, log;
  NLSkyRegistrationRun run;
  std::vector<int> percents;
  ASSERT_TRUE(NL_computeSkyHomographyTransformsParallelRobust(
      frames, NL_kStackRegistration, transforms, matches, used, error, log,
      [&](int p, const std::string& t, const std::string&) {
        EXPECT_EQ(t, "Creating Registered Sky Stack");
        percents.push_back(p);
      },
      &run))
      << error;
  EXPECT_EQ(run.anchor, 2);
  EXPECT_EQ(used, (std::vector<unsigned char>{1, 1, 1, 0, 1}));
  EXPECT_EQ(cv::norm(transforms[2], cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0.0);
  EXPECT_TRUE(transforms[3].empty());
  EXPECT_TRUE(matches[3].empty());
  // Frame 1's transform maps it onto the anchor: truth(anchor)^-1 * truth(1), here truth(1).
  EXPECT_LT(rmsAgainstTruth(transforms[0], f.truth[0], frames[0].size(), 8, 8), 0.08);
  EXPECT_NE(log.find("skyRegistrationAnchorFrame = 3 / 5\n"), std::string::npos);
  EXPECT_NE(log.find("skyRegistrationUsedFrames = 4 / 5\nskyRegistrationSkippedFrames = 1\n"), std::string::npos);
  EXPECT_NE(log.find("skyRegistrationFrame 3 = registration-anchor | used | mode=middle-reference\n"), std::string::npos);
  const std::string skipped = NL_formatSkyRegistrationFrameLine(3, run.frames[3], 2);
  EXPECT_EQ(skipped.rfind("skyRegistrationFrame 4 = skipped | reason=" + run.frames[3].reason + " | anchorFrame=3", 0), 0u);
  EXPECT_NE(run.frames[3].reason, "ok");
  EXPECT_NE(log.find(skipped), std::string::npos);
  std::sort(percents.begin(), percents.end());
  EXPECT_EQ(percents, (std::vector<int>{0, 25, 50, 75, 100}));
}

TEST(ParallelTransforms, RobustVariantAnchorForFewFrames) {
  const Frames f = renderedFrames({cv::Matx33d::eye(), moved(0.2, 3.0, -2.0), moved(-0.2, -2.0, 1.0), moved(0.1, 1.0, 1.0)}, 8);
  std::vector<cv::Mat> transforms;
  std::vector<NLStarMatchList> matches;
  std::vector<unsigned char> used;
  std::string error, log;
  const std::vector<std::pair<size_t, int>> counts = {{1, 0}, {2, 1}, {4, 2}};
  for (const auto& [n, anchor] : counts) {
    SCOPED_TRACE(n);
    const std::vector<cv::Mat> frames(f.images.begin(), f.images.begin() + n);
    const bool ok = NL_computeSkyHomographyTransformsParallelRobust(frames, NL_kStackRegistration, transforms, matches,
                                                                    used, error, log, {});
    EXPECT_EQ(used[anchor], 1);
    EXPECT_EQ(cv::norm(transforms[anchor], cv::Mat::eye(3, 3, CV_64F), cv::NORM_INF), 0.0);
    const std::string anchorLine = "skyRegistrationAnchorFrame = " + std::to_string(anchor + 1) + " / " + std::to_string(n) + "\n";
    EXPECT_NE(log.find(anchorLine), std::string::npos);
    if (n == 1) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(error, "robust sky registration rejected all moving frames\n" + log);
    } else {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(std::count(used.begin(), used.end(), 1), long(n));
    }
  }
}

NLAlignmentQuality goodQuality() {
  NLAlignmentQuality q;
  q.ok = true;
  q.reason = "ok";
  q.mode = "triangle-pattern";
  q.movingStars = 412;
  q.matchCount = 300;
  q.inlierCount = 250;
  q.inlierRatio = 250.0 / 300.0;
  q.averageError = 0.31;
  q.medianError = 0.27;
  q.edgeError = 0.4;
  q.cornerError = 0.5;
  return q;
}

TEST(SkyRegistrationGate, FirstFailingTestInOrderAndUnmeasuredRegions) {
  EXPECT_EQ(NL_skyRegistrationGateFailure(true, goodQuality()), "");
  const struct {
    void (*spoil)(NLAlignmentQuality&);
    const char* reason;
  } cases[] = {
      {[](NLAlignmentQuality& q) { q.inlierCount = 79; q.averageError = 2.0; }, "not enough reliable inliers"},
      {[](NLAlignmentQuality& q) { q.inlierRatio = 0.2499; q.medianError = 1.0; }, "inlier ratio too low"},
      {[](NLAlignmentQuality& q) { q.averageError = 1.1001; q.edgeError = 4.0; }, "average error too high"},
      {[](NLAlignmentQuality& q) { q.medianError = 0.86; }, "median error too high"},
      {[](NLAlignmentQuality& q) { q.edgeError = 3.51; q.cornerError = 6.0; }, "edge error too high"},
      {[](NLAlignmentQuality& q) { q.cornerError = 5.01; }, "corner error too high"},
  };
  for (const auto& c : cases) {
    NLAlignmentQuality q = goodQuality();
    c.spoil(q);
    EXPECT_EQ(NL_skyRegistrationGateFailure(true, q), c.reason);
  }
  NLAlignmentQuality edges = goodQuality();
  edges.edgeError = edges.cornerError = 9999.0;  // no matches in those regions: not held against the frame
  edges.averageError = 1.1;
  edges.medianError = 0.85;
  edges.inlierCount = 80;
  edges.inlierRatio = 0.25;
  EXPECT_EQ(NL_skyRegistrationGateFailure(true, edges), "");
  // A warning passes the registration; the gate then names its own reason.
  NLAlignmentQuality warned = goodQuality();
  warned.reason = "warning: elevated alignment error";
  warned.averageError = 7.0;
  EXPECT_EQ(NL_skyRegistrationGateFailure(true, warned), "average error too high");
  NLAlignmentQuality failed;
  failed.reason = "too few star matches";
  EXPECT_EQ(NL_skyRegistrationGateFailure(false, failed), "too few star matches");
  EXPECT_EQ(NL_skyRegistrationGateFailure(false, NLAlignmentQuality()), "ok");
}

TEST(SkyRegistrationGate, LogTextByteForByte) {
  NLSkyRegistrationRun run;
  run.anchor = 1;
  run.threads = 6;
  run.frames.resize(3);
  run.frames[0].used = true;
  run.frames[0].reason = "ok";
  run.frames[0].quality = goodQuality();
  run.frames[1].used = run.frames[1].anchor = true;
  run.frames[2].reason = "too few stars in reference frame";  // failed before matching: figures unmeasured
  EXPECT_EQ(NL_formatSkyRegistrationLog(run),
            "skyRegistrationQualityGate = on\n"
            "skyRegistrationAnchorMode = middle-reference\n"
            "skyRegistrationAnchorFrame = 2 / 3\n"
            "skyRegistrationReferenceUsage = middle frame used for star alignment; final composite still uses no "
            "reference pixels\n"
            "skyRegistrationUsedFrames = 2 / 3\n"
            "skyRegistrationSkippedFrames = 1\n"
            "skyRegistrationGateAverageErrorMax = 1.1\n"
            "skyRegistrationGateMedianErrorMax = 0.85\n"
            "skyRegistrationGateEdgeErrorMax = 3.5\n"
            "skyRegistrationGateCornerErrorMax = 5\n"
            "skyRegistrationGateInliersMin = 80\n"
            "skyRegistrationGateInlierRatioMin = 0.25\n"
            "performanceSkyRegistration = parallel middle-anchor frame alignment, threads=6\n"
            "skyRegistrationFrame 1 = used | reason=ok | anchorFrame=2 | mode=triangle-pattern | stars=412 | "
            "matches=300 | inliers=250 | ratio=0.833 | avg=0.310 | median=0.270 | edge=0.400 | corner=0.500\n"
            "skyRegistrationFrame 2 = registration-anchor | used | mode=middle-reference\n"
            "skyRegistrationFrame 3 = skipped | reason=too few stars in reference frame | anchorFrame=2 | mode= | "
            "stars=0 | matches=0 | inliers=0 | ratio=0.000 | avg=9999.000 | median=9999.000 | edge=9999.000 | "
            "corner=9999.000\n");
}

// ---- Warp and local residual mesh ---------------------------------------------

// Matches on a grid of reference positions whose moving partner sits where
// H = identity leaves the residual r.
NLStarMatchList gridMatches(int count, cv::Size size, cv::Point2d residual) {
  NLStarMatchList out;
  const int cols = std::max(1, int(std::ceil(std::sqrt(count * double(size.width) / size.height))));
  for (int i = 0; i < count; ++i) {
    NLStarCandidate ref, mov;
    ref.centerX = 5.0 + (i % cols) * (size.width - 10.0) / cols;
    ref.centerY = 5.0 + (i / cols) * (size.height - 10.0) / ((count + cols - 1) / cols);
    mov.centerX = ref.centerX - residual.x;
    mov.centerY = ref.centerY - residual.y;
    out.push_back({ref, mov});
  }
  return out;
}

const cv::Mat kIdentity = cv::Mat::eye(3, 3, CV_64F);

TEST(ResidualMesh, GainConfidenceClampAndResidualLimits) {
  const cv::Size canvas(200, 150);  // every node within reach of every star
  NLResidualMesh m = NL_estimateResidualMesh(kIdentity, gridMatches(18, canvas, {1.0, 0.0}), 200, 150, 0, 0);
  EXPECT_NEAR(m.displacement[220].x, 0.75, 1e-12);  // 18 core residuals: full confidence
  EXPECT_EQ(m.strongNodes, 441);
  m = NL_estimateResidualMesh(kIdentity, gridMatches(9, canvas, {0.0, -2.0}), 200, 150, 0, 0);
  EXPECT_NEAR(m.displacement[0].y, -0.95, 1e-12);  // c = 0.5, gain 0.475
  EXPECT_EQ(m.weakNodes, 441);
  EXPECT_EQ(m.strongNodes, 0);
  // (4.8, 6.4) x 0.75 = (3.6, 4.8), 6 px long: clamped to 4 px along the same direction.
  m = NL_estimateResidualMesh(kIdentity, gridMatches(20, canvas, {4.8, 6.4}), 200, 150, 0, 0);
  EXPECT_NEAR(m.displacement[100].x, 2.4, 1e-9);
  EXPECT_NEAR(m.displacement[100].y, 3.2, 1e-9);
  EXPECT_NEAR(m.maxShiftPx, 4.0, 1e-9);
  // A residual of exactly 8 px counts, 8.01 px does not, 0 px never.
  m = NL_estimateResidualMesh(kIdentity, gridMatches(1, canvas, {8.0, 0.0}), 200, 150, 0, 0);
  EXPECT_NEAR(m.displacement[0].x, (0.2 + 0.55 / 18.0) * 8.0, 1e-9);
  for (double r : {8.01, 0.0}) {
    m = NL_estimateResidualMesh(kIdentity, gridMatches(30, canvas, {r, 0.0}), 200, 150, 0, 0);
    EXPECT_EQ(m.weakNodes + m.strongNodes, 0);
    EXPECT_EQ(m.maxShiftPx, 0.0);
  }
  // Outliers beyond 3.6 px of the first mean leave the core.
  NLStarMatchList mixed = gridMatches(18, canvas, {0.5, 0.0});
  const NLStarMatchList wild = gridMatches(2, canvas, {7.5, 0.0});
  mixed.insert(mixed.end(), wild.begin(), wild.end());
  m = NL_estimateResidualMesh(kIdentity, mixed, 200, 150, 0, 0);
  EXPECT_LT(m.maxShiftPx, 0.5);
}

TEST(WarpToCanvas, SkipsBelowEightyMatchesAndWhenAlreadyGood) {
  const cv::Mat frame(120, 160, CV_16UC1, cv::Scalar(1000));
  cv::Mat warped, mask;
  NLLocalCorrectionStats stats;
  NL_warpFrameToCanvas(frame, kIdentity, kIdentity, 160, 120, gridMatches(79, {160, 120}, {2, 1}), 0, 0, warped,
                       mask, stats);
  EXPECT_EQ(stats.frames, 1);
  EXPECT_EQ(stats.skippedFrames, 1);
  EXPECT_EQ(stats.residualMatches, 79);
  EXPECT_EQ(stats.weakCells + stats.strongCells, 0);
  NL_warpFrameToCanvas(frame, kIdentity, kIdentity, 160, 120, gridMatches(80, {160, 120}, {2, 1}), 0, 0, warped,
                       mask, stats);
  EXPECT_EQ(stats.correctedFrames, 1);
  EXPECT_EQ(stats.strongCells, 441);
  EXPECT_NEAR(stats.maxShiftPx, 0.75 * std::hypot(2.0, 1.0), 1e-9);
  NL_warpFrameToCanvas(frame, kIdentity, kIdentity, 160, 120, gridMatches(90, {160, 120}, {0.1, 0.1}), 0, 0, warped,
                       mask, stats);
  EXPECT_EQ(stats.frames, 3);
  EXPECT_EQ(stats.skippedFrames, 2);  // mean 0.14 px everywhere: already good, no mesh estimated
  EXPECT_EQ(stats.strongCells, 441);
  EXPECT_EQ(stats.residualMatches, 79 + 80 + 90);
  EXPECT_NEAR(stats.sumMaxShiftPx, 0.75 * std::hypot(2.0, 1.0), 1e-9);
}

// Centroid of a 13 x 13 window above the mean of its border, to follow where content moved.
cv::Point2d centroidNear(const cv::Mat& image, cv::Point2d around) {
  const int x0 = int(std::lround(around.x)) - 6, y0 = int(std::lround(around.y)) - 6;
  double border = 0;
  for (int k = 0; k < 13; ++k)
    border += image.at<float>(y0, x0 + k) + image.at<float>(y0 + 12, x0 + k) + image.at<float>(y0 + k, x0) +
              image.at<float>(y0 + k, x0 + 12);
  border /= 52.0;
  double sx = 0, sy = 0, s = 0;
  for (int y = y0; y < y0 + 13; ++y)
    for (int x = x0; x < x0 + 13; ++x) {
      const double v = std::max(image.at<float>(y, x) - border, 0.0);
      sx += v * x;
      sy += v * y;
      s += v;
    }
  return {sx / s, sy / s};
}

TEST(WarpToCanvas, FieldMovesContentTowardsTheReferenceAndBandsMatchTheWhole) {
  // One bright blob; the stars say the content lies (1.2, -0.8) px short of the reference.
  cv::Mat frame(140, 180, CV_32FC1, cv::Scalar(0));
  frame.at<float>(70, 90) = 1000.0f;
  cv::GaussianBlur(frame, frame, {0, 0}, 1.5);
  const cv::Mat t = (cv::Mat_<double>(3, 3) << 1, 0, 6, 0, 1, 4, 0, 0, 1);  // canvas offset (6, 4)
  const NLStarMatchList stars = gridMatches(100, frame.size(), {1.2 / 0.75, -0.8 / 0.75});
  NLLocalCorrectionStats stats;
  const NLCanvasWarp plan = NL_planWarpToCanvas(frame.size(), kIdentity, t, 192, 150, stars, 6, 4, stats);
  ASSERT_TRUE(plan.corrected);
  cv::Mat whole, wholeMask, plain, plainMask;
  NL_renderWarpRows(plan, frame, cv::Range(0, 150), whole, wholeMask);
  NLCanvasWarp uncorrected = plan;
  uncorrected.corrected = false;
  NL_renderWarpRows(uncorrected, frame, cv::Range(0, 150), plain, plainMask);
  const cv::Point2d before = centroidNear(plain, {96, 74}), after = centroidNear(whole, {97, 73});
  EXPECT_NEAR(before.x, 96.0, 0.01);
  EXPECT_NEAR(after.x - before.x, 1.2, 0.02);
  EXPECT_NEAR(after.y - before.y, -0.8, 0.02);
  EXPECT_EQ(cv::countNonZero(plainMask), 180 * 140);
  EXPECT_EQ(plainMask.at<uchar>(3, 10), 0);
  // The one-call warp is the whole-range render; bands rendered alone give the same rows.
  cv::Mat w, m;
  NLLocalCorrectionStats again;
  NL_warpFrameToCanvas(frame, kIdentity, t, 192, 150, stars, 6, 4, w, m, again);
  EXPECT_TRUE(sameBits(w, whole));
  EXPECT_TRUE(sameBits(m, wholeMask));
  for (const NLCanvasWarp* p : {&plan, static_cast<const NLCanvasWarp*>(&uncorrected)}) {
    cv::Mat ref, refMask;
    NL_renderWarpRows(*p, frame, cv::Range(0, 150), ref, refMask);
    for (int y0 = 0; y0 < 150; y0 += 37) {
      const cv::Range rows(y0, std::min(150, y0 + 37));
      cv::Mat band, bandMask;
      NL_renderWarpRows(*p, frame, rows, band, bandMask);
      EXPECT_LE(cv::norm(band, ref.rowRange(rows), cv::NORM_INF), 1e-3) << y0;
      EXPECT_EQ(cv::norm(bandMask, refMask.rowRange(rows), cv::NORM_INF), 0.0) << y0;
    }
  }
}

// Stars of the frame with no other star bright enough to pull a centroid within 9 px.
std::vector<synth::FrameStar> isolatedStars(const synth::FrameTruth& truth, cv::Size size) {
  std::vector<synth::FrameStar> out;
  for (const synth::FrameStar& s : truth.stars) {
    if (s.flux < 2.0 || s.saturated || s.reference.x < 20 || s.reference.y < 20 ||
        s.reference.x > size.width - 21 || s.reference.y > size.height - 21)
      continue;
    const bool crowded = std::any_of(truth.stars.begin(), truth.stars.end(), [&](const synth::FrameStar& o) {
      return &o != &s && cv::norm(o.reference - s.reference) < 9.0 && o.flux > 0.02 * s.flux;
    });
    if (!crowded) out.push_back(s);
  }
  return out;
}

// Median distance between where the warped frame shows each star and its reference position.
double medianStarResidual(const NLCanvasWarp& plan, const cv::Mat& frame, const std::vector<synth::FrameStar>& stars) {
  cv::Mat warped, mask, grey;
  NL_renderWarpRows(plan, frame, cv::Range(0, plan.canvas.height), warped, mask);
  warped.convertTo(grey, CV_32F);
  cv::cvtColor(grey, grey, cv::COLOR_BGR2GRAY);
  std::vector<double> d;
  for (const synth::FrameStar& s : stars) d.push_back(cv::norm(centroidNear(grey, s.reference) - s.reference));
  std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
  return d[d.size() / 2];
}

// A barrel-distorted frame: the best homography leaves the outer stars off by
// about a pixel (median 0.96 px here); the mesh pulls them most of the way
// (0.66 px: the gain keeps at most 0.75 of what the nearby stars say).
TEST(WarpToCanvas, MeshPullsABarrelDistortedFrameOntoTheReference) {
  synth::FrameSettings f = smallFrame({1500, 1000});
  const std::vector<synth::Star> sky = denseSky(f.size, 77);
  const cv::Mat reference = synth::renderFrame(sky, cv::Matx33d::eye(), f, 1);
  f.distortion.k1 = 0.012;
  synth::FrameTruth truth;
  const cv::Mat distorted = synth::renderFrame(sky, synth::makeHomography({750, 500}, 0.15, 1.0, {3.0, -2.0}), f, 2, &truth);
  cv::Mat h;
  NLStarMatchList matches;
  ASSERT_TRUE(NL_buildHomographyTransform(reference, distorted, 2.5, 4500, 500, 12.0, h, matches));
  NLLocalCorrectionStats stats;
  const NLCanvasWarp plan = NL_planWarpToCanvas(distorted.size(), h, kIdentity, 1500, 1000, matches, 0, 0, stats);
  ASSERT_TRUE(plan.corrected);
  NLCanvasWarp plain = plan;
  plain.corrected = false;
  const std::vector<synth::FrameStar> stars = isolatedStars(truth, f.size);
  ASSERT_GT(stars.size(), 60u);
  const double before = medianStarResidual(plain, distorted, stars), after = medianStarResidual(plan, distorted, stars);
  RecordProperty("medianResidualWithoutMesh", std::to_string(before));
  RecordProperty("medianResidualWithMesh", std::to_string(after));
  EXPECT_GT(before, 0.6);
  EXPECT_LT(after, 0.8 * before);  // the gain tops out at 0.75 of a node's mean residual
  EXPECT_EQ(stats.correctedFrames, 1);
  EXPECT_GT(stats.strongCells, 300);
}

TEST(WarpToCanvas, StatisticsTextByteForByte) {
  EXPECT_EQ(NL_formatLocalCorrectionStats(NLLocalCorrectionStats()), "localCorrection = not used");
  NLLocalCorrectionStats s;
  s.frames = 4;
  s.correctedFrames = 3;
  s.skippedFrames = 1;
  s.residualMatches = 1234;
  s.strongCells = 1200;
  s.weakCells = 63;
  s.maxShiftPx = 2.34567;
  s.sumMaxShiftPx = 5.0;
  EXPECT_EQ(NL_formatLocalCorrectionStats(s),
            "localCorrection = on\nlocalCorrectionMode = adaptive\nmesh = 21 x 21\nlocalCorrectionFrames = 3 / 4\n"
            "localCorrectionSkipped = 1\nlocalCorrectionResidualMatches = 1234\nlocalCorrectionStrongCells = 1200\n"
            "localCorrectionWeakCells = 63\nlocalCorrectionMaxPx = 2.346\nlocalCorrectionAvgMaxPx = 1.250");
  s.correctedFrames = 0;
  s.skippedFrames = 4;
  EXPECT_EQ(NL_formatLocalCorrectionStats(s).rfind("localCorrection = on\n", 0), 0u);
}

}  // namespace

// ---- One star detection for every use of a frame ----------------------------

namespace {

void expectSameStars(const std::vector<NLStarCandidate>& a, const std::vector<NLStarCandidate>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].x, b[i].x);
    EXPECT_EQ(a[i].y, b[i].y);
    EXPECT_EQ(a[i].centerX, b[i].centerX);
    EXPECT_EQ(a[i].centerY, b[i].centerY);
    EXPECT_EQ(a[i].area, b[i].area);
    EXPECT_EQ(a[i].peak, b[i].peak);
    EXPECT_EQ(a[i].flux, b[i].flux);
  }
}

}  // namespace

// A rich sky, a sparse one (fewer than 300 stars above the relative level,
// so the sky-noise search runs) and a flat frame: the kept detection answers
// the quality filter's query and every registration budget exactly as
// detecting again would.
TEST(StarDetection, OneDetectionAnswersEveryQueryAsDetectingAgain) {
  synth::FrameSettings f = smallFrame({1200, 800});
  f.noise = true;
  const cv::Mat rich = synth::renderFrame(denseSky(f.size, 91), cv::Matx33d::eye(), f, 1);
  synth::SkySettings sparseSky;
  sparseSky.density = 2e-4;
  const cv::Mat sparse = synth::renderFrame(
      synth::makeSky(sparseSky, cv::Rect2d(0, 0, f.size.width, f.size.height), 92), cv::Matx33d::eye(), f, 2);
  const cv::Mat flat(f.size, CV_16UC3, cv::Scalar::all(900));
  for (const cv::Mat* image : {&rich, &sparse, &flat}) {
    const NLStarDetection d = NL_detectRegistrationStars(*image, 2.5);
    expectSameStars(NL_starCandidatesOf(d, 5000, 0), NL_findStarCandidates(*image, 2.5, 5000));
    expectSameStars(NL_starCandidatesOf(d, 6000, 300), NL_findStarCandidates(*image, 2.5, 6000, 300));
    for (int budget : {3000, 4500}) {
      const NLRegistrationSettings settings{2.5, budget, 500, 12.0};
      const NLReferenceStars own = NL_selectReferenceStars(*image, settings);
      expectSameStars(NL_selectRegistrationStars(d, budget), own.stars);
      expectSameStars(NL_selectReferenceStars(*image, d, settings).stars, own.stars);
    }
  }
  const NLStarDetection sparseDetection = NL_detectRegistrationStars(sparse, 2.5);
  EXPECT_LT(sparseDetection.relativeFound, 300);
  EXPECT_TRUE(sparseDetection.noiseSearched);
  EXPECT_FALSE(NL_detectRegistrationStars(rich, 2.5).noiseSearched);
  EXPECT_GT(NL_detectRegistrationStars(rich, 2.5).relativeFound, 300) << sparseDetection.relativeFound;
  // The grey statistics the quality filter reads: those of a whole-frame conversion.
  cv::Mat grey, value;
  cv::cvtColor(rich, grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(value, CV_32F);
  cv::Scalar mean, deviation;
  cv::meanStdDev(value, mean, deviation);
  const NLStarDetection d = NL_detectRegistrationStars(rich, 2.5);
  ASSERT_TRUE(d.hasGreyStats);
  EXPECT_EQ(d.greyMean, mean[0]);
  EXPECT_EQ(d.greyStdDev, deviation[0]);
  EXPECT_FALSE(NL_detectRegistrationStars(flat, 2.5).hasGreyStats);
  // Beyond what the detection kept it refuses rather than answer wrongly.
  EXPECT_THROW(NL_starCandidatesOf(NL_detectStars(rich, 2.5, 0, 100), 200, 0), cv::Exception);
}

// Frame pairs and the parallel transforms with the moving stars detected
// beforehand give the very fits of the image forms.
TEST(StarDetection, RegistrationsFromKeptDetectionsEqualTheImageForms) {
  const Frames f = renderedFrames({cv::Matx33d::eye(), moved(0.3, 6.0, -4.0), moved(-0.2, -9.0, 5.0)}, 93);
  std::vector<NLStarDetection> kept;
  for (const cv::Mat& image : f.images) kept.push_back(NL_detectRegistrationStars(image, 2.5));
  std::vector<const NLStarDetection*> detections;
  for (const NLStarDetection& d : kept) detections.push_back(&d);
  for (int budget : {3000, 4500}) {
    const double tolerance = budget == 3000 ? 16.0 : 12.0;
    std::vector<cv::Mat> h1, h2;
    std::vector<NLStarMatchList> m1, m2;
    double b1[4], b2[4];
    std::string e1, e2;
    ASSERT_TRUE(NL_computeHomographyTransformsParallel(f.images, budget, tolerance, h1, m1, b1[0], b1[1], b1[2], b1[3], e1));
    ASSERT_TRUE(NL_computeHomographyTransformsParallel(f.images, budget, tolerance, h2, m2, b2[0], b2[1], b2[2], b2[3],
                                                       e2, {}, &detections));
    for (size_t i = 0; i < h1.size(); ++i) {
      EXPECT_TRUE(sameBits(h1[i], h2[i])) << i;
      ASSERT_EQ(m1[i].size(), m2[i].size());
      for (size_t k = 0; k < m1[i].size(); ++k) EXPECT_EQ(NL_starPoint(m1[i][k].second), NL_starPoint(m2[i][k].second));
    }
    for (int k = 0; k < 4; ++k) EXPECT_EQ(b1[k], b2[k]);
    std::vector<cv::Size> sizes;
    for (const cv::Mat& image : f.images) sizes.push_back(image.size());
    double b3[4];
    NL_boundsOfTransforms(sizes, h1, b3[0], b3[1], b3[2], b3[3]);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(b1[k], b3[k]);
  }
  NLAlignmentQuality q1, q2;
  cv::Mat g1, g2;
  const NLReferenceStars reference = NL_selectReferenceStars(f.images[0], kept[0], NL_kStackRegistration);
  const bool ok1 = NL_buildHomographyTransformWithQuality(f.images[0], f.images[1], 2.5, 4500, 500, 12.0, g1, q1);
  const NLPairRegistration pair =
      NL_registerQualityPair(reference, f.images[1], NL_selectRegistrationStars(kept[1], 4500));
  const bool ok2 = pair.ok;
  g2 = pair.homography;
  q2 = pair.quality;
  EXPECT_TRUE(ok1);
  EXPECT_EQ(ok1, ok2);
  EXPECT_TRUE(sameBits(g1, g2));
  EXPECT_EQ(NL_formatRegistrationJson(q1, g1), NL_formatRegistrationJson(q2, g2));
}

// ---- The canvas resampler -------------------------------------------------------

// The warp's own Lanczos-4 kernel against OpenCV's: every supported depth and
// channel count, a turned and shifted frame with border and fully outside
// pixels, a pure shift and a slight turn (whole rows and runs of pixels that
// share their source rows), a reduction, and the correction's remap; within
// one unit, and rarely off at all.
// A noisy dense sky as 16-bit BGR, 8-bit BGR, 16-bit grey and 16-bit BGRA.
std::vector<cv::Mat> skyInFourFormats(cv::Size size, std::uint64_t seed) {
  synth::FrameSettings f = smallFrame(size);
  f.noise = true;
  const cv::Mat frame16 = synth::renderFrame(denseSky(f.size, seed), cv::Matx33d::eye(), f, 3);
  cv::Mat frame8, grey16, bgra16;
  frame16.convertTo(frame8, CV_8U, 1.0 / 257.0);
  cv::cvtColor(frame16, grey16, cv::COLOR_BGR2GRAY);
  cv::cvtColor(frame16, bgra16, cv::COLOR_BGR2BGRA);
  return {frame16, frame8, grey16, bgra16};
}

TEST(WarpToCanvas, LanczosKernelEqualsOpenCVWithinOneUnit) {
  const std::vector<cv::Mat> formats = skyInFourFormats({300, 200}, 95);
  const cv::Mat& frame16 = formats[0];
  const cv::Size frameSize = frame16.size();
  const std::vector<cv::Matx33d> warps{{0.9995, -0.0262, 14.3, 0.0262, 0.9995, -6.8, 2e-6, -1e-6, 1.0},
                                       {1.0, 0.0, 14.3, 0.0, 1.0, -6.8, 0.0, 0.0, 1.0},
                                       {1.0, -0.0017, 9.1, 0.0017, 1.0, 3.3, 0.0, 0.0, 1.0},
                                       {0.31, 0.0, 2.0, 0.0, 0.29, 1.0, 0.0, 0.0, 1.0}};
  const cv::Size canvas(330, 215);
  cv::Mat mapX(canvas, CV_32F), mapY(canvas, CV_32F);
  for (int y = 0; y < canvas.height; ++y)
    for (int x = 0; x < canvas.width; ++x) {
      mapX.at<float>(y, x) = float(x - 12.4 + 1.3 * std::sin(y * 0.05));
      mapY.at<float>(y, x) = float(y - 7.7 + 0.8 * std::cos(x * 0.04));
    }
  for (const cv::Mat* src : {&formats[0], &formats[1], &formats[2], &formats[3]}) {
    cv::Mat expected, actual, diff;
    ASSERT_TRUE(registration_detail::lanczosSupported(*src));
    for (const cv::Matx33d& m : warps) {
      cv::warpPerspective(*src, expected, cv::Mat(m), canvas, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT,
                          cv::Scalar::all(0));
      registration_detail::lanczosWarpPerspective(*src, actual, m, canvas);
      ASSERT_EQ(actual.type(), src->type());
      cv::absdiff(expected, actual, diff);
      EXPECT_LE(cv::norm(diff, cv::NORM_INF), 1.0) << src->type() << " " << m;
      EXPECT_LT(cv::countNonZero(diff.reshape(1)), int(diff.total() * diff.channels()) / 100);
      if (m(1, 2) < -6.0) {  // the top rows sample above the frame
        EXPECT_EQ(cv::countNonZero(actual.reshape(1).colRange(0, 8).rowRange(0, 3)), 0);
      }
    }
    cv::remap(*src, expected, mapX, mapY, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    registration_detail::lanczosRemap(*src, actual, mapX, mapY);
    cv::absdiff(expected, actual, diff);
    EXPECT_LE(cv::norm(diff, cv::NORM_INF), 1.0) << src->type();
    EXPECT_LT(cv::countNonZero(diff.reshape(1)), int(diff.total() * diff.channels()) / 100);
  }
  cv::Mat floats;
  frame16.convertTo(floats, CV_32F);
  EXPECT_FALSE(registration_detail::lanczosSupported(floats));  // left to OpenCV
  cv::Mat twoChannels(frameSize, CV_16UC2, cv::Scalar::all(5));
  EXPECT_FALSE(registration_detail::lanczosSupported(twoChannels));
}

// The warp's kernel written plainly, pixel by pixel, from the source
// positions (1/32 px) of every output pixel: the normalised window, each
// column's 8 rows summed in two chains (rows 0-3 and 4-7), the 8 weighted
// columns added in pairs (taps j and j + 4, then j and j + 2, then the two).
template <typename T>
cv::Mat plainLanczos(const cv::Mat& src, const cv::Mat& X, const cv::Mat& Y) {
  float tab[32][8] = {};
  for (int i = 0; i < 32; ++i) {
    if (i == 0) {
      tab[0][3] = 1.0f;
      continue;
    }
    float sum = 0.0f;
    for (int k = 0; k < 8; ++k) {
      const double t = i / 32.0 + 3 - k, a = CV_PI * t, b = CV_PI * t / 4.0;
      tab[i][k] = float(std::sin(a) * std::sin(b) / (a * b));
      sum += tab[i][k];
    }
    for (float& v : tab[i]) v /= sum;
  }
  const int cn = src.channels();
  cv::Mat dst(X.size(), src.type());
  for (int y = 0; y < X.rows; ++y)
    for (int x = 0; x < X.cols; ++x) {
      const int px = X.at<int>(y, x), py = Y.at<int>(y, x), sx = (px >> 5) - 3, sy = (py >> 5) - 3;
      const float *wx = tab[px & 31], *wy = tab[py & 31];
      for (int c = 0; c < cn; ++c) {
        const auto at = [&](int r, int j) {
          const int yy = sy + r, xx = sx + j;
          const bool in = yy >= 0 && yy < src.rows && xx >= 0 && xx < src.cols;
          return in ? float(src.ptr<T>(yy)[xx * cn + c]) : 0.0f;
        };
        float p[8];
        for (int j = 0; j < 8; ++j) {
          float upper = wy[0] * at(0, j);
          float lower = wy[4] * at(4, j);
          for (int r = 1; r < 4; ++r) {
            upper += wy[r] * at(r, j);
            lower += wy[r + 4] * at(r + 4, j);
          }
          p[j] = (upper + lower) * wx[j];
        }
        const float r0 = (p[0] + p[4]) + (p[2] + p[6]), r1 = (p[1] + p[5]) + (p[3] + p[7]);
        dst.ptr<T>(y)[x * cn + c] = cv::saturate_cast<T>(r0 + r1);
      }
    }
  return dst;
}

// Source positions of a perspective warp as cv::warpPerspective takes them:
// per tile of 64 columns from the tile's origin, rounded to 1/32 px.
void warpPositions(const cv::Matx33d& M, cv::Size dsize, cv::Mat& X, cv::Mat& Y) {
  cv::Matx33d inv;
  cv::invert(M, inv);
  const double* m = inv.val;
  X.create(dsize, CV_32S), Y.create(dsize, CV_32S);
  for (int y = 0; y < dsize.height; ++y)
    for (int x = 0; x < dsize.width; ++x) {
      const int x0 = x / 64 * 64, x1 = x - x0;
      const double X0 = m[0] * x0 + m[1] * y + m[2], Y0 = m[3] * x0 + m[4] * y + m[5];
      double w = m[6] * x0 + m[7] * y + m[8] + m[6] * x1;
      w = w != 0.0 ? 32.0 / w : 0.0;
      const auto clamp = [](double v) { return std::max(double(INT_MIN), std::min(double(INT_MAX), v)); };
      X.at<int>(y, x) = cvRound(clamp((X0 + m[0] * x1) * w));
      Y.at<int>(y, x) = cvRound(clamp((Y0 + m[3] * x1) * w));
    }
}

// The warp and the remap equal the plain kernel byte for byte: shared
// vertical passes across runs of pixels, four-lane column sums and the border
// taps change nothing. 8- and 16-bit, 1, 3 and 4 channels; a turn with a
// little perspective past the frame's edges, a pure shift, a reduction, and
// the correction's remap.
TEST(WarpToCanvas, LanczosKernelEqualsThePlainKernelByteForByte) {
  const std::vector<cv::Mat> formats = skyInFourFormats({150, 110}, 17);
  const std::vector<cv::Matx33d> warps{{0.9995, -0.0262, 9.3, 0.0262, 0.9995, -6.8, 2e-5, -1e-5, 1.0},
                                       {1.0, 0.0, 4.6, 0.0, 1.0, -2.3, 0.0, 0.0, 1.0},
                                       {0.45, 0.0, 2.0, 0.0, 0.41, 1.0, 0.0, 0.0, 1.0}};
  const cv::Size canvas(170, 124);
  cv::Mat mapX(canvas, CV_32F), mapY(canvas, CV_32F), X(canvas, CV_32S), Y(canvas, CV_32S);
  for (int y = 0; y < canvas.height; ++y)
    for (int x = 0; x < canvas.width; ++x) {
      mapX.at<float>(y, x) = float(x - 12.4 + 1.3 * std::sin(y * 0.05));
      mapY.at<float>(y, x) = float(y - 7.7 + 0.8 * std::cos(x * 0.04));
      X.at<int>(y, x) = cvRound(mapX.at<float>(y, x) * 32.0f);
      Y.at<int>(y, x) = cvRound(mapY.at<float>(y, x) * 32.0f);
    }
  std::vector<cv::Mat> sources = formats;
  cv::Mat grey8;
  formats[2].convertTo(grey8, CV_8U, 1.0 / 257.0);
  sources.push_back(grey8);
  const auto plain = [](const cv::Mat& src, const cv::Mat& px, const cv::Mat& py) {
    return src.depth() == CV_8U ? plainLanczos<uchar>(src, px, py) : plainLanczos<ushort>(src, px, py);
  };
  for (const cv::Mat& src : sources) {
    SCOPED_TRACE(src.type());
    cv::Mat actual, px, py;
    for (const cv::Matx33d& m : warps) {
      registration_detail::lanczosWarpPerspective(src, actual, m, canvas);
      warpPositions(m, canvas, px, py);
      EXPECT_EQ(cv::norm(actual, plain(src, px, py), cv::NORM_INF), 0.0) << m;
    }
    registration_detail::lanczosRemap(src, actual, mapX, mapY);
    EXPECT_EQ(cv::norm(actual, plain(src, X, Y), cv::NORM_INF), 0.0);
  }
}

// A colour pixel's 8 weighted column sums are added four lanes at a time:
// the bits of the plain tree of sums, for column sums as a 16- or 8-bit
// frame gives them (negative lobes, past full scale, exact halves after
// rounding) and the kernel's own weights at every 1/32 px step.
TEST(WarpToCanvas, ColourPixelsAddTheirColumnsAsThePlainTree) {
  std::mt19937 rng(321);
  std::uniform_real_distribution<float> sample(-3000.0f, 70000.0f);
  std::uniform_int_distribution<int> pick(0, 9);
  for (int trial = 0; trial < 20000; ++trial) {
    const double frac = (trial % 32) / 32.0;
    float w[8], sum = 0.0f;
    for (int k = 0; k < 8; ++k) {
      const double t = frac + 3 - k;
      w[k] = t == 0.0 ? 1.0f : float(std::sin(CV_PI * t) * std::sin(CV_PI * t / 4.0) / (CV_PI * t * CV_PI * t / 4.0));
      sum += w[k];
    }
    float wx[24], columns[24];
    for (int j = 0; j < 8; ++j)
      for (int c = 0; c < 3; ++c) {
        wx[j * 3 + c] = w[j] / sum;
        // Now and then a whole number or a half, so that sums land on rounding ties.
        const float v = sample(rng);
        columns[j * 3 + c] = pick(rng) == 0 ? std::floor(v) + 0.5f : pick(rng) == 0 ? std::floor(v) : v;
      }
    ushort wide[3], widePlain[3];
    uchar narrow[3], narrowPlain[3];
    registration_detail::lanczosAcross3(columns, wx, wide);
    registration_detail::lanczosAcross3Plain(columns, wx, widePlain);
    for (float& v : columns) v /= 257.0f;
    registration_detail::lanczosAcross3(columns, wx, narrow);
    registration_detail::lanczosAcross3Plain(columns, wx, narrowPlain);
    for (int c = 0; c < 3; ++c) {
      ASSERT_EQ(wide[c], widePlain[c]) << trial << " channel " << c;
      ASSERT_EQ(narrow[c], narrowPlain[c]) << trial << " channel " << c;
    }
  }
}

// A stack that masks a frame's ground out never reads its pixels there, so
// the warp may skip them: where wanted, every pixel and the whole validity
// mask are those of the full render, for a plain and a mesh-corrected warp,
// whole and in bands, 8- and 16-bit, 1, 3 and 4 channels; elsewhere the
// pixels are 0.
TEST(WarpToCanvas, WantedPixelsEqualTheFullRenderAndTheRestStayBlack) {
  const std::vector<cv::Mat> formats = skyInFourFormats({260, 180}, 41);
  const cv::Size frameSize = formats[0].size();
  const cv::Mat turn = (cv::Mat_<double>(3, 3) << 0.9998, -0.0175, 7.3, 0.0175, 0.9998, -3.6, 0, 0, 1);
  const cv::Mat offset = (cv::Mat_<double>(3, 3) << 1, 0, 5, 0, 1, 3, 0, 0, 1);
  const cv::Size canvas(272, 190);
  NLLocalCorrectionStats stats;
  const NLCanvasWarp corrected = NL_planWarpToCanvas(frameSize, turn, offset, canvas.width, canvas.height,
                                                     gridMatches(100, frameSize, {1.5, -1.0}), 5, 3, stats);
  ASSERT_TRUE(corrected.corrected);
  NLCanvasWarp plain = corrected;
  plain.corrected = false;
  // A horizon: sky above a wavy line, with a lake of ground inside the sky.
  cv::Mat wanted(canvas, CV_8U, cv::Scalar(0));
  for (int x = 0; x < canvas.width; ++x)
    wanted(cv::Rect(x, 0, 1, 110 + int(25 * std::sin(x * 0.05)))).setTo(255);
  cv::circle(wanted, {90, 50}, 18, cv::Scalar(0), cv::FILLED);
  const cv::Mat unwanted = wanted == 0;
  for (const cv::Mat& src : formats) {
    for (const NLCanvasWarp* plan : {static_cast<const NLCanvasWarp*>(&plain), &corrected}) {
      SCOPED_TRACE(std::to_string(src.type()) + (plan->corrected ? " corrected" : " plain"));
      cv::Mat full, fullMask, part, partMask;
      NL_renderWarpRows(*plan, src, cv::Range(0, canvas.height), full, fullMask);
      NL_renderWarpRows(*plan, src, cv::Range(0, canvas.height), part, partMask, cv::Mat(), wanted);
      EXPECT_EQ(cv::norm(partMask, fullMask, cv::NORM_INF), 0.0);
      cv::Mat expected = full.clone();
      expected.setTo(cv::Scalar::all(0), unwanted);
      EXPECT_TRUE(sameBits(part, expected));
      EXPECT_GT(cv::countNonZero(full.reshape(1)), cv::countNonZero(part.reshape(1)));
      for (int y0 = 0; y0 < canvas.height; y0 += 47) {
        const cv::Range rows(y0, std::min(canvas.height, y0 + 47));
        cv::Mat band, bandMask;
        NL_renderWarpRows(*plan, src, rows, band, bandMask, cv::Mat(), wanted.rowRange(rows));
        EXPECT_TRUE(sameBits(band, expected.rowRange(rows))) << y0;
      }
    }
  }
}
