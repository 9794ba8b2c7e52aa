// Capture times from any bytes: a JPEG, TIFF or RAW header of any content
// reads without a fault, from memory and from a file alike.
#include "plumbing/plumbing.h"

#include "fuzz_support.h"

#include <cmath>

namespace {

bool sameInfo(const NLCaptureInfo& a, const NLCaptureInfo& b) {
  return a.hasTime == b.hasTime && a.hasExposure == b.hasExposure && a.camera == b.camera &&
         (!a.hasTime || a.timeSeconds == b.timeSeconds) && (!a.hasExposure || a.exposureSeconds == b.exposureSeconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const NLCaptureInfo fromBytes = NL_parseCaptureInfo(data, size);
  fuzzsupport::require(!fromBytes.hasExposure || (fromBytes.exposureSeconds > 0 && std::isfinite(fromBytes.exposureSeconds)),
                       "an exposure read is positive");
  fuzzsupport::require(fromBytes.camera.size() <= 513, "camera text is bounded");
  const NLCaptureInfo fromFile = NL_readCaptureInfo(fuzzsupport::asFile(data, size));
  // The file read may add what the RAW decoder finds, but only where the EXIF reader found nothing.
  const bool found = fromBytes.hasTime || fromBytes.hasExposure || !fromBytes.camera.empty();
  fuzzsupport::require(!found || sameInfo(fromBytes, fromFile), "file and memory reads agree");
  return 0;
}
