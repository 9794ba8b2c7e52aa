// The work every registered stack must do besides decoding its frames, at
// this project's best speed, and nothing else: each frame but the reference
// resampled onto the canvas with the registration's own Lanczos-4 warp (plan
// and render, no residual correction: the least the warp does), and the job's
// result images written by the plumbing's own writer as the job writes them.
// Frames are decoded and registered before the clock starts; the CPU of each
// part is this process's (every thread, user + system) across that part.
//
//   bench_required_work --frames F... --reference K --canvas reference|all
//                       --write IMAGE... [--queued] [--sky MASK]
//
// --canvas reference: the reference frame's canvas (Sky Blend's sky stack);
// all: the canvas holding every frame (the hybrid stack). --write: images the
// job wrote (read first, untimed), written again into a directory of this
// run's own (made fresh, so no file of the job's can be replaced) and removed;
// --queued: as Sky Blend queues them (each on its own thread, the last on
// every core), otherwise one after another as the hybrid stack writes its one.
// --sky MASK: the warps timed again resampling only where each frame's sky
// lands (the mask above half, untouched by erosion), the first frame whole,
// as Sky Blend's sky stack renders them.
// The last line reads "required: warps W CPU_MS WALL_MS writes N CPU_MS WALL_MS
// sky CPU_MS WALL_MS" (sky -1 -1 without --sky).
#include "plumbing/plumbing.h"
#include "registration/registration.h"

#include "decode_floor.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Args {
  std::vector<std::string> frames, writes;
  int reference = 0;
  bool canvasHoldsAll = false;
  bool queued = false;
  std::string sky;
};

bool parse(int argc, char** argv, Args& a) {
  std::vector<std::string>* list = nullptr;
  std::string canvas;
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    const bool hasValue = i + 1 < argc;
    if (s == "--frames") list = &a.frames;
    else if (s == "--write") list = &a.writes;
    else if (s == "--queued") a.queued = true, list = nullptr;
    else if (s == "--reference" && hasValue) a.reference = std::atoi(argv[++i]), list = nullptr;
    else if (s == "--canvas" && hasValue) canvas = argv[++i], list = nullptr;
    else if (s == "--sky" && hasValue) a.sky = argv[++i], list = nullptr;
    else if (list && s.rfind("--", 0) != 0) list->push_back(s);
    else return false;
  }
  a.canvasHoldsAll = canvas == "all";
  return a.frames.size() >= 2 && a.reference >= 0 && a.reference < int(a.frames.size()) &&
         (canvas == "all" || canvas == "reference") && !a.writes.empty();
}

struct Part {
  double cpuMs = -1.0, wallMs = -1.0;
  int count = 0;
};

class Stopwatch {
 public:
  Stopwatch() : wall_(Clock::now()), cpu_(bench::processCpuMs()) {}
  void stop(Part& part) const {
    part.cpuMs = bench::processCpuMs() - cpu_;
    part.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - wall_).count();
  }

 private:
  Clock::time_point wall_;
  double cpu_;
};

// Frames 1.. planned and rendered onto the canvas, timed; wanted[i], where
// not empty, limits frame i's resampling to its pixels.
void warpAll(const std::vector<cv::Mat>& frames, const std::vector<cv::Mat>& transforms, const cv::Mat& toCanvas,
             cv::Size canvas, int offX, int offY, const cv::Mat& covered, const std::vector<cv::Mat>& wanted,
             Part& part) {
  cv::Mat warped, mask;
  NLLocalCorrectionStats stats;
  part.count = 0;
  const Stopwatch clock;
  for (size_t i = 1; i < frames.size(); ++i) {
    const NLCanvasWarp plan = NL_planWarpToCanvas(frames[i].size(), transforms[i], toCanvas, canvas.width,
                                                  canvas.height, NLStarMatchList(), offX, offY, stats);
    NL_renderWarpRows(plan, frames[i], cv::Range(0, canvas.height), warped, mask, covered, wanted[i]);
    ++part.count;
  }
  clock.stop(part);
}

