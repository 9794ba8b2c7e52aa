// The image-size limit every job checks before it makes frame-sized
// buffers, and a header peek that learns a PNG's or TIFF's size undecoded.
#include "plumbing/plumbing.h"
#include "plumbing/detail/raw_decode.h"

#include <array>
#include <fstream>

#if defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#elif defined(__unix__)
#include <unistd.h>
#endif

namespace {

constexpr std::uint64_t kMegabyte = 1048576ULL;

std::string dimensions(cv::Size size) {
  return std::to_string(size.width) + " x " + std::to_string(size.height) + " pixels";
}

// Reads count bytes at offset; false on a short read.
bool readAt(std::ifstream& in, std::uint64_t offset, char* out, std::size_t count) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(out, static_cast<std::streamsize>(count));
  return static_cast<std::size_t>(in.gcount()) == count;
}

std::uint64_t unsignedOf(const unsigned char* bytes, int count, bool bigEndian) {
  std::uint64_t v = 0;
  for (int i = 0; i < count; ++i) v = (v << 8) | bytes[bigEndian ? i : count - 1 - i];
  return v;
}

bool pngSize(const std::array<unsigned char, 24>& head, cv::Size& size) {
  static const unsigned char sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (!std::equal(sig, sig + 8, head.begin()) || std::string(head.begin() + 12, head.begin() + 16) != "IHDR")
    return false;
  const std::uint64_t w = unsignedOf(&head[16], 4, true);
  const std::uint64_t h = unsignedOf(&head[20], 4, true);
  if (w == 0 || h == 0) return false;
  // Beyond int the size cannot be a cv::Size; report it at the int ceiling so it still fails the limit.
  size = cv::Size(int(std::min<std::uint64_t>(w, INT32_MAX)), int(std::min<std::uint64_t>(h, INT32_MAX)));
  return true;
}

// The first directory of a classic or big TIFF: width (256), height (257)
// and samples per pixel (277, 1 when absent); false when the header or the
// directory cannot be read.
struct TiffFirstDirectory {
  std::uint64_t width = 0, height = 0, samples = 1;
};

bool readTiffDirectory(std::ifstream& in, const std::array<unsigned char, 24>& head, TiffFirstDirectory& d) {
  const bool big = head[0] == 'M';
  const std::uint64_t version = unsignedOf(&head[2], 2, big);
  if (version != 42 && version != 43) return false;
  const bool bigTiff = version == 43;
  const std::uint64_t ifd = bigTiff ? unsignedOf(&head[8], 8, big) : unsignedOf(&head[4], 4, big);
  unsigned char countBytes[8];
  if (!readAt(in, ifd, reinterpret_cast<char*>(countBytes), bigTiff ? 8 : 2)) return false;
  const std::uint64_t entries = std::min<std::uint64_t>(unsignedOf(countBytes, bigTiff ? 8 : 2, big), 4096);
  const int entrySize = bigTiff ? 20 : 12;
  bool seenWidth = false, seenHeight = false, seenSamples = false;
  for (std::uint64_t i = 0; i < entries; ++i) {
    unsigned char e[20];
    if (!readAt(in, ifd + (bigTiff ? 8 : 2) + i * entrySize, reinterpret_cast<char*>(e), entrySize)) return false;
    const std::uint64_t tag = unsignedOf(e, 2, big);
    const std::uint64_t type = unsignedOf(e + 2, 2, big);
    const unsigned char* value = e + (bigTiff ? 12 : 8);
    const std::uint64_t v = type == 3 ? unsignedOf(value, 2, big)
                            : type == 4 ? unsignedOf(value, 4, big)
                            : type == 16 ? unsignedOf(value, 8, big) : 0;
    // the TIFF decoder keeps a tag's first entry and ignores later duplicates
    if (tag == 256 && !seenWidth) d.width = v, seenWidth = true;
    if (tag == 257 && !seenHeight) d.height = v, seenHeight = true;
    if (tag == 277 && !seenSamples) d.samples = v, seenSamples = true;
  }
  return d.width != 0 && d.height != 0;
}

