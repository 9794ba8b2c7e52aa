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
#include <ctime>
#include <map>
#include <string>
#include <tuple>

namespace {

constexpr double kSigma = 2.5, kTolerance = 12.0;
constexpr int kBudget = 4500, kMaxShift = 500;

// The stack scene in one of four skies: dense (the default 16-bit sky) or
// sparse (a light-polluted 8-bit sky, few stars and a saturated planet: only
// a few dozen stars clear a level relative to the brightest one), in good
// (FWHM 2.5-3.5 px) or poor (5.5-6.5 px) seeing for every frame. Frame 0 is
// the reference; the others turn by up to 0.5 degree and shift by up to 30 px.
const synth::Scene& stackScene(int width, int height, bool sparse = false, bool poor = false) {
  static std::map<std::tuple<int, bool, bool>, synth::Scene> scenes;
  synth::Scene& s = scenes[{width, sparse, poor}];
  if (s.frames.empty()) {
    synth::StackSettings settings;
    settings.size = {width, height};
    settings.frames = 4;
    settings.poorSeeingFrame = -2;
    if (poor) settings.fwhmMin = 5.5, settings.fwhmMax = 6.5;
    if (sparse) {
      settings.sky = synth::sparseSky();
      settings.skyLevel = 0.15;
      settings.bits = 8;
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

// Every frame against frame 0 through the quality variant; one line per frame.
void BM_AccuracyAgainstTruth(benchmark::State& state) {
  const bool sparse = state.range(2) != 0, poor = state.range(3) != 0;
  const synth::Scene& s = stackScene(int(state.range(0)), int(state.range(1)), sparse, poor);
  double worst = 0.0, totalMs = 0.0, totalCpuMs = 0.0;
  int registered = 0, wrongOk = 0;
  for (auto _ : state) {
    registered = wrongOk = 0;
    totalMs = totalCpuMs = worst = 0.0;
    std::printf("\n%dx%d %s sky, %s seeing\n  frame  fwhm  ok  mode              stars  inliers  avgErr  rms_px   ms    cpu  reason\n",
                s.frames[0].cols, s.frames[0].rows, sparse ? "sparse" : "dense", poor ? "poor" : "good");
    for (size_t i = 1; i < s.frames.size(); ++i) {
      cv::Mat h;
      NLAlignmentQuality q;
      const auto t0 = std::chrono::steady_clock::now();
      const std::clock_t c0 = std::clock();
      const bool ok = NL_buildHomographyTransformWithQuality(s.frames[0], s.frames[i], kSigma, kBudget, kMaxShift,
                                                             kTolerance, h, q, nullptr);
      const double cpuMs = double(std::clock() - c0) * 1e3 / CLOCKS_PER_SEC;
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      const double rms = h.empty() ? NAN : gridRms(h, s.truth[i].frameToReference, s.frames[i].size());
      if (ok) worst = std::max(worst, rms);
      registered += ok;
      wrongOk += ok && !(rms < 1.0);
      totalMs += ms;
      totalCpuMs += cpuMs;
      std::printf("%7zu  %4.1f  %2d  %-16s  %5d  %7d  %6.3f  %7.4f  %5.0f  %5.0f  %s\n", i, s.truth[i].fwhm, int(ok),
                  q.mode.c_str(), q.movingStars, q.inlierCount, q.averageError, rms, ms, cpuMs, q.reason.c_str());
    }
  }
  state.counters["registered"] = registered;
  state.counters["pairs"] = double(s.frames.size() - 1);
  state.counters["wrong_ok"] = wrongOk;
  state.counters["worst_rms"] = worst;
  state.counters["ms_per_pair"] = totalMs / double(s.frames.size() - 1);
  state.counters["cpu_ms_per_pair"] = totalCpuMs / double(s.frames.size() - 1);
}

// A sharp reference (FWHM 2.8 px) and one frame of the given seeing, the
// pair turned and shifted as the stack scene draws them for the seed, in a
// sky of the given density: the dense field's poor-seeing frame falls back
// to the sky-noise search at the relative level's 300 stars.
void BM_PoorSeeingPair(benchmark::State& state) {
  const double density = double(state.range(0)) * 1e-4, fwhm = double(state.range(1)) / 10.0;
  const int seed = int(state.range(2));
  synth::StackSettings settings;
  settings.size = {3000, 2000};
  settings.frames = 2;
  settings.seed = std::uint64_t(seed);
  settings.fwhmMin = settings.fwhmMax = 2.8;
  settings.poorSeeingFrame = 1;
  settings.poorSeeingFwhm = fwhm;
  settings.streakFrame = -2;
  settings.sky.density = density;
  const synth::Scene s = synth::makeStackScene(settings);
  double rms = NAN, ms = 0.0, cpuMs = 0.0;
  bool ok = false;
  NLAlignmentQuality q;
  for (auto _ : state) {
    cv::Mat h;
    const auto t0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    ok = NL_buildHomographyTransformWithQuality(s.frames[0], s.frames[1], kSigma, kBudget, kMaxShift, kTolerance, h,
                                                q, nullptr);
    cpuMs = double(std::clock() - c0) * 1e3 / CLOCKS_PER_SEC;
    ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    rms = h.empty() ? NAN : gridRms(h, s.truth[1].frameToReference, s.frames[1].size());
  }
  std::printf("\npair density %.1e fwhm %.1f seed %d: ok %d %s ref %d moving %d inliers %d avgErr %.3f rms %.4f  %.0f ms (%.0f CPU)  %s\n",
              density, fwhm, seed, int(ok), q.mode.c_str(), q.referenceStars, q.movingStars, q.inlierCount,
              q.averageError, rms, ms, cpuMs, q.reason.c_str());
  state.counters["ok"] = ok;
  state.counters["rms"] = rms;
  state.counters["cpu_ms"] = cpuMs;
}

// Consecutive frames of a dense field (3000 to 6000 stars found in 1.5 MP),
// the next one turned about a pole above the frame and shifted by a few px,
// through the stack's quality pair and Star Trail's plain pair; RMS px
// against the true matrix and CPU per pair (both detections, matching,
// refinement, checks).
void BM_DenseTurningPair(benchmark::State& state) {
  synth::TurningPairSettings s;
  s.sky.density = double(state.range(0)) * 1e-4;
  s.degrees = double(state.range(1)) / 100.0;
  s.movingFwhm = double(state.range(2)) / 10.0;
  s.bits = int(state.range(3));
  s.shift = {0.5 + 0.02 * double(state.range(1)), -0.5 - 0.01 * double(state.range(0) / 10)};
  const synth::Scene scene = synth::makeTurningPair(s);
  const cv::Size size = scene.frames[0].size();
  const size_t found = NL_findStarCandidates(scene.frames[0], kSigma, 0).size();
  const NLRegistrationSettings& t = NL_kTrailRegistration;
  double rms[2] = {NAN, NAN}, cpuMs[2] = {0.0, 0.0};
  bool ok[2] = {false, false};
  std::string mode[2];
  for (auto _ : state) {
    for (int entry = 0; entry < 2; ++entry) {
      cv::Mat h;
      NLAlignmentQuality q;
      const std::clock_t c0 = std::clock();
      ok[entry] = entry == 0 ? NL_buildHomographyTransformWithQuality(scene.frames[0], scene.frames[1], kSigma, kBudget,
                                                                      kMaxShift, kTolerance, h, q, nullptr)
                             : NL_buildHomographyTransformWithFigures(scene.frames[0], scene.frames[1], t.sigmaFactor,
                                                                      t.starBudget, NL_trailMaxShift(size),
                                                                      t.tolerance, h, q, nullptr);
      cpuMs[entry] = double(std::clock() - c0) * 1e3 / CLOCKS_PER_SEC;
      rms[entry] = h.empty() ? NAN : gridRms(h, scene.truth[1].frameToReference, size);
      mode[entry] = q.mode;
    }
  }
  std::printf("\ndense pair %.1e (%zu stars found) %.2f deg fwhm %.1f %d-bit: stack ok %d %s rms %.4f cpu %.0f ms | trail ok %d %s rms %.4f cpu %.0f ms\n",
              s.sky.density, found, s.degrees, s.movingFwhm, s.bits, int(ok[0]), mode[0].c_str(), rms[0], cpuMs[0],
              int(ok[1]), mode[1].c_str(), rms[1], cpuMs[1]);
  state.counters["stars"] = double(found);
  state.counters["stack_rms"] = rms[0];
  state.counters["trail_rms"] = rms[1];
  state.counters["stack_cpu_ms"] = cpuMs[0];
  state.counters["trail_cpu_ms"] = cpuMs[1];
}

}  // namespace

#define STACK_SIZES Args({3000, 2000})->Args({6000, 4000})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_DetectStars)->STACK_SIZES->Iterations(3);
BENCHMARK(BM_MatchPair)->STACK_SIZES->Iterations(3);
BENCHMARK(BM_AccuracyAgainstTruth)
    ->ArgsProduct({{3000}, {2000}, {0, 1}, {0, 1}})
    ->ArgsProduct({{6000}, {4000}, {0, 1}, {0, 1}})
    ->ArgNames({"w", "h", "sparse", "poor"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

BENCHMARK(BM_PoorSeeingPair)
    ->ArgsProduct({{20, 12, 7}, {28, 56, 70}, {1, 2, 3}})
    ->ArgNames({"density_e4", "fwhm_x10", "seed"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

BENCHMARK(BM_DenseTurningPair)
    ->ArgsProduct({{100, 160}, {5, 10, 30}, {24, 56}, {16}})
    ->Args({100, 10, 24, 8})
    ->Args({100, 10, 56, 8})
    ->ArgNames({"density_e4", "deg_x100", "fwhm_x10", "bits"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

BENCHMARK_MAIN();
