// Star Trail streaks: flag levels referenced to the sky's noise, whole
// aircraft, on synthetic skies of known streaks.
#include "startrail/startrail.h"
#include "startrail/detail/neighbour_views.h"
#include "startrail/detail/line_search.h"

#include "opencv_setup.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using testsupport::TempDir;
using testsupport::writeFile;

struct JobRun {
  std::string log;
  cv::Mat result;
};

// Writes the frames (uncompressed TIFF) and a job with the extra keys, runs it.
JobRun runJob(const TempDir& dir, const std::vector<cv::Mat>& frames, const std::string& extra) {
  std::string inputs;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string path = dir.file("frame" + std::to_string(i) + ".tif");
    EXPECT_TRUE(cv::imwrite(path, frames[i], {cv::IMWRITE_TIFF_COMPRESSION, 1}));
    inputs += (i ? ", {\"path\": \"" : "{\"path\": \"") + path + "\"}";
  }
  const std::string job = dir.file("startrail_job_native.json");
  writeFile(job, "{\"inputs\": [" + inputs + "], \"output\": \"" + dir.file("trail.tif") + "\"" + extra + "}");
  JobRun r;
  r.log = NL_runStarTrailNativeJob(job, 2);
  r.result = cv::imread(dir.file("trail.tif"), -1);
  return r;
}

// The sky users measured, small: stars drawn as exposure arcs about a pole
// above the frame, sky noise about 26 ADU in 16 bits.
synth::TrailSettings measuredSky(int bits, std::uint64_t seed) {
  synth::TrailSettings s;
  s.size = {720, 480};
  s.frames = 9;
  s.bits = bits;
  s.seed = seed;
  s.sky.density = 5.0e-4;
  s.fullWell = 125000.0;
  if (bits == 8) {  // an editor's 8-bit export of a light-polluted sky
    s.sky = synth::sparseSky();
    s.sky.density = 4.0e-4;
    s.sky.planets = 0;
    s.skyLevel = 0.15;
    s.fullWell = 20000.0;
  }
  s.satelliteFrames = {};
  s.aircraftFrames = {};
  return s;
}

// Satellites of 2-20 % of full scale, 2-4 px wide, a fifth fainter at one end.
void measuredSatellites(synth::TrailSettings& s, std::vector<int> frames) {
  s.satelliteFrames = std::move(frames);
  s.satellitePeakMin = 0.02;
  s.satellitePeakMax = 0.2;
  s.satelliteWidthMin = 2.0;
  s.satelliteWidthMax = 4.0;
  s.satelliteVariation = 0.2;
}

// An aircraft over three frames from `first`: strobes every 25-55 px over a
// line of trailPeak (full scale).
void measuredAircraft(synth::TrailSettings& s, int first, double trailPeak, double strobePeak) {
  s.aircraftFrames = {first};
  s.aircraftFrameSpan = 3;
  s.aircraftTrailPeak = trailPeak;
  s.aircraftDotPeak = strobePeak;
  s.aircraftSpacingMin = 25.0;
  s.aircraftSpacingMax = 55.0;
}

// A level well above either depth's noise, for the figures.
double levelFor(int bits) { return bits == 8 ? 4.0 / 255.0 : 0.004; }

class FaintSatellites : public ::testing::TestWithParam<int> {};

// Satellites from 2 % to 20 % of full scale, 2-4 px wide and a fifth
// fainter at one end, in the first, a middle and the last frame: the fixed
// share of full scale alone leaves the fainter ones; referenced to the sky's
// noise all of them go, and the star trails stay.
TEST_P(FaintSatellites, GoWhateverTheirShareOfFullScale) {
  TempDir dir;
  synth::TrailSettings s = measuredSky(GetParam(), 11);
  measuredSatellites(s, {0, 4, 8});
  const synth::Scene scene = synth::makeTrailScene(s);
  ASSERT_EQ(scene.trails.size(), 3u);
  const JobRun r = runJob(dir, scene.frames, "");
  ASSERT_NE(r.log.find("status=success"), std::string::npos) << r.log;
  const synth::StreakFigures f = synth::streakFigures(scene, r.result, levelFor(s.bits));
  EXPECT_LT(f.satelliteLeft, 0.01);
  EXPECT_LT(f.starsLost, 0.005);
}

INSTANTIATE_TEST_SUITE_P(Depths, FaintSatellites, ::testing::Values(8, 16));

