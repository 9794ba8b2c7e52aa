// Names of files a run makes for itself: unique across processes, not only
// within one, so two runs writing beside the same output never share a file.
#include "plumbing/plumbing.h"
#include "plumbing/detail/partial_files.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#if defined(_WIN32)
#include <process.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

constexpr const char* kOwnMarker = ".lumivex-";

unsigned long processId() {
#if defined(_WIN32)
  return static_cast<unsigned long>(_getpid());
#else
  return static_cast<unsigned long>(getpid());
#endif
}

// A process id alone repeats after a reboot or in another container, so a
// random part drawn once per process and a counter follow it.
std::string runTag() {
  static const unsigned salt = [] {
    std::random_device device;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return static_cast<unsigned>(device()) ^ static_cast<unsigned>(now);
  }();
  static std::atomic<unsigned> counter{0};
  char text[64];
  std::snprintf(text, sizeof text, "%lu-%08x-%u", processId(), salt, counter++);
  return text;
}

// True when no process of that id runs any more; false when it may still
// write (or when this platform cannot tell).
bool processIsGone(unsigned long pid) {
#if defined(_WIN32)
  (void)pid;
  return false;
#else
  return pid != 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
#endif
}

// The writer's process id in "<stem>.lumivex-partial-<pid>-...<ext>"; 0 when the name holds none.
unsigned long partialWriter(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0) return 0;
  char* end = nullptr;
  const unsigned long pid = std::strtoul(name.c_str() + prefix.size(), &end, 10);
  return end != nullptr && *end == '-' ? pid : 0;
}

}  // namespace

std::string NL_uniqueSiblingPath(const std::string& path, const std::string& tag) {
  const std::filesystem::path p(path);
  const std::string stem = p.stem().string() + kOwnMarker + tag + "-" + runTag();
  return (p.parent_path() / (stem + p.extension().string())).string();
}

bool NL_isOwnTemporaryName(const std::string& fileName) {
  return fileName.find(std::string(kOwnMarker) + "partial-") != std::string::npos;
}

namespace {

// Removes the partial files beside path whose writer's process id passes `remove`.
template <typename Remove>
int removePartials(const std::string& path, Remove&& remove) {
  namespace fs = std::filesystem;
  const fs::path p(path);
  const fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
  const std::string prefix = p.stem().string() + kOwnMarker + "partial-";
  std::error_code ec;
  int removed = 0;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const unsigned long writer = partialWriter(name, prefix);
    if (it->path().extension() != p.extension() || writer == 0 || !remove(writer)) continue;
    std::error_code gone;
    if (fs::remove(it->path(), gone)) ++removed;
  }
  return removed;
}

}  // namespace

int NL_removeAbandonedPartials(const std::string& path) { return removePartials(path, processIsGone); }

int NL_removeOwnPartials(const std::string& path) {
  return removePartials(path, [](unsigned long writer) { return writer == processId(); });
}

namespace lvplumbing {

std::string partialSibling(const std::string& path) { return NL_uniqueSiblingPath(path, "partial"); }

}  // namespace lvplumbing
