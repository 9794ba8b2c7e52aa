// Result logs and status files: plain replacement, no error report.
#include "plumbing/plumbing.h"

#include <fstream>

namespace {

void writeWholeFile(const std::string& path, const std::string& text) {
  // A pipe would block the job until a reader comes; a folder cannot be written.
  if (path.empty() || NL_isNonRegularFile(path)) return;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

void NL_writeTextFile(const std::string& path, const std::string& text) { writeWholeFile(path, text); }

void NL_sgWriteTextFile(const std::string& path, const std::string& text) { writeWholeFile(path, text); }

std::string NL_replaceFileExtension(const std::string& path, const std::string& extension) {
  const size_t separator = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) {
    return path.substr(0, dot) + extension;
  }
  return path + extension;
}
