// Registration accuracy and speed on the synthetic stack scene: every frame
// against frame 0 with the alignment gate's settings, the found homography
// compared with the one the frame was rendered through.
#include "registration/registration.h"
#include "synth/synth.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>

namespace {

constexpr double kSigma = 2.5, kTolerance = 12.0;
constexpr int kBudget = 4500, kMaxShift = 500;

// The default stack scene, or a sparse field: the detector only keeps stars
// whose peak clears 18/255 of the brightest residual, so a sky a quarter as
// dense with a fainter tail leaves it a few hundred stars at most.
const synth::Scene& stackScene(int width, int height, bool sparse = false) {
  static std::map<std::pair<int, bool>, synth::Scene> scenes;
  synth::Scene& s = scenes[{width, sparse}];
  if (s.frames.empty()) {
    synth::StackSettings settings;
    settings.size = {width, height};
    settings.frames = 6;  // the last one is the poor-seeing frame
    if (sparse) {
      settings.sky.density = 5.0e-4;
      settings.sky.faintestFlux = 0.02;
    }
    s = synth::makeStackScene(settings);
  }
  return s;
}

// RMS over a 21 x 21 grid of frame points of the distance between where the
// found and the true matrix send them, in reference pixels.
double gridRms(const cv::Mat& found, const cv::Matx33d& truth, cv::Size size) {
  double sum = 0.0;
  int n = 0;
  for (int gy = 0; gy <= 20; ++gy)
    for (int gx = 0; gx <= 20; ++gx) {
      const cv::Point2d p(gx * (size.width - 1) / 20.0, gy * (size.height - 1) / 20.0);
      const cv::Point2d a = NL_projectPoint(found, p);
      const cv::Vec3d t = truth * cv::Vec3d(p.x, p.y, 1.0);
      const cv::Point2d b(t[0] / t[2], t[1] / t[2]);
      sum += (a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y);
      ++n;
    }
  return std::sqrt(sum / n);
}

std::vector<NLStarCandidate> selected(const cv::Mat& image) {
  return NL_selectGridBalancedStars(NL_findStarCandidates(image, kSigma, std::max(kBudget, 6000)), image.cols,
                                    image.rows, kBudget);
}

// Detection of one frame on one core: blur, normalisation, scan and flood fill.
void BM_DetectStars(benchmark::State& state) {
  const synth::Scene& s = stackScene(int(state.range(0)), int(state.range(1)));
  const int saved = cv::getNumThreads();
  cv::setNumThreads(1);
  size_t found = 0;
  double seconds = 0.0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    found = NL_findStarCandidates(s.frames[1], kSigma, std::max(kBudget, 6000)).size();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  cv::setNumThreads(saved);
  const double mp = s.frames[1].total() / 1e6;
  state.counters["candidates"] = double(found);
  state.counters["ms_per_MP"] = seconds * 1e3 / double(state.iterations()) / mp;
}

// Matching of one selected pair: shift vote, pattern stages, homography fits.
void BM_MatchPair(benchmark::State& state) {
  const synth::Scene& s = stackScene(int(state.range(0)), int(state.range(1)));
  const std::vector<NLStarCandidate> reference = selected(s.frames[0]), moving = selected(s.frames[1]);
  NLRegistrationAttempt attempt;
  for (auto _ : state) attempt = NL_buildBestRegistrationAttempt(reference, moving, kMaxShift, kTolerance);
  state.counters["inliers"] = attempt.inlierCount;
}

// Every frame against frame 0 through the quality variant; one table row per frame.
void BM_AccuracyAgainstTruth(benchmark::State& state) {
  const bool sparse = state.range(2) != 0;
  const synth::Scene& s = stackScene(int(state.range(0)), int(state.range(1)), sparse);
  double worstGood = 0.0, worstPoor = 0.0;
  int registered = 0;
  for (auto _ : state) {
    registered = 0;
    std::printf("\n%dx%d %s field\n  frame  fwhm  ok  mode              stars  inliers  avgErr  rms_px   ms\n", s.frames[0].cols,
                s.frames[0].rows, sparse ? "sparse" : "default");
    for (size_t i = 1; i < s.frames.size(); ++i) {
      cv::Mat h;
      NLAlignmentQuality q;
      const auto t0 = std::chrono::steady_clock::now();
      const bool ok = NL_buildHomographyTransformWithQuality(s.frames[0], s.frames[i], kSigma, kBudget, kMaxShift,
                                                             kTolerance, h, q, nullptr);
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      const double rms = h.empty() ? NAN : gridRms(h, s.truth[i].frameToReference, s.frames[i].size());
      const bool poor = s.truth[i].fwhm > 5.0;
      (poor ? worstPoor : worstGood) = std::max(poor ? worstPoor : worstGood, rms);
      registered += ok;
      std::printf("%7zu  %4.1f  %2d  %-16s  %5d  %7d  %6.3f  %7.4f  %5.0f\n", i, s.truth[i].fwhm, int(ok), q.mode.c_str(),
                  q.movingStars, q.inlierCount, q.averageError, rms, ms);
    }
  }
  state.counters["registered"] = registered;
  state.counters["worst_rms_fwhm3"] = worstGood;
  state.counters["worst_rms_poor"] = worstPoor;
}

}  // namespace

#define STACK_SIZES Args({3000, 2000})->Args({6000, 4000})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_DetectStars)->STACK_SIZES->Iterations(3);
BENCHMARK(BM_MatchPair)->STACK_SIZES->Iterations(3);
BENCHMARK(BM_AccuracyAgainstTruth)
    ->ArgsProduct({{3000}, {2000}, {0, 1}})
    ->Args({6000, 4000, 0})
    ->Args({6000, 4000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

BENCHMARK_MAIN();
