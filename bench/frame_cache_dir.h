// A rendered sequence kept under the temp folder between benchmark runs.
#pragma once

#include <opencv2/core.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
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

// The arguments of a sequence benchmark: [WIDTHxHEIGHT] [FRAMES...] [--uncompressed].
struct SequenceArgs {
  cv::Size size;
  std::vector<int> counts;  // the defaults when none is given
  bool uncompressed = false;
};
inline SequenceArgs sequenceArgs(int argc, char** argv, cv::Size size, std::vector<int> counts) {
  SequenceArgs a{size, {}, false};
  for (int i = 1; i < argc; ++i) {
    int w = 0, h = 0;
    if (std::string(argv[i]) == "--uncompressed") a.uncompressed = true;
    else if (std::sscanf(argv[i], "%dx%d", &w, &h) == 2) a.size = {w, h};
    else a.counts.push_back(std::atoi(argv[i]));
  }
  if (a.counts.empty()) a.counts = std::move(counts);
  return a;
}

}  // namespace benchsupport
