#include "startrail/startrail.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>

#if defined(__APPLE__)
#include <mach/mach.h>
#endif

namespace {

// Asked of the file system, never by opening: opening a pipe would block.
bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

void splitOutput(const std::string& path, std::string& stem, std::string& ext) {
  const size_t sep = path.find_last_of("/\\");
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) {
    stem = path;
    ext = ".tif";
  } else {
    stem = path.substr(0, dot);
    ext = path.substr(dot);
  }
}

#if defined(__linux__)
std::uint64_t linuxAvailable() {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  std::uint64_t value = 0;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == "MemAvailable:") return value * 1024;
  }
  return 0;
}
#endif

#if defined(__APPLE__)
// Free plus inactive pages: what the system hands out without swapping.
std::uint64_t appleAvailable() {
  vm_statistics64_data_t stats;
  mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
  if (host_statistics64(mach_host_self(), HOST_VM_INFO64, reinterpret_cast<host_info64_t>(&stats), &count) !=
      KERN_SUCCESS)
    return 0;
  vm_size_t page = 0;
  if (host_page_size(mach_host_self(), &page) != KERN_SUCCESS) return 0;
  return (std::uint64_t(stats.free_count) + stats.inactive_count) * page;
}
#endif

}  // namespace

std::string NL_starTrailChooseOutputPath(const std::string& requested) {
  if (!exists(requested)) return requested;
  std::string stem, ext;
  splitOutput(requested, stem, ext);
  for (int n = 1; n <= 999; ++n) {
    const std::string candidate = stem + "_" + std::to_string(n) + ext;
    if (!exists(candidate)) return candidate;
  }
  return stem + "_" + std::to_string(static_cast<long long>(std::time(nullptr))) + ext;
}

std::uint64_t NL_starTrailAvailablePhysicalMemory() {
#if defined(__APPLE__)
  return appleAvailable();
#elif defined(__linux__)
  return linuxAvailable();
#else
  return 0;
#endif
}

int NL_starTrailWorkerCount(unsigned hardwareThreads, int frameCount) {
  const long long t = hardwareThreads == 0 ? 4 : hardwareThreads;
  const int limit = int(std::max<long long>((t * 80 + 99) / 100, 1));
  return std::max(std::min(limit, frameCount), 1);
}

std::uint64_t NL_starTrailEstimatedBytesPerWorker(std::uint64_t frameBytes, bool rejectionOff, int halfWindow,
                                                  int frameCount) {
  const long long multiplier =
      rejectionOff ? 3 : std::min<long long>(2 * std::clamp(halfWindow, 1, 5), frameCount - 1) + 4;
  return std::max<std::uint64_t>(std::uint64_t(std::max<long long>(multiplier, 0)) * frameBytes, 3 * frameBytes);
}
