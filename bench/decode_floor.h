// The decode floor of a job: its frames decoded by two processes at once
// (frames alternating between them), each frame once and discarded. Two
// processes because the jobs use both cores; separate processes so the
// figure carries no allocator or page state of the job that runs beside it.
// Benchmarks run it interleaved with the job they compare, so both see the
// same load on a shared machine.
#pragma once

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace bench {

struct FloorRun {
  double wallMs = 0.0;
  double cpuMs = 0.0;   // both processes, user + system
  long minorFaults = 0; // both processes
  bool ok = false;
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

// decode: how a frame is read (cv::imread unchanged when null), true when it was.
inline FloorRun twoProcessDecodeFloor(const std::vector<std::string>& paths, bool (*decode)(const std::string&) = nullptr) {
  FloorRun run;
#if defined(__unix__) || defined(__APPLE__)
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  pid_t children[2] = {-1, -1};
  for (int k = 0; k < 2; ++k) {
    children[k] = fork();
    if (children[k] == 0) {
      bool all = true;
      for (size_t i = size_t(k); i < paths.size(); i += 2)
        all = (decode ? decode(paths[i]) : !cv::imread(paths[i], cv::IMREAD_UNCHANGED).empty()) && all;
      _exit(all ? 0 : 1);
    }
  }
  run.ok = true;
  for (pid_t child : children) {
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
      run.ok = false;
      continue;
    }
    run.ok = run.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.cpuMs += rusageCpuMs(usage);
    run.minorFaults += usage.ru_minflt;
  }
  run.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
#else
  (void)paths;
#endif
  return run;
}

}  // namespace bench
