// Whether an image file is whole. The decoders are forgiving: libjpeg fills
// a JPEG cut short with grey and only prints a warning, libtiff returns the
// strips it found. A frame still being exported, or damaged on the way, would
// then be stacked half grey as if it were sound. Each format ends in a way
// that shows the file is complete, checked here from the file's structure.
#include "plumbing/plumbing.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace {

std::uint64_t number(const std::uint8_t* p, int n, bool little) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[little ? n - 1 - i : i];
  return v;
}

bool readAt(std::ifstream& in, std::uint64_t offset, std::uint8_t* out, std::uint64_t count) {
  in.clear();
  if (!in.seekg(static_cast<std::streamoff>(offset))) return false;
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
  return in.gcount() == static_cast<std::streamsize>(count);
}

// The last chunk a PNG encoder writes is IEND, twelve bytes at the very end.
std::string pngDamage(std::ifstream& in, std::uint64_t size) {
  std::uint8_t tail[12];
  if (size < 8 + 12 || !readAt(in, size - 12, tail, 12) || std::string(tail + 4, tail + 8) != "IEND")
    return "the PNG file ends before its IEND chunk";
  return std::string();
}

// Entropy-coded data never holds 0xFF 0xD9 (a data 0xFF is followed by 0x00),
// so after the first scan the end-of-image marker is found by looking for it.
// The segments before the scan are stepped over whole: an embedded thumbnail
// carries a marker of its own.
std::string jpegDamage(std::ifstream& in) {
  const std::string cut = "the JPEG file ends before its end-of-image marker";
  std::uint64_t at = 2;
  std::uint8_t marker[4];
  while (true) {
    if (!readAt(in, at, marker, 4) || marker[0] != 0xFF) return cut;
    if (marker[1] == 0xFF) {  // fill byte before a marker
      ++at;
      continue;
    }
    if (marker[1] == 0xD9) return std::string();
    at += 2 + number(marker + 2, 2, false);
    if (marker[1] == 0xDA) break;  // start of scan
  }
  std::vector<char> buffer(1 << 20);
  in.clear();
  in.seekg(static_cast<std::streamoff>(at));
  bool afterFF = false;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    for (std::streamsize i = 0; i < got; ++i) {
      const auto byte = static_cast<std::uint8_t>(buffer[size_t(i)]);
      if (afterFF && byte == 0xD9) return std::string();
      afterFF = byte == 0xFF;
    }
  }
  return cut;
}

// One array of a TIFF directory entry (strip offsets or byte counts).
bool tiffArray(std::ifstream& in, const std::uint8_t* entry, bool little, std::vector<std::uint64_t>& values) {
  const std::uint64_t type = number(entry + 2, 2, little), count = number(entry + 4, 4, little);
  const int width = type == 3 ? 2 : (type == 4 ? 4 : 0);
  if (width == 0 || count == 0 || count > (1u << 24)) return false;
  std::vector<std::uint8_t> bytes(static_cast<size_t>(count * width));
  if (count * width <= 4) std::copy(entry + 8, entry + 8 + bytes.size(), bytes.begin());
  else if (!readAt(in, number(entry + 8, 4, little), bytes.data(), bytes.size())) return false;
  values.resize(static_cast<size_t>(count));
  for (size_t i = 0; i < values.size(); ++i) values[i] = number(bytes.data() + i * width, width, little);
  return true;
}

// Bytes a value of a TIFF field type takes; 0 for a type this does not know.
std::uint64_t tiffTypeBytes(std::uint64_t type) {
  static const std::uint64_t bytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < sizeof(bytes) / sizeof(bytes[0]) ? bytes[type] : 0;
}

// A classic TIFF's first directory, every value it keeps outside itself and
// every strip or tile it names lie inside the file. (BigTIFF is left to its
// decoder.)
std::string tiffDamage(std::ifstream& in, std::uint64_t size, const std::uint8_t* header) {
  const std::string cut = "the TIFF file ends before the image data it lists";
  const bool little = header[0] == 'I';
  if (number(header + 2, 2, little) != 42) return std::string();
  const std::uint64_t directory = number(header + 4, 4, little);
  std::uint8_t count[2];
  if (directory < 8 || !readAt(in, directory, count, 2)) return cut;
  const std::uint64_t entries = number(count, 2, little);
  std::vector<std::uint8_t> table(static_cast<size_t>(entries * 12));
  if (directory + 2 + table.size() + 4 > size || !readAt(in, directory + 2, table.data(), table.size())) return cut;
  std::vector<std::uint64_t> offsets, counts;
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint8_t* entry = table.data() + i * 12;
    const std::uint64_t tag = number(entry, 2, little);
    const std::uint64_t bytes = tiffTypeBytes(number(entry + 2, 2, little)) * number(entry + 4, 4, little);
    const std::uint64_t at = number(entry + 8, 4, little);
    if (bytes > 4 && (at > size || bytes > size - at)) return cut;
    if ((tag == 273 || tag == 324) && !tiffArray(in, entry, little, offsets)) return cut;
    if ((tag == 279 || tag == 325) && !tiffArray(in, entry, little, counts)) return cut;
  }
  if (offsets.size() != counts.size()) return offsets.empty() || counts.empty() ? std::string() : cut;
  for (size_t i = 0; i < offsets.size(); ++i)
    if (offsets[i] > size || counts[i] > size - offsets[i]) return cut;
  return std::string();
}

}  // namespace

std::string NL_imageFileDamage(const std::string& path) {
  const std::uint64_t size = NL_getFileSizeNoThrow(path);
  if (size == 0) return std::string();
  std::ifstream in(path, std::ios::binary);
  std::uint8_t header[8] = {};
  if (!in || !readAt(in, 0, header, std::min<std::uint64_t>(size, 8))) return std::string();
  static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 8 && std::equal(header, header + 8, kPng)) return pngDamage(in, size);
  if (header[0] == 0xFF && header[1] == 0xD8 && size >= 3 && header[2] == 0xFF) return jpegDamage(in);
  const bool tiff = size >= 8 && ((header[0] == 'I' && header[1] == 'I') || (header[0] == 'M' && header[1] == 'M'));
  return tiff ? tiffDamage(in, size, header) : std::string();
}
