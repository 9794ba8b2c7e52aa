// A rendered sequence kept under the temp folder between benchmark runs.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace benchsupport {

struct CachedFrames {
  std::filesystem::path dir;        // <temp>/<name>_<W>x<H>_<count>[_raw]
  std::vector<std::string> frames;  // dir/frame_<i>.tif
  bool ready = false;               // rendered whole by an earlier run (its "complete" marker)
};

// The folder and frame paths; when not ready, the folder exists and the
// rendering is announced on stdout. The renderer writes "complete" at the end.
inline CachedFrames cachedFrames(const std::string& name, cv::Size size, int count, bool uncompressed) {
  CachedFrames c;
  c.dir = std::filesystem::temp_directory_path() / (name + "_" + std::to_string(size.width) + "x" +
                                                    std::to_string(size.height) + "_" + std::to_string(count) +
                                                    (uncompressed ? "_raw" : ""));
  for (int i = 0; i < count; ++i) c.frames.push_back((c.dir / ("frame_" + std::to_string(i) + ".tif")).string());
  c.ready = std::filesystem::exists(c.dir / "complete");
  if (c.ready) return c;
  std::filesystem::create_directories(c.dir);
  std::printf("rendering %d frames at %dx%d into %s\n", count, size.width, size.height, c.dir.string().c_str());
  std::fflush(stdout);
  return c;
}

// The arguments of a sequence benchmark: [WIDTHxHEIGHT] [FRAMES...]
// [--uncompressed], and the benchmark's own flags.
struct SequenceArgs {
  cv::Size size;
  std::vector<int> counts;  // the defaults when none is given
  bool uncompressed = false;
  std::vector<std::string> flags;  // other arguments starting with "--"
  int most() const { return *std::max_element(counts.begin(), counts.end()); }
  bool has(const std::string& flag) const { return std::find(flags.begin(), flags.end(), flag) != flags.end(); }
  const char* compression() const { return uncompressed ? "uncompressed" : "LZW"; }
};
inline SequenceArgs sequenceArgs(int argc, char** argv, cv::Size size, std::vector<int> counts) {
  SequenceArgs a{size, {}, false, {}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    int w = 0, h = 0;
    if (arg == "--uncompressed") a.uncompressed = true;
    else if (arg.rfind("--", 0) == 0) a.flags.push_back(arg);
    else if (std::sscanf(argv[i], "%dx%d", &w, &h) == 2) a.size = {w, h};
    else a.counts.push_back(std::atoi(argv[i]));
  }
  if (a.counts.empty()) a.counts = std::move(counts);
  return a;
}

// The TIFF writer's options for a sequence's frames: LZW (its default) or none.
inline std::vector<int> frameWriteParams(bool uncompressed) {
  return uncompressed ? std::vector<int>{cv::IMWRITE_TIFF_COMPRESSION, 1} : std::vector<int>{};
}

// Writes the frames into dir as frame_<i>.tif; their paths.
inline std::vector<std::string> writeFrames(const std::vector<cv::Mat>& images, const std::filesystem::path& dir) {
  std::vector<std::string> frames;
  for (size_t i = 0; i < images.size(); ++i) {
    frames.push_back((dir / ("frame_" + std::to_string(i) + ".tif")).string());
    cv::imwrite(frames.back(), images[i]);
  }
  return frames;
}

// The first line of a sequence benchmark's figures: what, the frames, the
// machine's threads and its load average (the other work the timings share
// the cores with).
inline void printSequenceHeader(const std::string& what, const SequenceArgs& a) {
  double load[3] = {0, 0, 0};
#if defined(__unix__) || defined(__APPLE__)
  if (getloadavg(load, 3) < 0) load[0] = load[1] = load[2] = 0;
#endif
  std::printf("%s at %dx%d, 16-bit %s, %u logical threads, load average %.2f %.2f %.2f\n", what.c_str(), a.size.width,
              a.size.height, a.compression(), std::thread::hardware_concurrency(), load[0], load[1], load[2]);
  std::fflush(stdout);
}

}  // namespace benchsupport
