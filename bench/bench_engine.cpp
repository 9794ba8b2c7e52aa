// Stacking engine figures on 12 frames of 3000x2000 16-bit with lens
// distortion: parallel transforms (reference stars once vs per worker),
// warps with and without the residual mesh on 1 and all cores, peak memory,
// and how far the warped stars land from their reference positions.
// A plain program: run it and read the table (bench/README.md).
#include "registration/registration.h"
#include "stack/stack.h"
#include "synth/synth.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#endif

namespace {

double peakMegabytes() {
#if defined(__APPLE__)
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1048576.0;  // bytes
#elif defined(__unix__)
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1024.0;  // kilobytes
#else
  return 0.0;
#endif
}

template <typename F>
double seconds(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

cv::Point2d centroidNear(const cv::Mat& grey, cv::Point2d around) {
  const int x0 = int(std::lround(around.x)) - 6, y0 = int(std::lround(around.y)) - 6;
  double border = 0;
  for (int k = 0; k < 13; ++k)
    border += grey.at<float>(y0, x0 + k) + grey.at<float>(y0 + 12, x0 + k) + grey.at<float>(y0 + k, x0) +
              grey.at<float>(y0 + k, x0 + 12);
  border /= 52.0;
  double sx = 0, sy = 0, s = 0;
  for (int y = y0; y < y0 + 13; ++y)
    for (int x = x0; x < x0 + 13; ++x) {
      const double v = std::max(grey.at<float>(y, x) - border, 0.0);
      sx += v * x, sy += v * y, s += v;
    }
  return s > 0 ? cv::Point2d(sx / s, sy / s) : around;
}

// Median distance of isolated, unsaturated stars from their reference position on the canvas.
double medianResidual(const cv::Mat& warped, const synth::FrameTruth& truth, cv::Size canvas) {
  cv::Mat grey;
  warped.convertTo(grey, CV_32F);
  cv::cvtColor(grey, grey, cv::COLOR_BGR2GRAY);
  std::vector<double> d;
  for (const synth::FrameStar& s : truth.stars) {
    if (s.flux < 2.0 || s.saturated || s.reference.x < 20 || s.reference.y < 20 || s.reference.x > canvas.width - 21 ||
        s.reference.y > canvas.height - 21)
      continue;
    bool crowded = false;
    for (const synth::FrameStar& o : truth.stars)
      crowded |= &o != &s && cv::norm(o.reference - s.reference) < 9.0 && o.flux > 0.02 * s.flux;
    if (!crowded) d.push_back(cv::norm(centroidNear(grey, s.reference) - s.reference));
  }
  if (d.empty()) return 0.0;
  std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
  return d[d.size() / 2];
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const int allThreads = cv::getNumThreads();
  synth::StackSettings settings;
  settings.size = {3000, 2000};
  settings.frames = 12;
  settings.distortionK1 = 0.002;  // per frame within +-0.002: up to 3.6 px at the corners, frame 0 none
  settings.poorSeeingFrame = -2;
  settings.noise = true;
  std::printf("rendering 12 frames of 3000x2000 16-bit ...\n");
  const synth::Scene scene = synth::makeStackScene(settings);
  const std::vector<cv::Mat>& frames = scene.frames;
  std::printf("peak after rendering: %.0f MB (frames alone %.0f MB)\n", peakMegabytes(),
              frames.size() * frames[0].total() * frames[0].elemSize() / 1048576.0);

  std::vector<cv::Mat> transforms;
  std::vector<NLStarMatchList> matches;
  double minX, minY, maxX, maxY;
  std::string error;
  const double tTransforms = seconds([&] {
    if (!NL_computeHomographyTransformsParallel(frames, 4500, 12.0, transforms, matches, minX, minY, maxX, maxY, error))
      std::printf("registration failed: %s\n", error.c_str());
  });
  if (!error.empty()) {
    NLAlignmentQuality q;
    cv::Mat h;
    NL_buildHomographyTransformWithFigures(frames[0], frames[1], 2.5, 4500, 500, 12.0, h, q);
    std::printf("frame 2: %s\n", q.reason.c_str());
    return 1;
  }
  // The old way: each worker selects the reference's stars again.
  const double tPerWorker = seconds([&] {
    cv::parallel_for_(cv::Range(1, int(frames.size())), [&](const cv::Range& r) {
      for (int i = r.start; i < r.end; ++i) {
        cv::Mat h;
        NLStarMatchList m;
        NL_buildHomographyTransform(frames[0], frames[i], 2.5, 4500, 500, 12.0, h, m);
      }
    });
  });
  const double tDetect = seconds([&] { NL_selectReferenceStars(frames[0], NL_kStackRegistration); });
  std::printf("transforms, 11 pairs, %d threads: %.2f s (reference stars once); %.2f s (per worker); "
              "one frame's star selection %.2f s\n",
              allThreads, tTransforms, tPerWorker, tDetect);

  const int width = int(std::ceil(maxX - minX)), height = int(std::ceil(maxY - minY));
  const int offX = int(std::ceil(-minX)), offY = int(std::ceil(-minY));
  const cv::Mat t = (cv::Mat_<double>(3, 3) << 1, 0, offX, 0, 1, offY, 0, 0, 1);
  std::printf("canvas %d x %d, offset (%d, %d)\n", width, height, offX, offY);

  // Warps, one frame at a time (as the average stack holds them).
  for (int threads : {1, allThreads}) {
    cv::setNumThreads(threads);
    double tPlain = 0, tMesh = 0, tFloor = 0, before = 0, after = 0;
    int corrected = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
      NLLocalCorrectionStats planned, stats;
      const NLCanvasWarp plan = NL_planWarpToCanvas(frames[i].size(), transforms[i], t, width, height, matches[i], offX,
                                                    offY, planned);
      NLCanvasWarp plain = plan;
      plain.corrected = false;
      cv::Mat warped, mask, floorOut;
      const cv::Mat m = t * transforms[i];
      tFloor += seconds([&] { cv::warpPerspective(frames[i], floorOut, m, cv::Size(width, height), cv::INTER_LINEAR); });
      tPlain += seconds([&] { NL_renderWarpRows(plain, frames[i], cv::Range(0, height), warped, mask); });
      if (threads == allThreads) before += medianResidual(warped(cv::Rect(offX, offY, 3000, 2000)), scene.truth[i], {3000, 2000});
      tMesh += seconds([&] { NL_warpFrameToCanvas(frames[i], transforms[i], t, width, height, matches[i], offX, offY,
                                                  warped, mask, stats); });
      if (threads == allThreads) after += medianResidual(warped(cv::Rect(offX, offY, 3000, 2000)), scene.truth[i], {3000, 2000});
      corrected += stats.correctedFrames;
    }
    std::printf("threads %d: 11 warps without mesh %.2f s, with mesh %.2f s (%d corrected); floor (bilinear "
                "warpPerspective) %.2f s -> %.1fx / %.1fx the floor\n",
                threads, tPlain, tMesh, corrected, tFloor, tPlain / tFloor, tMesh / tFloor);
    if (threads == allThreads)
      std::printf("median star residual on the canvas, mean over 11 frames: %.3f px without mesh, %.3f px with\n",
                  before / 11.0, after / 11.0);
  }
  cv::setNumThreads(allThreads);

  // Banded median over the canvas: only a band of warped rows exists at once.
  const int band = 256;
  cv::Mat result(height, width, frames[0].type());
  const double tBanded = seconds([&] {
    std::vector<NLCanvasWarp> plans;
    NLLocalCorrectionStats stats;
    for (size_t i = 0; i < frames.size(); ++i)
      plans.push_back(NL_planWarpToCanvas(frames[i].size(), transforms[i], t, width, height, matches[i], offX, offY, stats));
    for (int y0 = 0; y0 < height; y0 += band) {
      const cv::Range rows(y0, std::min(height, y0 + band));
      std::vector<cv::Mat> warped(frames.size()), masks(frames.size());
      for (size_t i = 0; i < frames.size(); ++i) NL_renderWarpRows(plans[i], frames[i], rows, warped[i], masks[i]);
      cv::Mat out = result.rowRange(rows);
      NL_combineFrames(NL_kMedianCombine, warped, masks, out);
    }
  });
  std::printf("banded median stack (warp + combine, %d-row bands): %.2f s\n", band, tBanded);
  std::printf("peak memory of the whole run: %.0f MB\n", peakMegabytes());
  return 0;
}
