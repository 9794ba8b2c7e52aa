// LZW TIFF with its strips compressed in parallel. A 24 MP 16-bit result
// took over a second to compress on one core, longer than a whole direct
// Lighten pass spends on a frame; the strips are independent, so every core
// can take a share and the file still reads exactly as before.
#include "plumbing/detail/tiff_writer.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <tuple>
#include <utility>

namespace lvplumbing {
namespace {

constexpr unsigned kClear = 256, kEndOfInformation = 257, kFirstCode = 258;
constexpr unsigned kTableFull = 4094;  // the last code a 12-bit decoder can still add

// Codes are written most significant bit first, as TIFF's LZW reads them.
// Whole bytes leave through one 8-byte store whatever their number, so no
// branch hangs on how many bits are pending; the buffer keeps 8 bytes spare.
class CodeWriter {
 public:
  explicit CodeWriter(std::uint8_t* out) : out_(out) {}
  void put(unsigned code, unsigned width) {
    bits_ = (bits_ << width) | code;
    count_ += width;  // at most 7 left over + 12, never the whole word
    const std::uint64_t first = bits_ << (64 - count_);
    const std::uint8_t bytes[8] = {std::uint8_t(first >> 56), std::uint8_t(first >> 48), std::uint8_t(first >> 40),
                                   std::uint8_t(first >> 32), std::uint8_t(first >> 24), std::uint8_t(first >> 16),
                                   std::uint8_t(first >> 8),  std::uint8_t(first)};
    std::memcpy(out_, bytes, sizeof bytes);
    out_ += count_ >> 3;
    count_ &= 7;
  }
  std::uint8_t* finish() {
    if (count_ > 0) *out_++ = static_cast<std::uint8_t>(bits_ << (8 - count_));
    count_ = 0;
    return out_;
  }
  static constexpr size_t kSpare = 8;

 private:
  std::uint8_t* out_;
  std::uint64_t bits_ = 0;
  unsigned count_ = 0;
};

// The string table as (next byte, prefix code) -> code, one slot for every
// pair a 12-bit table can name (2 MB): a lookup is one load with no probing,
// which is what noisy 16-bit data asks for, nearly one new string every two
// bytes (a 128 KB hashed table, whose probes sit in the lookup's chain, took
// 0.1 s more CPU for a noisy 24 MP result). Slots are grouped by the next
// byte, so the few bytes that dominate (a dark layer's zeros, the high bytes
// of small differences) keep their strings in a few cache lines.
constexpr size_t kSlots = size_t{1} << 20;

// For strips that compress well: an empty slot reads 0, so a lookup is
// settled by its one load, and a reset (a new strip, a full table) empties
// only the slots it filled, at most one per code.
class EmptiedTable {
 public:
  EmptiedTable() : codes_(kSlots, 0) { filled_.reserve(kTableFull); }
  void clear() {
    for (std::uint32_t slot : filled_) codes_[slot] = 0;
    filled_.clear();
  }
  // The string (key: next byte << 12 | prefix) is known, as *code.
  bool find(std::uint32_t key, unsigned& code) const {
    code = codes_[key];
    return code != 0;  // codes start at 258
  }
  void add(std::uint32_t key, unsigned code) {
    codes_[key] = static_cast<std::uint16_t>(code);
    filled_.push_back(key);
  }

 private:
  std::vector<std::uint16_t> codes_;
  std::vector<std::uint32_t> filled_;
};

// For noisy strips, whose table fills every 7 KB or so: emptying 3836
// scattered slots at each reset took a fifth of their encode. Here slots are
// never emptied: each code remembers the key it was given, and a slot holds a
// string only while its code still names that key, so a reset forgets 16 KB
// of keys in a row. The check costs a second load, beside the lookup's chain
// but before its branch settles: 10 to 18 % more on long runs, hence the two.
class KeyedTable {
 public:
  KeyedTable() : codes_(kSlots, 0) { keys_.fill(kNoKey); }
  void clear() { std::fill(keys_.begin() + kFirstCode, keys_.end(), kNoKey); }
  bool find(std::uint32_t key, unsigned& code) const {
    code = codes_[key];
    return keys_[code] == key;
  }
  void add(std::uint32_t key, unsigned code) {
    codes_[key] = static_cast<std::uint16_t>(code);
    keys_[code] = key;
  }

