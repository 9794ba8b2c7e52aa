// The four-line progress file the script side polls, and the stack progress path.
#include "plumbing/plumbing.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <cstdint>
#include <map>

std::string NL_gLumivexProgressPath;
std::mutex NL_gLumivexProgressMutex;

namespace {

// What the writer remembers of one path.
struct PathMemory {
  int percent = 0;
  std::uint64_t entries = 0;
  std::string stage;
  bool sealed = false;  // a last entry was written: nothing replaces it
};

// Built once and never destroyed: a background job still running while the
// process exits may write one last entry after static destructors have run.
std::mutex& progressMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::map<std::string, PathMemory>& progressMemory() {
  static auto* memory = new std::map<std::string, PathMemory>;
  return *memory;
}

// A fresh run on a reused path starts low after an earlier run ended high;
// the end words never count as a restart.
bool isRestart(int incoming, int last, const std::string& stage) {
  return incoming <= 10 && last >= 90 && !NL_isFinalProgressStage(stage);
}

// Writes the temporary file completely, then moves it over the old file in
// one step so that a polling reader always finds a whole file.
void replaceProgressFile(const std::string& path, const std::string& content) {
  const std::string tmp = path + ".tmp";
  // Never replace or remove a folder, pipe or device that stands at the path.
  if (NL_isNonRegularFile(path) || NL_isNonRegularFile(tmp)) return;
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return;
    out << content;
    out.flush();
    if (!out) {
      out.close();
      std::remove(tmp.c_str());
      return;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) == 0) return;
  // Platforms whose rename refuses an existing target.
  std::remove(path.c_str());
  if (std::rename(tmp.c_str(), path.c_str()) != 0) std::remove(tmp.c_str());
}

// The test, the write and the seal under one lock: a write of another
// thread lands wholly before a last entry or not at all.
void writeEntry(const std::string& path, int percent, const std::string& stage, const std::string& detail,
                bool lastEntry) {
  if (path.empty()) return;
  const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
  std::lock_guard<std::mutex> lock(progressMutex());
  PathMemory& memory = progressMemory()[path];
  if (memory.sealed) return;
  int& last = memory.percent;
  int value = clamped;
  if (isRestart(percent, last, stage)) {
    last = clamped;
  } else if (clamped < last) {
    value = last;
  } else {
    last = clamped;
  }
  ++memory.entries;
  memory.stage = stage;
  memory.sealed = lastEntry;
  replaceProgressFile(path, "percent=" + std::to_string(value) + "\nstage=" + stage + "\ndetail=" + detail +
                                "\nwriter=module landscape-progress-monotonic-v2\n");
}

}  // namespace

void NL_writeProgressFile(const std::string& path, int percent, const std::string& stage,
                          const std::string& detail) {
  writeEntry(path, percent, stage, detail, false);
}

void NL_writeLastProgressEntry(const std::string& path, int percent, const std::string& stage,
                               const std::string& detail) {
  writeEntry(path, percent, stage, detail, true);
}

NLProgressRecord NL_progressRecord(const std::string& path) {
  std::lock_guard<std::mutex> lock(progressMutex());
  NLProgressRecord record;
  const auto found = progressMemory().find(path);
  if (found == progressMemory().end()) return record;
  record.entries = found->second.entries;
  record.percent = found->second.percent;
  record.stage = found->second.stage;
  return record;
}

bool NL_isFinalProgressStage(const std::string& stage) { return stage == "Completed" || stage == "Failed"; }

void NL_writeStackProgress(int percent, const std::string& stage, const std::string& detail) {
  std::lock_guard<std::mutex> lock(NL_gLumivexProgressMutex);
  if (NL_gLumivexProgressPath.empty()) return;
  NL_writeProgressFile(NL_gLumivexProgressPath, percent, stage, detail);
}

int NL_roundPercent(double value) { return static_cast<int>(std::round(value)); }

int NL_mapProgress(int percent, int start, int end) {
  return start + NL_roundPercent(static_cast<double>(percent) * (end - start) / 100.0);
}
