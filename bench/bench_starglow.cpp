// Star Glow on a 24-megapixel frame: detection, rendering (by thread count),
// composite, and the whole job with its fixed readiness wait.
#include "starglow/starglow.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <sys/resource.h>

namespace {

const cv::Size kFrame(6000, 4000);
constexpr int kStars = 3000;

// Sky with a gradient and kStars Gaussian stars of steeply falling brightness.
cv::Mat makeFrame() {
  cv::Mat image(kFrame, CV_32FC3);
  for (int y = 0; y < kFrame.height; ++y) image.row(y).setTo(cv::Scalar(0.09 - 0.04 * y / kFrame.height, 0.07, 0.05));
  std::mt19937 rng(2026);
  std::uniform_real_distribution<double> u(0, 1);
  for (int i = 0; i < kStars; ++i) {
    const double x = u(rng) * kFrame.width, y = u(rng) * kFrame.height;
    const double a = 0.03 + 0.9 * std::pow(u(rng), 3), sigma = 0.9 + 1.3 * a;
    const cv::Vec3f colour(static_cast<float>(0.7 + 0.3 * u(rng)), 0.9f, static_cast<float>(0.7 + 0.3 * u(rng)));
    const int r = static_cast<int>(5 * sigma) + 1;
    for (int yy = std::max(0, int(y) - r); yy <= std::min(kFrame.height - 1, int(y) + r); ++yy)
      for (int xx = std::max(0, int(x) - r); xx <= std::min(kFrame.width - 1, int(x) + r); ++xx) {
        const double g = a * std::exp(-((xx - x) * (xx - x) + (yy - y) * (yy - y)) / (2 * sigma * sigma));
        image.at<cv::Vec3f>(yy, xx) += colour * static_cast<float>(g);
      }
  }
  return image;
}

const cv::Mat& frame() {
  static const cv::Mat f = makeFrame();
  return f;
}

// The same sky with a sensor's noise, about 100 of 65535 in each channel:
// the result then hardly compresses (nearly a new LZW string every two bytes
// of its 16-bit samples), as with a real camera's frame.
const cv::Mat& noisyFrame() {
  static const cv::Mat f = [] {
    cv::Mat noise(kFrame, CV_32FC3), out;
    cv::RNG(2027).fill(noise, cv::RNG::NORMAL, 0.0, 0.0015);
    cv::max(frame() + noise, 0.0, out);
    return out;
  }();
  return f;
}

const cv::Mat& luminance() {
  static const cv::Mat lum = [] {
    cv::Mat l;
    cv::transform(frame(), l, cv::Matx13f(0.0722f, 0.7152f, 0.2126f));
    return l;
  }();
  return lum;
}

NL_StarGlowSettings allStars() {
  NL_StarGlowSettings s;
  s.starAmount = 100;  // render every detected star, the heaviest case
  return s;
}

const std::vector<NL_StarCandidate>& stars() {
  static const std::vector<NL_StarCandidate> s = NL_analyzeStars(luminance(), frame(), cv::Mat(), allStars()).stars;
  return s;
}

void BM_DetectStars(benchmark::State& state) {
  cv::setNumThreads(static_cast<int>(state.range(0)));
  std::size_t found = 0;
  for (auto _ : state) found = NL_analyzeStars(luminance(), frame(), cv::Mat(), allStars()).stars.size();
  state.counters["stars"] = static_cast<double>(found);
}

void BM_RenderGlow(benchmark::State& state) {
  cv::setNumThreads(static_cast<int>(state.range(0)));
  cv::Mat glow(kFrame, CV_32FC3);
  std::ostringstream log;
  stars();  // detection is not part of this figure
  for (auto _ : state) {
    state.PauseTiming();
    glow.setTo(cv::Scalar::all(0));
    state.ResumeTiming();
    NL_renderGlow(glow, stars(), cv::Mat(), allStars(), log);
  }
  std::size_t touched = 0;
  for (const NL_PreparedGlowStar& g : NL_prepareGlowStars(stars(), kFrame, allStars()))
    touched += static_cast<std::size_t>(M_PI * g.reach2);
  state.counters["stars"] = static_cast<double>(stars().size());
  state.counters["reachPixels"] = static_cast<double>(touched);
}

void BM_ScreenComposite(benchmark::State& state) {
  cv::setNumThreads(static_cast<int>(state.range(0)));
  // The job blends over its glow layer, so no frame-sized buffer is allocated here either.
  const cv::Mat source(kFrame, CV_32FC3, cv::Scalar::all(0.1));
  cv::Mat glow = source.clone();
  for (auto _ : state) {
    state.PauseTiming();
    source.copyTo(glow);
    state.ResumeTiming();
    NL_screenCompositeInto(frame(), glow);
  }
}

// A folder holding the frame (or the noisy one) as a 16-bit (or 8-bit) TIFF
// and a "final" job on it, with the extra job keys given; returns the job
// file's path.
std::string writeWholeJob(const std::filesystem::path& dir, const std::string& extraKeys, int bits = 16,
                          bool noisy = false) {
  std::filesystem::create_directories(dir);
  const std::string input = (dir / "input.tif").string(), job = (dir / "star_glow_job_native.json").string();
  cv::Mat saved;
  (noisy ? noisyFrame() : frame()).convertTo(saved, bits == 8 ? CV_8UC3 : CV_16UC3, bits == 8 ? 255 : 65535);
  // The noisy frame uncompressed, as a camera's export arrives; the smooth one
  // in OpenCV's default LZW.
  cv::imwrite(input, saved, noisy ? std::vector<int>{cv::IMWRITE_TIFF_COMPRESSION, 1} : std::vector<int>{});
  std::ofstream(job) << "{\"type\": \"star-glow-native-job\", \"inputPath\": \"" << input << "\", \"outputPath\": \""
                     << (dir / "glow.tif").string() << "\", \"outputMode\": \"final\"" << extraKeys << "}";
  return job;
}

// The whole job on a 16-bit TIFF with the job's own timings; reports how much
// of it lies outside the fixed readiness wait and settle pause.
void BM_WholeJob(benchmark::State& state) {
  cv::setNumThreads(static_cast<int>(state.range(0)));
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "lumivex_bench_starglow";
  const std::string job = writeWholeJob(dir, ""), input = (dir / "input.tif").string();
  double total = 0, wait = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    NL_waitForTemporaryImage(input, NL_ReadinessWaitSettings{}, nullptr);
    const auto t1 = std::chrono::steady_clock::now();
    const std::string log = NL_runStarGlowNativeJob(job);
    const auto t2 = std::chrono::steady_clock::now();
    if (log.find("status = success") == std::string::npos) state.SkipWithError("job failed");
    wait = std::chrono::duration<double>(t1 - t0).count() + NL_StarGlowJobTiming{}.settleMs / 1000.0;
    total = std::chrono::duration<double>(t2 - t1).count();
    state.SetIterationTime(total);
  }
  state.counters["fixedWait_s"] = wait;
  state.counters["work_s"] = total - wait;
  state.counters["workShare"] = (total - wait) / total;
  std::filesystem::remove_all(dir);
}

double processCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The job as the command line runs it on a file already on disk
// ("inputComplete": no export to wait for): wall and CPU time of the whole
// job, decode and encode of the TIFFs included (the input 16- or 8-bit as the
// second argument, the result always 16-bit, 144 MB; the third, 1 for the
// noisy sky).
void BM_WholeJobCompleteInput(benchmark::State& state) {
  cv::setNumThreads(static_cast<int>(state.range(0)));
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "lumivex_bench_starglow_complete";
  const std::string job =
      writeWholeJob(dir, ", \"inputComplete\": true", static_cast<int>(state.range(1)), state.range(2) != 0);
  double cpu = 0;
  for (auto _ : state) {
    std::filesystem::remove(dir / "glow.tif");
    const double c0 = processCpuSeconds();
    const std::string log = NL_runStarGlowNativeJob(job);
    cpu = processCpuSeconds() - c0;
    if (log.find("status = success") == std::string::npos) state.SkipWithError("job failed");
  }
  state.counters["cpu_s"] = cpu;
  std::filesystem::remove_all(dir);
}

// The job's steps one by one on the same 16-bit TIFF, each as process CPU
// (all threads): decode (the floor: no job can do less than read its frame),
// the luminance (scaled to float a few rows at a time), detection, the glow
// drawn, blended over the frame's rows and converted a few rows at a time into
// the decoded frame's buffer, and the LZW TIFF write. Counters are each step's
// least seconds over the iterations (other work on a shared machine only ever
// adds), and their sum against the decode. The second argument, 1 for the
// noisy sky.
void BM_JobStagesCpu(benchmark::State& state) {
  cv::setNumThreads(static_cast<int>(state.range(0)));
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "lumivex_bench_starglow_stages";
  writeWholeJob(dir, "", 16, state.range(1) != 0);
  const std::string input = (dir / "input.tif").string(), output = (dir / "glow.tif").string();
  NL_StarGlowSettings settings;
  settings.outputMode = "final";
  constexpr double kNone = 1e9;
  double decode = kNone, luminance = kNone, detect = kNone, render = kNone, write = kNone;
  for (auto _ : state) {
    double c = processCpuSeconds();
    auto lap = [&c](double& least) {
      const double now = processCpuSeconds();
      least = std::min(least, now - c);
      c = now;
    };
    cv::Mat raw = cv::imread(input, cv::IMREAD_UNCHANGED);
    lap(decode);
    const NL_FloatBgrFrame image(raw);
    cv::Mat lum = image.luminance();
    lap(luminance);
    const std::vector<NL_StarCandidate> found = NL_analyzeStars(std::move(lum), image, cv::Mat(), settings).stars;
    lap(detect);
    std::ostringstream log;
    NL_renderGlowPieces(image.size(), found, cv::Mat(), settings, log, [&](int y0, cv::Mat& piece) {
      cv::Mat below;
      image.read(cv::Rect(0, y0, piece.cols, piece.rows), below);
      NL_screenCompositeRowsInto(below, piece);
      cv::Mat rows = raw.rowRange(y0, y0 + piece.rows);
      piece.convertTo(rows, CV_16UC3, 65535.0);
    });
    lap(render);
    if (!NL_writeImageFile(output, raw)) state.SkipWithError("write failed");
    lap(write);
  }
  state.counters["decode_cpu_s"] = decode;
  state.counters["luminance_cpu_s"] = luminance;
  state.counters["detect_cpu_s"] = detect;
  state.counters["render_blend_cpu_s"] = render;
  state.counters["lzw_write_cpu_s"] = write;
  const double total = decode + luminance + detect + render + write;
  state.counters["steps_cpu_s"] = total;
  state.counters["steps_per_decode"] = total / decode;
  std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_JobStagesCpu)->Args({2, 0})->Args({2, 1})->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_WholeJobCompleteInput)
    ->Args({2, 16, 0})
    ->Args({2, 8, 0})
    ->Args({2, 16, 1})
    ->Args({2, 8, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_DetectStars)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_RenderGlow)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ScreenComposite)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WholeJob)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

BENCHMARK_MAIN();
