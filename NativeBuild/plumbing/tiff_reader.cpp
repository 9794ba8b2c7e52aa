// Uncompressed TIFF frames read straight into a frame buffer. Such a frame is
// its pixels laid out row after row already: the decoder's strip buffer and
// its second copy into the image are pure overhead, and a fresh image per
// frame costs the system tens of thousands of pages to map and clear.
#include "plumbing/plumbing.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool readAt(std::FILE* f, std::uint64_t offset, void* out, std::uint64_t count) {
  if (offset > std::uint64_t(LONG_MAX) || std::fseek(f, long(offset), SEEK_SET) != 0) return false;
  return std::fread(out, 1, size_t(count), f) == size_t(count);
}

std::uint64_t number(const std::uint8_t* p, int n, bool little) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[little ? n - 1 - i : i];
  return v;
}

// What the first directory says about the pixels; only what a plain
// chunky strip image needs.
struct Layout {
  std::uint64_t width = 0, height = 0, samples = 1, rowsPerStrip = ~std::uint64_t(0);
  std::vector<std::uint64_t> bits, offsets, counts, extra;
  std::uint64_t compression = 1, photometric = ~std::uint64_t(0), planar = 1, fillOrder = 1, orientation = 1,
                sampleFormat = 1, predictor = 1;
  bool tiled = false;
};

// Every value of one directory entry (SHORT or LONG), inline or at its offset.
bool values(std::FILE* f, const std::uint8_t* entry, bool little, std::vector<std::uint64_t>& out) {
  const std::uint64_t type = number(entry + 2, 2, little), count = number(entry + 4, 4, little);
  const int width = type == 3 ? 2 : (type == 4 ? 4 : 0);
  if (width == 0 || count == 0 || count > (1u << 24)) return false;
  std::vector<std::uint8_t> bytes(size_t(count * width));
  if (bytes.size() <= 4) std::memcpy(bytes.data(), entry + 8, bytes.size());
  else if (!readAt(f, number(entry + 8, 4, little), bytes.data(), bytes.size())) return false;
  out.resize(size_t(count));
  for (size_t i = 0; i < out.size(); ++i) out[i] = number(bytes.data() + i * width, width, little);
  return true;
}

bool readLayout(std::FILE* f, bool little, std::uint64_t directory, Layout& l) {
  std::uint8_t countBytes[2];
  if (!readAt(f, directory, countBytes, 2)) return false;
  std::vector<std::uint8_t> table(size_t(number(countBytes, 2, little) * 12));
  if (!readAt(f, directory + 2, table.data(), table.size())) return false;
  std::set<std::uint64_t> seen;
  for (size_t at = 0; at < table.size(); at += 12) {
    const std::uint8_t* e = table.data() + at;
    std::vector<std::uint64_t> v;
    const std::uint64_t tag = number(e, 2, little);
    // a tag given twice is read by the decoder's own rule: leave the file to it
    if (!seen.insert(tag).second) return false;
    if (tag == 322 || tag == 323 || tag == 324 || tag == 325) l.tiled = true;
    if (tag == 258 || tag == 273 || tag == 279 || tag == 338) {
      if (!values(f, e, little, tag == 258 ? l.bits : tag == 273 ? l.offsets : tag == 279 ? l.counts : l.extra))
        return false;
      continue;
    }
    std::uint64_t* field = tag == 256 ? &l.width : tag == 257 ? &l.height : tag == 259 ? &l.compression
                         : tag == 262 ? &l.photometric : tag == 266 ? &l.fillOrder : tag == 274 ? &l.orientation
                         : tag == 277 ? &l.samples : tag == 278 ? &l.rowsPerStrip : tag == 284 ? &l.planar
                         : tag == 317 ? &l.predictor : tag == 339 ? &l.sampleFormat : nullptr;
    if (!field) continue;
    if (!values(f, e, little, v)) return false;
    *field = v[0];
  }
  return true;
}

// The layouts read here come out of the decoder unchanged but for the
// channel order: 16-bit grey, RGB and RGBA, 8-bit grey and RGB. 8-bit
// RGBA goes through the decoder's RGBA path, which premultiplies, and is
// left to it, like every compressed, tiled, planar or unusual file.
int imageType(const Layout& l) {
  if (l.tiled || l.compression != 1 || l.planar != 1 || l.fillOrder != 1 || l.orientation != 1 ||
      l.sampleFormat != 1 || l.predictor != 1 || l.width == 0 || l.height == 0 || l.width > (1u << 20) ||
      l.height > (1u << 20) || l.bits.size() != l.samples)
    return -1;
  const std::uint64_t bits = l.bits[0];
  if (std::any_of(l.bits.begin(), l.bits.end(), [&](std::uint64_t b) { return b != bits; })) return -1;
  const bool grey = l.samples == 1 && l.photometric == 1 && l.extra.empty();
  const bool rgb = l.samples == 3 && l.photometric == 2 && l.extra.empty();
  const bool rgba = l.samples == 4 && l.photometric == 2 && l.extra.size() <= 1 && bits == 16;
  if (!(grey || rgb || rgba) || (bits != 8 && bits != 16)) return -1;
  return CV_MAKETYPE(bits == 8 ? CV_8U : CV_16U, int(l.samples));
}

