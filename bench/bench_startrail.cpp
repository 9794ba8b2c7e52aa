// Star Trail throughput: frames per second of the direct Lighten path and of
// the rejection path, beside the time to merely decode the same frames once.
#include "startrail/startrail.h"
#include "synth/synth.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct Scene {
  std::string dir;
  std::vector<std::string> frames;
};

// The synthetic `trail` scene (stars turning about a pole above the frame,
// a fixed landscape, satellites and an aircraft) as uncompressed 16-bit TIFF
// frames, kept under the temp folder between runs.
const Scene& scene(int width, int height, int count) {
  static std::map<int, Scene> scenes;
  Scene& s = scenes[width];
  if (!s.frames.empty()) return s;
  s.dir = (fs::temp_directory_path() / ("lumivex_bench_trail_scene_" + std::to_string(width))).string();
  for (int i = 0; i < count; ++i) s.frames.push_back(s.dir + "/frame_" + std::to_string(i) + ".tif");
  const std::string complete = s.dir + "/complete";
  if (fs::exists(complete)) return s;
  fs::create_directories(s.dir);
  synth::TrailSettings settings;
  settings.size = {width, height};
  settings.frames = count;
  const synth::Scene rendered = synth::makeTrailScene(settings);
  for (int i = 0; i < count; ++i) cv::imwrite(s.frames[size_t(i)], rendered.frames[size_t(i)]);
  std::ofstream(complete) << "frames=" << count << "\n";
  return s;
}

std::string writeJob(const Scene& s, const std::string& mode) {
  const std::string job = s.dir + "/startrail_job_native_" + mode + ".json";
  std::ofstream out(job);
  out << "{\"inputs\": [";
  for (size_t i = 0; i < s.frames.size(); ++i) out << (i ? ", " : "") << "{\"path\": \"" << s.frames[i] << "\"}";
  out << "], \"output\": \"" << s.dir << "/result_" << mode << ".tif\", \"rejectionMode\": \"" << mode
      << "\", \"temporalWindow\": 5}";
  return job;
}

int frameCount(int width) { return width >= 6000 ? 12 : 20; }

// The floor: every frame decoded once, by as many threads as the job runs workers.
void BM_DecodeFloor(benchmark::State& state) {
  const Scene& s = scene(int(state.range(0)), int(state.range(1)), frameCount(int(state.range(0))));
  const int workers = NL_starTrailWorkerCount(std::thread::hardware_concurrency(), int(s.frames.size()));
  for (auto _ : state) {
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
      threads.emplace_back([&] {
        for (int i; (i = next.fetch_add(1)) < int(s.frames.size());) benchmark::DoNotOptimize(cv::imread(s.frames[i], -1));
      });
    for (std::thread& t : threads) t.join();
  }
  state.counters["fps"] = benchmark::Counter(double(s.frames.size()) * state.iterations(), benchmark::Counter::kIsRate);
}

void runJob(benchmark::State& state, const std::string& mode) {
  const Scene& s = scene(int(state.range(0)), int(state.range(1)), frameCount(int(state.range(0))));
  const std::string job = writeJob(s, mode);
  NLStarTrailStageTimes total;
  for (auto _ : state) {
    NLStarTrailStageTimes t;
    const std::string log = NL_runStarTrailNativeJob(job, std::thread::hardware_concurrency(), &t);
    if (log.find("status=success") == std::string::npos) state.SkipWithError(log.c_str());
    std::remove((s.dir + "/result_" + mode + ".tif").c_str());
    total.decode += t.decode, total.starDetection += t.starDetection, total.matching += t.matching;
    total.warp += t.warp, total.masks += t.masks, total.accumulate += t.accumulate;
  }
  const double frames = double(s.frames.size()) * state.iterations();
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  // Worker time per frame by step (ms), summed over the workers.
  const auto perFrame = [&](std::int64_t ns) { return double(ns) / 1e6 / frames; };
  state.counters["decode_ms"] = perFrame(total.decode);
  state.counters["stars_ms"] = perFrame(total.starDetection);
  state.counters["match_ms"] = perFrame(total.matching);
  state.counters["warp_ms"] = perFrame(total.warp);
  state.counters["masks_ms"] = perFrame(total.masks);
  state.counters["accum_ms"] = perFrame(total.accumulate);
}

void BM_DirectLighten(benchmark::State& state) { runJob(state, "off"); }
void BM_RejectionMedium(benchmark::State& state) { runJob(state, "medium"); }

#define TRAIL_SIZES Args({3000, 2000})->Args({6000, 4000})->Unit(benchmark::kMillisecond)->UseRealTime()
BENCHMARK(BM_DecodeFloor)->TRAIL_SIZES->Iterations(3);
BENCHMARK(BM_DirectLighten)->TRAIL_SIZES->Iterations(3);
BENCHMARK(BM_RejectionMedium)->TRAIL_SIZES->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