bool tiffSize(std::ifstream& in, const std::array<unsigned char, 24>& head, cv::Size& size) {
  TiffFirstDirectory d;
  if (!readTiffDirectory(in, head, d)) return false;
  size = cv::Size(int(std::min<std::uint64_t>(d.width, INT32_MAX)), int(std::min<std::uint64_t>(d.height, INT32_MAX)));
  return true;
}

// OpenCV decodes a PNG's grey, colour (or palette) and alpha forms to 1, 3
// and 4 channels; grey with alpha becomes colour with alpha.
int pngSamples(std::ifstream& in) {
  unsigned char colourType = 0;
  if (!readAt(in, 25, reinterpret_cast<char*>(&colourType), 1)) return 0;
  switch (colourType) {
    case 0: return 1;
    case 2: case 3: return 3;
    case 4: case 6: return 4;
    default: return 0;
  }
}

}  // namespace

std::uint64_t NL_physicalMemoryBytes() {
#if defined(__APPLE__)
  std::uint64_t bytes = 0;
  size_t length = sizeof bytes;
  if (sysctlbyname("hw.memsize", &bytes, &length, nullptr, 0) != 0) return 0;
  return bytes;
#elif defined(__unix__) && defined(_SC_PHYS_PAGES)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return std::uint64_t(pages) * std::uint64_t(pageSize);
#else
  return 0;
#endif
}

std::string NL_imageSizeProblem(cv::Size size, std::uint64_t workingBytesPerPixel, std::uint64_t memoryBytes) {
  if (size.width <= 0 || size.height <= 0) return std::string();
  const std::uint64_t pixels = std::uint64_t(size.width) * std::uint64_t(size.height);
  if (size.width > NL_kMaxImageSide || size.height > NL_kMaxImageSide || pixels > NL_kMaxImagePixels)
    return "image is " + dimensions(size) + ", beyond the limit of 200 megapixels and 65535 pixels a side";
  const std::uint64_t needed = pixels * workingBytesPerPixel;
  if (memoryBytes == 0 || needed <= memoryBytes) return std::string();
  return "image of " + dimensions(size) + " needs about " + std::to_string(needed / kMegabyte) +
         " MB of working memory; this machine has " + std::to_string(memoryBytes / kMegabyte) + " MB";
}

std::string NL_imageSizeProblem(cv::Size size, std::uint64_t workingBytesPerPixel) {
  return NL_imageSizeProblem(size, workingBytesPerPixel, NL_physicalMemoryBytes());
}

bool NL_readImageHeaderSize(const std::string& path, cv::Size& size) {
  if (!NL_isRegularFile(path)) return false;
  // A TIFF-based RAW file's first directory is often its preview; the
  // decoder tells the size of the picture itself, before unpacking it.
  if (NL_isRawFileName(path)) return nl_detail::rawImageSize(path, size);
  std::ifstream in(path, std::ios::binary);
  std::array<unsigned char, 24> head{};
  if (!in || !readAt(in, 0, reinterpret_cast<char*>(head.data()), head.size())) return false;
  if (head[0] == 0x89) return pngSize(head, size);
  if ((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M')) return tiffSize(in, head, size);
  return false;
}

int NL_readImageHeaderSamples(const std::string& path) {
  if (!NL_isRegularFile(path) || NL_isRawFileName(path)) return 0;
  std::ifstream in(path, std::ios::binary);
  std::array<unsigned char, 24> head{};
  if (!in || !readAt(in, 0, reinterpret_cast<char*>(head.data()), head.size())) return 0;
  cv::Size size;
  if (head[0] == 0x89) return pngSize(head, size) ? pngSamples(in) : 0;
  TiffFirstDirectory d;
  const bool tiff = (head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M');
  if (!tiff || !readTiffDirectory(in, head, d)) return 0;
  return static_cast<int>(std::min<std::uint64_t>(d.samples, 65535));
}

std::string NL_imageFileProblem(const std::string& path) {
  if (NL_isNonRegularFile(path)) return "is not a regular file";
  if (NL_isRawFileName(path) && !NL_rawDecoderAvailable())
    return "is a camera RAW file, and this build reads none (it was built without LibRaw)";
  cv::Size size;
  if (!NL_readImageHeaderSize(path, size)) return std::string();
  const std::string problem = NL_imageSizeProblem(size, 0, 0);
  return problem.empty() ? problem : problem.substr(std::string("image ").size());
}
