// The combine engine shared by the stacking jobs.
#include "stack/stack.h"

#include "plumbing/plumbing.h"
#include "support.h"
#include "synth/synth.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

// ---- Hand-made pixel stacks --------------------------------------------------

// One 1 x 1 frame per value; a negative value marks a frame whose mask leaves that pixel out.
struct PixelStack {
  std::vector<cv::Mat> frames, masks;
};

PixelStack stackOf(int type, const std::vector<double>& values) {
  PixelStack s;
  for (double v : values) {
    s.frames.emplace_back(1, 1, type, cv::Scalar::all(std::abs(v)));
    s.masks.emplace_back(1, 1, CV_8U, cv::Scalar(v < 0 ? 0 : 255));
  }
  return s;
}

double combined(const NLCombineSettings& settings, int type, const std::vector<double>& values) {
  const PixelStack s = stackOf(type, values);
  cv::Mat out(1, 1, type, cv::Scalar::all(77));
  NL_combineFrames(settings, s.frames, s.masks, out);
  return out.depth() == CV_16U ? out.at<ushort>(0, 0) : out.ptr<uchar>(0)[0];
}

TEST(CombineEngine, MedianStacksTakeTheMiddleAndTruncateEvenCounts) {
  EXPECT_EQ(combined(NL_kMedianCombine, CV_8UC1, {10, 13, 200}), 13);
  EXPECT_EQ(combined(NL_kMedianCombine, CV_8UC1, {10, 13}), 11);  // 11.5 truncated
  EXPECT_EQ(combined(NL_kMedianCombine, CV_8UC1, {200, 13, 10, 12}), 12);  // frame order does not matter
  EXPECT_EQ(combined(NL_kMedianCombine, CV_16UC1, {40000, 65535, 1, 65535, 2}), 40000);
  // A satellite in a minority of the covering frames cannot reach the result.
  EXPECT_EQ(combined(NL_kMedianCombine, CV_16UC1, {1000, 65535, 1002, 65535, 1001}), 1002);
  // Uncovered frames are not samples: 10 and 13 remain, 200 and 250 are left out.
  EXPECT_EQ(combined(NL_kMedianCombine, CV_8UC1, {10, -200, 13, -250}), 11);
  EXPECT_EQ(combined(NL_kMedianCombine, CV_8UC1, {-10, -200}), 0);
  EXPECT_EQ(combined(NL_kMedianCombine, CV_8UC1, {-10, 99}), 99);
}

TEST(CombineEngine, SigmaClipKeepsSamplesOnTheBoundsAndRejectsOutliers) {
  // Mean 57.5, sd 82.27: every sample stays.
  EXPECT_EQ(combined(NL_kSigmaClipCombine, CV_8UC1, {10, 10, 10, 200}), 57);
  // Ten tens and one 200: upper bound 136.5, so the 200 goes.
  std::vector<double> tens(10, 10.0);
  tens.push_back(200);
  EXPECT_EQ(combined(NL_kSigmaClipCombine, CV_8UC1, tens), 10);
  EXPECT_EQ(combined(NL_kSigmaClipCombine, CV_8UC1, {10, 13}), 11);  // both within one sd, truncated
  EXPECT_EQ(combined(NL_kSigmaClipCombine, CV_8UC1, {-90, 42}), 42);
  EXPECT_EQ(combined(NL_kSigmaClipCombine, CV_8UC1, {-90, -42}), 0);
  // Four equal samples and an outlier exactly two deviations out: inclusive bound keeps it (mean 28).
  EXPECT_EQ(combined(NL_kMaskedSigmaCombine, CV_8UC1, {10, 10, 10, 10, 100}), 28);
  EXPECT_EQ(combined(NL_kMaskedSigmaCombine, CV_16UC1, {1000, 1000, 1000, 1000, 10000}), 2800);
  // The masked variant gives the first frame's own value where nothing is admitted, and rounds.
  EXPECT_EQ(combined(NL_kMaskedSigmaCombine, CV_8UC1, {-90, -42}), 90);
  EXPECT_EQ(combined(NL_kMaskedSigmaCombine, CV_8UC1, {10, 13}), 12);
}

