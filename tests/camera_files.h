// Files as cameras write them, made by the tests: TIFF directories with
// EXIF, JPEG with an APP1 block, and small DNG files of known CFA values.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace camerafiles {

// One directory entry; value holds the bytes in the file's byte order.
struct Tag {
  std::uint16_t tag = 0, type = 0;
  std::uint32_t count = 0;
  std::string value;
  int pointsToDirectory = -1;  // the value is the offset of directory k
  bool pointsToImage = false;  // the value is the offset of the image data
};

class Tiff {
 public:
  explicit Tiff(bool bigEndian = false) : big_(bigEndian), dirs_(1) {}
  // Directory 0 is the first; further ones are reached through pointer tags.
  int addDirectory() {
    dirs_.emplace_back();
    return int(dirs_.size()) - 1;
  }
  void ascii(int d, std::uint16_t tag, const std::string& s) { add(d, tag, 2, std::uint32_t(s.size() + 1), s + '\0'); }
  void bytes(int d, std::uint16_t tag, const std::vector<int>& v, std::uint16_t type = 1) {
    std::string b;
    for (int x : v) b += char(x);
    add(d, tag, type, std::uint32_t(v.size()), b);
  }
  void shorts(int d, std::uint16_t tag, const std::vector<unsigned>& v) {
    std::string b;
    for (unsigned x : v) b += num(x, 2);
    add(d, tag, 3, std::uint32_t(v.size()), b);
  }
  void longs(int d, std::uint16_t tag, const std::vector<std::uint32_t>& v) {
    std::string b;
    for (std::uint32_t x : v) b += num(x, 4);
    add(d, tag, 4, std::uint32_t(v.size()), b);
  }
  void rationals(int d, std::uint16_t tag, const std::vector<std::pair<std::int64_t, std::int64_t>>& v,
                 bool isSigned = false) {
    std::string b;
    for (const auto& r : v) b += num(std::uint32_t(r.first), 4) + num(std::uint32_t(r.second), 4);
    add(d, tag, isSigned ? 10 : 5, std::uint32_t(v.size()), b);
  }
  void pointer(int d, std::uint16_t tag, int target) { add(d, tag, 4, 1, num(0, 4)).pointsToDirectory = target; }
  void imageOffset(int d, std::uint16_t tag) { add(d, tag, 4, 1, num(0, 4)).pointsToImage = true; }
  std::string num(std::uint64_t v, int n) const {
    std::string b(size_t(n), '\0');
    for (int i = 0; i < n; ++i) b[size_t(big_ ? n - 1 - i : i)] = char((v >> (8 * i)) & 0xFF);
    return b;
  }

  // The whole file: header, directories with their long values, then image.
  std::string build(const std::string& image = std::string()) const {
    std::vector<std::uint32_t> dirAt(dirs_.size());
    std::uint32_t at = 8;
    std::vector<std::vector<std::uint32_t>> valueAt(dirs_.size());
    for (size_t d = 0; d < dirs_.size(); ++d) {
      dirAt[d] = at;
      at += 2 + 12 * std::uint32_t(dirs_[d].size()) + 4;
      for (const Tag& t : dirs_[d]) {
        valueAt[d].push_back(t.value.size() > 4 ? at : 0);
        if (t.value.size() > 4) at += std::uint32_t((t.value.size() + 1) & ~size_t(1));
      }
    }
    const std::uint32_t imageAt = at;
    std::string out = big_ ? "MM" : "II";
    out += num(42, 2) + num(8, 4);
    std::string tail;
    for (size_t d = 0; d < dirs_.size(); ++d) {
      out += num(dirs_[d].size(), 2);
      for (size_t i = 0; i < dirs_[d].size(); ++i) {
        const Tag& t = dirs_[d][i];
        out += num(t.tag, 2) + num(t.type, 2) + num(t.count, 4);
        if (t.pointsToDirectory >= 0) out += num(dirAt[size_t(t.pointsToDirectory)], 4);
        else if (t.pointsToImage) out += num(imageAt, 4);
        else if (t.value.size() > 4) out += num(valueAt[d][i], 4);
        else out += t.value + std::string(4 - t.value.size(), '\0');
      }
      out += num(0, 4);
      for (const Tag& t : dirs_[d])
        if (t.value.size() > 4) out += t.value + std::string(t.value.size() % 2, '\0');
    }
    return out + image;
  }

 private:
  Tag& add(int d, std::uint16_t tag, std::uint16_t type, std::uint32_t count, const std::string& value) {
    Tag t;
    t.tag = tag;
    t.type = type;
    t.count = count;
    t.value = value;
    // Directories list their tags in ascending order.
    auto& list = dirs_[size_t(d)];
    auto it = list.begin();
    while (it != list.end() && it->tag < tag) ++it;
    return *list.insert(it, t);
  }
  bool big_;
  std::vector<std::vector<Tag>> dirs_;
};

// What a camera writes about a shot.
struct Shot {
  std::string make = "Acme", model = "Acme Night 1";
  std::string original = "2026:08:12 22:41:07", subSecond;
  std::pair<std::int64_t, std::int64_t> exposure{15, 1};
};

