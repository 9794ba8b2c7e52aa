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
  for (const cv::Mat* image : {&read, &decoded}) {
    if (image->empty()) continue;
    fuzzsupport::require(image->cols == claimed.width && image->rows == claimed.height, "decoded size is the peeked size");
  }
  NL_imdecodeFileFallback(path, cv::IMREAD_GRAYSCALE);
  return 0;
}
