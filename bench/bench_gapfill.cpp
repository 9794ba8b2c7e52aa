// Star Trail gap filling: how much of the trail missing between exposures
// the fill restores and how much sky it raises, on varied gapped skies; and
// what it costs: time per frame with and without fillGaps on both paths, as
// ratios to decoding the same frames once (measured in the same run), and
// each job's peak memory.
//
//   bench_gapfill quality                                 fill figures on varied skies
//   bench_gapfill [WIDTHxHEIGHT] [FRAMES...] [--uncompressed]   default 3000x2000 60, LZW frames
//
// Each job runs in a child process of its own where the platform allows, so
// its peak memory is its own.
#include "startrail/startrail.h"
#include "synth/synth.h"

#include "decode_floor.h"
#include "frame_cache_dir.h"
#include "trail_job_run.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string writeJob(const std::vector<std::string>& frames, const std::string& name, const std::string& keys,
                     const std::string& dir) {
  const std::string job = dir + "/startrail_job_native_" + name + ".json";
  const std::string output = dir + "/result_" + name + ".tif";
  fs::remove(output);  // an earlier result would make the job number its output
  std::ofstream out(job);
  out << "{\"inputs\": [";
  for (size_t i = 0; i < frames.size(); ++i) out << (i ? ", " : "") << "{\"path\": \"" << frames[i] << "\"}";
  out << "], \"output\": \"" << output << "\"" << keys << "}";
  return job;
}

// ---- Fill figures -------------------------------------------------------------

struct QualityCase {
  std::string name;
  synth::TrailSettings settings;
  std::string keys;
  double level;  // full scale: well above the frames' noise
};

synth::TrailSettings gapped(cv::Size size, double duty, double degrees, std::uint64_t seed) {
  synth::TrailSettings s;
  s.size = size;
  s.frames = 12;
  s.seed = seed;
  s.sky.density = 1.2e-3;
  s.degreesPerFrame = degrees;
  s.dutyCycle = duty;
  s.gaplessTruth = true;
  s.satelliteFrames = {};
  s.aircraftFrames = {};
  return s;
}

std::vector<QualityCase> qualityCases() {
  std::vector<QualityCase> cases;
  cases.push_back({"dense 16-bit 1200x800, shutter open 50 %, rejection", gapped({1200, 800}, 0.5, 0.8, 1),
                   ", \"rejectionMode\": \"medium\"", 0.01});
  synth::TrailSettings sparse = gapped({1200, 800}, 0.6, 0.9, 2);
  sparse.bits = 8;
  sparse.sky = synth::sparseSky();
  sparse.sky.density = 4.0e-4;
  sparse.sky.planets = 0;
  sparse.skyLevel = 0.15;
  cases.push_back({"sparse 8-bit 1200x800, open 60 %, direct", sparse, ", \"rejectionMode\": \"off\"", 8.0 / 255});
  synth::TrailSettings pole = gapped({1000, 1000}, 0.4, 1.0, 3);
  pole.pole = {600, 380};
  cases.push_back({"pole inside 1000x1000, open 40 %, direct", pole, ", \"rejectionMode\": \"off\"", 0.01});
  synth::TrailSettings slow = gapped({1200, 800}, 0.7, 0.3, 4);
  cases.push_back({"slow sky (gap under a star), open 70 %, share given", slow,
                   ", \"rejectionMode\": \"medium\", \"gapFraction\": 0.3", 0.01});
  synth::TrailSettings streaks = gapped({1200, 800}, 0.45, 0.9, 5);
  streaks.satelliteFrames = {0, 5, 11};
  streaks.aircraftFrames = {3};
  cases.push_back({"satellites and an aircraft, open 45 %, rejection", streaks, ", \"rejectionMode\": \"medium\"",
                   0.01});
  return cases;
}

void quality() {
  const fs::path dir = fs::temp_directory_path() / "lumivex_bench_gapfill_quality";
  for (const QualityCase& c : qualityCases()) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    const synth::Scene scene = synth::makeTrailScene(c.settings);
    const std::vector<std::string> frames = benchsupport::writeFrames(scene.frames, dir);
    std::printf("%s\n", c.name.c_str());
    for (const bool fill : {false, true}) {
      const std::string keys = c.keys + (fill ? ", \"fillGaps\": true" : "");
      const Clock::time_point t0 = Clock::now();
      const std::string log = NL_runStarTrailNativeJob(writeJob(frames, "quality", keys, dir.string()),
                                                       std::thread::hardware_concurrency());
      const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      const cv::Mat result = cv::imread(dir.string() + "/result_quality.tif", -1);
      if (result.empty()) {
        std::printf("  FAILED\n%s\n", log.c_str());
        continue;
      }
      const synth::GapFigures f = synth::gapFigures(scene, result, c.level);
      const size_t at = log.find("gapFill=");
      const std::string line = at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
      std::printf("  %-8s missing %7d px  filled %6.2f %%  reached %6.2f %%  sky raised %6.3f %%  %5.1f s  %s\n",
                  fill ? "fill" : "no fill", f.missing, 100 * f.filled, 100 * f.reached, 100 * f.falseRaised, seconds,
                  line.c_str());
      std::fflush(stdout);
    }
  }
}

