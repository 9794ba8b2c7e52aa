// Camera RAW files through LibRaw, one decoder instance per call (its
// per-instance API keeps no process-wide state, so frames decode in
// parallel). Without LibRaw in the build every entry reports "not RAW".
#include "plumbing/plumbing.h"
#include "plumbing/detail/raw_decode.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#if defined(LUMIVEX_HAVE_LIBRAW)
#include <libraw.h>
#endif

namespace {

#if defined(LUMIVEX_HAVE_LIBRAW)
// LibRaw gives the capture time through mktime, in this machine's zone; the
// fields are turned back into the camera's clock as EXIF spells it, so that
// frames read either way share one epoch.
double cameraClockSeconds(std::time_t stamp) {
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &stamp);
#else
  localtime_r(&stamp, &local);
#endif
  std::tm asUtc = local;
  asUtc.tm_isdst = 0;
#if defined(_WIN32)
  return double(_mkgmtime(&asUtc));
#else
  return double(timegm(&asUtc));
#endif
}
#endif

}  // namespace

bool NL_parseRawRendering(const std::string& text, NLRawRendering& rendering) {
  if (text == "camera") rendering = NLRawRendering::Camera;
  else if (text == "linear") rendering = NLRawRendering::Linear;
  else return false;
  return true;
}

const char* NL_rawRenderingName(NLRawRendering rendering) {
  return rendering == NLRawRendering::Linear ? "linear" : "camera";
}

bool NL_rawDecoderAvailable() {
#if defined(LUMIVEX_HAVE_LIBRAW)
  return true;
#else
  return false;
#endif
}

bool NL_isRawFileName(const std::string& path) {
  static const char* const kExtensions[] = {"3fr", "ari", "arw", "bay", "cr2", "cr3", "crw", "dcr", "dng", "erf",
                                            "fff", "iiq",  "k25", "kdc", "mef", "mos", "mrw", "nef", "nrw", "orf",
                                            "pef", "raf", "raw", "rw2", "rwl", "sr2", "srf", "srw", "x3f"};
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return std::find_if(std::begin(kExtensions), std::end(kExtensions),
                      [&](const char* e) { return ext == e; }) != std::end(kExtensions);
}

namespace nl_detail {

bool rawCaptureInfo(const std::string& path, NLCaptureInfo& info) {
#if defined(LUMIVEX_HAVE_LIBRAW)
  if (!NL_isRegularFile(path)) return false;
  LibRaw raw;
  if (raw.open_file(path.c_str()) != LIBRAW_SUCCESS) return false;
  const libraw_imgother_t& other = raw.imgdata.other;
  NLCaptureInfo read;
  read.hasTime = other.timestamp > 0;
  read.timeSeconds = read.hasTime ? cameraClockSeconds(other.timestamp) : 0;
  read.hasExposure = other.shutter > 0;
  read.exposureSeconds = read.hasExposure ? double(other.shutter) : 0;
  const std::string make = raw.imgdata.idata.make, model = raw.imgdata.idata.model;
  read.camera = make.empty() || model.empty() ? make + model : make + " " + model;
  info = read;
  return true;
#else
  (void)path;
  (void)info;
  return false;
#endif
}

}  // namespace nl_detail