// An aircraft over three consecutive frames: strobes 25-55 px apart over a
// line a few hundred ADU bright. The strobes alone used to go; the line
// between them goes with them now.
TEST(StarTrailStreaks, TheWholeAircraftGoesOverThreeFrames) {
  TempDir dir;
  synth::TrailSettings s = measuredSky(16, 12);
  measuredAircraft(s, 3, 0.008, 0.25);
  const synth::Scene scene = synth::makeTrailScene(s);
  ASSERT_EQ(scene.trails.size(), 3u);
  const JobRun r = runJob(dir, scene.frames, "");
  ASSERT_NE(r.log.find("status=success"), std::string::npos) << r.log;
  // The line's pixels: visible at a level twice the noise figure's own.
  const synth::StreakFigures f = synth::streakFigures(scene, r.result, 0.002);
  EXPECT_LT(f.aircraftLeft, 0.05);
  EXPECT_LT(f.starsLost, 0.005);
}

// A dense field whose stars twinkle more the lower they stand, and no
// streak: neither the twinkling nor the residue of registered stars may
// pass as a trail, at any preset.
TEST(StarTrailStreaks, TwinklingDenseFieldNearTheHorizonLosesNothing) {
  TempDir dir;
  synth::TrailSettings s = measuredSky(16, 13);
  s.sky.density = 2.5e-3;
  s.twinkle = 0.35;
  s.groundFraction = 0.15;
  const synth::Scene scene = synth::makeTrailScene(s);
  for (const char* mode : {"low", "medium"}) {
    const JobRun r = runJob(dir, scene.frames, std::string(", \"rejectionMode\": \"") + mode + "\"");
    ASSERT_NE(r.log.find("status=success"), std::string::npos) << r.log;
    const synth::StreakFigures f = synth::streakFigures(scene, r.result, 0.004);
    EXPECT_LT(f.starsLost, 0.005) << mode;
  }
}

// Frame, neighbours and levels on a grid: Gaussian sky noise of a known sd,
// twice as strong in the right half.
TEST(StarTrailStreaks, FlagLevelsFollowTheSkysNoiseAndNeverExceedTheThreshold) {
  const cv::Size size(384, 192);
  std::mt19937 rng(5);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const auto sky = [&] {
    cv::Mat m(size, CV_32F);
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x) m.at<float>(y, x) = 3000.0f + (x < 192 ? 20.0f : 40.0f) * normal(rng);
    return m;
  };
  const cv::Mat frame = sky();
  std::vector<cv::Mat> planes;
  std::vector<startrail_detail::NeighbourView> views;
  for (int k = 0; k < 4; ++k) planes.push_back(sky());
  for (const cv::Mat& p : planes) {
    startrail_detail::NeighbourView v;
    v.plane = &p;
    views.push_back(v);
  }
  const double threshold = 7373.0;
  const startrail_detail::FlagLevels levels(frame, views, threshold, 5.0, 0.5, 0.75);
  // frame minus the median of four: sd about 1.16 times the sky's
  EXPECT_NEAR(levels.noise(40, 100), 1.16 * 20.0, 0.15 * 20.0);
  EXPECT_NEAR(levels.noise(340, 100), 1.16 * 40.0, 0.15 * 40.0);
  const double tileSky = levels.sky(40, 100);
  EXPECT_NEAR(tileSky, 3000.0, 5.0);
  EXPECT_NEAR(levels.level(40, 100, tileSky), 5.0 * levels.noise(40, 100), 1e-9);
  EXPECT_NEAR(levels.level(40, 100, tileSky - 100.0), 5.0 * levels.noise(40, 100), 1e-9);  // a darker median adds nothing
  // a star in the neighbours raises the level by a share of its height
  EXPECT_NEAR(levels.level(40, 100, tileSky + 2000.0) - levels.level(40, 100, tileSky), 0.5 * 2000.0, 1e-9);
  for (int y = 0; y < size.height; y += 7)
    for (int x = 0; x < size.width; x += 7) {
      EXPECT_LE(levels.gate(x, y), threshold);
      EXPECT_LE(levels.level(x, y, 60000.0), threshold);
    }
  // a noiseless sky is never taken as having less than one step of noise
  const cv::Mat flat(size, CV_32F, cv::Scalar(100.0f));
  std::vector<startrail_detail::NeighbourView> flatViews(4);
  for (auto& v : flatViews) v.plane = &flat;
  EXPECT_EQ(startrail_detail::FlagLevels(flat, flatViews, 50.0, 5.0, 0.5, 0.75).noise(10, 10), 0.75);
  EXPECT_EQ(startrail_detail::FlagLevels(threshold).level(10, 10, 123.0), threshold);
}

