// The colour profile an editor embeds in the frames it exports. A frame in a
// wide-gamut space (Display P3, Adobe RGB, ProPhoto) only looks right with
// its profile; OpenCV's decoders drop it, so it is read from the file here.
#include "plumbing/plumbing.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <map>

namespace {

// Far above any real profile (a few kB to a few MB); a header that claims
// more is not believed.
constexpr std::uint64_t kMaxProfileBytes = 64ULL << 20;

class ByteReader {
 public:
  explicit ByteReader(const std::string& path) : in_(path, std::ios::binary) {}
  bool good() const { return bool(in_); }
  bool at(std::uint64_t offset) { return bool(in_.seekg(static_cast<std::streamoff>(offset))); }
  bool skip(std::uint64_t count) { return bool(in_.seekg(static_cast<std::streamoff>(count), std::ios::cur)); }
  bool read(void* out, std::uint64_t count) {
    in_.read(static_cast<char*>(out), static_cast<std::streamsize>(count));
    return in_.gcount() == static_cast<std::streamsize>(count);
  }
  std::vector<std::uint8_t> bytes(std::uint64_t count) {
    if (count > kMaxProfileBytes) return {};
    std::vector<std::uint8_t> out(static_cast<size_t>(count));
    if (!read(out.data(), count)) out.clear();
    return out;
  }

 private:
  std::ifstream in_;
};

std::uint32_t bigEndian(const std::uint8_t* p, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

std::uint32_t ordered(const std::uint8_t* p, int n, bool little) {
  if (!little) return bigEndian(p, n);
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The InterColorProfile tag (34675) of the first directory of a classic TIFF.
NLIccProfile tiffProfile(ByteReader& in, const std::uint8_t* header) {
  const bool little = header[0] == 'I';
  if (!in.at(ordered(header + 4, 4, little))) return {};
  std::uint8_t count[2];
  if (!in.read(count, 2)) return {};
  for (std::uint32_t i = 0, n = ordered(count, 2, little); i < n; ++i) {
    std::uint8_t entry[12];
    if (!in.read(entry, 12)) return {};
    if (ordered(entry, 2, little) != 34675) continue;
    const std::uint32_t type = ordered(entry + 2, 2, little), bytes = ordered(entry + 4, 4, little);
    if (type != 1 && type != 7) return {};  // a profile is bytes (UNDEFINED, or BYTE from some writers)
    if (bytes <= 4) return NLIccProfile(entry + 8, entry + 8 + bytes);
    return in.at(ordered(entry + 8, 4, little)) ? in.bytes(bytes) : NLIccProfile();
  }
  return {};
}

NLIccProfile inflated(const std::vector<std::uint8_t>& packed) {
  z_stream z{};
  if (packed.empty() || inflateInit(&z) != Z_OK) return {};
  NLIccProfile out;
  std::array<std::uint8_t, 1 << 16> chunk;
  z.next_in = const_cast<Bytef*>(packed.data());
  z.avail_in = static_cast<uInt>(packed.size());
  int status = Z_OK;
  while (status == Z_OK && out.size() <= kMaxProfileBytes) {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    status = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
  }
  inflateEnd(&z);
  return status == Z_STREAM_END ? out : NLIccProfile();
}

// The iCCP chunk: a name, a zero, the compression method (0: zlib) and the
// compressed profile. It must come before the image data.
NLIccProfile pngProfile(ByteReader& in) {
  if (!in.at(8)) return {};
  std::uint8_t head[8];
  while (in.read(head, 8)) {
    const std::uint32_t length = bigEndian(head, 4);
    const std::string type(reinterpret_cast<const char*>(head + 4), 4);
    if (type == "IDAT" || type == "IEND") return {};
    if (type != "iCCP") {
      if (!in.skip(std::uint64_t{length} + 4)) return {};
      continue;
    }
    const std::vector<std::uint8_t> data = in.bytes(length);
    const auto zero = std::find(data.begin(), data.end(), 0);
    if (zero == data.end() || zero + 1 == data.end() || zero[1] != 0) return {};
    return inflated(std::vector<std::uint8_t>(zero + 2, data.end()));
  }
  return {};
}

// APP2 segments headed "ICC_PROFILE\0", each with its sequence number and the
// count: a profile above 64 kB is split across several, joined in order.
NLIccProfile jpegProfile(ByteReader& in) {
  static const std::string kTag("ICC_PROFILE\0", 12);
  std::map<int, std::vector<std::uint8_t>> parts;
  int expected = 0;
  if (!in.at(2)) return {};
  std::uint8_t marker[4];
  while (in.read(marker, 4) && marker[0] == 0xFF) {
    const int type = marker[1];
    const std::uint32_t length = bigEndian(marker + 2, 2);
    if (type == 0xDA || type == 0xD9 || length < 2) break;  // the image data begins
    std::vector<std::uint8_t> data = in.bytes(length - 2);
    if (data.size() != length - 2) break;
    if (type != 0xE2 || data.size() < 14 || std::string(data.begin(), data.begin() + 12) != kTag) continue;
    expected = data[13];
    parts[data[12]] = std::vector<std::uint8_t>(data.begin() + 14, data.end());
  }
  NLIccProfile out;
  if (expected == 0 || int(parts.size()) != expected) return out;
  for (int i = 1; i <= expected; ++i) {
    const auto part = parts.find(i);
    if (part == parts.end()) return {};
    out.insert(out.end(), part->second.begin(), part->second.end());
  }
  return out;
}

}  // namespace

NLIccProfile NL_readIccProfile(const std::string& path) {
  if (!NL_isRegularFile(path)) return {};
  ByteReader in(path);
  std::uint8_t header[8];
  if (!in.good() || !in.read(header, 8)) return {};
  static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (std::equal(header, header + 8, kPng)) return pngProfile(in);
  if (header[0] == 0xFF && header[1] == 0xD8) return jpegProfile(in);
  const bool tiff = (header[0] == 'I' && header[1] == 'I' && header[2] == 42 && header[3] == 0) ||
                    (header[0] == 'M' && header[1] == 'M' && header[2] == 0 && header[3] == 42);
  return tiff ? tiffProfile(in, header) : NLIccProfile();
}
