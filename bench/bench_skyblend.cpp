// Sky Blend job on a synthetic scene written by `lumivex synth skyblend`:
// decode floors (every frame decoded once, one at a time in this process, by
// two forked processes at once and by two freshly started decoder programs),
// then the whole job with its time split by stage from its own progress
// reports, its page faults and system time, the work it cannot avoid besides
// decoding (bench_required_work: seven warps and its three result writes),
// and the process's peak memory. With --repeat N the two-process floors, the
// job and the required work run N times, interleaved.
//
//   bench_skyblend DIR [--repeat N]   (DIR holds skyblend_job_native.json and the frames)
#include "decode_floor.h"
#include "required_work.h"
#include "skyblend/skyblend.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// Peak resident memory of this process in MB; 0 where the platform does not tell.
double peakMegabytes() {
#if defined(__APPLE__)
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1048576.0;  // bytes
#elif defined(__unix__)
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024.0;  // kilobytes
#else
  return 0.0;
#endif
}

// CPU time of the whole process (every thread, user + system) in ms: on a
// shared machine the steadier figure, and beside the wall time it shows how
// much of a stage ran on both cores.
double cpuMs() { return bench::processCpuMs(); }

struct Usage {
  double systemMs = 0.0;
  long minorFaults = 0;
};
Usage usageNow() {
  Usage out;
#if defined(__unix__) || defined(__APPLE__)
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  out.systemMs = 1e3 * double(u.ru_stime.tv_sec) + 1e-3 * double(u.ru_stime.tv_usec);
  out.minorFaults = u.ru_minflt;
#endif
  return out;
}

struct Mark {
  double wall = -1.0, cpu = 0.0;  // ms since the start
};

// First time each progress detail (or stage) was seen, relative to the start.
class StageClock {
 public:
  explicit StageClock(Clock::time_point start) : start_(start), cpuStart_(cpuMs()) {}
  void mark(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    marks_.emplace(name, Mark{msSince(start_), cpuMs() - cpuStart_});
  }
  Mark at(const std::string& name) const {
    const auto it = marks_.find(name);
    return it == marks_.end() ? Mark() : it->second;
  }

 private:
  Clock::time_point start_;
  double cpuStart_;
  std::mutex mutex_;
  std::map<std::string, Mark> marks_;
};

void printStage(const char* name, const Mark& from, const Mark& to) {
  std::printf("  %-20s %8.0f ms  cpu %6.0f ms\n", name, to.wall - from.wall, to.cpu - from.cpu);
}

NLSkyBlendStages timedStages(StageClock& clock) {
  const NLSkyBlendStages real = NL_skyBlendStages();
  NLSkyBlendStages s = real;
  s.skyStack = [real, &clock](const std::vector<std::string>& o, const NLSkyBlendNativeJob& job,
                              const std::string& m, const NLProgressCallback& progress, std::string& message,
                              NLSkyBlendShared& shared) {
    clock.mark("sky");
    const NLProgressCallback marking = [&](int p, const std::string& stage, const std::string& detail) {
      clock.mark(detail);
      progress(p, stage, detail);
    };
    return real.skyStack(o, job, m, marking, message, shared);
  };
  s.foregroundStack = [real, &clock](const std::vector<std::string>& o, const NLSkyBlendNativeJob& job,
                                     const std::string& m, const NLProgressCallback& progress, std::string& message,
                                     NLSkyBlendShared& shared) {
    clock.mark("foreground");
    return real.foregroundStack(o, job, m, progress, message, shared);
  };
  s.blend = [real, &clock](const NLSkyBlendNativeJob& job, NLSkyBlendShared& shared, std::string& message) {
    clock.mark("blend");
    const bool ok = real.blend(job, shared, message);
    clock.mark("end");
    return ok;
  };
  return s;
}

// The required work of this job: its frames warped onto the middle frame's
// canvas, and its three results (sky, foreground, blend) written as it queues them.
bench::RequiredWork requiredWork(const std::string& dir, const NLSkyBlendNativeJob& job) {
  std::vector<std::string> args{"--frames"};
  args.insert(args.end(), job.inputs.begin(), job.inputs.end());
  args.insert(args.end(), {"--reference", std::to_string(job.inputs.size() / 2), "--canvas", "reference", "--queued",
                           "--sky", job.skyMaskPath, "--write", job.skyOutput, job.foregroundOutput, job.blendOutput});
  return bench::runRequiredWork(args, dir + "/required_work.out");
}

