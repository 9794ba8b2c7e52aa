// The readiness checks of a temporary image and the header peek over any
// file: no crash, no read outside the file, and a consistent verdict.
#include "plumbing/plumbing.h"
#include "starglow/starglow.h"

#include "fuzz_support.h"

using fuzzsupport::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = fuzzsupport::asFile(data, size);
  const NL_TemporaryImageCheck check = NL_validateTemporaryImage(path, size);
  require(check.ready == check.message.empty(), "ready exactly when there is no message");
  std::string message;
  NL_isPlausibleTiffFile(path, size, message);
  NL_fileHexPrefix(path);
  cv::Size claimed;
  if (NL_readImageHeaderSize(path, claimed)) require(claimed.width > 0 && claimed.height > 0, "peeked size positive");
  NL_imageFileProblem(path);
  return 0;
}