// The strips, in order, must hold exactly the rows they cover.
bool stripsCoverRows(const Layout& l, std::uint64_t rowBytes) {
  const std::uint64_t rows = std::min(std::max<std::uint64_t>(l.rowsPerStrip, 1), l.height);
  const std::uint64_t strips = (l.height + rows - 1) / rows;
  if (l.offsets.size() != strips || l.counts.size() != strips) return false;
  for (std::uint64_t s = 0; s < strips; ++s)
    if (l.counts[s] != std::min(rows, l.height - s * rows) * rowBytes) return false;
  return true;
}

void swapBytes(ushort* p, size_t samples) {
  for (size_t i = 0; i < samples; ++i) p[i] = ushort((p[i] >> 8) | (p[i] << 8));
}

// Bytes read at a time (or one row): small enough to stay in the cache
// until reordered.
constexpr std::uint64_t kPieceBytes = 64 * 1024;

// One piece of rows from the file into `piece`, in the decoder's order.
// The piece's rows are continuous: the image is.
bool readPiece(std::FILE* f, std::uint64_t offset, cv::Mat& piece, std::vector<uchar>& scratch, bool swap) {
  const size_t bytes = piece.total() * piece.elemSize();
  const bool colour = piece.channels() >= 3;
  uchar* const to = colour ? scratch.data() : piece.data;
  if (!readAt(f, offset, to, bytes)) return false;
  if (swap) swapBytes(reinterpret_cast<ushort*>(to), bytes / 2);
  if (colour)
    cv::cvtColor(cv::Mat(piece.size(), piece.type(), to), piece,
                 piece.channels() == 3 ? cv::COLOR_RGB2BGR : cv::COLOR_RGBA2BGRA);
  return true;
}

bool hostLittleEndian() {
  const std::uint16_t one = 1;
  std::uint8_t first = 0;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

}  // namespace

bool NL_readPlainTiff(const std::string& path, cv::Mat& into) {
  if (!NL_isRegularFile(path)) return false;
  const File file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  std::uint8_t header[8];
  if (!readAt(file.get(), 0, header, 8)) return false;
  const bool little = header[0] == 'I' && header[1] == 'I';
  if (!(little || (header[0] == 'M' && header[1] == 'M')) || number(header + 2, 2, little) != 42) return false;
  Layout l;
  if (!readLayout(file.get(), little, number(header + 4, 4, little), l)) return false;
  const int type = imageType(l);
  if (type < 0) return false;
  const std::uint64_t rowBytes = l.width * l.samples * (CV_ELEM_SIZE1(type));
  if (!stripsCoverRows(l, rowBytes)) return false;
  cv::Mat image = into;
  image.create(int(l.height), int(l.width), type);  // the caller's buffer when it fits
  if (!image.isContinuous()) return false;
  const std::uint64_t rows = std::min(std::max<std::uint64_t>(l.rowsPerStrip, 1), l.height);
  const bool swap = CV_MAT_DEPTH(type) == CV_16U && little != hostLittleEndian();
  // Rows of one channel go straight into the buffer. Colour rows go through
  // a piece of scratch that stays in the cache, and leave it in the decoder's
  // channel order (OpenCV's vector code: a scalar swap in place was a fifth
  // of a direct Lighten job's CPU on uncompressed frames). A piece is a run
  // of rows that lie one after the other in the file, whatever its strips.
  const auto rowAt = [&](std::uint64_t y) { return l.offsets[size_t(y / rows)] + (y % rows) * rowBytes; };
  const std::uint64_t rowsAtOnce = std::max<std::uint64_t>(1, kPieceBytes / rowBytes);
  std::vector<uchar> scratch(l.samples >= 3 ? size_t(rowsAtOnce * rowBytes) : 0);
  for (std::uint64_t y = 0; y < l.height;) {
    const std::uint64_t at = rowAt(y);
    std::uint64_t n = 1;
    while (n < rowsAtOnce && y + n < l.height && rowAt(y + n) == at + n * rowBytes) ++n;
    cv::Mat piece = image.rowRange(int(y), int(y + n));
    if (!readPiece(file.get(), at, piece, scratch, swap)) return false;
    y += n;
  }
  into = image;
  return true;
}