// ---- Cost ---------------------------------------------------------------------

// A gapped night (shutter open half of each interval) as 16-bit TIFF frames
// under the temp folder, kept between runs. (Folders named
// lumivex_bench_gapfill_* hold an earlier rendering whose sky had a single
// star: frames of noise alone.)
std::vector<std::string> sceneFrames(cv::Size size, int count, bool uncompressed) {
  const benchsupport::CachedFrames cache =
      benchsupport::cachedFrames("lumivex_bench_gapnight", size, count, uncompressed);
  const std::vector<std::string>& frames = cache.frames;
  if (cache.ready) return frames;
  const std::vector<int> params = benchsupport::frameWriteParams(uncompressed);
  // Frame by frame from one sky, so a long night never sits in memory whole:
  // the sky turns a tenth of a degree per interval about a pole above the
  // frame, and the shutter is open half of each interval.
  const cv::Point2d pole(size.width * 0.5, -0.6 * size.height);
  constexpr double kDegrees = 0.1;
  std::vector<cv::Matx33d> turns;
  for (int i = 0; i < count; ++i) turns.push_back(synth::makeHomography(pole, -i * kDegrees, 1.0, {0, 0}));
  synth::SkySettings sky;
  sky.density = 1.0e-3;
  const std::vector<synth::Star> stars = synth::makeSky(sky, synth::skyRegion(turns, size, 12.0), 1);
  synth::FrameSettings f;
  f.size = size;
  f.fwhm = 2.4;
  f.skyLevel = 0.02;
  f.arcDegrees = 0.5 * kDegrees;
  f.arcPole = pole;
  for (int i = 0; i < count; ++i)
    cv::imwrite(frames[size_t(i)], synth::renderFrame(stars, turns[size_t(i)], f, std::uint64_t(100 + i)), params);
  std::ofstream(cache.dir / "complete") << "frames=" << count << "\n";
  return frames;
}

void report(const std::string& name, const benchsupport::TrailJobFigures& f, const bench::FloorRun& floor,
            int frames) {
  std::printf("  %-24s %8.0f ms  %5.2fx floor  %6.0f ms/frame  CPU %6.0f ms (%5.2fx floor)  peak %5.0f MB%s\n",
              name.c_str(), f.seconds * 1e3, f.seconds * 1e3 / floor.wallMs, f.seconds * 1e3 / frames, f.cpuMs,
              floor.cpuMs > 0.0 ? f.cpuMs / floor.cpuMs : 0.0, f.peakMegabytes, f.ok ? "" : "  FAILED");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "quality") {
    quality();
    return 0;
  }
  const benchsupport::SequenceArgs args = benchsupport::sequenceArgs(argc, argv, {3000, 2000}, {60});
  const std::vector<std::string> all = sceneFrames(args.size, args.most(), args.uncompressed);
  const std::string dir = fs::path(all[0]).parent_path().string();
  benchsupport::printSequenceHeader("Gap fill", args);
  for (int n : args.counts) {
    const std::vector<std::string> frames(all.begin(), all.begin() + n);
    bench::twoProcessDecodeFloor(frames);  // warms the file cache, as the jobs find it warm
    const bench::FloorRun floor = bench::twoProcessDecodeFloor(frames);
    std::printf("%d frames: decode floor %8.0f ms  (%.0f ms/frame)  CPU %.0f ms\n", n, floor.wallMs, floor.wallMs / n,
                floor.cpuMs);
    const std::string share = ", \"gapFraction\": 0.5";  // the same work whatever a measurement would give
    report("direct", benchsupport::runTrailJob(writeJob(frames, "off", ", \"rejectionMode\": \"off\"", dir)), floor, n);
    report("direct, fillGaps", benchsupport::runTrailJob(writeJob(
                                   frames, "off_fill", ", \"rejectionMode\": \"off\", \"fillGaps\": true" + share, dir)),
           floor, n);
    report("rejection", benchsupport::runTrailJob(writeJob(frames, "medium", ", \"rejectionMode\": \"medium\"", dir)),
           floor, n);
    report("rejection, fillGaps",
           benchsupport::runTrailJob(
               writeJob(frames, "medium_fill", ", \"rejectionMode\": \"medium\", \"fillGaps\": true" + share, dir)),
           floor, n);
    std::fflush(stdout);
  }
  return 0;
}
