#include "registration/registration.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <random>

namespace {

NLStarCandidate star(double x, double y, int peak = 100) {
  NLStarCandidate s;
  s.x = int(std::lround(x));
  s.y = int(std::lround(y));
  s.centerX = x;
  s.centerY = y;
  s.area = 9;
  s.peak = peak;
  return s;
}

// Random star field, peaks descending so list order is brightness order.
std::vector<NLStarCandidate> field(int count, int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(5.0, width - 5.0), uy(5.0, height - 5.0);
  std::vector<NLStarCandidate> stars;
  for (int i = 0; i < count; ++i) stars.push_back(star(ux(rng), uy(rng), 255 - i * 200 / count));
  return stars;
}

// Moving-frame list of a reference list seen through frameToReference (inverse applied).
std::vector<NLStarCandidate> through(const std::vector<NLStarCandidate>& ref, const cv::Matx33d& frameToReference) {
  const cv::Matx33d inv = frameToReference.inv();
  std::vector<NLStarCandidate> out;
  for (const NLStarCandidate& s : ref) {
    const cv::Vec3d p = inv * cv::Vec3d(s.centerX, s.centerY, 1.0);
    NLStarCandidate m = star(p[0] / p[2], p[1] / p[2], s.peak);
    out.push_back(m);
  }
  return out;
}

cv::Matx33d similarity(double degrees, double dx, double dy, cv::Point2d c) {
  const double a = degrees * CV_PI / 180.0, co = std::cos(a), si = std::sin(a);
  return {co, -si, c.x - co * c.x + si * c.y + dx, si, co, c.y - si * c.x - co * c.y + dy, 0, 0, 1};
}

double maxMatrixDiff(const cv::Mat& a, const cv::Matx33d& b, int w, int h) {
  double worst = 0.0;
  for (int y = 0; y <= h; y += h / 4)
    for (int x = 0; x <= w; x += w / 4) {
      const cv::Point2d p = NL_projectPoint(a, {double(x), double(y)});
      const cv::Vec3d q = b * cv::Vec3d(x, y, 1.0);
      worst = std::max(worst, std::hypot(p.x - q[0] / q[2], p.y - q[1] / q[2]));
    }
  return worst;
}

cv::Mat blackFrame(int w = 64, int h = 48) { return cv::Mat(h, w, CV_8UC1, cv::Scalar(10)); }

}  // namespace

TEST(StarCandidates, StarPointRuleAndGridCaps) {
  NLStarCandidate s = star(0.0, 7.25);
  s.x = 3;
  EXPECT_EQ(NL_starPoint(s), cv::Point2d(3.0, 7.25));
  s.centerX = 4.5;
  s.centerY = 0.0;
  s.y = 9;
  EXPECT_EQ(NL_starPoint(s), cv::Point2d(4.5, 9.0));

  std::vector<NLStarCandidate> corner;
  for (int i = 0; i < 1000; ++i) corner.push_back(star(i % 100, i / 100, 255 - i / 4));
  EXPECT_EQ(NL_selectGridBalancedStars(corner, 1000, 1000, 500).size(), 180u);
  EXPECT_EQ(NL_selectGridBalancedStars(corner, 1000, 1000, 0).size(), 180u);
  EXPECT_EQ(NL_selectGridBalancedStars(corner, 1000, 1000, 50).size(), 50u);
  EXPECT_TRUE(NL_selectGridBalancedStars(corner, 0, 1000, 50).empty());
  // x equal to the width falls into the last column, not a sixth one.
  std::vector<NLStarCandidate> edge(200, star(1000, 500));
  EXPECT_EQ(NL_selectGridBalancedStars(edge, 1000, 1000, 0).size(), 180u);
}

