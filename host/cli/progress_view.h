// How a running job's progress is shown: one updating bar line on a
// terminal, one plain line per stage change elsewhere, nothing when quiet.
// Shared by every command that runs a job.
#pragma once

#include "standin/host.h"

#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>

namespace lvcli {

enum class ProgressStyle { Quiet, Lines, Bar };

// Bar when stderr (where progress goes) is a terminal, else Lines; Quiet when asked.
ProgressStyle progressStyleFor(bool quiet);

// "[#######-----]  42%  Stage: detail  0:07", cut to width columns (no carriage return).
std::string progressBarLine(const lvhost::ProgressSnapshot& p, long long elapsedSeconds, int width);
// "progress 42% Stage: detail" and a line feed.
std::string progressPlainLine(const lvhost::ProgressSnapshot& p);

class ProgressView {
 public:
  // Notes what the progress file holds now, so a file left by an earlier
  // run is not shown as this run's progress: construct it before the job starts.
  ProgressView(std::string progressPath, ProgressStyle style, std::ostream& out);
  ProgressView(const ProgressView&) = delete;
  ProgressView& operator=(const ProgressView&) = delete;

  // Polls the progress file until running() turns false, then reads it once
  // more so the final state is never missed, and ends the bar line.
  void follow(const std::function<bool()>& running, int pollMs = 100);

 private:
  void poll();
  void show(const lvhost::ProgressSnapshot& p);
  void redraw();
  long long elapsedSeconds() const;

  std::string path_;
  ProgressStyle style_;
  std::ostream& out_;
  std::chrono::steady_clock::time_point start_;
  bool hadStale_ = false;
  lvhost::ProgressSnapshot stale_;
  bool seenAny_ = false;         // a state of this run was seen
  lvhost::ProgressSnapshot last_;
  bool printedLine_ = false;     // Lines: a line was printed
  lvhost::ProgressSnapshot lastPrinted_;
  long long drawnSecond_ = -1;   // Bar: the elapsed second last drawn
};

}  // namespace lvcli
