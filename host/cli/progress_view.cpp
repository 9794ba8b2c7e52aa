#include "cli/progress_view.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace lvcli {
namespace {

constexpr int kBarWidth = 24;
constexpr int kDefaultColumns = 80;

bool stderrIsTerminal() {
#if defined(_WIN32)
  return _isatty(2) != 0;
#else
  return isatty(2) != 0;
#endif
}

// A line as wide as the terminal wraps and then every redraw adds a line.
int terminalColumns() {
#if defined(TIOCGWINSZ)
  winsize size{};
  if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  return kDefaultColumns;
}

std::string stageText(const lvhost::ProgressSnapshot& p) {
  return p.detail.empty() ? p.stage : p.stage + ": " + p.detail;
}

std::string clockText(long long seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  }
  return text;
}

}  // namespace

ProgressStyle progressStyleFor(bool quiet) {
  if (quiet) return ProgressStyle::Quiet;
  return stderrIsTerminal() ? ProgressStyle::Bar : ProgressStyle::Lines;
}

std::string progressBarLine(const lvhost::ProgressSnapshot& p, long long elapsedSeconds, int width) {
  const int percent = std::clamp(p.percent, 0, 100);
  const int filled = percent * kBarWidth / 100;
  char head[16];
  std::snprintf(head, sizeof head, "] %3d%%  ", percent);
  const std::string clock = "  " + clockText(elapsedSeconds);
  std::string line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + head;
  // the stage gives way first, so the clock stays at the end of a narrow line
  const int room = width - 1 - static_cast<int>(line.size() + clock.size());
  std::string stage = stageText(p);
  if (room <= 0) stage.clear();
  else if (static_cast<int>(stage.size()) > room) stage = stage.substr(0, room > 3 ? room - 3 : room) + (room > 3 ? "..." : "");
  line += stage + clock;
  if (static_cast<int>(line.size()) >= width && width > 1) line.resize(width - 1);
  return line;
}

std::string progressPlainLine(const lvhost::ProgressSnapshot& p) {
  return "progress " + std::to_string(p.percent) + "% " + stageText(p) + "\n";
}

ProgressView::ProgressView(std::string progressPath, ProgressStyle style, std::ostream& out)
    : path_(std::move(progressPath)), style_(style), out_(out), start_(std::chrono::steady_clock::now()) {
  if (!path_.empty()) hadStale_ = lvhost::readProgressFile(path_, stale_);
}

void ProgressView::follow(const std::function<bool()>& running, int pollMs) {
  if (style_ == ProgressStyle::Quiet || path_.empty()) {
    while (running()) std::this_thread::sleep_for(std::chrono::milliseconds(pollMs > 0 ? pollMs : 1));
    return;
  }
  while (running()) {
    poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs > 0 ? pollMs : 1));
  }
  poll();
  if (style_ == ProgressStyle::Lines && seenAny_ && (!printedLine_ || last_ != lastPrinted_)) {
    out_ << progressPlainLine(last_);  // the final state, even within an unchanged stage
  }
  if (style_ == ProgressStyle::Bar && seenAny_) out_ << "\n";
  out_.flush();
}

void ProgressView::poll() {
  lvhost::ProgressSnapshot now;
  // between the writer's delete and rename the file is briefly absent: keep the last state
  const bool read = lvhost::readProgressFile(path_, now);
  if (read && !(seenAny_ && now == last_) && !(!seenAny_ && hadStale_ && now == stale_)) {
    seenAny_ = true;
    last_ = now;
    show(now);
  } else if (style_ == ProgressStyle::Bar && seenAny_ && elapsedSeconds() != drawnSecond_) {
    redraw();  // the clock moves on while a long step keeps the same state
  }
}

void ProgressView::show(const lvhost::ProgressSnapshot& p) {
  if (style_ == ProgressStyle::Bar) return redraw();
  if (printedLine_ && p.stage == lastPrinted_.stage) return;
  printedLine_ = true;
  lastPrinted_ = p;
  out_ << progressPlainLine(p) << std::flush;
}

void ProgressView::redraw() {
  drawnSecond_ = elapsedSeconds();
  out_ << "\r" << progressBarLine(last_, drawnSecond_, terminalColumns()) << "\033[K" << std::flush;
}

long long ProgressView::elapsedSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace lvcli