 private:
  static constexpr std::uint32_t kNoKey = ~std::uint32_t{0};  // keys have 20 bits
  std::vector<std::uint16_t> codes_;      // the code last given to each key, in any table
  std::array<std::uint32_t, 4096> keys_;  // the key each code names now; none for single bytes
};

// The strings in under 300 KB, for an image encoded beside a job's running
// work (a trail's build-up), where a 2 MB table would be held beside the
// job's frames for as long as the writing thread lives. Two-byte strings (a
// single byte's code as prefix) are half the lookups of noisy 16-bit data,
// and most find their string: they keep the keyed table's direct slots, 64 K
// of them, grouped by the next byte as there. Longer strings are hashed: a
// slot holds the table's generation, the key and its code, at most a quarter
// of the slots are in use, so a lookup seldom probes twice. A reset forgets
// 16 KB of keys and starts a new generation.
class SmallTable {
 public:
  SmallTable() : codes_(size_t{1} << 16, 0), slots_(kHashedSlots, 0) { keys_.fill(kNoKey); }
  void clear() {
    std::fill(keys_.begin() + kFirstCode, keys_.end(), kNoKey);
    if (++generation_ == 0) {  // after 2^32 resets old slots could pass for new ones
      std::fill(slots_.begin(), slots_.end(), 0);
      generation_ = 1;
    }
  }
  // A longer string's lookup ends on the slot where add() puts the same key.
  bool find(std::uint32_t key, unsigned& code) {
    const unsigned prefix = key & 0xFFFu;
    if (prefix < 256) {
      code = codes_[((key >> 12) << 8) | prefix];
      return keys_[code] == key;
    }
    const std::uint64_t wanted = (std::uint64_t{generation_} << 32) | (key << 12);
    std::uint32_t slot = (key * 2654435761u) >> (32 - kBits);  // Fibonacci hashing spreads the key's bits
    for (;; slot = (slot + 1) & (kHashedSlots - 1)) {
      const std::uint64_t entry = slots_[slot];
      if ((entry & ~std::uint64_t{0xFFF}) == wanted) {
        code = unsigned(entry & 0xFFF);
        return true;
      }
      if ((entry >> 32) != generation_) break;  // a slot of an earlier generation is empty
    }
    last_ = slot;
    return false;
  }
  // Only right after a find() of the same key that found nothing.
  void add(std::uint32_t key, unsigned code) {
    const unsigned prefix = key & 0xFFFu;
    if (prefix < 256) {
      codes_[((key >> 12) << 8) | prefix] = static_cast<std::uint16_t>(code);
      keys_[code] = key;
      return;
    }
    slots_[last_] = (std::uint64_t{generation_} << 32) | (key << 12) | code;
  }

 private:
  static constexpr std::uint32_t kNoKey = ~std::uint32_t{0};
  static constexpr unsigned kBits = 14, kHashedSlots = 1u << kBits;
  std::vector<std::uint16_t> codes_;      // two-byte strings: next byte << 8 | first byte -> the code last given
  std::array<std::uint32_t, 4096> keys_;  // the two-byte key each code names now
  std::vector<std::uint64_t> slots_;      // longer strings; generation 0 is never current
  std::uint32_t generation_ = 1;
  std::uint32_t last_ = 0;
};

struct CodeWidth {
  unsigned bits = 9;
  unsigned next = kFirstCode;
  // After a code is added; true when the table filled and starts again.
  // The decoder adds its entry one code later than the encoder, so the width
  // grows as soon as the next code no longer fits.
  bool added(CodeWriter& writer) {
    ++next;
    if (next == kTableFull) {
      writer.put(kClear, bits);
      bits = 9;
      next = kFirstCode;
      return true;
    }
    bits += next >> bits;  // next never reaches twice the current width's range
    return false;
  }
};

// Each thread's tables: a keyed one for strips encoded one at a time, an
// emptied one for each of the two strips it may encode side by side, and
// small ones for images written beside a job's work, reused strip after
// strip; each made on first use, so a thread holds only the kinds it used. Out of line, so the encoder's loop holds a table's
// address instead of asking the thread-local storage for it again at every
// byte.
template <typename Table, int kLane>
__attribute__((noinline)) Table& tableOfThisThread() {
  thread_local Table table;
  return table;
}

// One strip's encoding, a byte at a time.
template <typename Table>
class StripEncoder {
 public:
  // out holds at least packedBound(size) bytes.
  StripEncoder(const std::uint8_t* data, size_t size, std::uint8_t* out, Table& table)
      : data_(data), size_(size), table_(table), writer_(out) {
    table_.clear();
    writer_.put(kClear, width_.bits);
    prefix_ = data[0];
  }
  // The string so far followed by data[i]: a longer known string, or a new one.
  void step(size_t i) {
    const unsigned byte = data_[i];
    const std::uint32_t key = (byte << 12) | prefix_;
    unsigned code;
    if (table_.find(key, code)) {
      prefix_ = code;
      return;
    }
    writer_.put(prefix_, width_.bits);
    table_.add(key, width_.next);
    prefix_ = byte;
    if (width_.added(writer_)) table_.clear();
  }
  void rest(size_t from) {
    for (size_t i = from; i < size_; ++i) step(i);
  }
  // The end of the strip's bytes. The decoder still adds an entry after the
  // last code, and reads the end code at the width that entry leaves.
  std::uint8_t* finish() {
    writer_.put(prefix_, width_.bits);
    width_.added(writer_);
    writer_.put(kEndOfInformation, width_.bits);
    return writer_.finish();
  }

