// One whole Star Trail job, timed, in a child process of its own (see child_run.h).
#pragma once

#include "child_run.h"
#include "live_heap.h"

#include "startrail/startrail.h"

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <vector>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace benchsupport {

struct TrailJobFigures {
  double seconds = 0.0;
  double peakMegabytes = 0.0;
  double heapPeakMegabytes = 0.0;  // the allocator's live peak, where live_heap.cpp is linked in
  double touchedPeakMegabytes = 0.0;  // the same without large blocks' pages never written
  NLStarTrailStageTimes steps;
  double cpuMs = 0.0, systemMs = 0.0;  // the child's user + system, and system alone
  long minorFaults = 0;
  bool ok = false;
};

// Runs the job planned for this machine's logical threads; prints its log when it fails,
// and with heapDetail the large blocks alive at the allocator's peak.
inline TrailJobFigures runTrailJob(const std::string& job, bool heapDetail = false) {
  const auto once = [&job, heapDetail] {
    TrailJobFigures f;
    const LiveHeapProbe* heap = liveHeapProbe();
    if (heap) heap->restart();
    const auto t0 = std::chrono::steady_clock::now();
    const std::string log = NL_runStarTrailNativeJob(job, std::thread::hardware_concurrency(), &f.steps);
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    f.ok = log.find("status=success") != std::string::npos;
    if (!f.ok) std::printf("%s\n", log.c_str());
    if (heap) {
      f.heapPeakMegabytes = heap->peakMegabytes();
      f.touchedPeakMegabytes = heap->writtenPeakMegabytes();
      if (heapDetail) heap->printPeak();
    }
    return f;
  };
  double peak = 0.0;
  bool whole = true;
#ifdef LUMIVEX_BENCH_FORK
  rusage usage{};
  TrailJobFigures f = runInChild<TrailJobFigures>(once, peak, whole, &usage);
  f.systemMs = 1e3 * double(usage.ru_stime.tv_sec) + 1e-3 * double(usage.ru_stime.tv_usec);
  f.cpuMs = f.systemMs + 1e3 * double(usage.ru_utime.tv_sec) + 1e-3 * double(usage.ru_utime.tv_usec);
  f.minorFaults = usage.ru_minflt;
#else
  TrailJobFigures f = runInChild<TrailJobFigures>(once, peak, whole);
#endif
  f.peakMegabytes = peak;
  f.ok = f.ok && whole;
  return f;
}

// A job file for the frames with one rejection mode (window 5), its result
// "result_MODE.tif" in dir; an earlier result is removed first, as the job
// would otherwise number its output.
inline std::string writeTrailJob(const std::vector<std::string>& frames, const std::string& mode,
                                 const std::string& dir) {
  const std::string job = dir + "/startrail_job_native_" + mode + "_" + std::to_string(frames.size()) + ".json";
  std::remove((dir + "/result_" + mode + ".tif").c_str());
  std::ofstream out(job);
  out << "{\"inputs\": [";
  for (size_t i = 0; i < frames.size(); ++i) out << (i ? ", " : "") << "{\"path\": \"" << frames[i] << "\"}";
  out << "], \"output\": \"" << dir << "/result_" << mode << ".tif\", \"rejectionMode\": \"" << mode
      << "\", \"temporalWindow\": 5}";
  return job;
}

// The floor of a trail job's time: every frame decoded once, by as many
// threads as the job runs workers. In seconds.
inline double trailDecodeFloor(const std::vector<std::string>& frames) {
  const int workers = NL_starTrailWorkerCount(std::thread::hardware_concurrency(), int(frames.size()));
  const auto t0 = std::chrono::steady_clock::now();
  std::atomic<int> next{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w)
    threads.emplace_back([&] {
      for (int i; (i = next.fetch_add(1)) < int(frames.size());)
        if (cv::imread(frames[size_t(i)], -1).empty()) std::printf("could not read %s\n", frames[size_t(i)].c_str());
    });
  for (std::thread& t : threads) t.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace benchsupport