TEST(Homography, DltExactPlausibilityAndProjection) {
  const cv::Matx33d truth(1.01, 0.02, 5.0, -0.015, 0.99, -3.0, 1e-6, -2e-6, 1.0);
  NLStarMatchList pairs;
  const cv::Point2d moving[4] = {{10, 20}, {900, 40}, {850, 700}, {30, 650}};
  for (const cv::Point2d& m : moving) {
    const cv::Vec3d r = truth * cv::Vec3d(m.x, m.y, 1.0);
    pairs.emplace_back(star(r[0] / r[2], r[1] / r[2]), star(m.x, m.y));
  }
  cv::Mat h;
  ASSERT_TRUE(NL_estimateHomographyDLT(pairs, h));
  EXPECT_LT(maxMatrixDiff(h, truth, 1000, 800), 1e-6);  // asymmetric: a transpose would fail
  int inliers = 0;
  ASSERT_TRUE(NL_estimateHomographyWithInliers(pairs, h, 1.0, inliers));
  EXPECT_EQ(inliers, 4);
  EXPECT_FALSE(NL_estimateHomographyDLT(NLStarMatchList(pairs.begin(), pairs.begin() + 3), h));

  std::string msg;
  cv::Mat eye = cv::Mat::eye(3, 3, CV_64F);
  EXPECT_TRUE(NL_isHomographyPlausible(eye, 4000, 3000, msg));
  EXPECT_EQ(msg, "ok");
  cv::Mat half = eye * 0.5;
  half.at<double>(2, 2) = 1.0;
  EXPECT_FALSE(NL_isHomographyPlausible(half, 4000, 3000, msg));
  EXPECT_EQ(msg, "homography area ratio out of range");
  cv::Mat big = eye * 1.7;
  big.at<double>(2, 2) = 1.0;
  EXPECT_TRUE(NL_isHomographyPlausible(big, 4000, 3000, msg));
  EXPECT_FALSE(NL_isHomographyPlausible(cv::Mat(), 10, 10, msg));
  EXPECT_EQ(msg, "invalid homography matrix");
  cv::Mat nan = eye.clone();
  nan.at<double>(0, 1) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(NL_isHomographyPlausible(nan, 10, 10, msg));
  EXPECT_EQ(msg, "homography contains non-finite value");
  cv::Mat flat = cv::Mat::zeros(3, 3, CV_64F);
  flat.at<double>(2, 2) = 1.0;
  EXPECT_FALSE(NL_isHomographyPlausible(flat, 10, 10, msg));
  EXPECT_EQ(msg, "homography collapsed image area");
  // w exactly 0: no division.
  cv::Mat w0 = eye.clone();
  w0.at<double>(2, 2) = 0.0;
  w0.at<double>(2, 0) = 1.0;
  EXPECT_EQ(NL_projectPoint(w0, {0.0, 5.0}), cv::Point2d(0.0, 5.0));
}

TEST(Homography, NanPairsAndRegionStatistics) {
  NLStarMatchList pairs;
  for (int i = 0; i < 10; ++i) pairs.emplace_back(star(500 + i, 400 + i), star(500 + i, 400 + i));
  pairs.emplace_back(star(std::numeric_limits<double>::quiet_NaN(), 5), star(3, 5));
  cv::Mat eye = cv::Mat::eye(3, 3, CV_64F);
  EXPECT_EQ(NL_filterMatchesByReprojectionError(pairs, eye, 1.0).size(), 10u);
  EXPECT_EQ(NL_computeAverageReprojectionError(eye, pairs), 0.0);
  EXPECT_EQ(NL_computeAverageReprojectionError(eye, {}), 9999.0);
  NLAlignmentErrorStats s = NL_computeAlignmentErrorStats(eye, pairs, 1000, 800);
  EXPECT_EQ(s.mean, 0.0);
  EXPECT_EQ(s.centerMean, 0.0);
  EXPECT_EQ(s.edgeMean, 9999.0);
  EXPECT_EQ(s.cornerMean, 9999.0);
  // Known errors per region: corner (10,10) off by 3, edge (500,10) off by 1, centre off by 2 and 4.
  NLStarMatchList known = {{star(10, 10), star(13, 10)},
                           {star(500, 10), star(501, 10)},
                           {star(500, 400), star(502, 400)},
                           {star(510, 400), star(514, 400)}};
  s = NL_computeAlignmentErrorStats(eye, known, 1000, 800);
  EXPECT_DOUBLE_EQ(s.mean, 2.5);
  EXPECT_DOUBLE_EQ(s.median, 2.5);
  EXPECT_DOUBLE_EQ(s.max, 4.0);
  EXPECT_DOUBLE_EQ(s.cornerMean, 3.0);
  EXPECT_DOUBLE_EQ(s.edgeMean, 1.0);
  EXPECT_DOUBLE_EQ(s.centerMean, 3.0);
}

TEST(Attempts, ShiftVoteSignTieAndGreedyAssignment) {
  std::vector<NLStarCandidate> ref = field(60, 800, 600, 3), mov;
  for (const NLStarCandidate& s : ref) mov.push_back(star(s.centerX - 7, s.centerY + 3, s.peak));
  NLRegistrationAttempt a = NL_buildBestRegistrationAttempt(ref, mov, 10, 4.0);
  ASSERT_TRUE(a.valid);
  EXPECT_EQ(a.mode, "shift");
  EXPECT_EQ(a.matches.size(), 60u);
  EXPECT_NEAR(a.homography.at<double>(0, 2), 7.0, 1e-6);
  EXPECT_NEAR(a.homography.at<double>(1, 2), -3.0, 1e-6);

  // Greedy: the first moving star takes the nearest reference star even when a later one is closer.
  std::vector<NLStarCandidate> r2 = {star(10, 10), star(14, 10)};
  std::vector<NLStarCandidate> m2 = {star(11, 10), star(10.2, 10)};
  cv::Mat eye23 = (cv::Mat_<double>(2, 3) << 1, 0, 0, 0, 1, 0);
  NLStarMatchList g = NL_matchStarsByAffineSeed(r2, m2, eye23, 5.0);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0].first.x, 10);
  EXPECT_EQ(g[1].first.x, 14);
  EXPECT_EQ(NL_matchStarsByAffineSeed(r2, m2, eye23, 3.0).size(), 1u);
}

