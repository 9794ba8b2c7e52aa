// The work a registered stack cannot avoid besides decoding (its warps and
// its result writes, bench_required_work), run in a fresh process in the
// same round as the floors and the job, and printed against both floors: the
// least a job can cost is a floor plus this.
#pragma once

#include "child_run.h"
#include "decode_floor.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef LUMIVEX_REQUIRED_WORK
#define LUMIVEX_REQUIRED_WORK ""
#endif

namespace bench {

struct RequiredWork {
  bool ok = false;
  int warps = 0, writes = 0;
  double warpCpuMs = 0.0, warpWallMs = 0.0, writeCpuMs = 0.0, writeWallMs = 0.0;
  double skyCpuMs = -1.0, skyWallMs = -1.0;  // the warps resampling only the sky, where measured
};

// Runs bench_required_work with args; its output goes to outPath.
inline RequiredWork runRequiredWork(std::vector<std::string> args, const std::string& outPath) {
  RequiredWork w;
  args.insert(args.begin(), LUMIVEX_REQUIRED_WORK);
  const benchsupport::ChildRun run = benchsupport::runChild(args, outPath);
  std::ifstream in(outPath);
  const std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t at = out.rfind("required: ");
  w.ok = run.status == 0 && at != std::string::npos &&
         std::sscanf(out.c_str() + at, "required: warps %d %lf %lf writes %d %lf %lf sky %lf %lf", &w.warps,
                     &w.warpCpuMs, &w.warpWallMs, &w.writes, &w.writeCpuMs, &w.writeWallMs, &w.skyCpuMs,
                     &w.skyWallMs) == 8;
  if (!w.ok) std::printf("required work FAILED (exit %d), see %s\n", run.status, outPath.c_str());
  for (const char* what : {"canvas ", "sky only: "}) {  // what was warped
    const size_t line = out.find(what);
    if (w.ok && line != std::string::npos) std::printf("  %s\n", out.substr(line, out.find('\n', line) - line).c_str());
  }
  return w;
}

inline void printRequiredPart(const char* name, double cpuMs, double wallMs, const FloorRun& forked,
                              const FloorRun& fresh) {
  std::printf("  %-26s CPU %6.0f ms (wall %6.0f ms)  = %s of the forked floor's CPU, %s of the fresh-process floor's\n",
              name, cpuMs, wallMs, ratioText(cpuMs, forked.cpuMs, forked.ok).c_str(),
              ratioText(cpuMs, fresh.cpuMs, fresh.ok).c_str());
}

inline void printLeastJob(const char* what, double cpuMs, const FloorRun& forked, const FloorRun& fresh) {
  std::printf("  least job%s: floor + required work = %s of the forked floor's CPU, %s of the fresh-process floor's\n",
              what, ratioText(forked.cpuMs + cpuMs, forked.cpuMs, forked.ok).c_str(),
              ratioText(fresh.cpuMs + cpuMs, fresh.cpuMs, fresh.ok).c_str());
}

// Each part's CPU against each floor's, and a floor plus the required work
// against that floor: the smallest ratio a job can reach.
inline void printRequiredWork(const RequiredWork& w, const FloorRun& forked, const FloorRun& fresh) {
  if (!w.ok) return;
  std::printf("required work besides decoding:\n");
  const std::string warps = std::to_string(w.warps) + " Lanczos-4 warps";
  const std::string writes = std::to_string(w.writes) + " result write" + (w.writes == 1 ? "" : "s");
  printRequiredPart(warps.c_str(), w.warpCpuMs, w.warpWallMs, forked, fresh);
  printRequiredPart(writes.c_str(), w.writeCpuMs, w.writeWallMs, forked, fresh);
  const double cpu = w.warpCpuMs + w.writeCpuMs;
  printRequiredPart("together", cpu, w.warpWallMs + w.writeWallMs, forked, fresh);
  printLeastJob("", cpu, forked, fresh);
  if (w.skyCpuMs < 0.0) return;
  printRequiredPart("warps of the sky only", w.skyCpuMs, w.skyWallMs, forked, fresh);
  printLeastJob(" (sky only)", w.skyCpuMs + w.writeCpuMs, forked, fresh);
}

}  // namespace bench