TEST(CombineEngine, SettingsRecordSelectsRoundingUncoveredAndClipFactors) {
  NLCombineSettings s;  // average, uncovered 0, add half
  EXPECT_EQ(combined(s, CV_8UC1, {127, 128}), 128);
  EXPECT_EQ(combined(s, CV_8UC1, {10, 13, 14}), 12);
  s.rounding = NLCombineRounding::Truncate;
  EXPECT_EQ(combined(s, CV_8UC1, {127, 128}), 127);
  s.uncovered = NLUncoveredPixel::FirstFrame;
  EXPECT_EQ(combined(s, CV_8UC1, {-31, -60}), 31);
  // Asymmetric clip: a low outlier survives a wide lower bound, a high one does not.
  NLCombineSettings clip = NL_kSigmaClipCombine;
  clip.sigmaLow = 3.0;
  clip.sigmaHigh = 0.5;
  std::vector<double> v(9, 100.0);
  v.push_back(40);
  v.push_back(160);
  // mean 100, sd 25.6: 40 is within 3 sd below, 160 beyond 0.5 sd above.
  EXPECT_EQ(combined(clip, CV_8UC1, v), 94);  // (9 * 100 + 40) / 10
}

// ---- Against a naive reference on random stacks ------------------------------

double sampleAt(const cv::Mat& m, int y, int x, int c) {
  const int cn = m.channels();
  return m.depth() == CV_16U ? m.ptr<ushort>(y)[x * cn + c] : m.ptr<uchar>(y)[x * cn + c];
}

bool admits(const std::vector<cv::Mat>& masks, size_t k, int y, int x) {
  return k >= masks.size() || masks[k].empty() || masks[k].at<uchar>(y, x) != 0;
}

double naiveKernel(const NLCombineSettings& s, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  if (s.kernel == NLCombineKernel::Median) return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
  double mean = 0.0, var = 0.0;
  for (double x : v) mean += x;
  mean /= double(n);
  if (s.kernel == NLCombineKernel::Average) return mean;
  for (double x : v) var += (x - mean) * (x - mean);
  const double sd = std::sqrt(var / double(n));
  double kept = 0.0;
  int k = 0;
  for (double x : v)
    if (x >= mean - s.sigmaLow * sd && x <= mean + s.sigmaHigh * sd) kept += x, ++k;
  return k ? kept / k : mean;
}

cv::Mat naiveCombine(const NLCombineSettings& s, const std::vector<cv::Mat>& frames,
                     const std::vector<cv::Mat>& masks) {
  const cv::Mat& f0 = frames[0];
  const double top = f0.depth() == CV_16U ? 65535.0 : 255.0;
  cv::Mat out(f0.size(), f0.type());
  for (int y = 0; y < f0.rows; ++y)
    for (int x = 0; x < f0.cols; ++x)
      for (int c = 0; c < f0.channels(); ++c) {
        std::vector<double> v;
        for (size_t k = 0; k < frames.size(); ++k)
          if (admits(masks, k, y, x)) v.push_back(sampleAt(frames[k], y, x, c));
        double r = s.uncovered == NLUncoveredPixel::FirstFrame ? sampleAt(f0, y, x, c) : 0.0;
        if (!v.empty()) {
          r = std::min(std::max(naiveKernel(s, v), 0.0), top);
          r = std::floor(s.rounding == NLCombineRounding::AddHalf ? r + 0.5 : r);
        }
        const int i = x * f0.channels() + c;
        if (f0.depth() == CV_16U) out.ptr<ushort>(y)[i] = ushort(r);
        else out.ptr<uchar>(y)[i] = uchar(r);
      }
  return out;
}

// Sky-like samples around one level with a bright streak in some frames.
std::vector<cv::Mat> streakyFrames(int count, cv::Size size, int type, std::mt19937& rng) {
  const double top = CV_MAT_DEPTH(type) == CV_16U ? 65535.0 : 255.0;
  std::vector<cv::Mat> frames;
  for (int k = 0; k < count; ++k) {
    cv::Mat m(size, type);
    cv::theRNG().state = rng();
    cv::randu(m, cv::Scalar::all(top * 0.2), cv::Scalar::all(top * 0.24));
    if (k % 3 == 1) m.row(k % size.height).setTo(cv::Scalar::all(top));
    frames.push_back(m);
  }
  return frames;
}

std::vector<cv::Mat> coverageMasks(int count, cv::Size size, std::mt19937& rng) {
  std::vector<cv::Mat> masks;
  for (int k = 0; k < count; ++k) {
    cv::Mat m(size, CV_8U);
    cv::theRNG().state = rng();
    cv::randu(m, 0, 3);  // about a third of the pixels left out
    m.col(2).setTo(0);   // a column no frame covers
    masks.push_back(m);
  }
  masks[1].release();  // a frame without a mask covers everything
  return masks;
}