// Every frame but the reference onto the canvas. The frames are registered
// on the reference first (untimed), so the warps follow the sky's real drift.
bool timeWarps(const Args& a, Part& part, Part& skyPart) {
  std::vector<cv::Mat> frames{cv::imread(a.frames[size_t(a.reference)], cv::IMREAD_UNCHANGED)};
  for (size_t i = 0; i < a.frames.size(); ++i)
    if (int(i) != a.reference) frames.push_back(cv::imread(a.frames[i], cv::IMREAD_UNCHANGED));
  for (size_t i = 0; i < frames.size(); ++i)
    if (frames[i].empty()) return std::fprintf(stderr, "could not decode a frame\n"), false;
  const NLStackTransforms t = NL_computeStackTransforms(frames, NL_kStackRegistration);
  if (!t.ok) return std::fprintf(stderr, "registration failed: %s\n", t.error.c_str()), false;
  cv::Size canvas = frames[0].size();
  int offX = 0, offY = 0;
  if (a.canvasHoldsAll) {
    canvas = cv::Size(int(std::ceil(t.maxX - t.minX)), int(std::ceil(t.maxY - t.minY)));
    offX = int(std::ceil(-t.minX));
    offY = int(std::ceil(-t.minY));
  }
  cv::Mat toCanvas = cv::Mat::eye(3, 3, CV_64F);
  toCanvas.at<double>(0, 2) = offX;
  toCanvas.at<double>(1, 2) = offY;
  const cv::Mat covered(frames[0].size(), CV_8UC1, cv::Scalar(255));  // kept, as the stacks keep it
  const std::vector<cv::Mat> none(frames.size());
  warpAll(frames, t.transforms, toCanvas, canvas, offX, offY, covered, none, part);
  std::printf("canvas %dx%d, %d warps of %dx%d frames\n", canvas.width, canvas.height, part.count, frames[0].cols,
              frames[0].rows);
  if (a.sky.empty()) return true;
  const cv::Mat sky = cv::imread(a.sky, cv::IMREAD_GRAYSCALE);
  if (sky.size() != frames[0].size()) return std::fprintf(stderr, "the sky mask does not fit the frames\n"), false;
  std::vector<cv::Mat> wanted(frames.size());
  double share = 0.0;
  for (size_t i = 2; i < frames.size(); ++i) {  // the first frame warped stays whole
    cv::warpPerspective(sky, wanted[i], toCanvas * t.transforms[i], canvas, cv::INTER_NEAREST, cv::BORDER_CONSTANT, 0);
    cv::threshold(wanted[i], wanted[i], 127, 255, cv::THRESH_BINARY);
    share += cv::countNonZero(wanted[i]) / double(canvas.area()) / double(frames.size() - 2);
  }
  warpAll(frames, t.transforms, toCanvas, canvas, offX, offY, covered, wanted, skyPart);
  std::printf("sky only: %.0f %% of the canvas in the frames after the first\n", 100.0 * share);
  return true;
}

// The job's result images written again, as the job writes them.
bool timeWrites(const Args& a, const fs::path& scratch, Part& part) {
  std::vector<cv::Mat> images;
  for (const std::string& path : a.writes) {
    images.push_back(cv::imread(path, cv::IMREAD_UNCHANGED));
    if (images.back().empty()) return std::fprintf(stderr, "could not read the result %s\n", path.c_str()), false;
  }
  const NLIccProfile profile = NL_readIccProfile(a.frames[0]);
  std::vector<std::string> outputs;
  for (const std::string& path : a.writes) outputs.push_back((scratch / fs::path(path).filename()).string());
  bool ok = true;
  const Stopwatch clock;
  if (a.queued) {
    NLImageWriteQueue queue;
    for (size_t i = 0; i < images.size(); ++i)
      queue.add(outputs[i], images[i], "could not write " + outputs[i], profile, i + 1 == images.size());
    size_t failed = 0;
    std::string failure;
    ok = queue.finish(failed, failure);
    if (!ok) std::fprintf(stderr, "%s\n", failure.c_str());
  } else {
    for (size_t i = 0; i < images.size() && ok; ++i) {
      std::string why;
      ok = NL_writeImageFile(outputs[i], images[i], profile, &why);
      if (!ok) std::fprintf(stderr, "could not write %s: %s\n", outputs[i].c_str(), why.c_str());
    }
  }
  clock.stop(part);
  part.count = int(images.size());
  for (const std::string& out : outputs) {
    std::printf("wrote %s, %.1f MB\n", fs::path(out).filename().string().c_str(),
                ok ? double(fs::file_size(out)) / 1048576.0 : 0.0);
    fs::remove(out);
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  if (!parse(argc, argv, a)) {
    std::fprintf(stderr,
                 "usage: bench_required_work --frames F... --reference K --canvas reference|all --write IMAGE... "
                 "[--queued] [--sky MASK]\n");
    return 2;
  }
  std::string setup;
  NL_loadMinimalOpenCVDlls(setup);  // the threads a job runs with
  // A directory of its own: a rewritten result must never land on the job's.
  const fs::path scratch = fs::temp_directory_path() / ("lumivex_required_work_" + std::to_string(::getpid()));
  std::error_code made;
  if (!fs::create_directory(scratch, made)) {
    std::fprintf(stderr, "could not make a fresh directory %s\n", scratch.string().c_str());
    return 1;
  }
  Part warps, writes, sky;
  const bool ok = timeWarps(a, warps, sky) && timeWrites(a, scratch, writes);
  fs::remove_all(scratch);
  if (!ok) return 1;
  std::printf("required: warps %d %.1f %.1f writes %d %.1f %.1f sky %.1f %.1f\n", warps.count, warps.cpuMs,
              warps.wallMs, writes.count, writes.cpuMs, writes.wallMs, sky.cpuMs, sky.wallMs);
  return 0;
}
