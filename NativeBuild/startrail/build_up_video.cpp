#include "startrail/detail/build_up.h"

#include "plumbing/plumbing.h"

#include <opencv2/imgproc.hpp>
#if defined(LUMIVEX_HAVE_VIDEOIO)
#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>
#endif

#include <filesystem>

namespace fs = std::filesystem;

namespace startrail_detail {

#if defined(LUMIVEX_HAVE_VIDEOIO)

struct BuildUpVideo::Writer {
  cv::VideoWriter video;
  cv::Size size;
  cv::Mat eight, colour;  // reused for every frame
};

namespace {

// The colour video frame of an image: 8 bits (16-bit samples / 257),
// grey and alpha made plain colour, cut to the size the writer was opened with.
void videoFrame(const cv::Mat& image, cv::Size size, cv::Mat& eight, cv::Mat& colour) {
  const cv::Mat cut = image(cv::Rect(0, 0, size.width, size.height));
  if (cut.depth() == CV_16U) cut.convertTo(eight, CV_8U, 1.0 / 257.0);
  else eight = cut;
  if (eight.channels() == 1) cv::cvtColor(eight, colour, cv::COLOR_GRAY2BGR);
  else if (eight.channels() == 4) cv::cvtColor(eight, colour, cv::COLOR_BGRA2BGR);
  else colour = eight;
}

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

void BuildUpVideo::add(const cv::Mat& image) {
  if (!writer_) return;
  videoFrame(image, writer_->size, writer_->eight, writer_->colour);
  writer_->video.write(writer_->colour);
}

#else

struct BuildUpVideo::Writer {};

BuildUpVideo::BuildUpVideo(const std::string& path, cv::Size, double) : path_(path) {
  note_ = "this build has no video writer";
}

void BuildUpVideo::add(const cv::Mat&) {}

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