class CombineKinds : public ::testing::TestWithParam<int> {};

TEST_P(CombineKinds, EveryPresetMatchesNaiveReferenceWholeAndInRowBands) {
  std::mt19937 rng(77 + GetParam());
  // Rows of over 512 samples in every layout: the means run a block of a row at a time.
  const cv::Size size(531, 11);
  const std::vector<cv::Mat> frames = streakyFrames(7, size, GetParam(), rng);
  const std::vector<cv::Mat> masks = coverageMasks(7, size, rng);
  // Every frame masked, and a column near the right end (past the first
  // block of every layout) that none of them covers.
  std::vector<cv::Mat> closed = masks;
  closed[1] = cv::Mat(size, CV_8U, cv::Scalar(255));
  for (cv::Mat& m : closed) m.col(size.width - 2).setTo(0);
  NLCombineSettings lopsided = NL_kMaskedSigmaCombine;
  lopsided.sigmaLow = 0.7;
  lopsided.sigmaHigh = 1.6;
  const NLCombineSettings presets[] = {NL_kMedianCombine, NL_kSigmaClipCombine, NL_kMaskedAverageCombine,
                                       NL_kMaskedSigmaCombine, lopsided};
  for (const NLCombineSettings& s : presets) {
    SCOPED_TRACE(int(s.kernel));
    cv::Mat whole(size, GetParam(), cv::Scalar::all(1));
    NL_combineFrames(s, frames, masks, whole);
    EXPECT_EQ(cv::norm(whole, naiveCombine(s, frames, masks), cv::NORM_INF), 0.0);
    cv::Mat uncovered(size, GetParam(), cv::Scalar::all(1));
    NL_combineFrames(s, frames, closed, uncovered);
    EXPECT_EQ(cv::norm(uncovered, naiveCombine(s, frames, closed), cv::NORM_INF), 0.0);
    // Ground under every mask across whole blocks of some rows (a sky stack's
    // foreground): those blocks take the uncovered rule, the rest as before.
    std::vector<cv::Mat> ground;
    for (const cv::Mat& m : closed) ground.push_back(m.clone());
    for (cv::Mat& m : ground) m(cv::Rect(0, 4, size.width - 9, 5)).setTo(0);
    cv::Mat grounded(size, GetParam(), cv::Scalar::all(1));
    NL_combineFrames(s, frames, ground, grounded);
    EXPECT_EQ(cv::norm(grounded, naiveCombine(s, frames, ground), cv::NORM_INF), 0.0);
    // Band by band into views of one canvas, each band handed only its own rows.
    cv::Mat banded(size, GetParam(), cv::Scalar::all(3));
    for (int y0 = 0; y0 < size.height; y0 += 5) {
      const cv::Range rows(y0, std::min(y0 + 5, size.height));
      std::vector<cv::Mat> bandFrames, bandMasks;
      for (const cv::Mat& f : frames) bandFrames.push_back(f.rowRange(rows).clone());
      for (const cv::Mat& m : masks) bandMasks.push_back(m.empty() ? m : m.rowRange(rows).clone());
      cv::Mat view = banded.rowRange(rows);
      NL_combineFrames(s, bandFrames, bandMasks, view);
    }
    EXPECT_EQ(cv::norm(banded, whole, cv::NORM_INF), 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(DepthsAndChannels, CombineKinds,
                         ::testing::Values(CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_16UC3, CV_16UC4));

// Samples from a few levels put many of them exactly on a clip bound (for
// example one outlier among equal samples, which sits exactly on sqrt(n - 1)
// deviations). Whatever the frame count, the clip decides them as exact
// arithmetic does: integers, with the factors 1.5 and 2 squared exactly.
// Equal factors (one bound for both sides) and unequal ones, without masks
// and with a mask per frame that leaves some samples out.
TEST(CombineEngine, SigmaClipDecidesSamplesOnTheBoundsExactly) {
  std::mt19937 rng(5);
  const int width = 700;  // past one block of samples
  for (const bool masked : {false, true})
    for (const double low : {1.5, 2.0})
      for (int n : {2, 3, 5, 8, 17, 40}) {
        SCOPED_TRACE(testing::Message() << n << " frames, low " << low << (masked ? ", masked" : ""));
        NLCombineSettings s = NL_kMaskedSigmaCombine;
        s.sigmaLow = low;
        s.sigmaHigh = 2.0;
        const long long lowNum = low == 2.0 ? 4 : 9, lowDen = low == 2.0 ? 1 : 4;  // low^2 as a ratio
        std::vector<cv::Mat> frames, masks;
        std::uniform_int_distribution<int> level(0, 3), outlier(0, n - 1), drop(0, 9);
        std::vector<int> odd(width);
        for (int& o : odd) o = outlier(rng);
        for (int k = 0; k < n; ++k) {
          cv::Mat f(1, width, CV_16UC1), m(1, width, CV_8UC1, cv::Scalar(255));
          for (int x = 0; x < width; ++x) {
            // Half the pixels: equal samples and one outlier; the rest: a few levels.
            const int v = x % 2 ? 20000 + (k == odd[x] ? 3000 * (1 + x % 7) : 0) : 60000 - 1000 * level(rng);
            f.at<ushort>(0, x) = ushort(v);
            if (masked && k > 0 && drop(rng) == 0) m.at<uchar>(0, x) = 0;  // frame 0 keeps every pixel covered
          }
          frames.push_back(f);
          if (masked) masks.push_back(m);
        }
        cv::Mat out(1, width, CV_16UC1);
        NL_combineFrames(s, frames, masks, out);
        int onBound = 0;
        for (int x = 0; x < width; ++x) {
          long long sum = 0, sumSq = 0, count = 0;
          const auto admitted = [&](size_t k) { return !masked || masks[k].at<uchar>(0, x) != 0; };
          for (size_t k = 0; k < frames.size(); ++k) {
            if (!admitted(k)) continue;
            const long long v = frames[k].at<ushort>(0, x);
            sum += v, sumSq += v * v, ++count;
          }
          const long long spread = count * sumSq - sum * sum;
          long long kept = 0, keptN = 0;
          for (size_t k = 0; k < frames.size(); ++k) {
            if (!admitted(k)) continue;
            const long long d = count * (long long)frames[k].at<ushort>(0, x) - sum;
            // (d / count)^2 <= k^2 spread / count^2, with k^2 = low^2 below the mean and 4 above it.
            const bool inside = d < 0 ? lowDen * d * d <= lowNum * spread : d * d <= 4 * spread;
            onBound += d != 0 && (d < 0 ? lowDen * d * d == lowNum * spread : d * d == 4 * spread);
            if (inside) kept += d + sum, keptN += count;  // count v, so the mean stays a ratio of integers
          }
          const double mean = keptN ? double(kept) / double(keptN) : double(sum) / count;
          ASSERT_EQ(out.at<ushort>(0, x), ushort(std::floor(std::min(mean, 65535.0) + 0.5))) << "pixel " << x;
        }
        if (n == 5 && !masked) {
          EXPECT_GT(onBound, 0);  // one outlier among five sits exactly 2 deviations out
        }
      }
}

TEST(CombineEngine, ReportsInputProblemsAndCountsEveryRowOnce) {
  const cv::Mat a(4, 5, CV_8UC3, cv::Scalar::all(1));
  EXPECT_EQ(NL_combineInputProblem({}, {}), "no images.");
  EXPECT_EQ(NL_combineInputProblem({cv::Mat(4, 5, CV_32FC1)}, {}), "only 8-bit and 16-bit images are supported.");
  EXPECT_EQ(NL_combineInputProblem({a, cv::Mat(4, 6, CV_8UC3)}, {}), "image size/type mismatch.");
  EXPECT_EQ(NL_combineInputProblem({a, cv::Mat(4, 5, CV_8UC1)}, {}), "image size/type mismatch.");
  EXPECT_EQ(NL_combineInputProblem({a}, {cv::Mat(), cv::Mat()}), "mask count does not match image count.");
  EXPECT_EQ(NL_combineInputProblem({a}, {cv::Mat(4, 5, CV_16UC1)}), "mask size/type mismatch.");
  EXPECT_EQ(NL_combineInputProblem({a, a}, {cv::Mat(4, 5, CV_8UC1)}), "");
  cv::Mat out(4, 5, CV_8UC3);
  EXPECT_THROW(NL_combineFrames(NL_kMedianCombine, {a, cv::Mat(3, 5, CV_8UC3)}, {}, out), cv::Exception);

  const int rows = 700;
  std::vector<int> seen;
  NLRowProgress progress(rows, [&](int done, int total) {
    EXPECT_EQ(total, rows);
    seen.push_back(done);  // reports come one at a time
  });
  const cv::Mat f(rows, 3, CV_16UC1, cv::Scalar(9));
  cv::Mat tall(rows, 3, CV_16UC1);
  NL_combineFrames(NL_kSigmaClipCombine, {f, f, f}, {}, tall, &progress);
  // Rising counts (one that arrives after a larger one is dropped), every
  // one a multiple of 16 rows, and the last row always.
  ASSERT_FALSE(seen.empty());
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
  for (int d : seen) EXPECT_TRUE(d % 16 == 0 || d == rows) << d;
  EXPECT_EQ(seen.back(), rows);
}

// ---- Coverage-weighted average ---------------------------------------------

TEST(CoverageAverage, AveragesCoveredSamplesAndRoundsLikeOpenCV) {
  NLCoverageAverage acc(cv::Size(4, 1), 1);
  const auto frame = [](std::vector<uchar> v) { return cv::Mat(v, true).reshape(1, 1); };
  const auto mask = [](std::vector<uchar> v) { return cv::Mat(v, true).reshape(1, 1); };
  acc.add(frame({10, 10, 12, 200}), mask({255, 255, 255, 0}));
  acc.add(frame({13, 14, 13, 200}), mask({255, 255, 255, 0}));
  acc.add(frame({14, 90, 90, 200}), mask({255, 0, 0, 0}));
  const cv::Mat r = acc.result(CV_8U);
  ASSERT_EQ(r.type(), CV_8UC1);
  EXPECT_EQ(r.at<uchar>(0, 0), 12);  // 12.33
  EXPECT_EQ(r.at<uchar>(0, 1), 12);  // (10 + 14) / 2
  EXPECT_EQ(r.at<uchar>(0, 2), 12);  // 12.5 to the even neighbour
  EXPECT_EQ(r.at<uchar>(0, 3), 0);   // never covered
  EXPECT_EQ(acc.coverage().at<float>(0, 0), 3.0f);
  EXPECT_EQ(acc.coverage().at<float>(0, 3), 0.0f);
}

TEST(CoverageAverage, KeepsDepthAndChannelsAndMatchesFloatReference) {
  std::mt19937 rng(5);
  for (int type : {CV_16UC3, CV_8UC4, CV_32FC1, CV_16UC1}) {
    SCOPED_TRACE(type);
    const cv::Size size(9, 17);
    NLCoverageAverage acc(size, CV_MAT_CN(type));
    std::vector<cv::Mat> frames, masks;
    for (int k = 0; k < 5; ++k) {
      cv::Mat f(size, type), m(size, CV_8U);
      cv::theRNG().state = rng();
      cv::randu(f, cv::Scalar::all(0), cv::Scalar::all(CV_MAT_DEPTH(type) == CV_8U ? 255 : 60000));
      cv::randu(m, 0, 2);
      if (k == 2) m.release();
      acc.add(f, m);
      frames.push_back(f);
      masks.push_back(m);
    }
    const cv::Mat r = acc.result(type);
    ASSERT_EQ(r.type(), type);
    const int cn = CV_MAT_CN(type);
    cv::Mat expected(size, CV_32FC(cn), cv::Scalar::all(0));
    for (int y = 0; y < size.height; ++y)
      for (int x = 0; x < size.width; ++x) {
        std::vector<float> sum(cn, 0.0f);
        float w = 0.0f;
        for (size_t k = 0; k < frames.size(); ++k) {
          if (!admits(masks, k, y, x)) continue;
          cv::Mat px;
          frames[k](cv::Rect(x, y, 1, 1)).convertTo(px, CV_32F);
          for (int c = 0; c < cn; ++c) sum[c] += px.ptr<float>(0)[c];
          w += 1.0f;
        }
        for (int c = 0; c < cn && w > 0; ++c) expected.ptr<float>(y)[x * cn + c] = cn == 1 ? sum[c] / w : sum[c] * (1.0f / w);
      }
    cv::Mat expectedTyped;
    expected.convertTo(expectedTyped, type);
    EXPECT_EQ(cv::norm(r, expectedTyped, cv::NORM_INF), 0.0);
  }
}

}  // namespace
