// Camera RAW files through LibRaw, one decoder instance per call (its
// per-instance API keeps no process-wide state, so frames decode in
// parallel). Without LibRaw in the build every entry reports "not RAW".
#include "plumbing/plumbing.h"
#include "plumbing/detail/raw_decode.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>

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

// The decoder's state is several hundred kilobytes: kept off the stack, as
// frames are read on worker threads with small stacks.
std::unique_ptr<LibRaw> openRaw(const std::string& path) {
  if (!NL_isRegularFile(path)) return nullptr;
  auto raw = std::make_unique<LibRaw>();
  if (raw->open_file(path.c_str()) != LIBRAW_SUCCESS) return nullptr;
  return raw;
}

// Orientations 5 and 6 (LibRaw's flip bit 4) turn the picture a quarter.
cv::Size turnedSize(const LibRaw& raw) {
  const libraw_image_sizes_t& s = raw.imgdata.sizes;
  return (s.flip & 4) ? cv::Size(s.height, s.width) : cv::Size(s.width, s.height);
}

// What an editor's export of the frame looks like: the camera's white
// balance, sRGB, the sRGB tone curve (or none), nothing brightened.
void setRendering(LibRaw& raw, NLRawRendering rendering) {
  libraw_output_params_t& p = raw.imgdata.params;
  p.output_bps = 16;
  p.output_color = 1;
  p.use_camera_wb = 1;
  p.use_auto_wb = 0;
  p.no_auto_bright = 1;
  p.highlight = 0;
  p.user_flip = -1;
  p.gamm[0] = rendering == NLRawRendering::Linear ? 1.0 : 1.0 / 2.4;
  p.gamm[1] = rendering == NLRawRendering::Linear ? 1.0 : 12.92;
}

// The decoded RGB in the frames' blue, green, red order, at the depth and
// channel count the flags ask for.
cv::Mat frameFrom(const libraw_processed_image_t& out, int flags) {
  if (out.type != LIBRAW_IMAGE_BITMAP || out.bits != 16 || (out.colors != 3 && out.colors != 1)) return cv::Mat();
  const cv::Mat rgb(out.height, out.width, CV_16UC(out.colors), const_cast<unsigned char*>(out.data));
  const bool keepDepth = flags < 0 || (flags & cv::IMREAD_ANYDEPTH);
  const bool colour = flags < 0 || (flags & cv::IMREAD_COLOR);
  cv::Mat frame;
  if (out.colors == 3) cv::cvtColor(rgb, frame, colour ? cv::COLOR_RGB2BGR : cv::COLOR_RGB2GRAY);
  else if (colour) cv::cvtColor(rgb, frame, cv::COLOR_GRAY2BGR);
  else frame = rgb.clone();
  if (!keepDepth) frame.convertTo(frame, CV_8U, 1.0 / 257.0);
  return frame;
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

namespace {

// The file name's extension in lower case, without its dot; empty when none.
std::string extensionOf(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

template <size_t N>
bool listed(const char* const (&names)[N], const std::string& ext) {
  return !ext.empty() && std::find_if(std::begin(names), std::end(names), [&](const char* e) { return ext == e; }) !=
                             std::end(names);
}

}  // namespace

bool NL_isRawFileName(const std::string& path) {
  static const char* const kRaw[] = {"3fr", "ari", "arw", "bay", "cr2", "cr3", "crw", "dcr", "dng", "erf",
                                     "fff", "iiq", "k25", "kdc", "mef", "mos", "mrw", "nef", "nrw", "orf",
                                     "pef", "raf", "raw", "rw2", "rwl", "sr2", "srf", "srw", "x3f"};
  return listed(kRaw, extensionOf(path));
}

bool NL_isFrameFileName(const std::string& path) {
  static const char* const kDecoded[] = {"tif", "tiff", "png", "jpg", "jpeg", "jpe", "webp", "bmp"};
  return listed(kDecoded, extensionOf(path)) || (NL_rawDecoderAvailable() && NL_isRawFileName(path));
}

std::string NL_frameFormatNames() {
  return NL_rawDecoderAvailable() ? "TIFF, PNG, JPEG, WebP, BMP or camera RAW" : "TIFF, PNG, JPEG, WebP or BMP";
}

namespace nl_detail {

bool rawCaptureInfo(const std::string& path, NLCaptureInfo& info) {
#if defined(LUMIVEX_HAVE_LIBRAW)
  const std::unique_ptr<LibRaw> raw = openRaw(path);
  if (!raw) return false;
  const libraw_imgother_t& other = raw->imgdata.other;
  NLCaptureInfo read;
  read.hasTime = other.timestamp > 0;
  read.timeSeconds = read.hasTime ? cameraClockSeconds(other.timestamp) : 0;
  read.hasExposure = other.shutter > 0;
  read.exposureSeconds = read.hasExposure ? double(other.shutter) : 0;
  const std::string make = raw->imgdata.idata.make, model = raw->imgdata.idata.model;
  read.camera = make.empty() || model.empty() ? make + model : make + " " + model;
  info = read;
  return true;
#else
  (void)path;
  (void)info;
  return false;
#endif
}

bool rawImageSize(const std::string& path, cv::Size& size) {
#if defined(LUMIVEX_HAVE_LIBRAW)
  try {
    const std::unique_ptr<LibRaw> raw = openRaw(path);
    if (!raw) return false;
    size = turnedSize(*raw);
    return size.width > 0 && size.height > 0;
  } catch (...) {
    return false;
  }
#else
  (void)path;
  (void)size;
  return false;
#endif
}

cv::Mat decodeRaw(const std::string& path, int flags) {
#if defined(LUMIVEX_HAVE_LIBRAW)
  try {
    const std::unique_ptr<LibRaw> raw = openRaw(path);
    if (!raw) return cv::Mat();
    setRendering(*raw, rawRenderingFor(path));
    if (raw->unpack() != LIBRAW_SUCCESS || raw->dcraw_process() != LIBRAW_SUCCESS) return cv::Mat();
    int status = LIBRAW_SUCCESS;
    libraw_processed_image_t* out = raw->dcraw_make_mem_image(&status);
    if (!out) return cv::Mat();
    // The sensor data goes before the frame is made, so the peak holds one fewer copy.
    raw->recycle();
    cv::Mat frame;
    try {
      frame = frameFrom(*out, flags);
    } catch (...) {
      LibRaw::dcraw_clear_mem(out);
      throw;
    }
    LibRaw::dcraw_clear_mem(out);
    return frame;
  } catch (...) {
    return cv::Mat();
  }
#else
  (void)path;
  (void)flags;
  return cv::Mat();
#endif
}

}  // namespace nl_detail