 private:
  const std::uint8_t* data_;
  size_t size_;
  Table& table_;
  CodeWriter writer_;
  CodeWidth width_;
  unsigned prefix_ = 0;
};

// At most one 12-bit code a byte, plus the clear and end codes.
size_t lzwPackedBound(size_t size) { return size * 3 / 2 + 16 + CodeWriter::kSpare; }

template <typename Table>
size_t encodeInto(const std::uint8_t* data, size_t size, std::uint8_t* out) {
  if (size == 0) return 0;
  StripEncoder<Table> strip(data, size, out, tableOfThisThread<Table, 0>());
  strip.rest(1);
  return static_cast<size_t>(strip.finish() - out);
}

// small: the strings in the thread's small table (under 300 KB) instead of its keyed one (2 MB).
size_t lzwEncodeStripInto(const std::uint8_t* data, size_t size, std::uint8_t* out, bool small) {
  return small ? encodeInto<SmallTable>(data, size, out) : encodeInto<KeyedTable>(data, size, out);
}

// Each byte's lookup waits for the one before it; two strips stepped side by
// side give the core two independent chains to overlap, which nearly halves
// the time of strips that compress well (long runs: a dark sky, an 8-bit
// frame widened to 16 bits), whose lookups mostly find their string in the
// tables' few hot lines. Noisy strips miss the table too often for a second
// table's cache lines to pay; the writer keeps those one at a time.
template <typename Table>
std::pair<size_t, size_t> encodePairInto(const std::uint8_t* data0, size_t size0, std::uint8_t* out0,
                                         const std::uint8_t* data1, size_t size1, std::uint8_t* out1) {
  StripEncoder<Table> a(data0, size0, out0, tableOfThisThread<Table, 0>());
  StripEncoder<Table> b(data1, size1, out1, tableOfThisThread<Table, 1>());
  const size_t both = std::min(size0, size1);
  for (size_t i = 1; i < both; ++i) {
    a.step(i);
    b.step(i);
  }
  a.rest(both);
  b.rest(both);
  return {static_cast<size_t>(a.finish() - out0), static_cast<size_t>(b.finish() - out1)};
}

std::pair<size_t, size_t> lzwEncodeStripPairInto(const std::uint8_t* data0, size_t size0, std::uint8_t* out0,
                                                 const std::uint8_t* data1, size_t size1, std::uint8_t* out1,
                                                 bool small) {
  if (size0 == 0 || size1 == 0)
    return {lzwEncodeStripInto(data0, size0, out0, small), lzwEncodeStripInto(data1, size1, out1, small)};
  return small ? encodePairInto<SmallTable>(data0, size0, out0, data1, size1, out1)
               : encodePairInto<EmptiedTable>(data0, size0, out0, data1, size1, out1);
}

}  // namespace

void lzwEncodeStrip(const std::uint8_t* data, size_t size, std::vector<std::uint8_t>& out, bool small) {
  const size_t start = out.size();
  out.resize(start + lzwPackedBound(size));
  out.resize(start + lzwEncodeStripInto(data, size, out.data() + start, small));
}

void lzwEncodeStripPair(const std::uint8_t* data0, size_t size0, std::vector<std::uint8_t>& out0,
                        const std::uint8_t* data1, size_t size1, std::vector<std::uint8_t>& out1, bool small) {
  const size_t start0 = out0.size(), start1 = out1.size();
  out0.resize(start0 + lzwPackedBound(size0));
  out1.resize(start1 + lzwPackedBound(size1));
  const auto sizes =
      lzwEncodeStripPairInto(data0, size0, out0.data() + start0, data1, size1, out1.data() + start1, small);
  out0.resize(start0 + sizes.first);
  out1.resize(start1 + sizes.second);
}

namespace {

bool tiffExtension(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find_first_of("/\\", dot) != std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == "tif" || ext == "tiff";
}

struct Layout {
  int width = 0, height = 0, channels = 0, bytesPerSample = 0;
  int rowsPerStrip = 0, strips = 0;
  size_t rowBytes() const { return static_cast<size_t>(width) * channels * bytesPerSample; }
};

Layout layoutOf(const cv::Mat& image) {
  Layout l;
  l.width = image.cols;
  l.height = image.rows;
  l.channels = image.channels();
  l.bytesPerSample = static_cast<int>(image.elemSize1());
  l.rowsPerStrip = static_cast<int>(std::max<size_t>(1, std::min<size_t>(image.rows, 8192 / l.rowBytes())));
  l.strips = (l.height + l.rowsPerStrip - 1) / l.rowsPerStrip;
  return l;
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kLittleEndianHost = true;
#else
constexpr bool kLittleEndianHost = false;
#endif

// Sample i of a row in the file, 16-bit samples little-endian: where the
// host is too, one store, which lets the compiler write the row in vectors.
template <typename T>
void putSample(std::uint8_t* row, int i, T value) {
  if (sizeof(T) == 1 || kLittleEndianHost) {
    std::memcpy(row + size_t(i) * sizeof(T), &value, sizeof(T));
  } else {
    row[2 * size_t(i)] = static_cast<std::uint8_t>(value & 0xFF);
    row[2 * size_t(i) + 1] = static_cast<std::uint8_t>(value >> 8);
  }
}

// Red first in the file, blue first in memory.
template <int kChannels>
constexpr int memoryChannel(int c) {
  return (kChannels >= 3 && c < 3) ? 2 - c : c;
}

// One row in file order, each sample the difference from the same channel
// one pixel to the left.
template <typename T, int kChannels>
void fileRowOf(const cv::Mat& image, int y, std::uint8_t* out) {
  const T* src = image.ptr<T>(y);
  const int n = image.cols * kChannels;
  for (int c = 0; c < kChannels; ++c) putSample<T>(out, c, src[memoryChannel<kChannels>(c)]);
  for (int i = kChannels; i < n; i += kChannels)
    for (int c = 0; c < kChannels; ++c) {
      const int from = i + memoryChannel<kChannels>(c);
      putSample<T>(out, i + c, static_cast<T>(src[from] - src[from - kChannels]));
    }
}

// The channel count fixed at compile time, so the per-pixel loop unrolls.
template <typename T>
void fileRow(const cv::Mat& image, int y, std::uint8_t* out) {
  switch (image.channels()) {
    case 1: return fileRowOf<T, 1>(image, y, out);
    case 3: return fileRowOf<T, 3>(image, y, out);
    default: return fileRowOf<T, 4>(image, y, out);
  }
}

void fileStrip(const cv::Mat& image, const Layout& l, int strip, std::vector<std::uint8_t>& raw) {
  const int first = strip * l.rowsPerStrip;
  const int last = std::min(l.height, first + l.rowsPerStrip);
  raw.resize(l.rowBytes() * (last - first));
  for (int y = first; y < last; ++y) {
    std::uint8_t* row = raw.data() + l.rowBytes() * (y - first);
    if (l.bytesPerSample == 1)
      fileRow<std::uint8_t>(image, y, row);
    else
      fileRow<std::uint16_t>(image, y, row);
  }
}

// A strip's compressed bytes in a buffer that keeps its size from one strip
// to the next, so it is not cleared again for every strip.
struct PackedStrip {
  std::vector<std::uint8_t> bytes;
  size_t size = 0;
  std::uint8_t* room(size_t rawSize) {
    if (bytes.size() < lzwPackedBound(rawSize)) bytes.resize(lzwPackedBound(rawSize));
    return bytes.data();
  }
};

// The strips in file order, each thread's own buffers (one for each of a
// pair's strips), reused from strip to strip.
template <int kLane>
std::vector<std::uint8_t>& rawStripOfThisThread() {
  thread_local std::vector<std::uint8_t> raw;
  return raw;
}

void encodeStrip(const cv::Mat& image, const Layout& l, int strip, PackedStrip& out, bool small) {
  std::vector<std::uint8_t>& raw = rawStripOfThisThread<0>();
  fileStrip(image, l, strip, raw);
  out.size = lzwEncodeStripInto(raw.data(), raw.size(), out.room(raw.size()), small);
}

// Strips first and first + 1.
void encodeStripPair(const cv::Mat& image, const Layout& l, int first, PackedStrip& out0, PackedStrip& out1,
                     bool small) {
  std::vector<std::uint8_t>&raw0 = rawStripOfThisThread<0>(), &raw1 = rawStripOfThisThread<1>();
  fileStrip(image, l, first, raw0);
  fileStrip(image, l, first + 1, raw1);
  std::tie(out0.size, out1.size) = lzwEncodeStripPairInto(raw0.data(), raw0.size(), out0.room(raw0.size()),
                                                          raw1.data(), raw1.size(), out1.room(raw1.size()), small);
}

class LittleEndianFile {
 public:
  explicit LittleEndianFile(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~LittleEndianFile() {
    if (file_) std::fclose(file_);
  }
  bool open() const { return file_ != nullptr; }
  void bytes(const void* data, size_t size) {
    if (size && good_ && std::fwrite(data, 1, size, file_) != size) failed();
    offset_ += size;
  }
  void u16(unsigned v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    bytes(b, 2);
  }
  void u32(std::uint64_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    bytes(b, 4);
  }
  std::uint64_t offset() const { return offset_; }
  bool patchU32(long at, std::uint64_t v) {
    if (good_ && std::fseek(file_, at, SEEK_SET) != 0) failed();
    u32(v);
    return good_;
  }
  bool close() {
    if (good_ && std::fflush(file_) != 0) failed();
    if (std::fclose(file_) != 0 && good_) failed();
    file_ = nullptr;
    return good_;
  }
  // The system's word for the first failure (a full disk's "No space left
  // on device"); errno belongs to the thread that failed, so it is kept here.
  int error() const { return error_; }

 private:
  void failed() {
    good_ = false;
    error_ = errno;
  }
  std::FILE* file_;
  std::uint64_t offset_ = 0;
  bool good_ = true;
  int error_ = 0;
};

constexpr std::uint64_t kClassicLimit = 0xFFFFFFFFull;

struct Encoding {
  bool allCores;  // the strips spread over OpenCV's threads
  bool small;     // one thread, small tables, one batch held: for an image written beside a job's work
};

// Strips compressed at once: some 8 for every thread that compresses them,
// at least 256 KB and at most 4 MB of raw bytes. Two batches are held at
// once, each strip's buffer sized for the worst case (half as large again
// as its raw bytes), so a result written by every core keeps each busy. A
// small encode (a build-up image, beside the decoding workers) holds one
// batch of 64 KB of raw bytes.
int batchStrips(const Layout& l, const Encoding& how) {
  const size_t stripBytes = l.rowBytes() * l.rowsPerStrip;
  const size_t least = (size_t(how.small ? 64 : 256) << 10) / stripBytes, most = (size_t{4} << 20) / stripBytes;
  const size_t threads = size_t(std::max(1, cv::getNumThreads()));
  const size_t wanted = how.small ? std::max<size_t>(least, 2) : std::max(size_t(8) * threads, least);
  return static_cast<int>(std::max<size_t>(1, std::min(wanted, most)));
}

// Below half their raw size: runs long enough for two strips side by side to pay.
bool compressesWell(const std::vector<PackedStrip>& strips, int count, const Layout& l) {
  size_t packed = 0;
  for (int i = 0; i < count; ++i) packed += strips[size_t(i)].size;
  return packed * 2 < l.rowBytes() * size_t(l.rowsPerStrip) * size_t(count);
}

// The strips, a batch at a time so that only a few MB of compressed data is
// held; a batch is written while the next one is compressed (a small encode
// writes it before the next, and holds one). Their offsets and sizes go to
// the directory.
bool writeStrips(LittleEndianFile& file, const cv::Mat& image, const Layout& l, std::vector<std::uint64_t>& offsets,
                 std::vector<std::uint64_t>& sizes, const Encoding& how) {
  const int batch = batchStrips(l, how);
  using Batch = std::vector<PackedStrip>;
  Batch encoding(std::min(batch, l.strips)), writing;
  std::future<void> written;
  auto store = [&](const Batch& strips, int count) {
    for (int i = 0; i < count; ++i) {
      offsets.push_back(file.offset());
      sizes.push_back(strips[i].size);
      file.bytes(strips[i].bytes.data(), strips[i].size);
    }
  };
  bool pairs = false;  // the first batch tells how well the image compresses
  for (int first = 0; first < l.strips; first += batch) {
    const int count = std::min(batch, l.strips - first);
    const auto singles = [&](const cv::Range& r) {
      for (int i = r.start; i < r.end; ++i) encodeStrip(image, l, first + i, encoding[size_t(i)], how.small);
    };
    const auto twos = [&](const cv::Range& r) {  // r counts pairs of strips
      for (int i = 2 * r.start; i < std::min(2 * r.end, count); i += 2) {
        if (i + 1 < count)
          encodeStripPair(image, l, first + i, encoding[size_t(i)], encoding[size_t(i + 1)], how.small);
        else
          encodeStrip(image, l, first + i, encoding[size_t(i)], how.small);
      }
    };
    const cv::Range all(0, pairs ? (count + 1) / 2 : count);
    const std::function<void(const cv::Range&)> body = pairs ? std::function<void(const cv::Range&)>(twos) : singles;
    if (how.allCores && !how.small)
      cv::parallel_for_(all, body);
    else
      body(all);
    pairs = compressesWell(encoding, count, l);
    if (written.valid()) written.get();
    if (file.offset() > kClassicLimit) return false;
    if (how.small) {
      store(encoding, count);
      continue;
    }
    std::swap(encoding, writing);
    encoding.resize(writing.size());
    written = std::async(std::launch::async, store, std::cref(writing), count);
  }
  if (written.valid()) written.get();
  return file.offset() <= kClassicLimit;
}

enum Type : unsigned { kShort = 3, kLong = 4, kUndefined = 7 };

struct Entry {
  unsigned tag;
  Type type;
  std::vector<std::uint64_t> values;
  const std::vector<std::uint8_t>* bytes = nullptr;  // the values of an undefined (byte string) entry
};

constexpr unsigned kIccProfileTag = 34675;

// libtiff's choice for the strips' sizes: SHORT only where even a strip
// ten times its raw size would fit one.
bool shortSizes(const Layout& l) { return l.strips > 1 && l.rowBytes() * l.rowsPerStrip * 10 < 0xFFFF; }

// A count as small as its value allows, as libtiff writes it.
Entry countEntry(unsigned tag, int value) {
  return {tag, value <= 0xFFFF ? kShort : kLong, {static_cast<std::uint64_t>(value)}};
}

std::vector<Entry> directoryOf(const Layout& l, const std::vector<std::uint64_t>& offsets,
                               const std::vector<std::uint64_t>& sizes, const std::vector<std::uint8_t>& profile) {
  const std::vector<std::uint64_t> bits(l.channels, static_cast<std::uint64_t>(8 * l.bytesPerSample));
  std::vector<Entry> entries = {
      countEntry(256, l.width),
      countEntry(257, l.height),
      {258, kShort, bits},
      {259, kShort, {5}},                          // LZW
      {262, kShort, {l.channels >= 3 ? 2u : 1u}},  // RGB, or black is zero
      {273, kLong, offsets},
      {277, kShort, {static_cast<std::uint64_t>(l.channels)}},
      countEntry(278, l.rowsPerStrip),
      {279, shortSizes(l) ? kShort : kLong, sizes},
      {284, kShort, {1}},  // samples interleaved
      {317, kShort, {2}},  // horizontal differencing
  };
  if (l.channels == 4) entries.push_back({338, kShort, {2}});  // the fourth sample is unassociated alpha
  entries.push_back({339, kShort, std::vector<std::uint64_t>(l.channels, 1)});  // unsigned integers
  if (!profile.empty()) entries.push_back({kIccProfileTag, kUndefined, {}, &profile});
  return entries;
}

size_t valueCount(const Entry& e) { return e.bytes ? e.bytes->size() : e.values.size(); }

size_t valueBytes(const Entry& e) {
  return e.bytes ? e.bytes->size() : e.values.size() * (e.type == kShort ? 2 : 4);
}

void writeValues(LittleEndianFile& file, const Entry& e) {
  if (e.bytes) return file.bytes(e.bytes->data(), e.bytes->size());
  for (std::uint64_t v : e.values) e.type == kShort ? file.u16(static_cast<unsigned>(v)) : file.u32(v);
}

// The arrays behind the directory in tag order, except that the strips'
// sizes come before their offsets, as libtiff lays them out.
std::vector<const Entry*> arrayOrder(const std::vector<Entry>& entries) {
  std::vector<const Entry*> order;
  for (const Entry& e : entries)
    if (valueBytes(e) > 4) order.push_back(&e);
  auto offsets = std::find_if(order.begin(), order.end(), [](const Entry* e) { return e->tag == 273; });
  auto sizes = std::find_if(order.begin(), order.end(), [](const Entry* e) { return e->tag == 279; });
  if (offsets != order.end() && sizes != order.end()) std::rotate(offsets, sizes, sizes + 1);
  return order;
}

// The directory after the strips, with every array too long for its entry
// behind it; false when it would lie beyond what a classic TIFF addresses.
bool writeDirectory(LittleEndianFile& file, const std::vector<Entry>& entries, std::uint64_t& at) {
  if (file.offset() % 2) file.bytes("", 1);  // a directory starts on a word boundary
  at = file.offset();
  const std::vector<const Entry*> arrays = arrayOrder(entries);
  std::vector<std::uint64_t> arrayAt(arrays.size());
  std::uint64_t end = at + 2 + 12 * entries.size() + 4;
  for (size_t i = 0; i < arrays.size(); ++i) {
    arrayAt[i] = end;
    end += valueBytes(*arrays[i]);
  }
  file.u16(static_cast<unsigned>(entries.size()));
  for (const Entry& e : entries) {
    file.u16(e.tag);
    file.u16(e.type);
    file.u32(valueCount(e));
    if (valueBytes(e) <= 4) {
      writeValues(file, e);
      if (valueBytes(e) < 4) file.bytes("\0\0", 4 - valueBytes(e));
    } else {
      file.u32(arrayAt[std::find(arrays.begin(), arrays.end(), &e) - arrays.begin()]);
    }
  }
  file.u32(0);  // no further image
  // Every array but the profile (the last, by its tag) is whole words long,
  // so each one starts on a word boundary.
  for (const Entry* e : arrays) writeValues(file, *e);
  return end <= kClassicLimit;
}

}  // namespace

bool lzwTiffWritable(const std::string& path, const cv::Mat& image) {
  if (!tiffExtension(path) || image.empty() || image.dims != 2) return false;
  const int depth = image.depth(), channels = image.channels();
  // Even incompressible data (LZW's worst case is half as large again) stays
  // within the 4 GiB a classic TIFF addresses.
  const bool addressable = image.total() * image.elemSize() <= (size_t{1} << 31);
  return (depth == CV_8U || depth == CV_16U) && (channels == 1 || channels == 3 || channels == 4) && addressable;
}

namespace {

bool writeFile(LittleEndianFile& file, const cv::Mat& image, const std::vector<std::uint8_t>& profile,
               std::string& reason, const Encoding& how) {
  const char* const tooLarge = "beyond the 4 GiB a TIFF file addresses";
  const Layout layout = layoutOf(image);
  file.bytes("II*\0", 4);
  file.u32(0);  // where the directory will be, once the strips are written
  std::vector<std::uint64_t> offsets, sizes;
  std::uint64_t directory = 0;
  if (!writeStrips(file, image, layout, offsets, sizes, how)) return reason = tooLarge, false;
  if (!writeDirectory(file, directoryOf(layout, offsets, sizes, profile), directory)) return reason = tooLarge, false;
  return file.patchU32(4, directory) && file.close();
}

}  // namespace

bool writeLzwTiff(const std::string& path, const cv::Mat& image, const std::vector<std::uint8_t>& profile,
                  std::string* reason, bool allCores, bool small) {
  if (!lzwTiffWritable(path, image)) return false;
  errno = 0;
  LittleEndianFile file(path);
  std::string why;
  const bool written = file.open() && writeFile(file, image, profile, why, Encoding{allCores, small});
  if (!written && reason) {
    const int error = file.open() ? file.error() : errno;
    *reason = error != 0 ? std::strerror(error) : why;
  }
  return written;
}

}  // namespace lvplumbing
