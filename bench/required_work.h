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
         std::sscanf(out.c_str() + at, "required: warps %d %lf %lf writes %d %lf %lf", &w.warps, &w.warpCpuMs,
                     &w.warpWallMs, &w.writes, &w.writeCpuMs, &w.writeWallMs) == 6;
  if (!w.ok) std::printf("required work FAILED (exit %d), see %s\n", run.status, outPath.c_str());
  return w;
}

inline void printRequiredPart(const char* name, double cpuMs, double wallMs, const FloorRun& forked,
                              const FloorRun& fresh) {
  std::printf("  %-26s CPU %6.0f ms (wall %6.0f ms)  = %s of the forked floor's CPU, %s of the fresh-process floor's\n",
              name, cpuMs, wallMs, ratioText(cpuMs, forked.cpuMs, forked.ok).c_str(),
              ratioText(cpuMs, fresh.cpuMs, fresh.ok).c_str());
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
  std::printf("  least job: floor + required work = %s of the forked floor's CPU, %s of the fresh-process floor's\n",
              ratioText(forked.cpuMs + cpu, forked.cpuMs, forked.ok).c_str(),
              ratioText(fresh.cpuMs + cpu, fresh.cpuMs, fresh.ok).c_str());
}

}  // namespace bench
