// Result images: written whole or not at all.
#include "plumbing/plumbing.h"
#include "plumbing/detail/partial_files.h"

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <filesystem>
#include <system_error>

namespace lvplumbing {

std::string partialSibling(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path p(path);
  const std::string stem = p.stem().string() + ".lumivex-partial-" + std::to_string(counter++);
  return (p.parent_path() / (stem + p.extension().string())).string();
}

}  // namespace lvplumbing

bool NL_writeImageFile(const std::string& path, const cv::Mat& image) {
  if (path.empty() || image.empty()) return false;
  const std::string temp = lvplumbing::partialSibling(path);
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
