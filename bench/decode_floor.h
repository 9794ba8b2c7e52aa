// The decode floor of a job: its frames decoded by two processes at once
// (frames alternating between them), each frame once and discarded. Two
// processes because the jobs use both cores; separate processes so the
// figure carries no allocator or page state of the job that runs beside it.
// Benchmarks run it interleaved with the job they compare, so both see the
// same load on a shared machine.
//
// A second floor starts two fresh processes of the small decoder program
// (bench/decode_frames.cpp) instead of forking this one: a job run as a
// program (`lumivex run`) pays a process start and the loading of OpenCV's
// libraries, which forked decoders never do. Each process costs that once,
// so this floor lies above the forked one by a fixed amount per run.
//
// Either floor refuses a figure when a decoder failed: ok is false and a
// benchmark prints no figure and no ratio for it (floorText, ratioText).
#pragma once

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

// The decoder program the build made beside the benchmarks.
#ifndef LUMIVEX_DECODE_FRAMES
#define LUMIVEX_DECODE_FRAMES ""
#endif

namespace bench {

struct FloorRun {
  double wallMs = std::numeric_limits<double>::quiet_NaN();
  double cpuMs = std::numeric_limits<double>::quiet_NaN();  // both processes, user + system
  long minorFaults = 0; // both processes
  bool ok = false;      // every decoder started, decoded all its frames and exited 0
};

#if defined(__unix__) || defined(__APPLE__)
inline double rusageCpuMs(const rusage& u) {
  return 1e3 * double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-3 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}
#endif

// CPU time of this whole process (every thread, user + system) in ms.
inline double processCpuMs() {
#if defined(__unix__) || defined(__APPLE__)
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return rusageCpuMs(u);
#else
  return 0.0;
#endif
}

#if defined(__unix__) || defined(__APPLE__)
// Waits for every child and adds up their figures; ok only when every one was
// started (pid > 0), waited for and exited 0.
inline void collectChildren(const std::vector<pid_t>& children, FloorRun& run) {
  run.ok = !children.empty();
  run.cpuMs = 0.0;
  for (pid_t child : children) {
    int status = 0;
    rusage usage{};
    if (child <= 0 || wait4(child, &status, 0, &usage) != child) {
      run.ok = false;
      continue;
    }
    run.ok = run.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.cpuMs += rusageCpuMs(usage);
    run.minorFaults += usage.ru_minflt;
  }
}

// The wall time since start; a failed floor has no figures at all (NaN), so
// that no ratio to it can pass for a measurement.
inline void finishFloor(std::chrono::steady_clock::time_point start, FloorRun& run) {
  run.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (!run.ok) run.wallMs = run.cpuMs = std::numeric_limits<double>::quiet_NaN();
}
#endif

// decode: how a frame is read (cv::imread unchanged when null), true when it was.
inline FloorRun twoProcessDecodeFloor(const std::vector<std::string>& paths, bool (*decode)(const std::string&) = nullptr) {
  FloorRun run;
#if defined(__unix__) || defined(__APPLE__)
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  std::vector<pid_t> children;
  for (int k = 0; k < 2; ++k) {
    const pid_t child = fork();
    if (child == 0) {
      bool all = true;
      for (size_t i = size_t(k); i < paths.size(); i += 2)
        all = (decode ? decode(paths[i]) : !cv::imread(paths[i], cv::IMREAD_UNCHANGED).empty()) && all;
      _exit(all ? 0 : 1);
    }
    children.push_back(child);
  }
  collectChildren(children, run);
  finishFloor(start, run);
#else
  (void)paths;
#endif
  return run;
}

// The same frames decoded by two freshly started processes of the decoder
// program, frames alternating between them; process start included.
inline FloorRun freshProcessDecodeFloor(const std::vector<std::string>& paths,
                                        const std::string& program = LUMIVEX_DECODE_FRAMES) {
  FloorRun run;
#if defined(__unix__) || defined(__APPLE__)
  if (program.empty() || paths.empty()) return run;
  std::vector<std::string> shares[2];
  for (size_t i = 0; i < paths.size(); ++i) shares[i % 2].push_back(paths[i]);
  std::fflush(nullptr);
  const auto start = std::chrono::steady_clock::now();
  std::vector<pid_t> children;
  for (std::vector<std::string>& share : shares) {
    if (share.empty()) continue;  // a single frame: one decoder
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& path : share) argv.push_back(&path[0]);
    argv.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) child = -1;
    children.push_back(child);
  }
  collectChildren(children, run);
  finishFloor(start, run);
#else
  (void)paths, (void)program;
#endif
  return run;
}

// The one-minute load average, printed beside every round: on a shared
// machine it tells how much of the two cores a round found free.
inline void printLoadAverage(const char* before) {
  double load[3] = {0.0, 0.0, 0.0};
#if defined(__unix__) || defined(__APPLE__)
  if (getloadavg(load, 3) < 0) load[0] = load[1] = load[2] = 0.0;
#endif
  std::printf("%sload average %.2f %.2f %.2f\n", before, load[0], load[1], load[2]);
}

// "wall W ms, CPU C ms, F faults", or the refusal when a decoder failed.
inline std::string floorText(const FloorRun& floor) {
  if (!floor.ok) return "FAILED: a decoder did not finish cleanly, no figure";
  char text[128];
  std::snprintf(text, sizeof text, "wall %.0f ms, CPU %.0f ms, %ld minor faults", floor.wallMs, floor.cpuMs,
                floor.minorFaults);
  return text;
}

// "R.RRx" of a job's figure against the floor's, or "-" where the floor has none.
inline std::string ratioText(double job, double floor, bool floorOk) {
  if (!floorOk || !(floor > 0.0)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2fx", job / floor);
  return text;
}

// One line of a job's figures against both floors, wall and CPU.
inline void printAgainstFloors(const char* indent, double jobWallMs, double jobCpuMs, const FloorRun& forked,
                               const FloorRun& fresh) {
  std::printf("%sx forked floor: wall %s, CPU %s;  x fresh-process floor: wall %s, CPU %s\n", indent,
              ratioText(jobWallMs, forked.wallMs, forked.ok).c_str(), ratioText(jobCpuMs, forked.cpuMs, forked.ok).c_str(),
              ratioText(jobWallMs, fresh.wallMs, fresh.ok).c_str(), ratioText(jobCpuMs, fresh.cpuMs, fresh.ok).c_str());
}

}  // namespace bench