// The tiles' levels, their neighbours read one at a time along each sampled
// row, are those of a plain reference that takes the median of every
// sampled pixel alone: every tenth pixel of every tenth row from the fifth,
// black samples not voting, scatter as 1.4826 median absolute deviations
// (at least the minimum), sky the median of the medians, gate the tenth
// part of them plus the level; a tile with fewer than 20 votes takes the
// measured tiles' typical scatter and no sky. Three, four and five
// neighbours, some moved and black off their grid, a frame of odd size
// whose last tiles are partial, a corner where no neighbour votes.
TEST(StarTrailStreaks, TileLevelsAsAPlainPerPixelReference) {
  std::mt19937 rng(23);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const cv::Size size(301, 211);
  const auto plane = [&](float base) {
    cv::Mat m(size, CV_32F);
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x)
        m.at<float>(y, x) = (x > 250 && y > 160) ? 0.0f : base + 3.0f * x + (x < 150 ? 15.0f : 35.0f) * normal(rng);
    return m;
  };
  const cv::Mat frame = plane(2000.0f);
  std::vector<cv::Mat> planes;
  for (int k = 0; k < 5; ++k) planes.push_back(plane(1990.0f + 5.0f * k));
  const double threshold = 5898.0, k = 5.0, share = 0.5, least = 0.75;
  const auto quantile = [](std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
  };
  for (const size_t count : {size_t(3), size_t(4), size_t(5)}) {
    std::vector<startrail_detail::NeighbourView> views(count);
    for (size_t n = 0; n < count; ++n) {
      views[n].plane = &planes[n];
      if (n % 2 == 0) continue;
      views[n].onGrid = false;
      views[n].fromFrame = cv::Matx33d(1.0, 0.002, 3.5 * double(n), -0.002, 1.0, -2.25, 0.0, 0.0, 1.0);
    }
    const startrail_detail::FlagLevels levels(frame, views, threshold, k, share, least);
    const int kTile = startrail_detail::FlagLevels::kTile;
    const int cols = (size.width + kTile - 1) / kTile, rows = (size.height + kTile - 1) / kTile;
    std::vector<double> noise(size_t(cols * rows), -1.0), sky(noise.size()), dark(noise.size());
    std::vector<double> measured;
    for (int ty = 0; ty < rows; ++ty)
      for (int tx = 0; tx < cols; ++tx) {
        std::vector<double> excess, medians;
        for (int y = ty * kTile + 5; y < std::min((ty + 1) * kTile, size.height); y += 10)
          for (int x = tx * kTile + 5; x < std::min((tx + 1) * kTile, size.width); x += 10) {
            std::vector<double> votes;
            for (const auto& v : views)
              if (const double s = startrail_detail::sampleAt(v, x, y); s > 0.0) votes.push_back(s);
            if (votes.empty()) continue;
            std::sort(votes.begin(), votes.end());
            const size_t n = votes.size();
            const double m = n % 2 ? votes[n / 2] : 0.5 * (votes[n / 2 - 1] + votes[n / 2]);
            excess.push_back(frame.at<float>(y, x) - m);
            medians.push_back(m);
          }
        if (excess.size() < 20) continue;
        const double centre = quantile(excess, 0.5);
        for (double& e : excess) e = std::abs(e - centre);
        const size_t t = size_t(ty * cols + tx);
        noise[t] = std::max(1.4826 * quantile(excess, 0.5), least);
        sky[t] = quantile(medians, 0.5);
        dark[t] = quantile(medians, 0.1);
        measured.push_back(noise[t]);
      }
    ASSERT_FALSE(measured.empty());
    const double typical = quantile(measured, 0.5);
    int unmeasured = 0;
    for (int ty = 0; ty < rows; ++ty)
      for (int tx = 0; tx < cols; ++tx) {
        const size_t t = size_t(ty * cols + tx);
        const int x = tx * kTile, y = ty * kTile;
        const bool isMeasured = noise[t] >= 0.0;
        unmeasured += isMeasured ? 0 : 1;
        const double n = isMeasured ? noise[t] : typical, d = isMeasured ? dark[t] : 0.0;
        EXPECT_EQ(levels.noise(x, y), n) << count << " tile " << tx << ", " << ty;
        EXPECT_EQ(levels.sky(x, y), isMeasured ? sky[t] : 0.0);
        EXPECT_EQ(levels.gate(x, y), float(std::min(threshold, double(float(d)) + std::min(threshold, k * n))));
      }
    EXPECT_EQ(unmeasured, 4) << count;  // the narrow last column's two and the black corner's two
  }
}

