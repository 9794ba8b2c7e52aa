// Rendering speed of the synthetic skies at full frame size.
#include "synth/synth.h"

#include <benchmark/benchmark.h>

namespace {

const cv::Size kFull(3000, 2000);

std::vector<synth::Star> fullSky() {
  synth::SkySettings sky;  // default density: about 12000 stars on the frame
  return synth::makeSky(sky, cv::Rect2d(-20, -20, kFull.width + 40, kFull.height + 40), 1);
}

synth::FrameSettings fullFrame(synth::Psf psf) {
  synth::FrameSettings f;
  f.size = kFull;
  f.psf = psf;
  f.hotPixels = 12;
  return f;
}

void BM_RenderFrame16(benchmark::State& state) {
  const std::vector<synth::Star> stars = fullSky();
  const synth::FrameSettings f = fullFrame(state.range(0) ? synth::Psf::Moffat : synth::Psf::Gaussian);
  const cv::Matx33d h = synth::makeHomography({1499.5, 999.5}, 0.3, 1.001, {12.0, -7.0});
  for (auto _ : state) {
    cv::Mat image = synth::renderFrame(stars, h, f, 5);
    benchmark::DoNotOptimize(image.data);
  }
  state.SetLabel(state.range(0) ? "moffat" : "gaussian");
}
BENCHMARK(BM_RenderFrame16)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SignalOnly(benchmark::State& state) {
  const std::vector<synth::Star> stars = fullSky();
  const synth::FrameSettings f = fullFrame(synth::Psf::Gaussian);
  for (auto _ : state) {
    cv::Mat signal = synth::renderSignal(stars, cv::Matx33d::eye(), f);
    benchmark::DoNotOptimize(signal.data);
  }
}
BENCHMARK(BM_SignalOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QuantizeWithNoise(benchmark::State& state) {
  const synth::FrameSettings f = fullFrame(synth::Psf::Gaussian);
  const cv::Mat signal = synth::renderSignal({}, cv::Matx33d::eye(), f);
  for (auto _ : state) {
    cv::Mat image = synth::quantize(signal, f, 3);
    benchmark::DoNotOptimize(image.data);
  }
}
BENCHMARK(BM_QuantizeWithNoise)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StackScene(benchmark::State& state) {
  synth::StackSettings s;  // 3000x2000, 8 frames, one streak
  for (auto _ : state) {
    synth::Scene scene = synth::makeStackScene(s);
    benchmark::DoNotOptimize(scene.frames.data());
  }
}
BENCHMARK(BM_StackScene)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void BM_TrailScene(benchmark::State& state) {
  synth::TrailSettings s;  // 1200x800, 12 frames
  for (auto _ : state) {
    synth::Scene scene = synth::makeTrailScene(s);
    benchmark::DoNotOptimize(scene.frames.data());
  }
}
BENCHMARK(BM_TrailScene)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
