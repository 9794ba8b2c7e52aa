#include "startrail/detail/build_up.h"

#include "plumbing/plumbing.h"

#include <opencv2/imgproc.hpp>
#if defined(LUMIVEX_HAVE_VIDEOIO)
#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>
#endif

#include <algorithm>
#include <cstdint>
#include <filesystem>

namespace fs = std::filesystem;

namespace startrail_detail {
namespace {

// OpenCV's video writer copies a frame whose rows are not 32-byte aligned,
// or whose end lies within 32 bytes of a page boundary (its encoder reads
// that far past), into a buffer of its own that it keeps: 3 bytes a pixel.
constexpr size_t kRowAlignment = 32;
constexpr size_t kOverread = 32;
constexpr std::uintptr_t kPage = 4096;

size_t alignedRow(size_t bytes) { return (bytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment; }

bool endClearOfPage(const uchar* data, size_t bytes) {
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + bytes;
  return ((end - kOverread) & ~(kPage - 1)) == ((end + kOverread) & ~(kPage - 1));
}

// One row as 8 bits (16-bit samples / 257) of the target's channels: grey
// made plain colour, alpha dropped.
void eightBitRow(const cv::Mat& from, cv::Mat& scratch, cv::Mat to) {
  const cv::Mat* eight = &from;
  if (from.depth() == CV_16U) {
    from.convertTo(scratch, CV_8U, 1.0 / 257.0);
    eight = &scratch;
  }
  if (eight->channels() == to.channels()) eight->copyTo(to);
  else if (eight->channels() == 1) cv::cvtColor(*eight, to, cv::COLOR_GRAY2BGR);
  else cv::cvtColor(*eight, to, cv::COLOR_BGRA2BGR);
}

// Rows before `head` are read from a copy: the packed rows overwrite them.
cv::Mat packRows(const cv::Mat& cut, int head, cv::Mat to) {
  const cv::Mat first = cut.rowRange(0, head).clone();
  cv::Mat scratch;
  for (int y = 0; y < to.rows; ++y) eightBitRow(y < head ? first.row(y) : cut.row(y), scratch, to.row(y));
  return to;
}

}  // namespace

cv::Mat packedEightBit(cv::Mat& image, cv::Size size, int channels, cv::Mat& spare) {
  const cv::Mat cut = image(cv::Rect(0, 0, size.width, size.height));
  const size_t rowBytes = size_t(size.width) * size_t(channels), step = alignedRow(rowBytes);
  const size_t frameBytes = step * size_t(size.height);
  if (cut.type() == CV_8UC(channels) && cut.step[0] % kRowAlignment == 0 &&
      endClearOfPage(cut.data, cut.step[0] * size_t(size.height)))
    return cut;
  // In the image's buffer where its rows lie further apart than the packed
  // ones: packed row y then ends before image row y begins, from row `head` on.
  const size_t from = image.step[0];
  for (const size_t offset : {size_t(0), size_t(64)}) {
    if (from <= step || image.data + offset + frameBytes + kOverread > image.datalimit) break;
    if (!endClearOfPage(image.data + offset, frameBytes)) continue;
    const size_t head = std::min((offset + rowBytes + (from - step) - 1) / (from - step), size_t(size.height));
    return packRows(cut, int(head), cv::Mat(size, CV_8UC(channels), image.data + offset, step));
  }
  const size_t need = frameBytes + 64 + kOverread;
  if (spare.total() < need) spare.create(1, int(need), CV_8U);
  uchar* const at = spare.data + (endClearOfPage(spare.data, frameBytes) ? 0 : 64);
  return packRows(cut, 0, cv::Mat(size, CV_8UC(channels), at, step));
}

#if defined(LUMIVEX_HAVE_VIDEOIO)

struct BuildUpVideo::Writer {
  cv::VideoWriter video;
  cv::Size size;
  cv::Mat spare;  // frames that cannot be made in their image's buffer; reused for every frame
};

namespace {

// Codecs tried in order: MPEG-4 part 2 first on every platform (every FFmpeg
// has it, and it keeps about seven 8-bit pictures of the video's size
// whatever the length of the night), H.264 only where that is missing (the
// platform's own encoder then): FFmpeg's H.264 encoder looks some forty
// pictures ahead and held 350 MB more than the job at 1600 x 1066. Motion
// JPEG for AVI.
std::vector<int> codecsFor(const std::string& ext) {
  if (ext == ".avi") return {cv::VideoWriter::fourcc('M', 'J', 'P', 'G')};
  return {cv::VideoWriter::fourcc('m', 'p', '4', 'v'), cv::VideoWriter::fourcc('a', 'v', 'c', '1')};
}

}  // namespace

BuildUpVideo::BuildUpVideo(const std::string& path, cv::Size size, double framesPerSecond) : path_(path) {
  if (cv::videoio_registry::getWriterBackends().empty()) {
    note_ = "this build of OpenCV writes no video";
    return;
  }
  const std::string ext = lowerCaseExtension(path);
  auto writer = std::make_unique<Writer>();
  // Video codecs code colour in 2x2 blocks: an odd last row or column is left out.
  writer->size = cv::Size(size.width & ~1, size.height & ~1);
  if (writer->size.area() == 0) {
    note_ = "the image is too small for a video";
    return;
  }
  partial_ = NL_uniqueSiblingPath(path, "partial");
  for (int codec : codecsFor(ext)) {
    try {
      if (writer->video.open(partial_, cv::CAP_ANY, codec, framesPerSecond, writer->size, true)) break;
    } catch (const cv::Exception&) {
    }
  }
  if (!writer->video.isOpened()) {
    std::error_code ec;
    fs::remove(partial_, ec);
    partial_.clear();
    note_ = "this build of OpenCV has no " + ext + " video writer";
    return;
  }
  writer_ = std::move(writer);
}

void BuildUpVideo::add(cv::Mat& image) {
  if (!writer_) return;
  writer_->video.write(packedEightBit(image, writer_->size, 3, writer_->spare));
}

#else

struct BuildUpVideo::Writer {};

BuildUpVideo::BuildUpVideo(const std::string& path, cv::Size, double) : path_(path) {
  note_ = "this build has no video writer";
}

void BuildUpVideo::add(cv::Mat&) {}

#endif

BuildUpVideo::~BuildUpVideo() {
  writer_.reset();
  if (partial_.empty()) return;
  std::error_code ec;
  fs::remove(partial_, ec);
}

bool BuildUpVideo::close() {
  if (!writer_) return false;
  writer_.reset();  // the writer finishes the file when released
  std::error_code ec;
  if (fs::file_size(partial_, ec) == 0 || ec) {
    note_ = "the video writer wrote nothing";
    return false;
  }
  fs::rename(partial_, path_, ec);
  if (ec) {
    note_ = "could not move the video into place: " + ec.message();
    return false;
  }
  partial_.clear();
  return true;
}

}  // namespace startrail_detail