// A neighbour read along a frame row gives the very doubles of the map
// evaluated whole at each pixel (the masks' flags sit on strict comparisons
// with these samples): turned, shifted and slightly tilted maps, positions
// inside, on the edge's thirty-second and off the grid, on a plane of odd
// size and another of the frame's.
TEST(StarTrailStreaks, NeighbourReadAlongARowSamplesAsTheWholeMap) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(0.0f, 65535.0f);
  cv::Mat plane(97, 131, CV_32F);
  for (int y = 0; y < plane.rows; ++y)
    for (int x = 0; x < plane.cols; ++x) plane.at<float>(y, x) = value(rng);
  // the bilinear sample of the map's position, written as one expression per term
  const auto whole = [&](const cv::Matx33d& m, int x, int y) {
    const double w = m(2, 0) * x + m(2, 1) * y + m(2, 2);
    if (std::abs(w) < 1e-12) return 0.0;
    double sx = (m(0, 0) * x + m(0, 1) * y + m(0, 2)) / w, sy = (m(1, 0) * x + m(1, 1) * y + m(1, 2)) / w;
    const double e = 1.0 / 32.0;
    if (!(sx >= -e && sy >= -e && sx <= plane.cols - 1 + e && sy <= plane.rows - 1 + e)) return 0.0;
    sx = std::clamp(sx, 0.0, double(plane.cols - 1));
    sy = std::clamp(sy, 0.0, double(plane.rows - 1));
    const int x0 = std::min(int(sx), plane.cols - 2), y0 = std::min(int(sy), plane.rows - 2);
    const double ax = sx - x0, ay = sy - y0;
    const float *r0 = plane.ptr<float>(y0), *r1 = plane.ptr<float>(y0 + 1);
    return (1.0 - ay) * ((1.0 - ax) * r0[x0] + ax * r0[x0 + 1]) + ay * ((1.0 - ax) * r1[x0] + ax * r1[x0 + 1]);
  };
  int inside = 0, outside = 0;
  for (int t = 0; t < 6; ++t) {
    const double angle = (t - 2.5) * 0.004, c = std::cos(angle), sn = std::sin(angle);
    const double tilt = t % 2 ? 3e-6 : 0.0;
    const cv::Matx33d m(c, -sn, 0.37 * t - 1.1, sn, c, 0.23 - 0.41 * t, tilt, -tilt, 1.0);
    startrail_detail::NeighbourView view;
    view.plane = &plane;
    view.onGrid = false;
    view.fromFrame = m;
    for (int y = -2; y < plane.rows + 2; ++y) {
      const startrail_detail::NeighbourRow row(view, y);
      for (int x = -2; x < plane.cols + 2; ++x) {
        const double expected = whole(m, x, y);
        (expected > 0.0 ? inside : outside) += 1;
        ASSERT_EQ(row.at(x, true), expected) << x << ", " << y << ", map " << t;
        ASSERT_EQ(row.at(x), expected);
        ASSERT_EQ(startrail_detail::sampleAt(view, x, y), expected);
      }
    }
  }
  EXPECT_GT(inside, 50000);
  EXPECT_GT(outside, 1000);
  startrail_detail::NeighbourView onGrid;
  onGrid.plane = &plane;
  EXPECT_EQ(startrail_detail::NeighbourRow(onGrid, 40).at(77), double(plane.at<float>(40, 77)));
}

