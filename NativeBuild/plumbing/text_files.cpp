// Result logs and status files: replaced whole, no error report.
#include "plumbing/plumbing.h"
#include "plumbing/detail/partial_files.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>

namespace {

// Logs a cancelled job ended with: a job thread still running never
// replaces them. The lock covers each whole write, so a write under way
// lands before the last one or not at all.
std::mutex& writeLock() {
  static auto* m = new std::mutex;
  return *m;
}
std::set<std::string>& sealedPaths() {
  static auto* paths = new std::set<std::string>;
  return *paths;
}

void writeWholeFile(const std::string& path, const std::string& text, bool last = false) {
  // A pipe would block the job until a reader comes; a folder cannot be written.
  if (path.empty() || NL_isNonRegularFile(path)) return;
  std::lock_guard<std::mutex> lock(writeLock());
  if (sealedPaths().count(path) != 0) return;
  if (last) sealedPaths().insert(path);
  // Written beside and renamed over, so a script polling for the log never
  // reads it empty or cut short.
  const std::string temp = lvplumbing::partialSibling(path);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (out && out.flush()) {
      out.close();
      std::error_code ec;
      std::filesystem::rename(temp, path, ec);
      if (!ec) return;
    }
  }
  std::error_code ec;
  std::filesystem::remove(temp, ec);
  // a folder that takes no new files may still let the log itself be replaced
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

void NL_writeTextFile(const std::string& path, const std::string& text) { writeWholeFile(path, text); }

void NL_sgWriteTextFile(const std::string& path, const std::string& text) { writeWholeFile(path, text); }

void NL_writeLastTextFile(const std::string& path, const std::string& text) { writeWholeFile(path, text, true); }

std::string NL_replaceFileExtension(const std::string& path, const std::string& extension) {
  const size_t separator = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) {
    return path.substr(0, dot) + extension;
  }
  return path + extension;
}
