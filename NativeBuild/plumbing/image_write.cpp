// Result images: written whole or not at all.
#include "plumbing/plumbing.h"

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <filesystem>
#include <system_error>

namespace {

// Same folder (so the rename stays on one file system) and same extension.
std::string temporarySibling(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path p(path);
  const std::string stem = p.stem().string() + ".lumivex-partial-" + std::to_string(counter++);
  return (p.parent_path() / (stem + p.extension().string())).string();
}

}  // namespace

bool NL_writeImageFile(const std::string& path, const cv::Mat& image) {
  if (path.empty() || image.empty()) return false;
  const std::string temp = temporarySibling(path);
  bool written = false;
  try {
    written = cv::imwrite(temp, image);
  } catch (const std::exception&) {
    written = false;
  }
  std::error_code ec;
  if (written) std::filesystem::rename(temp, path, ec);
  if (!written || ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}