// Four neighbours read three at a time: where the first three all vote, the
// median with the fourth is the very double of the median of all four read
// at once, the lowest median the three allow is never above it, and so a
// pixel passed over on that lowest median is one the whole median flags at
// neither level. Shifted and turned neighbours (black, not voting, off their
// grid), planes with black pixels and equal values, black votes counted or
// not, and the levels of a measured sky with stars.
TEST(StarTrailStreaks, ThreeOfFourNeighboursSettleOnlyWhatAllFourWould) {
  std::mt19937 rng(19);
  const cv::Size size(157, 121);
  std::uniform_real_distribution<float> sky(900.0f, 1100.0f);
  std::vector<cv::Mat> planes;
  for (int k = 0; k < 5; ++k) {
    cv::Mat p(size, CV_32F);
    for (int y = 0; y < p.rows; ++y)
      for (int x = 0; x < p.cols; ++x) p.at<float>(y, x) = (rng() % 29 == 0) ? 0.0f : std::round(sky(rng));
    for (int star = 0; star < 40; ++star)  // stars in the same places in every plane, a little different
      cv::circle(p, {int(rng() % size.width), int(rng() % size.height)}, 1 + int(rng() % 3),
                 cv::Scalar(3000.0 + 20000.0 * (rng() % 4)), -1);
    planes.push_back(p);
  }
  const cv::Mat& frame = planes[4];
  std::vector<startrail_detail::NeighbourView> views(4);
  for (int k = 0; k < 4; ++k) {
    views[size_t(k)].plane = &planes[size_t(k)];
    if (k % 2 == 0) continue;  // two on the frame's grid, two moved
    views[size_t(k)].onGrid = false;
    const double a = 0.01 * k;
    views[size_t(k)].fromFrame = cv::Matx33d(std::cos(a), -std::sin(a), 2.5 * k, std::sin(a), std::cos(a), -1.5 * k,
                                             0.0, 0.0, 1.0);
  }
  const startrail_detail::FlagLevels levels(frame, views, 0.09 * 65535.0, 5.0, 0.5, 0.75);
  int settled = 0, compared = 0;
  std::vector<startrail_detail::NeighbourRow> rows;
  for (const bool blackVotes : {false, true}) {
    for (int y = 0; y < size.height; ++y) {
      startrail_detail::neighbourRows(views, y, rows);
      for (int x = 0; x < size.width; ++x) {
        double all[8], some[8], whole = 0.0, floor = 0.0;
        const bool voted = startrail_detail::neighbourMedian(rows, x, blackVotes, all, whole);
        if (!startrail_detail::lowestMedianOfFour(rows, x, blackVotes, some, floor)) continue;
        ASSERT_TRUE(voted);
        ASSERT_EQ(startrail_detail::medianWithFourth(rows, x, blackVotes, some), whole) << x << ", " << y;
        ASSERT_LE(floor, whole);
        ++compared;
        const double f = frame.at<float>(y, x) + double(rng() % 3000);  // own values around and above the median
        if (f > floor + levels.level(x, y, floor)) continue;
        ++settled;
        ASSERT_FALSE(f > whole + levels.level(x, y, whole)) << x << ", " << y;
        ASSERT_FALSE(f > whole + levels.threshold());
      }
    }
  }
  EXPECT_GT(compared, size.area());        // most pixels, both ways of counting black votes
  EXPECT_GT(settled, compared / 10);       // and many of them settled on three
  EXPECT_LT(settled, compared);            // but not all
}

// The columns above a tile's gate, listed eight at a time, are the very
// columns a one-by-one scan lists, in order: spans of every length a tile
// can have, starting on and off an eight-column step, with dark runs, lone
// bright pixels at a block's ends, values equal to the gate (not above) and
// values that compare false whatever the gate (NaN).
TEST(StarTrailStreaks, ColumnsAboveTheGateAsAOneByOneScan) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> sky(100.0f, 140.0f);
  std::uniform_int_distribution<int> pick(0, 99);
  const float gate = 150.0f;
  std::vector<float> row(200);
  std::vector<int> listed(200), expected;
  int nonEmpty = 0, empty = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const int density = trial % 4 == 0 ? 0 : trial % 4 == 1 ? 2 : trial % 4 == 2 ? 20 : 70;  // percent bright
    for (float& v : row) {
      const int p = pick(rng);
      v = p < density ? gate + 1.0f + float(p) : sky(rng);
      if (p == 98) v = gate;
      if (p == 99 && trial % 3 == 0) v = std::numeric_limits<float>::quiet_NaN();
    }
    if (trial % 5 == 1) row[size_t(8 + trial % 16)] = gate + 0.5f;  // a lone star at a block's end or start
    const int start = trial % 11, end = std::min(start + trial % 97, int(row.size()));
    expected.clear();
    for (int x = start; x < end; ++x)
      if (row[size_t(x)] > gate) expected.push_back(x);
    const int count = startrail_detail::columnsAbove(row.data(), start, end, gate, listed.data());
    ASSERT_EQ(std::vector<int>(listed.begin(), listed.begin() + count), expected)
        << "trial " << trial << ", columns " << start << " to " << end;
    (count > 0 ? nonEmpty : empty) += 1;
  }
  EXPECT_GT(nonEmpty, 200);
  EXPECT_GT(empty, 40);
}

