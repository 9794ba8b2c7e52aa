// The trail image as it builds up over the night: an image after every N
// frames, as files and as a video.
#pragma once

#include "startrail/startrail.h"

#include <opencv2/core.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace startrail_detail {

struct TrailRun;

// A video of the build-up images, written to a partial file beside its path
// and renamed into place when closed; removed when never closed.
class BuildUpVideo {
 public:
  // When this build has no writer for the path's format, nothing is written
  // and note() says why.
  BuildUpVideo(const std::string& path, cv::Size size, double framesPerSecond);
  ~BuildUpVideo();
  BuildUpVideo(const BuildUpVideo&) = delete;
  BuildUpVideo& operator=(const BuildUpVideo&) = delete;
  // Any depth and channel count; the video holds 8-bit colour, made within
  // the image's own buffer where it fits, which then no longer holds the image.
  void add(cv::Mat& image);
  // True when the video is in place; otherwise note() says why.
  bool close();
  const std::string& note() const { return note_; }

 private:
  struct Writer;
  std::unique_ptr<Writer> writer_;
  std::string path_, partial_, note_;
};

// Frames reach the trail out of order, several workers at once, yet a
// build-up image must hold exactly the frames before its count: a frame at
// or past the next count waits until that image has been taken. The worker
// whose frame completes an image renders it into a frame buffer of the
// run's pool, in place of the frame it has just let go of, and takes no
// new frame until its image is written (on one writer thread of the
// build-up's own), so the run holds no more images than it held frames.
class BuildUp {
 public:
  // foreground: the foreground stack the final image is composited with; empty without a composite.
  BuildUp(TrailRun& run, cv::Mat foreground);
  ~BuildUp();
  BuildUp(const BuildUp&) = delete;
  BuildUp& operator=(const BuildUp&) = delete;
  // Returns once frame i may be added; throws when the run stops meanwhile.
  void awaitTurn(int frame);
  // Frame i is in the trail; takes the image it completes, if any, hands it
  // to the writer and returns once it is written. The image is rendered
  // into `spent`, the frame's own buffer, where the worker holds it alone.
  // A write that fails stops the run with its text.
  void frameAdded(int frame, cv::Mat& spent);
  // Returns once the image handed over last is written (or has failed).
  void drain();
  // After the last frame: closes the video. Images taken, and why the video was not written (empty when it was).
  void finish(int& images, std::string& videoNote);

 private:
  void render(cv::Mat& image);
  void handOver(const cv::Mat& buffer, int image);
  void giveBack(cv::Mat& buffer);
  void write(int image);  // throws the failure text
  void writeImage(const std::string& path, const cv::Mat& image);
  void writeLoop();
  void fail(const std::string& failure);
  void stopWriter();

  TrailRun& run_;
  const cv::Mat foreground_;
  const std::vector<int> counts_;
  const NLIccProfile profile_;
  std::unique_ptr<BuildUpVideo> video_;
  std::mutex mutex_;  // guards the four fields below
  std::condition_variable turn_;
  std::vector<char> added_;
  int frontier_ = 0;  // frames 0..frontier_-1 are all in the trail
  size_t taken_ = 0;  // images rendered
  bool taking_ = false;
  std::mutex writing_;  // guards the five below; image_ is the writer's while pending_ >= 0
  std::condition_variable written_;
  int pending_ = -1;  // the image rendered and not yet written
  int handed_ = 0;    // images handed to the writer
  bool failed_ = false;
  bool closing_ = false;
  cv::Mat image_;  // a pool buffer, lent by the worker that rendered it
  cv::Mat jpegSpare_;  // for images too narrow to hold their 8 bits in place
  std::thread writer_;  // last: started once everything above exists
};

// The image cut to `size` as 8-bit samples (16-bit ones / 257) of 1, 3 or 4
// `channels` (3 from 1: grey made plain colour; 3 from 4: alpha dropped),
// rows 32-byte aligned and its end clear of a page boundary, as OpenCV's
// video writer takes a frame without copying it. Made within the image's own
// buffer where its rows lie far enough apart (which then no longer holds
// the image), else in `spare`, kept for the next frame.
cv::Mat packedEightBit(cv::Mat& image, cv::Size size, int channels, cv::Mat& spare);
// The path's extension in lower case, dot included: ".mp4".
std::string lowerCaseExtension(const std::string& path);
// Before any frame is read: refuses a video path that is neither .mp4 nor
// .avi and a folder that already holds build-up images of the format, makes
// the folder when missing, and gives an existing video a numbered name
// (unless the job replaces its outputs). Throws the failure text.
void prepareBuildUpTargets(NLStarTrailNativeJob& job);
// The build-up of a run whose masks are ready; null when the job asks for none.
std::unique_ptr<BuildUp> startBuildUp(TrailRun& run, bool composite);

}  // namespace startrail_detail
