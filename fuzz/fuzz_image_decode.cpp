// Image loading from bytes, as every job reads its frames: PNG and TIFF
// files of any content decode or come back empty, never crash.
#include "plumbing/plumbing.h"

#include "fuzz_support.h"

#include <opencv2/imgcodecs.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = fuzzsupport::asFile(data, size);
  // The frames the jobs read are PNG or TIFF; a header claiming more than a
  // few megapixels is refused here so the run stays within its memory bound
  // (the jobs refuse beyond their own, larger limit the same way).
  cv::Size claimed;
  if (!NL_readImageHeaderSize(path, claimed)) return 0;
  if (std::uint64_t(claimed.width) * std::uint64_t(claimed.height) > 4000000ULL) return 0;
  cv::Mat read;
  try {
    read = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
  }
  cv::Mat decoded = NL_imdecodeFileFallback(path, cv::IMREAD_UNCHANGED);
  // The size limit trusts the peek, so a decoder must never make more of the file than its header says.
  // A TIFF's orientation tag may make the decoder turn the picture a quarter:
  // the same pixels, so the same memory, in swapped dimensions.
  const auto peekedOrTurned = [&](const cv::Mat& image) {
    return (image.cols == claimed.width && image.rows == claimed.height) ||
           (image.cols == claimed.height && image.rows == claimed.width);
  };
  for (const cv::Mat* image : {&read, &decoded}) {
    if (image->empty()) continue;
    fuzzsupport::require(peekedOrTurned(*image), "decoded size is the peeked size, or it turned a quarter");
  }
  NL_imdecodeFileFallback(path, cv::IMREAD_GRAYSCALE);
  // The frame reader that bypasses the decoder for plain TIFF strips must
  // agree with it, pixel for pixel, or leave the file to it.
  cv::Mat plain;
  if (NL_readPlainTiff(path, plain)) {
    fuzzsupport::require(plain.cols == claimed.width && plain.rows == claimed.height, "plain read is the peeked size");
    if (!read.empty() && read.type() == plain.type() && read.size() == plain.size())
      fuzzsupport::require(cv::norm(read, plain, cv::NORM_INF) == 0.0, "plain read equals the decoder's");
  }
  return 0;
}