// ---- Streak classes, kept meteors, the meteor image and the overlay -----------

synth::TrailSettings streakNight() {
  synth::TrailSettings s = measuredSky(16, 21);
  s.frames = 10;
  measuredSatellites(s, {0, 5, 9});
  s.satellitePeakMin = 0.03;
  measuredAircraft(s, 2, 0.01, 0.3);
  s.meteorFrames = {1, 5, 8};  // frame 5 also holds a satellite
  s.meteorPeakMin = 0.15;
  s.meteorPeakMax = 0.4;
  return s;
}

// The streaks of each line of the log, as (frame, class) pairs.
std::vector<std::pair<int, std::string>> loggedStreaks(const std::string& log) {
  std::vector<std::pair<int, std::string>> out;
  for (size_t at = log.find("\nstreak=frame="); at != std::string::npos; at = log.find("\nstreak=frame=", at + 1)) {
    const size_t comma = log.find(",class=", at), end = log.find(",lengthPx=", at);
    out.push_back({std::stoi(log.substr(at + 14, comma - at - 14)), log.substr(comma + 7, end - comma - 7)});
  }
  return out;
}

// The line search keeps its working images from one search to the next and
// must give OpenCV's probabilistic Hough segments exactly, in order: the
// aircraft step's and the long-streak step's settings on masks as the
// rejection makes them (dilated dotted lines at many angles, broken by gaps
// around the largest, across the edges, over speckle and star residue),
// a speckle field dense enough that random points vote for lines, a mask
// with nothing set, and masks of other sizes searched in between on the
// same kept vote table, so a stale vote would show.
TEST(StarTrailLines, SegmentsOfOpenCVsProbabilisticSearch) {
  std::mt19937 rng(41);
  startrail_detail::LineSearchScratch kept;
  struct Setting {
    int votes;
    double minLength, maxGap;
  };
  const Setting settings[] = {{20, 115.0, 65.0}, {12, 55.0, 90.0}, {7, 40.0, 115.0}, {40, 240.0, 40.0}, {1, 0.0, 0.0}};
  const cv::Size sizes[] = {{640, 480}, {301, 199}, {1000, 37}, {37, 700}, {900, 600}};
  int compared = 0, withLines = 0;
  for (const cv::Size size : sizes) {
    for (int variant = 0; variant < 4; ++variant) {
      cv::Mat mask = cv::Mat::zeros(size, CV_8U);
      std::uniform_int_distribution<int> px(-size.width / 4, size.width + size.width / 4),
          py(-size.height / 4, size.height + size.height / 4);
      if (variant == 1 || variant == 2) {
        for (int l = 0; l < 2 + variant * 2; ++l) {  // dotted and broken lines, some running off the edges
          const cv::Point a(px(rng), py(rng)), b(px(rng), py(rng));
          const int dots = 10 + int(rng() % 40), skip = int(rng() % 5);
          for (int d = 0; d <= dots; ++d) {
            if (skip && d % (skip + 3) == 0) continue;
            const cv::Point p = a + (b - a) * (double(d) / dots);
            cv::circle(mask, p, 1 + int(rng() % 2), cv::Scalar(255), -1);
          }
        }
      }
      if (variant >= 2) {  // speckle and residue; dense on the last variant
        const int specks = variant == 3 ? size.area() / 25 : size.area() / 400;
        for (int i = 0; i < specks; ++i) mask.at<uchar>(int(rng() % size.height), int(rng() % size.width)) = 255;
      }
      cv::dilate(mask, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5)));
      for (const Setting& st : settings) {
        if (variant == 3 && st.votes < 7) continue;  // a vote of one takes every dense point: slow, nothing new
        std::vector<cv::Vec4i> expected;
        cv::HoughLinesP(mask, expected, 1.0, CV_PI / 180.0, st.votes, st.minLength, st.maxGap);
        cv::Mat usedUp = mask.clone();
        const std::vector<cv::Vec4i> found =
            startrail_detail::probabilisticLines(usedUp, st.votes, st.minLength, st.maxGap, kept);
        ASSERT_EQ(found.size(), expected.size()) << size << " variant " << variant << " votes " << st.votes;
        for (size_t i = 0; i < found.size(); ++i) ASSERT_EQ(found[i], expected[i]) << i;
        ++compared;
        withLines += found.empty() ? 0 : 1;
      }
    }
  }
  EXPECT_GT(withLines, compared / 2);  // the masks held lines to find
}