// One run of the job after the two-process floors; false when the job or a floor failed.
bool runOnce(const std::string& jobPath, const NLSkyBlendNativeJob& job, double floor, double floorCpu) {
  const bench::FloorRun floor2 = bench::twoProcessDecodeFloor(job.inputs);
  const bench::FloorRun fresh = bench::freshProcessDecodeFloor(job.inputs);
  const Usage before = usageNow();
  const auto start = Clock::now();
  StageClock clock(start);
  const std::string log = NL_runSkyBlendNativeJobWith(jobPath, timedStages(clock));
  const double whole = msSince(start);
  clock.mark("job end");
  const Usage after = usageNow();
  if (log.rfind("Sky Blend Native completed.", 0) != 0) {
    std::fprintf(stderr, "job failed:\n%s\n", log.c_str());
    return false;
  }
  const Mark sky = clock.at("sky"), align = clock.at("Aligning sky frames for stacking.");
  const Mark warp = clock.at("Warping aligned sky frames."), combine = clock.at("Checking usable sky coverage.");
  const Mark fg = clock.at("foreground"), blend = clock.at("blend"), end = clock.at("end");
  const double wholeCpu = clock.at("job end").cpu;
  std::printf("decode floor, 1 process  %8.0f ms  cpu %6.0f ms\n", floor, floorCpu);
  if (floor2.ok)
    std::printf("decode floor, 2 processes%8.0f ms  cpu %6.0f ms  faults %ld\n", floor2.wallMs, floor2.cpuMs,
                floor2.minorFaults);
  else
    std::printf("decode floor, 2 processes: %s\n", bench::floorText(floor2).c_str());
  std::printf("decode floor, 2 fresh processes: %s\n", bench::floorText(fresh).c_str());
  if (floor2.ok)
    std::printf("whole job             %8.0f ms  cpu %6.0f ms  (%.2f x 2-process floor; cpu %.1f x)\n", whole,
                wholeCpu, whole / floor2.wallMs, wholeCpu / floor2.cpuMs);
  else
    std::printf("whole job             %8.0f ms  cpu %6.0f ms\n", whole, wholeCpu);
  bench::printAgainstFloors("  ", whole, wholeCpu, floor2, fresh);
  std::printf("  system time %.0f ms, minor page faults %ld\n", after.systemMs - before.systemMs,
              after.minorFaults - before.minorFaults);
  printStage("load + masks", sky, align);
  printStage("sky registration", align, warp);
  printStage("warp + combine", warp, combine.wall < 0 ? fg : combine);
  if (combine.wall >= 0) printStage("sky combine, write", combine, fg);
  printStage("foreground stack", fg, blend);
  printStage("blend", blend, end);
  printStage("last writes (queued)", end, clock.at("job end"));
  const std::string dir = std::filesystem::path(jobPath).parent_path().string();
  const bench::RequiredWork required = requiredWork(dir.empty() ? "." : dir, job);
  bench::printRequiredWork(required, floor2, fresh);
  return floor2.ok && fresh.ok && required.ok;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 1;
  if (argc == 4 && std::string(argv[2]) == "--repeat") repeat = std::max(1, std::atoi(argv[3]));
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: bench_skyblend DIR [--repeat N]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string jobPath = dir + "/skyblend_job_native.json";
  const NLSkyBlendNativeJob job = NL_parseSkyBlendNativeJob(NL_readTextFile(jobPath));
  if (job.inputs.empty()) {
    std::fprintf(stderr, "no job in %s\n", dir.c_str());
    return 2;
  }
  std::string setup;
  NL_loadMinimalOpenCVDlls(setup);
  const auto decodeStart = Clock::now();
  const double decodeCpu = cpuMs();
  cv::Size size;
  double frameMegabytes = 0.0;
  for (const std::string& path : job.inputs) {
    const cv::Mat frame = cv::imread(path, cv::IMREAD_UNCHANGED);
    size = frame.size();
    frameMegabytes += double(frame.total() * frame.elemSize()) / 1048576.0;
  }
  const double floor = msSince(decodeStart);
  const double floorCpu = cpuMs() - decodeCpu;
  const double baseline = peakMegabytes();
  std::printf("frames %zu of %dx%d, %d threads\n", job.inputs.size(), size.width, size.height, cv::getNumThreads());
  for (int r = 0; r < repeat; ++r) {
    if (repeat > 1) std::printf("-- run %d of %d\n", r + 1, repeat);
    bench::printLoadAverage("");
    if (!runOnce(jobPath, job, floor, floorCpu)) return 1;
  }
  std::printf("peak memory           %8.0f MB  (after decode floor %.0f MB; frames %.0f MB decoded)\n", peakMegabytes(),
              baseline, frameMegabytes);
  return 0;
}
