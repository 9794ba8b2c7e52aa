// The textual JSON readers over any bytes: no crash, no read past the text,
// and the few promises each reader makes.
#include "plumbing/plumbing.h"

#include "fuzz_support.h"

#include <cmath>

using fuzzsupport::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"inputs", "path", "output", "progress", "outputs", "sky", "k", ""}) {
    const size_t start = NL_jsonFindValueStart(text, key);
    require(start == std::string::npos || start <= text.size(), "value start inside the text");
    NL_extractJsonString(text, key);
    NL_jsonString(text, key, "fallback");
    const double n = NL_jsonNumber(text, key, 7.0);
    require(!std::isnan(n) || text.find("nan") != std::string::npos || text.find("NAN") != std::string::npos ||
                text.find("NaN") != std::string::npos,
            "a number is only NaN when the text spells it");
    NL_jsonBool(text, key, true);
    NL_extractJsonStringArray(text, key);
    NL_extractJsonPathObjectsArray(text, key);
    NL_extractJsonNestedString(text, key, "sky");
  }
  const std::string once = NL_unescapeJsonString(text);
  require(once.size() <= text.size(), "unescaping never lengthens");
  return 0;
}