// A night with satellites (one in the first, one in the last frame, one
// beside a meteor), an aircraft over three frames and meteors from one
// radiant: every streak is listed with its class, the meteors stay when
// asked to, the meteor image holds them over the darkest sky, and the
// overlay outlines them.
TEST(StarTrailStreaks, ClassesKeptMeteorsMeteorImageAndOverlay) {
  TempDir dir;
  const synth::TrailSettings settings = streakNight();
  const synth::Scene scene = synth::makeTrailScene(settings);
  const std::string extra = ", \"keepMeteors\": true, \"meteorOutput\": \"" + dir.file("meteors.tif") +
                            "\", \"rejectionOverlay\": \"" + dir.file("overlay.png") + "\"";
  const JobRun r = runJob(dir, scene.frames, extra);
  ASSERT_NE(r.log.find("status=success"), std::string::npos) << r.log;
  const synth::StreakFigures f = synth::streakFigures(scene, r.result, 0.004);
  EXPECT_LT(f.satelliteLeft, 0.01);
  EXPECT_LT(f.aircraftLeft, 0.05);
  EXPECT_GT(f.meteorsKept, 0.9);
  EXPECT_LT(f.starsLost, 0.005);
  const auto logged = loggedStreaks(r.log);
  for (const synth::TrailTruth& t : scene.trails) {
    const char* want = t.kind == synth::TrailKind::Satellite ? "satellite"
                       : t.kind == synth::TrailKind::Aircraft ? "aircraft" : "meteor";
    EXPECT_NE(std::find(logged.begin(), logged.end(), std::make_pair(t.frame, std::string(want))), logged.end())
        << want << " in frame " << t.frame << "\n" << r.log;
  }
  for (const auto& l : logged)
    EXPECT_TRUE(std::any_of(scene.trails.begin(), scene.trails.end(), [&](const synth::TrailTruth& t) { return t.frame == l.first; }))
        << "a streak logged in frame " << l.first << " where there is none";
  EXPECT_NE(r.log.find("\nmeteorsKept=" + r.log.substr(r.log.find("meteorsFound=") + 13, 1) + "\n"), std::string::npos);
  // the meteor image: 16-bit, the meteors' light over a sky darker than the trails
  const cv::Mat meteors = cv::imread(dir.file("meteors.tif"), -1);
  ASSERT_EQ(meteors.type(), CV_16UC3);
  cv::Mat meteorTruth = cv::Mat::zeros(meteors.size(), CV_8U), satelliteTruth = meteorTruth.clone();
  for (const synth::TrailTruth& t : scene.trails)
    (t.kind == synth::TrailKind::Meteor ? meteorTruth : satelliteTruth) |= (t.strength > 0.05) & t.mask;
  cv::Mat gray;
  cv::cvtColor(meteors, gray, cv::COLOR_BGR2GRAY);
  EXPECT_GT(cv::mean(gray, meteorTruth)[0], cv::mean(gray, satelliteTruth & ~meteorTruth)[0] + 0.04 * 65535);
  const cv::Mat overlay = cv::imread(dir.file("overlay.png"), -1);
  ASSERT_EQ(overlay.type(), CV_8UC3);
  EXPECT_LE(std::max(overlay.cols, overlay.rows), 1600);
  cv::Mat green;
  cv::inRange(overlay, cv::Scalar(0, 250, 0), cv::Scalar(0, 255, 0), green);
  // an outline, not a stray pixel: its size at the reduced scale varies with the compiler's rounding
  EXPECT_GE(cv::countNonZero(green), 12) << "no kept meteor outlined";
}

// Without keepMeteors the meteors go with the satellites; without the new
// keys no meteor image or overlay is written.
TEST(StarTrailStreaks, MeteorsGoUnlessKept) {
  TempDir dir;
  const synth::Scene scene = synth::makeTrailScene(streakNight());
  const JobRun r = runJob(dir, scene.frames, "");
  ASSERT_NE(r.log.find("status=success"), std::string::npos) << r.log;
  EXPECT_LT(synth::streakFigures(scene, r.result, 0.004).meteorsKept, 0.2);
  EXPECT_NE(r.log.find("\nmeteorsKept=0\n"), std::string::npos);
  EXPECT_FALSE(std::ifstream(dir.file("meteors.tif")).good());
}

