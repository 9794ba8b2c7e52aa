// Capture time, exposure and camera from the EXIF a camera writes: a JPEG's
// APP1 segment, a TIFF's first directory and its EXIF directory (TIFF-based
// camera RAW files too). Every read is bounds-checked against the file or
// the segment that holds the block; a damaged block leaves fields unset.
#include "plumbing/plumbing.h"
#include "plumbing/detail/raw_decode.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

// Random access to bytes held in memory or in a file.
class Source {
 public:
  Source(const unsigned char* data, std::uint64_t size) : mem_(data), size_(size) {}
  Source(std::ifstream& file, std::uint64_t size) : file_(&file), size_(size) {}
  std::uint64_t size() const { return size_; }
  bool read(std::uint64_t offset, std::size_t count, unsigned char* out) const {
    if (offset > size_ || count > size_ - offset) return false;
    if (mem_) {
      std::memcpy(out, mem_ + offset, count);
      return true;
    }
    file_->clear();
    file_->seekg(static_cast<std::streamoff>(offset));
    file_->read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
    return static_cast<std::size_t>(file_->gcount()) == count;
  }

 private:
  const unsigned char* mem_ = nullptr;
  std::ifstream* file_ = nullptr;
  std::uint64_t size_ = 0;
};

// A TIFF block inside the source: offsets in it count from its first byte.
struct TiffBlock {
  const Source* source = nullptr;
  std::uint64_t base = 0, length = 0;
  bool bigEndian = false;

  bool read(std::uint64_t offset, std::size_t count, unsigned char* out) const {
    if (offset > length || count > length - offset) return false;
    return source->read(base + offset, count, out);
  }
  std::uint64_t number(const unsigned char* bytes, int count) const {
    std::uint64_t v = 0;
    for (int i = 0; i < count; ++i) v = (v << 8) | bytes[bigEndian ? i : count - 1 - i];
    return v;
  }
};

struct Entry {
  std::uint32_t tag = 0, type = 0, count = 0;
  std::uint64_t dataOffset = 0;  // within the block
  std::uint64_t dataBytes = 0;
};

std::uint64_t typeSize(std::uint32_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
  }
}

// Text values are short; a longer one is damage, not a camera's name.
constexpr std::uint64_t kMaxText = 256;

std::string text(const TiffBlock& b, const Entry& e) {
  if (e.type != 2 && e.type != 7) return std::string();
  const std::uint64_t n = std::min<std::uint64_t>(e.dataBytes, kMaxText);
  std::string s(static_cast<std::size_t>(n), '\0');
  if (n && !b.read(e.dataOffset, static_cast<std::size_t>(n), reinterpret_cast<unsigned char*>(&s[0])))
    return std::string();
  s = s.substr(0, s.find('\0'));
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  return s;
}

bool unsignedValue(const TiffBlock& b, const Entry& e, std::uint64_t& v) {
  if (e.count < 1 || (e.type != 3 && e.type != 4 && e.type != 13)) return false;
  unsigned char bytes[4];
  const int n = e.type == 3 ? 2 : 4;
  if (!b.read(e.dataOffset, n, bytes)) return false;
  v = b.number(bytes, n);
  return true;
}

