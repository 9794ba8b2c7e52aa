// Image files carrying a colour profile, built the way editors embed one.
#pragma once

#include <opencv2/imgcodecs.hpp>

#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace testicc {

inline void putBigEndian(std::vector<std::uint8_t>& out, size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// A profile that libpng accepts (a well-formed display-class RGB header,
// no tags) followed by seeded bytes, so every test profile is different.
inline std::vector<std::uint8_t> profile(unsigned seed, size_t extraWords = 100) {
  std::vector<std::uint8_t> p(132 + 4 * extraWords, 0);
  putBigEndian(p, 0, static_cast<std::uint32_t>(p.size()));
  putBigEndian(p, 8, 0x02100000);
  const char* fields[] = {"mntr", "RGB ", "XYZ "};
  for (int i = 0; i < 3; ++i) std::copy(fields[i], fields[i] + 4, p.begin() + 12 + 4 * i);
  std::copy_n("acsp", 4, p.begin() + 36);
  putBigEndian(p, 68, 0x0000F6D6);  // the D50 white point
  putBigEndian(p, 72, 0x00010000);
  putBigEndian(p, 76, 0x0000D32D);
  std::mt19937 random(seed);
  for (size_t i = 132; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(random());
  return p;
}

inline void appendChunk(std::vector<std::uint8_t>& png, const std::string& type, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> chunk(4, 0);
  putBigEndian(chunk, 0, static_cast<std::uint32_t>(data.size()));
  chunk.insert(chunk.end(), type.begin(), type.end());
  chunk.insert(chunk.end(), data.begin(), data.end());
  std::vector<std::uint8_t> crc(4, 0);
  putBigEndian(crc, 0, static_cast<std::uint32_t>(crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4))));
  chunk.insert(chunk.end(), crc.begin(), crc.end());
  png.insert(png.end(), chunk.begin(), chunk.end());
}

// The image as a PNG with an iCCP chunk right after its header chunk.
inline std::vector<std::uint8_t> pngWithProfile(const cv::Mat& image, const std::vector<std::uint8_t>& icc) {
  std::vector<std::uint8_t> plain;
  cv::imencode(".png", image, plain);
  uLongf packedSize = compressBound(static_cast<uLong>(icc.size()));
  std::vector<std::uint8_t> packed(packedSize);
  compress(packed.data(), &packedSize, icc.data(), static_cast<uLong>(icc.size()));
  packed.resize(packedSize);
  std::vector<std::uint8_t> data = {'E', 'd', 'i', 't', 'o', 'r', ' ', 'P', '3', 0, 0};
  data.insert(data.end(), packed.begin(), packed.end());
  const size_t afterHeader = 8 + 4 + 4 + 13 + 4;
  std::vector<std::uint8_t> png(plain.begin(), plain.begin() + afterHeader);
  appendChunk(png, "iCCP", data);
  png.insert(png.end(), plain.begin() + afterHeader, plain.end());
  return png;
}

// The image as a JPEG with the profile split over `parts` APP2 segments,
// stored in reverse order to show they are joined by sequence number.
inline std::vector<std::uint8_t> jpegWithProfile(const cv::Mat& image, const std::vector<std::uint8_t>& icc, int parts) {
  std::vector<std::uint8_t> plain;
  cv::imencode(".jpg", image, plain);
  std::vector<std::uint8_t> jpeg(plain.begin(), plain.begin() + 2);
  const size_t share = (icc.size() + parts - 1) / parts;
  for (int k = parts; k >= 1; --k) {
    const size_t from = (k - 1) * share, to = std::min(icc.size(), k * share);
    const size_t length = 2 + 12 + 2 + (to - from);
    std::vector<std::uint8_t> segment = {0xFF, 0xE2, std::uint8_t(length >> 8), std::uint8_t(length & 0xFF)};
    const char tag[] = "ICC_PROFILE";
    segment.insert(segment.end(), tag, tag + 12);  // with its closing zero
    segment.push_back(std::uint8_t(k));
    segment.push_back(std::uint8_t(parts));
    segment.insert(segment.end(), icc.begin() + from, icc.begin() + to);
    jpeg.insert(jpeg.end(), segment.begin(), segment.end());
  }
  jpeg.insert(jpeg.end(), plain.begin() + 2, plain.end());
  return jpeg;
}

}  // namespace testicc