TEST(StarTrailStreaks, AnAircraftGoesOnAlongOneLineInTheNextFrame) {
  using C = NLStarTrailStreakClass;
  const auto streak = [](int frame, C kind, cv::Point2d from, cv::Point2d to) {
    NLStarTrailStreak s;
    s.frame = frame, s.kind = kind, s.from = from, s.to = to, s.width = 2.0;
    return s;
  };
  std::vector<NLStarTrailStreak> streaks = {
      streak(3, C::satellite, {0, 100}, {200, 150}),    // aircraft: goes on in frame 4
      streak(4, C::satellite, {210, 152.5}, {400, 200}),
      streak(4, C::satellite, {0, 300}, {600, 310}),    // another line
      streak(5, C::meteor, {402, 200.5}, {450, 212}),   // on the line, but a meteor lasts one frame
      streak(7, C::satellite, {420, 205}, {600, 250}),  // on the line, two frames later
  };
  NL_starTrailLinkStreaksAcrossFrames(streaks);
  EXPECT_EQ(streaks[0].kind, C::aircraft);
  EXPECT_EQ(streaks[1].kind, C::aircraft);
  EXPECT_EQ(streaks[2].kind, C::satellite);
  EXPECT_EQ(streaks[3].kind, C::meteor);
  EXPECT_EQ(streaks[4].kind, C::satellite);
}

TEST(StarTrailStreaks, ResultLogListsEveryStreakAfterTheJobsOwnLines) {
  NLStarTrailRunReport r;
  r.job.output = "/out/trail.tif";
  r.requestedOutput = r.job.output;
  r.frames = 3;
  r.workers = 2;
  const std::string before = NL_starTrailSuccessLog(r);
  EXPECT_EQ(before.find("satellitesRemoved"), std::string::npos) << "a hand-built report without a search";
  r.streaksSearched = true;
  const auto streak = [](int frame, NLStarTrailStreakClass kind, double length, bool kept) {
    NLStarTrailStreak s;
    s.frame = frame, s.kind = kind, s.from = {10, 10}, s.to = {10 + length * 0.6, 10 + length * 0.8}, s.kept = kept;
    return s;
  };
  r.streaks = {streak(0, NLStarTrailStreakClass::satellite, 412.4, false),
               streak(1, NLStarTrailStreakClass::meteor, 85.5, true),
               streak(1, NLStarTrailStreakClass::aircraft, 230, false),
               streak(2, NLStarTrailStreakClass::meteor, 60, false)};
  EXPECT_EQ(NL_starTrailSuccessLog(r), before +
                                           "satellitesRemoved=1\naircraftRemoved=1\nmeteorsFound=2\nmeteorsKept=1\n"
                                           "streak=frame=0,class=satellite,lengthPx=412\n"
                                           "streak=frame=1,class=meteor,lengthPx=86\n"
                                           "streak=frame=1,class=aircraft,lengthPx=230\n"
                                           "streak=frame=2,class=meteor,lengthPx=60\n");
  r.streaks.clear();
  EXPECT_EQ(NL_starTrailSuccessLog(r),
            before + "satellitesRemoved=0\naircraftRemoved=0\nmeteorsFound=0\nmeteorsKept=0\n");
}

TEST(StarTrailStreaks, NewKeysDefaultOffAndTheirPathsAreChecked) {
  TempDir dir;
  const std::string path = dir.file("startrail_job_native.json");
  writeFile(path, "{}");
  NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(path);
  EXPECT_FALSE(job.keepMeteors);
  EXPECT_EQ(job.meteorOutput, "");
  EXPECT_EQ(job.rejectionOverlay, "");
  writeFile(path, "{\"keepMeteors\": 1, \"meteorOutput\": \"m.tif\", \"rejectionOverlay\": \"o.png\"}");
  job = NL_parseStarTrailNativeJob(path);
  EXPECT_TRUE(job.keepMeteors);
  EXPECT_EQ(job.meteorOutput, "m.tif");
  EXPECT_EQ(job.rejectionOverlay, "o.png");
  // a meteor image named like an input frame is refused before anything is written
  const synth::Scene scene = synth::makeTrailScene(measuredSky(16, 3));
  const std::vector<cv::Mat> frames(scene.frames.begin(), scene.frames.begin() + 3);
  const JobRun r = runJob(dir, frames, ", \"meteorOutput\": \"" + dir.file("frame1.tif") + "\"");
  EXPECT_NE(r.log.find("status=failed"), std::string::npos) << r.log;
  EXPECT_FALSE(std::ifstream(dir.file("trail.tif")).good());
}

}  // namespace