// EXIF fields of a shot: Make and Model in directory 0, the rest in the EXIF directory.
inline void addShot(Tiff& t, const Shot& s) {
  if (!s.make.empty()) t.ascii(0, 0x010F, s.make);
  if (!s.model.empty()) t.ascii(0, 0x0110, s.model);
  const int exif = t.addDirectory();
  t.pointer(0, 0x8769, exif);
  t.rationals(exif, 0x829A, {s.exposure});
  if (!s.original.empty()) t.ascii(exif, 0x9003, s.original);
  if (!s.subSecond.empty()) t.ascii(exif, 0x9291, s.subSecond);
}

// A JPEG of the image with the shot's EXIF in an APP1 after the JFIF header.
inline std::string jpegWithShot(const cv::Mat& image, const Shot& s, bool bigEndian = false) {
  std::vector<uchar> encoded;
  cv::imencode(".jpg", image, encoded);
  Tiff t(bigEndian);
  addShot(t, s);
  const std::string block = "Exif" + std::string(2, '\0') + t.build();
  const size_t length = block.size() + 2;
  std::string app1 = "\xFF\xE1";
  app1 += char(length >> 8);
  app1 += char(length & 0xFF);
  std::string file(encoded.begin(), encoded.end());
  // After SOI and the JFIF APP0 segment, as cameras and editors place it.
  size_t at = 2;
  if (uchar(file[2]) == 0xFF && uchar(file[3]) == 0xE0) at = 4 + ((uchar(file[4]) << 8) | uchar(file[5]));
  return file.substr(0, at) + app1 + block + file.substr(at);
}

// A DNG of a Bayer sensor (red, green / green, blue) whose camera RGB is
// linear sRGB: its colour matrix is sRGB's own, so after white balance the
// decoded colours are the scene's. `scene` holds each pixel's light in
// blue, green, red order as a share of the sensor's range (0..1); the
// camera's white balance multiplies channel c by 1 / neutral[c].
struct Dng {
  cv::Mat scene;                        // CV_32FC3
  double neutral[3] = {0.5, 1.0, 0.8};  // AsShotNeutral, red, green, blue
  int black = 256, white = 4095;
  int orientation = 1;
  bool bigEndian = false;
  Shot shot;
};

inline std::string dngFile(const Dng& d) {
  Tiff t(d.bigEndian);
  const int w = d.scene.cols, h = d.scene.rows;
  std::string pixels;
  pixels.reserve(size_t(w) * size_t(h) * 2);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const cv::Vec3f v = d.scene.at<cv::Vec3f>(y, x);
      const int channel = (y % 2 == 0 && x % 2 == 0) ? 2 : (y % 2 == 1 && x % 2 == 1) ? 0 : 1;  // BGR index
      const double share = std::min(1.0, std::max(0.0, double(v[channel])));
      pixels += t.num(std::uint64_t(d.black + share * (d.white - d.black) + 0.5), 2);
    }
  }
  t.longs(0, 254, {0});
  t.longs(0, 256, {std::uint32_t(w)});
  t.longs(0, 257, {std::uint32_t(h)});
  t.shorts(0, 258, {16});
  t.shorts(0, 259, {1});
  t.shorts(0, 262, {32803});
  t.imageOffset(0, 273);
  t.shorts(0, 274, {unsigned(d.orientation)});
  t.shorts(0, 277, {1});
  t.longs(0, 278, {std::uint32_t(h)});
  t.longs(0, 279, {std::uint32_t(pixels.size())});
  t.shorts(0, 284, {1});
  t.shorts(0, 33421, {2, 2});
  t.bytes(0, 33422, {0, 1, 1, 2});
  t.bytes(0, 50706, {1, 4, 0, 0});
  t.bytes(0, 50707, {1, 1, 0, 0});
  t.ascii(0, 50708, d.shot.make + " " + d.shot.model);
  t.longs(0, 50714, {std::uint32_t(d.black)});
  t.longs(0, 50717, {std::uint32_t(d.white)});
  // XYZ (D65) to linear sRGB
  const double xyzToRgb[9] = {3.2404542, -1.5371385, -0.4985314, -0.9692660, 1.8760108,
                              0.0415560, 0.0556434,  -0.2040259, 1.0572252};
  std::vector<std::pair<std::int64_t, std::int64_t>> matrix;
  for (double m : xyzToRgb) matrix.push_back({std::int64_t(m * 1000000 + (m < 0 ? -0.5 : 0.5)), 1000000});
  t.rationals(0, 50721, matrix, true);
  std::vector<std::pair<std::int64_t, std::int64_t>> neutral;
  for (double n : d.neutral) neutral.push_back({std::int64_t(n * 1000000 + 0.5), 1000000});
  t.rationals(0, 50728, neutral);
  t.shorts(0, 50778, {21});
  addShot(t, d.shot);
  return t.build(pixels);
}

}  // namespace camerafiles
