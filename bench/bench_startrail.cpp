// Star Trail throughput: the direct Lighten path and the rejection path as
// ratios to the time of merely decoding the same frames once (measured in
// the same run), the rejection's time per step, each job's peak memory, and
// how the time per frame changes with the length of the sequence.
//
//   bench_startrail [WIDTHxHEIGHT] [FRAMES...] [--uncompressed] [--direct]   default 3000x2000 20 60, LZW frames;
//                                                   --direct: the floor and direct Lighten only
//
// The floor decodes in two processes, forked from this one and, beside it,
// two freshly started decoder programs (which pay a process start, as
// `lumivex run` does); jobs and floors print wall time, CPU time (the system
// part) and minor page faults, and each job its ratios to both floors. The jobs run in a forked
// child (the job's own figures); the direct job also as `lumivex run`, a
// fresh process, with the start-up of `lumivex --help` printed once.
//   bench_startrail quality [NAME]                  rejection quality on varied skies (those whose name holds NAME)
//
// Every frame count runs the floor, "off" and "medium" (window 5) on the
// first FRAMES frames of one rendered scene. Each job runs in a child process
// of its own where the platform allows, so its peak memory is its own.
#include "startrail/startrail.h"
#include "synth/synth.h"

#include "child_run.h"
#include "decode_floor.h"
#include "frame_cache_dir.h"
#include "trail_job_run.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>


namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The synthetic `trail` scene (stars turning about a pole above the frame, a
// fixed landscape, satellites and aircraft) as 16-bit TIFF (LZW, the writer's
// default, or uncompressed) frames under the temp folder, kept between runs.
std::vector<std::string> sceneFrames(cv::Size size, int count, bool uncompressed) {
  const benchsupport::CachedFrames cache = benchsupport::cachedFrames("lumivex_bench_trail", size, count, uncompressed);
  const fs::path& dir = cache.dir;
  const std::vector<std::string>& frames = cache.frames;
  if (cache.ready) return frames;
  const auto render = [&] {
    synth::TrailSettings settings;
    settings.size = size;
    settings.frames = count;
    const synth::Scene scene = synth::makeTrailScene(settings);
    const std::vector<int> params = benchsupport::frameWriteParams(uncompressed);
    for (int i = 0; i < count; ++i) cv::imwrite(frames[size_t(i)], scene.frames[size_t(i)], params);
    std::ofstream(dir / "complete") << "frames=" << count << "\n";
  };
  benchsupport::runApart(render);
  return frames;
}

std::string writeJob(const std::vector<std::string>& frames, const std::string& mode, const std::string& dir) {
  return benchsupport::writeTrailJob(frames, mode, dir);
}


using JobFigures = benchsupport::TrailJobFigures;
using benchsupport::runTrailJob;

void report(const std::string& name, const JobFigures& f, const bench::FloorRun& floor, const bench::FloorRun& fresh,
            int frames) {
  std::printf("%-18s %8.0f ms  %5.2fx floor  %6.0f ms/frame  CPU %6.0f ms (%5.0f system, %5.2fx floor)  "
              "%7ld minor faults  peak %5.0f MB%s\n",
              name.c_str(), f.seconds * 1e3, f.seconds * 1e3 / floor.wallMs, f.seconds * 1e3 / frames, f.cpuMs,
              f.systemMs, floor.cpuMs > 0.0 ? f.cpuMs / floor.cpuMs : 0.0, f.minorFaults, f.peakMegabytes,
              f.ok ? "" : "  FAILED");
  bench::printAgainstFloors("  ", f.seconds * 1e3, f.cpuMs, floor, fresh);
}

// The same job as `lumivex run` starts it: a fresh process that loads the
// add-on and OpenCV's libraries first (a host that keeps the add-on loaded
// pays that once, so the targets are read on the job's own figures above).
// Beside the process's figures, the job's own wall time from its log.
void reportProgramRun(const std::string& job, const std::string& result, const bench::FloorRun& floor,
                      const bench::FloorRun& fresh) {
  const std::string out = fs::path(job).replace_extension(".out").string();
  std::remove(result.c_str());  // or the job would number its output
  const benchsupport::ChildRun run = benchsupport::runChild({LUMIVEX_EXE, "run", job, "--quiet"}, out);
  std::ifstream in(out);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::printf("  lumivex run       %8.0f ms  %5.2fx floor  (the job's own %d ms)  CPU %6.0f ms (%5.0f system, %5.2fx "
              "floor)  %7ld minor faults  peak %5.0f MB%s\n",
              run.seconds * 1e3, run.seconds * 1e3 / floor.wallMs, benchsupport::logInt(log, "timingMs="), run.cpuSeconds * 1e3,
              run.systemSeconds * 1e3, floor.cpuMs > 0.0 ? run.cpuSeconds * 1e3 / floor.cpuMs : 0.0,
              run.minorFaults, run.peakMiB, run.status == 0 && log.find("status=success") != std::string::npos ? "" : "  FAILED");
  bench::printAgainstFloors("    ", run.seconds * 1e3, run.cpuSeconds * 1e3, floor, fresh);
}

// What a fresh process of the program costs before any job: OpenCV's
// libraries loaded and bound.
void reportProgramStart(const std::string& dir) {
  const benchsupport::ChildRun run = benchsupport::runChild({LUMIVEX_EXE, "--help"}, dir + "/help.out");
  std::printf("lumivex --help: %.0f ms wall, CPU %.0f ms (%.0f system), %ld minor faults\n", run.seconds * 1e3,
              run.cpuSeconds * 1e3, run.systemSeconds * 1e3, run.minorFaults);
}

void reportSteps(const NLStarTrailStageTimes& s, int frames) {
  const auto ms = [&](std::int64_t ns) { return double(ns) / 1e6 / frames; };
  std::printf("  worker CPU ms per frame: decode %.0f, luminance %.0f, stars %.0f, matching %.0f, masks %.0f, "
              "accumulate %.0f\n",
              ms(s.decode), ms(s.luminance), ms(s.starDetection), ms(s.matching), ms(s.masks), ms(s.accumulate));
}

// Streaks as a photographer meets them (the figures users reported): five
// satellites of 2-20 % of full scale, 2-4 px wide, whose brightness changes
// by a fifth along the streak, one in the first frame and one in the last;
// an aircraft over three consecutive frames, a faint line with strobes 25-55
// px apart; meteors from one radiant, one of them in a satellite's frame.
synth::TrailSettings withStreaks(synth::TrailSettings s) {
  s.satelliteFrames = {0, s.frames / 4, s.frames / 2, 3 * s.frames / 4, s.frames - 1};
  s.satellitePeakMin = 0.02;
  s.satellitePeakMax = 0.2;
  s.satelliteWidthMin = 2.0;
  s.satelliteWidthMax = 4.0;
  s.satelliteVariation = 0.2;
  s.aircraftFrames = {s.frames / 2 + 1};
  s.aircraftFrameSpan = 3;
  s.aircraftTrailPeak = 0.008;
  s.aircraftDotPeak = 0.25;
  s.aircraftSpacingMin = 25.0;
  s.aircraftSpacingMax = 55.0;
  s.meteorFrames = {2, s.frames / 4, s.frames / 3, s.frames - 3};
  return s;
}

struct QualityCase {
  std::string name;
  synth::TrailSettings settings;
  double level;  // full scale: well above the frames' noise
};

std::vector<QualityCase> qualityCases() {
  std::vector<QualityCase> cases;
  synth::TrailSettings measured;  // like the sequence the users measured: 580 stars, 26 ADU of sky noise
  measured.size = {1500, 1000};
  measured.frames = 20;
  measured.sky.density = 4.0e-4;
  measured.fullWell = 125000.0;
  cases.push_back({"measured-like 16-bit 1500x1000, 20 frames", withStreaks(measured), 0.004});
  synth::TrailSettings dense = measured;
  dense.sky.density = 2.0e-3;
  dense.twinkle = 0.3;
  dense.seed = 4;
  cases.push_back({"dense, twinkling near the horizon", withStreaks(dense), 0.004});
  synth::TrailSettings seeing = measured;
  seeing.fwhm = 4.5;
  seeing.seed = 3;
  cases.push_back({"measured-like, poor seeing (4.5 px)", withStreaks(seeing), 0.004});
  synth::TrailSettings sparse = measured;
  sparse.size = {1200, 800};
  sparse.bits = 8;
  sparse.sky = synth::sparseSky();
  sparse.sky.density = 3.0e-4;
  sparse.skyLevel = 0.15;
  sparse.seed = 2;
  cases.push_back({"sparse 8-bit 1200x800, light-polluted", withStreaks(sparse), 4.0 / 255.0});
  synth::TrailSettings bright = sparse;
  bright.bits = 16;
  bright.skyLevel = 0.3;
  bright.fullWell = 40000.0;
  bright.seed = 6;
  cases.push_back({"sparse 16-bit, bright light pollution", withStreaks(bright), 0.006});
  return cases;
}

std::string writeQualityJob(const std::vector<std::string>& frames, const std::string& mode, bool keepMeteors,
                            const std::string& dir) {
  const std::string job = dir + "/startrail_job_native_quality.json";
  fs::remove(dir + "/result.tif");
  std::ofstream out(job);
  out << "{\"inputs\": [";
  for (size_t i = 0; i < frames.size(); ++i) out << (i ? ", " : "") << "{\"path\": \"" << frames[i] << "\"}";
  out << "], \"output\": \"" << dir << "/result.tif\", \"rejectionMode\": \"" << mode
      << "\", \"keepMeteors\": " << (keepMeteors ? "true" : "false") << "}";
  return job;
}

// Each preset (and "medium" keeping the meteors) on each sky, measured
// against the sky's clean Lighten.
void quality(const std::string& only) {
  const fs::path dir = fs::temp_directory_path() / "lumivex_bench_trail_quality";
  struct Mode {
    const char* name;
    bool keepMeteors;
  };
  const Mode modes[] = {{"low", false}, {"medium", false}, {"high", false}, {"medium", true}};
  for (const QualityCase& c : qualityCases()) {
    if (c.name.find(only) == std::string::npos) continue;
    fs::remove_all(dir);
    fs::create_directories(dir);
    const synth::Scene scene = synth::makeTrailScene(c.settings);
    const std::vector<std::string> frames = benchsupport::writeFrames(scene.frames, dir);
    std::printf("%s\n", c.name.c_str());
    for (const Mode& m : modes) {
      const Clock::time_point t0 = Clock::now();
      const std::string log =
          NL_runStarTrailNativeJob(writeQualityJob(frames, m.name, m.keepMeteors, dir.string()),
                                   std::thread::hardware_concurrency());
      const double seconds = secondsSince(t0);
      const cv::Mat result = cv::imread(dir.string() + "/result.tif", -1);
      if (result.empty()) {
        std::printf("  %s FAILED\n%s\n", m.name, log.c_str());
        continue;
      }
      const synth::StreakFigures f = synth::streakFigures(scene, result, c.level);
      std::printf("  %-6s%-13s satellite left %6.2f %%  aircraft left %6.2f %%  meteors kept %6.2f %%  "
                  "star-trail lost %5.2f %%  %5.1f s\n",
                  m.name, m.keepMeteors ? " keepMeteors" : "", 100 * f.satelliteLeft, 100 * f.aircraftLeft,
                  100 * f.meteorsKept, 100 * f.starsLost, seconds);
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "quality") {
    quality(argc > 2 ? argv[2] : "");
    return 0;
  }
  const benchsupport::SequenceArgs args = benchsupport::sequenceArgs(argc, argv, {3000, 2000}, {20, 60});
  const std::vector<std::string> all = sceneFrames(args.size, args.most(), args.uncompressed);
  const std::string dir = fs::path(all[0]).parent_path().string();
  benchsupport::printSequenceHeader("Star Trail", args);
  reportProgramStart(dir);
  bool floorsOk = true;
  for (int n : args.counts) {
    const std::vector<std::string> frames(all.begin(), all.begin() + n);
    bench::twoProcessDecodeFloor(frames);  // warms the file cache, as the jobs find it warm
    const bench::FloorRun floor = bench::twoProcessDecodeFloor(frames);
    const bench::FloorRun fresh = bench::freshProcessDecodeFloor(frames);
    if (floor.ok)
      std::printf("%d frames: decode floor %8.0f ms  (%.0f ms/frame)  CPU %.0f ms  %ld minor faults\n", n, floor.wallMs,
                  floor.wallMs / n, floor.cpuMs, floor.minorFaults);
    else
      std::printf("%d frames: decode floor %s\n", n, bench::floorText(floor).c_str());
    std::printf("%d frames: decode floor, 2 fresh processes: %s\n", n, bench::floorText(fresh).c_str());
    floorsOk = floorsOk && floor.ok && fresh.ok;
    const std::string directJob = writeJob(frames, "off", dir);
    const JobFigures direct = runTrailJob(directJob);
    report("direct Lighten", direct, floor, fresh, n);
    reportProgramRun(directJob, dir + "/result_off.tif", floor, fresh);
    if (args.has("--direct")) continue;
    const JobFigures rejection = runTrailJob(writeJob(frames, "medium", dir));
    report("rejection medium", rejection, floor, fresh, n);
    reportSteps(rejection.steps, n);
    std::fflush(stdout);
  }
  return floorsOk ? 0 : 1;
}
