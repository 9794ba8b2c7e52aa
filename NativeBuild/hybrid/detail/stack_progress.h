// Progress and timing of one hybrid stack job, shared by the gates, the stacks and the driver.
#pragma once

#include "plumbing/plumbing.h"

#include <chrono>
#include <string>

namespace hybrid_detail {

// Per-job progress: the job's own file, so concurrent jobs never mix.
struct JobProgress {
  std::string path;  // empty: no reporting
  void write(int percent, const std::string& stage, const std::string& detail) const {
    NL_writeProgressFile(path, percent, stage, detail);
  }
};

// start + round(done * span / total), halves away from zero.
inline int progressBetween(int start, double span, long long done, long long total) {
  return start + NL_roundPercent(double(done) * span / double(total > 0 ? total : 1));
}

using Clock = std::chrono::steady_clock;

// Whole milliseconds since start, truncated: the log's timings.
inline long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace hybrid_detail
