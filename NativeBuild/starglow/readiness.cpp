#include "starglow/starglow.h"

#include "plumbing/plumbing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

const unsigned char kPngSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// Up to n bytes from the start of the file; false when it does not open.
bool readHead(const std::string& path, std::size_t n, std::string& bytes) {
  if (!NL_isRegularFile(path)) return false;  // a pipe would block the open
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(n, '\0');
  in.read(&bytes[0], static_cast<std::streamsize>(n));
  bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return true;
}

std::uint64_t readUnsigned(const std::string& b, std::size_t at, int bytes, bool little) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    const std::uint64_t byte = static_cast<unsigned char>(b[at + (little ? bytes - 1 - i : i)]);
    v = (v << 8) | byte;
  }
  return v;
}

bool hasPngSignature(const std::string& b) { return b.size() >= 8 && std::memcmp(b.data(), kPngSignature, 8) == 0; }

// The IEND chunk is the last thing an encoder writes, so its presence in the
// final 12 bytes means the export has finished writing.
bool endsWithIend(const std::string& path) {
  if (!NL_isRegularFile(path)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 12) return false;
  in.seekg(size - 12, std::ios::beg);
  char tail[12];
  if (!in.read(tail, 12)) return false;
  return std::memcmp(tail + 4, "IEND", 4) == 0;
}

NL_TemporaryImageCheck checkPng(const std::string& path) {
  NL_TemporaryImageCheck r;
  r.container = "PNG";
  std::string h;
  if (!readHead(path, 33, h) || h.size() < 33) return r.message = "PNG header is incomplete", r;
  if (!hasPngSignature(h)) return r.message = "invalid PNG signature", r;
  if (h.compare(8, 8, std::string("\0\0\0\x0DIHDR", 8)) != 0) return r.message = "PNG IHDR chunk is incomplete", r;
  if (readUnsigned(h, 16, 4, false) == 0 || readUnsigned(h, 20, 4, false) == 0)
    return r.message = "PNG dimensions are invalid", r;
  if (!endsWithIend(path)) return r.message = "PNG IEND chunk is not present yet", r;
  r.ready = true;
  return r;
}

// Directory offset from a classic or BigTIFF header; false with message when the header is not usable.
bool tiffDirectoryOffset(const std::string& h, bool little, std::uint64_t& offset, std::string& message) {
  const std::uint64_t version = readUnsigned(h, 2, 2, little);
  if (version == 42) {
    offset = readUnsigned(h, 4, 4, little);
    return true;
  }
  if (version == 43) {
    if (h.size() < 16 || readUnsigned(h, 4, 2, little) != 8 || readUnsigned(h, 6, 2, little) != 0) {
      message = "invalid BigTIFF header";
      return false;
    }
    offset = readUnsigned(h, 8, 8, little);
    return true;
  }
  message = "unsupported TIFF header version";
  return false;
}

}  // namespace

bool NL_isPlausibleTiffFile(const std::string& path, std::uint64_t fileSize, std::string& message) {
  std::string h;
  if (!readHead(path, 16, h) || h.size() < 8) return message = "TIFF header is incomplete", false;
  const bool little = h.compare(0, 2, "II") == 0;
  if (!little && h.compare(0, 2, "MM") != 0) return message = "invalid TIFF byte order marker", false;
  std::uint64_t offset = 0;
  if (!tiffDirectoryOffset(h, little, offset, message)) return false;
  // Written without offset + 2 so that a hostile 64-bit offset cannot wrap around.
  if (offset == 0 || fileSize < 2 || offset > fileSize - 2)
    return message = "first TIFF directory is not fully present yet", false;
  message.clear();
  return true;
}

NL_TemporaryImageCheck NL_validateTemporaryImage(const std::string& path, std::uint64_t fileSize) {
  NL_TemporaryImageCheck r;
  std::string head;
  if (!readHead(path, 8, head)) return r.message = "file is not readable yet", r;
  if (head.size() < 8) return r.message = "image signature is incomplete", r;
  if (hasPngSignature(head)) return checkPng(path);
  // A camera's own files: whole when their decoder opens them, or when the
  // JPEG reaches its end-of-image marker.
  if (NL_isRawFileName(path)) {
    r.container = "camera RAW";
    cv::Size size;
    r.ready = NL_readImageHeaderSize(path, size);
    if (!r.ready) r.message = NL_rawDecoderAvailable() ? "camera RAW file could not be opened" : "camera RAW needs a build with LibRaw";
    return r;
  }
  if (static_cast<unsigned char>(head[0]) == 0xFF && static_cast<unsigned char>(head[1]) == 0xD8) {
    r.container = "JPEG";
    r.message = NL_imageFileDamage(path);
    r.ready = r.message.empty();
    return r;
  }
  if (head.compare(0, 2, "II") == 0 || head.compare(0, 2, "MM") == 0) {
    r.container = "TIFF";
    r.ready = NL_isPlausibleTiffFile(path, fileSize, r.message);
    return r;
  }
  r.container = "unknown";
  r.message = "unsupported temporary image signature";
  return r;
}

NL_ReadinessWaitSettings NL_completeInputCheck() {
  NL_ReadinessWaitSettings s;
  s.limitMs = 250;  // the first poll comes at once; the limit only ends the loop after it
  s.pollMs = 250;
  s.requiredStable = 0;
  s.minimumSize = 1;
  return s;
}

NL_ReadinessResult NL_waitForTemporaryImage(const std::string& path, const NL_ReadinessWaitSettings& wait,
                                            const std::function<void(int, const std::string&)>& progress) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  NL_ReadinessResult r;
  std::uint64_t previousSize = 0;
  while (Clock::now() - start < std::chrono::milliseconds(wait.limitMs)) {
    r.size = NL_getFileSizeNoThrow(path);
    bool ready = false;
    if (r.size >= wait.minimumSize) {
      const NL_TemporaryImageCheck check = NL_validateTemporaryImage(path, r.size);
      ready = check.ready;
      r.container = check.container;
      r.message = check.message;
    }
    r.stable = ready && r.size == previousSize ? r.stable + 1 : 0;
    previousSize = r.size;
    if (progress) progress(8 + std::min(r.stable, 6), NL_starGlowWaitDetail(r.size, r.stable, wait.requiredStable));
    if (ready && r.stable >= wait.requiredStable) {
      r.ready = true;
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(wait.pollMs));
  }
  return r;
}

std::string NL_fileHexPrefix(const std::string& path) {
  std::string bytes;
  if (!readHead(path, 16, bytes)) return "unavailable";
  std::string out;
  char hex[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[i]));
    if (i) out += ' ';
    out += hex;
  }
  return out;
}
