// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fuzzsupport {

// The input as a file: the jobs read paths, not buffers. One file per
// process, rewritten for every input, in a folder held in memory where the
// system has one: a disk file system flushes a file truncated and rewritten,
// and the run would wait on the disk far longer than it computes.
inline const std::string& asFile(const std::uint8_t* data, std::size_t size) {
  // Removed when the run ends, so runs leave no files behind.
  struct Scratch {
    std::string path;
    ~Scratch() { std::remove(path.c_str()); }
  };
  static const Scratch file = [] {
    struct stat folder;
    const bool inMemory = ::stat("/dev/shm", &folder) == 0 && S_ISDIR(folder.st_mode);
    return Scratch{std::string(inMemory ? "/dev/shm" : "/tmp") + "/lumivex_fuzz_" + std::to_string(::getpid())};
  }();
  std::ofstream out(file.path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return file.path;
}

// A broken invariant is a finding: abort so libFuzzer keeps the input.
inline void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace fuzzsupport
