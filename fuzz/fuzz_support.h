// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

namespace fuzzsupport {

// The input as a file: the jobs read paths, not buffers. One file per
// process, rewritten for every input.
inline const std::string& asFile(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/lumivex_fuzz_" + std::to_string(::getpid());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

// A broken invariant is a finding: abort so libFuzzer keeps the input.
inline void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace fuzzsupport