bool rationalValue(const TiffBlock& b, const Entry& e, double& v) {
  if (e.count < 1 || (e.type != 5 && e.type != 10)) return false;
  unsigned char bytes[8];
  if (!b.read(e.dataOffset, 8, bytes)) return false;
  const std::uint64_t num = b.number(bytes, 4), den = b.number(bytes + 4, 4);
  if (den == 0) return false;
  v = e.type == 5 ? double(num) / double(den)
                  : double(std::int32_t(std::uint32_t(num))) / double(std::int32_t(std::uint32_t(den)));
  return std::isfinite(v);
}

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool digits(const std::string& s, std::size_t at, std::size_t n, int& out) {
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

// "YYYY:MM:DD HH:MM:SS", the camera's clock as it was set, read as if it
// were UTC: the epoch is fixed, and differences between frames are right.
bool exifTime(const std::string& s, double& seconds) {
  if (s.size() < 19 || s[4] != ':' || s[7] != ':' || s[10] != ' ' || s[13] != ':' || s[16] != ':') return false;
  int y, mo, d, h, mi, se;
  if (!digits(s, 0, 4, y) || !digits(s, 5, 2, mo) || !digits(s, 8, 2, d) || !digits(s, 11, 2, h) ||
      !digits(s, 14, 2, mi) || !digits(s, 17, 2, se))
    return false;
  if (y == 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return false;
  seconds = double(daysFromCivil(y, unsigned(mo), unsigned(d))) * 86400.0 + h * 3600.0 + mi * 60.0 + se;
  return true;
}

// "123" after the seconds means .123 s.
double subSeconds(const std::string& s) {
  double value = 0, scale = 0.1;
  for (char c : s) {
    if (c < '0' || c > '9' || scale < 1e-9) break;
    value += (c - '0') * scale;
    scale /= 10;
  }
  return value;
}

// What the directories hold, gathered before the record is filled.
struct Found {
  std::string make, model, original, digitized, subSecond;
  bool hasExposure = false;
  double exposure = 0;
  std::uint64_t exifDirectory = 0;
};

bool entryAt(const TiffBlock& b, std::uint64_t at, Entry& e) {
  unsigned char raw[12];
  if (!b.read(at, 12, raw)) return false;
  e.tag = std::uint32_t(b.number(raw, 2));
  e.type = std::uint32_t(b.number(raw + 2, 2));
  e.count = std::uint32_t(b.number(raw + 4, 4));
  e.dataBytes = typeSize(e.type) * e.count;
  e.dataOffset = e.dataBytes <= 4 ? at + 8 : b.number(raw + 8, 4);
  return true;
}

void take(const TiffBlock& b, const Entry& e, Found& f) {
  switch (e.tag) {
    case 0x010F: f.make = text(b, e); break;
    case 0x0110: f.model = text(b, e); break;
    case 0x9003: f.original = text(b, e); break;
    case 0x9004: f.digitized = text(b, e); break;
    case 0x9291: f.subSecond = text(b, e); break;
    case 0x829A: f.hasExposure = rationalValue(b, e, f.exposure) && f.exposure > 0; break;
    case 0x8769: unsignedValue(b, e, f.exifDirectory); break;
    default: break;
  }
}

// A directory of at most a few hundred entries; more is damage.
constexpr std::uint64_t kMaxEntries = 1000;

void readDirectory(const TiffBlock& b, std::uint64_t offset, Found& f) {
  unsigned char countBytes[2];
  if (offset == 0 || !b.read(offset, 2, countBytes)) return;
  const std::uint64_t entries = std::min<std::uint64_t>(b.number(countBytes, 2), kMaxEntries);
  for (std::uint64_t i = 0; i < entries; ++i) {
    Entry e;
    if (!entryAt(b, offset + 2 + i * 12, e)) return;
    take(b, e, f);
  }
}

// Classic TIFF and the RAW formats built on it, whose header keeps the
// layout but changes the magic number (Olympus, Panasonic).
bool readTiffBlock(const Source& source, std::uint64_t base, std::uint64_t length, Found& f) {
  TiffBlock b{&source, base, length, false};
  unsigned char head[8];
  if (!b.read(0, 8, head)) return false;
  if (head[0] != head[1] || (head[0] != 'I' && head[0] != 'M')) return false;
  b.bigEndian = head[0] == 'M';
  const std::uint64_t magic = b.number(head + 2, 2);
  if (magic != 42 && magic != 0x4F52 && magic != 0x5352 && magic != 0x55) return false;
  readDirectory(b, b.number(head + 4, 4), f);
  const std::uint64_t exif = f.exifDirectory;
  f.exifDirectory = 0;  // followed once: a directory pointing at itself ends here
  if (exif) readDirectory(b, exif, f);
  return true;
}

// Segments before the image data; the EXIF block is an APP1 starting "Exif\0\0".
bool readJpeg(const Source& s, std::uint64_t start, Found& f) {
  std::uint64_t at = start + 2;
  for (int segments = 0; segments < 1000; ++segments) {
    unsigned char m[4];
    if (!s.read(at, 2, m) || m[0] != 0xFF) return false;
    if (m[1] == 0xFF) { ++at; continue; }  // fill byte
    if (m[1] == 0xD9 || m[1] == 0xDA) return false;
    if (m[1] == 0x01 || (m[1] >= 0xD0 && m[1] <= 0xD7)) { at += 2; continue; }
    if (!s.read(at + 2, 2, m + 2)) return false;
    const std::uint64_t length = (std::uint64_t(m[2]) << 8) | m[3];
    if (length < 2) return false;
    unsigned char id[6];
    if (m[1] == 0xE1 && length >= 8 && s.read(at + 4, 6, id) && std::memcmp(id, "Exif\0\0", 6) == 0)
      return readTiffBlock(s, at + 10, length - 8, f);
    at += 2 + length;
  }
  return false;
}

// A Fujifilm RAW starts with its own header naming an embedded JPEG, whose
// APP1 holds the EXIF.
bool readFujiRaw(const Source& s, Found& f) {
  unsigned char head[92];
  if (!s.read(0, sizeof head, head) || std::memcmp(head, "FUJIFILMCCD-RAW", 15) != 0) return false;
  const std::uint64_t offset = (std::uint64_t(head[84]) << 24) | (head[85] << 16) | (head[86] << 8) | head[87];
  unsigned char soi[2];
  return s.read(offset, 2, soi) && soi[0] == 0xFF && soi[1] == 0xD8 && readJpeg(s, offset, f);
}

NLCaptureInfo recordOf(const Found& f) {
  NLCaptureInfo info;
  const std::string& when = f.original.empty() ? f.digitized : f.original;
  if (exifTime(when, info.timeSeconds)) {
    info.hasTime = true;
    if (!f.original.empty()) info.timeSeconds += subSeconds(f.subSecond);
  }
  info.hasExposure = f.hasExposure;
  info.exposureSeconds = f.hasExposure ? f.exposure : 0;
  // Many cameras repeat the maker at the start of the model.
  if (!f.make.empty() && f.model.compare(0, f.make.size(), f.make) == 0) info.camera = f.model;
  else info.camera = f.make.empty() || f.model.empty() ? f.make + f.model : f.make + " " + f.model;
  return info;
}

NLCaptureInfo parse(const Source& s) {
  Found f;
  unsigned char head[2];
  if (!s.read(0, 2, head)) return NLCaptureInfo();
  if (head[0] == 0xFF && head[1] == 0xD8) readJpeg(s, 0, f);
  else if (!readFujiRaw(s, f)) readTiffBlock(s, 0, s.size(), f);
  return recordOf(f);
}

}  // namespace

NLCaptureInfo NL_parseCaptureInfo(const unsigned char* data, std::size_t size) {
  if (!data) return NLCaptureInfo();
  return parse(Source(data, size));
}

NLCaptureInfo NL_readCaptureInfo(const std::string& path) {
  try {
    NLCaptureInfo info;
    const std::uint64_t size = NL_getFileSizeNoThrow(path);
    if (size > 0) {
      std::ifstream in(path, std::ios::binary);
      if (in) info = parse(Source(in, size));
    }
    // Camera RAW formats not built on TIFF (Canon's CR3, say) are read by the RAW decoder.
    if (!info.hasTime && !info.hasExposure && info.camera.empty() && NL_isRawFileName(path))
      nl_detail::rawCaptureInfo(path, info);
    return info;
  } catch (...) {
    return NLCaptureInfo();
  }
}
