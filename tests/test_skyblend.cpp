// Masked combines and the fixed foreground stack.
#include "skyblend/skyblend.h"

#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <random>

namespace {

using testsupport::TempDir;

bool admits(const std::vector<cv::Mat>& masks, size_t f, int y, int x) {
  return f >= masks.size() || masks[f].empty() || masks[f].at<uchar>(y, x) != 0;
}

double sample(const cv::Mat& m, int y, int x, int c) {
  const int cn = m.channels();
  return m.depth() == CV_16U ? m.ptr<ushort>(y)[x * cn + c] : m.ptr<uchar>(y)[x * cn + c];
}

double storeNaive(double v, int depth) {
  const double top = depth == CV_16U ? 65535.0 : 255.0;
  return std::floor(std::min(std::max(v, 0.0), top) + 0.5);
}

// Straightforward reference: collect the admitted samples, then clip.
cv::Mat naiveCombine(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks, bool sigma) {
  const cv::Mat& first = images[0];
  cv::Mat out = cv::Mat::zeros(first.size(), first.type());
  for (int y = 0; y < first.rows; ++y)
    for (int x = 0; x < first.cols; ++x)
      for (int c = 0; c < first.channels(); ++c) {
        std::vector<double> v;
        for (size_t f = 0; f < images.size(); ++f)
          if (admits(masks, f, y, x)) v.push_back(sample(images[f], y, x, c));
        double r;
        if (v.empty()) {
          if (!sigma) continue;
          r = sample(first, y, x, c);
        } else {
          double mean = 0, var = 0;
          for (double s : v) mean += s;
          mean /= v.size();
          for (double s : v) var += (s - mean) * (s - mean);
          const double sd = std::sqrt(var / v.size());
          r = mean;
          if (sigma) {
            double kept = 0;
            int k = 0;
            for (double s : v)
              if (s >= mean - 2 * sd && s <= mean + 2 * sd) kept += s, ++k;
            if (k > 0) r = kept / k;
          }
        }
        const double stored = storeNaive(r, first.depth());
        if (first.depth() == CV_16U) out.ptr<ushort>(y)[x * first.channels() + c] = ushort(stored);
        else out.ptr<uchar>(y)[x * first.channels() + c] = uchar(stored);
      }
  return out;
}

// Frames of mostly similar values with occasional outliers, so the clip matters.
std::vector<cv::Mat> noisyFrames(int count, int type, std::mt19937& rng) {
  const double top = CV_MAT_DEPTH(type) == CV_16U ? 65535.0 : 255.0;
  std::vector<cv::Mat> frames;
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int f = 0; f < count; ++f) {
    cv::Mat m(9, 13, type);
    cv::randu(m, cv::Scalar::all(top * 0.3), cv::Scalar::all(top * 0.35));
    if (u(rng) < 0.5) cv::randu(m.row(f % 9), cv::Scalar::all(0), cv::Scalar::all(top));
    frames.push_back(m);
  }
  return frames;
}

std::vector<cv::Mat> randomMasks(int count, std::mt19937& rng) {
  std::vector<cv::Mat> masks;
  std::bernoulli_distribution admitted(0.5);
  for (int f = 0; f < count; ++f) {
    cv::Mat m(9, 13, CV_8U);
    for (uchar& v : cv::Mat_<uchar>(m)) v = admitted(rng) ? 255 : 0;
    masks.push_back(m);
  }
  // A column that no frame admits.
  for (cv::Mat& m : masks) m.col(4).setTo(0);
  return masks;
}

double maxDiff(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF); }

class CombineTypes : public ::testing::TestWithParam<int> {};

