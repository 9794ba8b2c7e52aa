// When and how a frame was taken, as the camera recorded it in the file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

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

// What a night's frames say about how they were taken, in the order given.
struct NLCaptureSequence {
  int frames = 0;
  int withTime = 0, withExposure = 0;
  // Between consecutive capture times (sorted, so a frame named out of
  // order is no gap): the median, least and greatest step in seconds;
  // intervals = how many steps were measured.
  int intervals = 0;
  double intervalMedian = 0, intervalMin = 0, intervalMax = 0;
  // Steps longer than one and a half times the median: frames missing.
  int gaps = 0;
  double exposureMedian = 0, exposureMin = 0, exposureMax = 0;
  std::string camera;  // of the first frame that names one
  // Frames taken before the frame listed just before them (name order and
  // capture order disagree): each with that earlier frame and the step.
  struct Backstep {
    int frame = 0, previous = 0;
    double seconds = 0;  // how much earlier, positive
  };
  std::vector<Backstep> backsteps;
};
NLCaptureSequence NL_captureSequence(const std::vector<NLCaptureInfo>& frames);
// Every frame's capture information, read in parallel (a header read each).
std::vector<NLCaptureInfo> NL_readCaptureInfos(const std::vector<std::string>& paths);
// Result-log lines of the summary, key=value, after a job's own lines:
// captureTimes, frameIntervalS, frameIntervalMinS, frameIntervalMaxS,
// frameIntervalGaps, exposureS, exposureMinS, exposureMaxS, camera and one
// captureOrderWarning per frame out of order (the first ten, then a count).
// Nothing when no frame has a time, an exposure or a camera.
std::string NL_captureSequenceLines(const NLCaptureSequence& sequence, const std::vector<std::string>& paths);
