// Small helpers shared by the test files.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary directory, removed with its content.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("lumivex_test_" + std::to_string(rd()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// An uncompressed 8-bit TIFF OpenCV cannot write: any number of samples
// per pixel (0 leaves the tag out, which means one), either byte order.
// extra: further entries after the usual ones, e.g. a tag given a second time.
inline std::string handMadeTiff(int width, int height, int samples, bool bigEndian,
                                const std::vector<std::pair<int, std::uint64_t>>& extra = {}) {
  std::string out = bigEndian ? std::string("MM\0*", 4) : std::string("II*\0", 4);
  auto number = [&](std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * (bigEndian ? bytes - 1 - i : i))) & 0xFF);
  };
  const int stored = samples > 0 ? samples : 1;
  std::vector<std::pair<int, std::uint64_t>> tags = {{256, width}, {257, height}, {258, 8}, {259, 1}, {262, 1}};
  tags.push_back({273, 0});  // the strip, after the directory
  if (samples > 0) tags.push_back({277, std::uint64_t(samples)});
  tags.push_back({278, std::uint64_t(height)});
  tags.push_back({279, std::uint64_t(width) * height * stored});
  tags.insert(tags.end(), extra.begin(), extra.end());
  const std::uint64_t strip = 8 + 2 + 12 * tags.size() + 4;
  number(8, 4);
  number(tags.size(), 2);
  for (const auto& [tag, value] : tags) {
    number(std::uint64_t(tag), 2);
    number(4, 2);  // LONG
    number(1, 4);
    number(tag == 273 ? strip : value, 4);
  }
  number(0, 4);
  out += std::string(std::size_t(width) * height * stored, '\x40');
  return out;
}

}  // namespace testsupport
