// When and how a frame was taken, as the camera recorded it in the file.
#pragma once

#include <cstddef>
#include <string>

struct NLCaptureInfo {
  bool hasTime = false;      double timeSeconds = 0;      // capture time, seconds (sub-second where the file has it), any fixed epoch
  bool hasExposure = false;  double exposureSeconds = 0;  // ExposureTime
  std::string camera;                                     // "Make Model", empty when unknown
};

// Reads EXIF from a JPEG (APP1), a TIFF or a TIFF-based camera RAW (IFD0 and
// its EXIF directory), and from the other camera RAW formats through the RAW
// decoder where the build has one. Never throws; fields unset when unknown.
NLCaptureInfo NL_readCaptureInfo(const std::string& path);

// The same from the file's bytes already in memory.
NLCaptureInfo NL_parseCaptureInfo(const unsigned char* data, std::size_t size);