TEST_P(CombineTypes, MatchesNaiveReferenceWithAndWithoutMasks) {
  std::mt19937 rng(1234 + GetParam());
  const std::vector<cv::Mat> frames = noisyFrames(7, GetParam(), rng);
  const std::vector<cv::Mat> masks = randomMasks(7, rng);
  std::string message;
  cv::Mat out;
  ASSERT_TRUE(NL_sigmaCombineImagesWithMasks(frames, {}, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(maxDiff(out, naiveCombine(frames, {}, true)), 0.0);
  ASSERT_TRUE(NL_sigmaCombineImagesWithMasks(frames, masks, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(maxDiff(out, naiveCombine(frames, masks, true)), 0.0);
  // Where every frame is left out the sigma combine keeps the first frame.
  EXPECT_EQ(maxDiff(out.col(4), frames[0].col(4)), 0.0);

  ASSERT_TRUE(NL_averageCombineImagesWithMasks(frames, {}, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(message, "Average combine success.");
  EXPECT_EQ(maxDiff(out, naiveCombine(frames, {}, false)), 0.0);
  // A shorter mask list admits everything for the frames without a mask.
  std::vector<cv::Mat> someMasks(masks.begin(), masks.begin() + 3);
  someMasks[1] = cv::Mat();
  ASSERT_TRUE(NL_averageCombineImagesWithMasks(frames, someMasks, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(maxDiff(out, naiveCombine(frames, someMasks, false)), 0.0);
  ASSERT_TRUE(NL_averageCombineImagesWithMasks(frames, masks, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(maxDiff(out, naiveCombine(frames, masks, false)), 0.0);
  EXPECT_EQ(cv::countNonZero(out.col(4).reshape(1)), 0);
}

INSTANTIATE_TEST_SUITE_P(DepthsAndChannels, CombineTypes,
                         ::testing::Values(CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_16UC3, CV_16UC4));

cv::Mat pixel(int type, double v) { return cv::Mat(1, 1, type, cv::Scalar::all(v)); }

TEST(MaskedCombine, HandMadeStacksAndRounding) {
  std::string message;
  cv::Mat out;
  // mean 28, sd 36: 100 lies exactly inside the upper bound and survives.
  std::vector<cv::Mat> f = {pixel(CV_8UC1, 10), pixel(CV_8UC1, 10), pixel(CV_8UC1, 10), pixel(CV_8UC1, 10),
                            pixel(CV_8UC1, 100)};
  ASSERT_TRUE(NL_sigmaCombineImagesWithMasks(f, {}, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(out.at<uchar>(0, 0), 28);
  // One bright outlier among many equal values is clipped away.
  std::vector<cv::Mat> g(9, pixel(CV_16UC1, 1000));
  g.push_back(pixel(CV_16UC1, 60000));
  ASSERT_TRUE(NL_sigmaCombineImagesWithMasks(g, {}, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(out.at<ushort>(0, 0), 1000);
  // 127.5 rounds up in 8 bits.
  std::vector<cv::Mat> h = {pixel(CV_8UC1, 127), pixel(CV_8UC1, 128)};
  ASSERT_TRUE(NL_averageCombineImagesWithMasks(h, {}, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(out.at<uchar>(0, 0), 128);
  std::vector<cv::Mat> two = {pixel(CV_16UC1, 65535), pixel(CV_16UC1, 65534)};
  ASSERT_TRUE(NL_sigmaCombineImagesWithMasks(two, {}, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(out.at<ushort>(0, 0), 65535);

  EXPECT_FALSE(NL_averageCombineImagesWithMasks({}, {}, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(message, "Average combine failed: no images.");
  EXPECT_FALSE(NL_sigmaCombineImagesWithMasks({}, {}, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(message, "Sigma combine failed: no images.");
  // The sigma combine wants one mask per frame; a stray size would read out of bounds.
  std::vector<cv::Mat> oneMask = {cv::Mat(1, 1, CV_8U, cv::Scalar(255))};
  EXPECT_FALSE(NL_sigmaCombineImagesWithMasks(h, oneMask, out, message, {}, 0, 100, "s", "d"));
  std::vector<cv::Mat> bigMasks(2, cv::Mat(2, 2, CV_8U, cv::Scalar(255)));
  EXPECT_FALSE(NL_averageCombineImagesWithMasks(h, bigMasks, out, message, {}, 0, 100, "s", "d"));
}

struct Report {
  int percent;
  std::string stage, detail;
};

std::vector<Report> sigmaReports(int rows) {
  std::vector<cv::Mat> frames(2, cv::Mat(rows, 3, CV_8UC1, cv::Scalar(7)));
  std::vector<Report> reports;
  std::mutex m;
  NLProgressCallback cb = [&](int p, const std::string& s, const std::string& d) {
    std::lock_guard<std::mutex> lock(m);
    reports.push_back({p, s, d});
  };
  cv::Mat out;
  std::string message = "untouched";
  EXPECT_TRUE(NL_sigmaCombineImagesWithMasks(frames, {}, out, message, cb, 30, 90, "Stage", "Sigma"));
  EXPECT_EQ(message, "untouched");
  return reports;
}

TEST(MaskedCombine, SigmaProgressIsThinnedAndMapped) {
  for (int rows : {1000, 500}) {
    std::vector<Report> r = sigmaReports(rows);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0].percent, 30);
    EXPECT_EQ(r[0].detail, "Sigma.");
    const int step = rows == 1000 ? 20 : 16;
    std::vector<int> expectedRows;
    for (int d = step; d < rows; d += step) expectedRows.push_back(d);
    expectedRows.push_back(rows);
    std::vector<int> seen;
    for (size_t i = 1; i < r.size(); ++i) {
      int d = 0, total = 0;
      ASSERT_EQ(std::sscanf(r[i].detail.c_str(), "Sigma row %d of %d.", &d, &total), 2) << r[i].detail;
      EXPECT_EQ(total, rows);
      const int p = int(std::floor(d * 100.0 / rows + 0.5));
      EXPECT_EQ(r[i].percent, 30 + int(std::floor(p * 60.0 / 100 + 0.5)));
      EXPECT_EQ(r[i].stage, "Stage");
      seen.push_back(d);
    }
    // Reports come in rising order (a count that arrives after a larger one
    // is dropped, so the detail never steps back), each one a thinned count,
    // and the last row always.
    ASSERT_FALSE(seen.empty());
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
    for (int d : seen) EXPECT_NE(std::find(expectedRows.begin(), expectedRows.end(), d), expectedRows.end()) << d;
    EXPECT_EQ(seen.back(), rows);
  }
}

// A canvas handed over band by band combines to the same pixels as the whole
// frames, whatever the band height (one row, a height that leaves a short
// last band, more than the canvas), with and without masks; the source's
// buffers are the same objects from band to band, so they can be reused.
TEST(MaskedCombine, BandsGiveTheWholeFrameCombine) {
  std::mt19937 rng(77);
  for (int type : {CV_8UC3, CV_16UC1, CV_16UC4}) {
    const std::vector<cv::Mat> frames = noisyFrames(6, type, rng);
    for (const std::vector<cv::Mat>& masks : {std::vector<cv::Mat>(), randomMasks(6, rng)}) {
      for (bool average : {false, true}) {
        cv::Mat whole, banded;
        std::string wholeMessage, bandMessage;
        ASSERT_TRUE(average ? NL_averageCombineImagesWithMasks(frames, masks, whole, wholeMessage, {}, 0, 100, "s", "d")
                            : NL_sigmaCombineImagesWithMasks(frames, masks, whole, wholeMessage, {}, 0, 100, "s", "d"));
        for (int rows : {1, 4, 9, 50}) {
          NLCanvasBands bands;
          bands.canvas = frames[0].size();
          bands.type = type;
          bands.frames = frames.size();
          bands.bandRows = rows;
          const cv::Mat* firstBuffer = nullptr;
          int calls = 0;
          bands.source = [&](const cv::Range& r, std::vector<cv::Mat>& f, std::vector<cv::Mat>& m) {
            ASSERT_EQ(f.size(), frames.size());
            if (calls++ == 0) firstBuffer = &f[0];
            EXPECT_EQ(&f[0], firstBuffer);
            for (size_t k = 0; k < frames.size(); ++k) {
              frames[k].rowRange(r).copyTo(f[k]);
              if (!masks.empty()) masks[k].rowRange(r).copyTo(m[k]);
            }
          };
          bandMessage = "untouched";
          ASSERT_TRUE(NL_combineCanvasBandsWithMasks(average, bands, banded, bandMessage, {}, 0, 100, "s", "d"));
          EXPECT_EQ(calls, (frames[0].rows + rows - 1) / rows);
          EXPECT_EQ(maxDiff(banded, whole), 0.0) << "type " << type << ", rows " << rows;
          EXPECT_EQ(bandMessage, average ? wholeMessage : "untouched");
        }
      }
    }
  }
}

// A band the source gets wrong fails the combine with the whole frames'
// message instead of reading out of bounds; a canvas without frames fails too.
TEST(MaskedCombine, BandsThatBreakTheRulesFailClearly) {
  NLCanvasBands bands;
  bands.canvas = cv::Size(5, 6);
  bands.type = CV_16UC1;
  bands.frames = 2;
  bands.bandRows = 4;
  bands.source = [](const cv::Range& r, std::vector<cv::Mat>& f, std::vector<cv::Mat>& m) {
    f[0] = cv::Mat(r.size(), 5, CV_16UC1, cv::Scalar(3));
    f[1] = cv::Mat(r.size(), 5, CV_16UC1, cv::Scalar(5));
    m[0] = cv::Mat(r.size(), r.start == 0 ? 5 : 4, CV_8UC1, cv::Scalar(255));  // the second band's mask is too narrow
  };
  cv::Mat out;
  std::string message;
  EXPECT_FALSE(NL_combineCanvasBandsWithMasks(true, bands, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(message, "Average combine failed: mask size/type mismatch.");
  bands.source = [](const cv::Range& r, std::vector<cv::Mat>& f, std::vector<cv::Mat>&) {
    for (cv::Mat& frame : f) frame = cv::Mat(r.size(), 5, CV_8UC1, cv::Scalar(1));  // not the canvas type
  };
  EXPECT_FALSE(NL_combineCanvasBandsWithMasks(false, bands, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(message, "Sigma combine failed: image size/type mismatch.");
  bands.frames = 0;
  EXPECT_FALSE(NL_combineCanvasBandsWithMasks(false, bands, out, message, {}, 0, 100, "s", "d"));
  EXPECT_EQ(message, "Sigma combine failed: no images.");
}

TEST(FixedForegroundStack, LoadsCombinesWritesAndFailsClearly) {
  TempDir dir;
  std::vector<std::string> paths;
  std::mt19937 rng(5);
  const std::vector<cv::Mat> frames = noisyFrames(5, CV_16UC3, rng);
  for (int i = 0; i < 5; ++i) {
    paths.push_back(dir.file("fg" + std::to_string(i) + ".tif"));
    ASSERT_TRUE(cv::imwrite(paths.back(), frames[i]));
  }
  std::vector<Report> reports;
  NLProgressCallback cb = [&](int p, const std::string& s, const std::string& d) { reports.push_back({p, s, d}); };
  std::string message;
  const std::string out = dir.file("stack.tif");
  ASSERT_TRUE(NL_fixedSigmaStackToReferenceSize(paths, out, message, cb, "Average")) << message;
  EXPECT_EQ(message, "Fixed foreground stack success.\noutput = " + out +
                         "\ninputs = 5\nstackMethod = sigma\ncanvas = 13 x 9\n");
  EXPECT_EQ(maxDiff(cv::imread(out, -1), naiveCombine(frames, {}, true)), 0.0);
  ASSERT_GE(reports.size(), 8u);
  EXPECT_EQ(reports[0].percent, 0);
  EXPECT_EQ(reports[0].detail, "Loading foreground frames.");
  EXPECT_EQ(reports[1].percent, 5);  // frame 1 of 5: 20 % of 0..25
  EXPECT_EQ(reports[1].detail, "Loaded frame 1 of 5.");
  EXPECT_EQ(reports[5].percent, 25);
  EXPECT_EQ(reports[6].percent, 30);
  EXPECT_EQ(reports[6].detail, "Sigma combining fixed foreground stack.");
  EXPECT_EQ(reports.back().percent, 95);
  EXPECT_EQ(reports.back().detail, "Writing foreground stack output.");
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].percent, reports[i - 1].percent);
  // Decoded in parallel, the frames are still counted in input order.
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(reports[size_t(i)].detail, "Loaded frame " + std::to_string(i) + " of 5.");

  ASSERT_TRUE(NL_fixedSigmaStackToReferenceSize(paths, out, message, {}, "average"));
  EXPECT_NE(message.find("stackMethod = average\n"), std::string::npos);
  EXPECT_EQ(maxDiff(cv::imread(out, -1), naiveCombine(frames, {}, false)), 0.0);

  // A third frame of another size stops the load at that frame; an
  // unreadable second frame before it is the one named, whichever is decoded first.
  ASSERT_TRUE(cv::imwrite(paths[2], cv::Mat(4, 4, CV_16UC3, cv::Scalar::all(9))));
  EXPECT_FALSE(NL_fixedSigmaStackToReferenceSize(paths, out, message, {}, "sigma"));
  EXPECT_EQ(message, "Fixed foreground stack failed: input image size/type mismatch: " + paths[2]);
  std::vector<std::string> folderFirst = paths;
  folderFirst[1] = dir.file("a_folder.tif");
  std::filesystem::create_directory(folderFirst[1]);
  EXPECT_FALSE(NL_fixedSigmaStackToReferenceSize(folderFirst, out, message, {}, "sigma"));
  EXPECT_EQ(message, "Fixed foreground stack failed: could not load input: " + folderFirst[1]);
  std::vector<cv::Mat> images;
  EXPECT_FALSE(NL_loadSkyBlendImages({paths[0]}, images, message, {}, 0, 10, "s"));
  EXPECT_EQ(message, "at least two input images are required.");
  const std::vector<std::string> floats = {dir.file("f0.tif"), dir.file("f1.tif")};
  for (const std::string& p : floats) ASSERT_TRUE(cv::imwrite(p, cv::Mat(3, 3, CV_32FC1, cv::Scalar(0.5))));
  EXPECT_FALSE(NL_loadSkyBlendImages(floats, images, message, {}, 0, 10, "s"));
  EXPECT_EQ(message, "only 8-bit and 16-bit images are supported.");
  EXPECT_FALSE(NL_fixedSigmaStackToReferenceSize({paths[0], paths[1]}, dir.file("no/such/dir/x.tif"), message, {},
                                                 "sigma"));
  EXPECT_EQ(message, "Fixed foreground stack failed: could not write output: " + dir.file("no/such/dir/x.tif") +
                         " (No such file or directory)");
}

}  // namespace