TEST(Attempts, RotationNeedsPatternStages) {
  const std::vector<NLStarCandidate> ref = field(400, 1600, 1200, 11);
  // A few degrees of rotation: no single integer shift fits many stars.
  const cv::Matx33d truth = similarity(4.0, 12.0, -8.0, {800, 600});
  NLRegistrationAttempt a = NL_buildBestRegistrationAttempt(ref, through(ref, truth), 500, 12.0);
  ASSERT_TRUE(a.valid);
  EXPECT_NE(a.mode, "shift");
  EXPECT_GT(a.matches.size(), 300u);
  EXPECT_LT(maxMatrixDiff(a.homography, truth, 1600, 1200), 1e-3);

  // Too few stars for any pattern: the shift attempt stays and is not valid.
  const std::vector<NLStarCandidate> few = field(10, 1600, 1200, 4);
  EXPECT_FALSE(NL_buildBestRegistrationAttempt(few, through(few, truth), 500, 12.0).valid);
  EXPECT_TRUE(NL_buildTrianglePatterns(std::vector<NLStarCandidate>(few.begin(), few.begin() + 2)).empty());
  EXPECT_TRUE(NL_buildQuadPatterns(std::vector<NLStarCandidate>(few.begin(), few.begin() + 3)).empty());
}

TEST(Attempts, EvaluationNeedsTwentyFiveMatches) {
  const std::vector<NLStarCandidate> ref = field(24, 800, 600, 5);
  NLStarMatchList pairs;
  for (const NLStarCandidate& s : ref) pairs.emplace_back(s, s);
  EXPECT_FALSE(NL_evaluateRegistrationAttempt("shift", pairs).valid);
  pairs.emplace_back(star(1, 2), star(1, 2));
  const NLRegistrationAttempt a = NL_evaluateRegistrationAttempt("shift", pairs);
  EXPECT_TRUE(a.valid);
  EXPECT_EQ(a.inlierCount, 25);
  EXPECT_NEAR(a.meanError, 0.0, 1e-6);
}

TEST(FramePair, QualityReasonsOnDrawnFrames) {
  cv::Mat h;
  NLAlignmentQuality q;
  q.frameIndex = 5;
  EXPECT_FALSE(NL_buildHomographyTransformWithQuality(blackFrame(), blackFrame(), 2.5, 4500, 500, 12.0, h, q));
  EXPECT_EQ(q.reason, "too few stars in reference frame");
  EXPECT_EQ(q.frameIndex, 0);
  EXPECT_TRUE(h.empty());

  // A drawn field of 300 soft stars shifted by (6, -4).
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> ux(20, 620), uy(20, 460);
  cv::Mat ref = cv::Mat::zeros(480, 640, CV_8UC1), mov = ref.clone();
  for (int i = 0; i < 300; ++i) {
    const cv::Point p(int(ux(rng)), int(uy(rng)));
    cv::circle(ref, p, 1, cv::Scalar(200), -1);
    cv::circle(mov, p - cv::Point(6, -4), 1, cv::Scalar(200), -1);
  }
  cv::GaussianBlur(ref, ref, cv::Size(5, 5), 1.0);
  cv::GaussianBlur(mov, mov, cv::Size(5, 5), 1.0);
  NLStarMatchList inliers;
  ASSERT_TRUE(NL_buildHomographyTransformWithQuality(ref, mov, 2.5, 4500, 500, 12.0, h, q, &inliers));
  EXPECT_EQ(q.reason, "ok");
  EXPECT_GT(q.matchCount, 200);
  EXPECT_NEAR(h.at<double>(0, 2), 6.0, 0.05);
  EXPECT_NEAR(h.at<double>(1, 2), -4.0, 0.05);
  EXPECT_FALSE(inliers.empty());
  NLStarMatchList plain;
  cv::Mat hp;
  EXPECT_TRUE(NL_buildHomographyTransform(ref, mov, 2.5, 4500, 500, 12.0, hp, plain));
  EXPECT_LT(cv::norm(hp, h, cv::NORM_INF), 1e-12);
}

TEST(Report, JsonBytes) {
  NLAlignmentQuality q;
  q.ok = true;
  q.reason = "warning: elevated alignment error";
  q.mode = "shift";
  q.referenceStars = 100;
  q.movingStars = 90;
  q.matchCount = 80;
  q.inlierCount = 70;
  q.inlierRatio = 0.875;
  q.averageError = 7.0;
  q.medianError = 0.1;
  const cv::Mat h = (cv::Mat_<double>(3, 3) << 1, 2, 3.5, 4, 5, 6, 7, 8, 1);
  EXPECT_EQ(NL_formatRegistrationJson(q, h),
            "{\"ok\":true,\"reason\":\"warning: elevated alignment error\",\"mode\":\"shift\","
            "\"referenceStars\":100,\"movingStars\":90,\"matchCount\":80,\"inlierCount\":70,"
            "\"inlierRatio\":0.875,\"averageError\":7,\"medianError\":0.10000000000000001,\"maxError\":9999,"
            "\"centerError\":9999,\"edgeError\":9999,\"cornerError\":9999,"
            "\"homography\":[1,2,3.5,4,5,6,7,8,1]}");
  EXPECT_NE(NL_formatRegistrationJson(NLAlignmentQuality(), cv::Mat()).find("\"homography\":null"),
            std::string::npos);
}
