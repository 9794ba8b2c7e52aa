// Star Trail build-up: what writing the image as it builds up costs, in
// time per frame against the decode floor and against the same job without
// build-up (measured in the same run), and in peak memory at each frame count.
//
//   bench_buildup [WIDTHxHEIGHT] [FRAMES...] [--direct]    default 1600x1066 60 300
//
// --direct leaves out the rejection path ("medium"), which otherwise runs at
// frame counts up to 60.
//
// The night is 30 rendered 16-bit LZW frames, named again and again (hard
// links) up to the frame count: the direct Lighten path reads each name as a
// frame of its own. Each job runs in a child process, so its peak memory is
// its own.
#include "startrail/startrail.h"
#include "synth/synth.h"

#include "trail_job_run.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>


namespace {

namespace fs = std::filesystem;

constexpr int kDistinctFrames = 30;


std::vector<std::string> nightFrames(cv::Size size, int count) {
  const fs::path dir = fs::temp_directory_path() /
                       ("lumivex_bench_buildup_" + std::to_string(size.width) + "x" + std::to_string(size.height));
  if (!fs::exists(dir / "complete")) {
    fs::create_directories(dir);
    synth::TrailSettings settings;
    settings.size = size;
    settings.frames = kDistinctFrames;
    const synth::Scene scene = synth::makeTrailScene(settings);
    for (int i = 0; i < kDistinctFrames; ++i)
      cv::imwrite((dir / ("frame_" + std::to_string(i) + ".tif")).string(), scene.frames[size_t(i)]);
    std::ofstream(dir / "complete") << "frames=" << kDistinctFrames << "\n";
  }
  std::vector<std::string> frames;
  for (int i = 0; i < count; ++i) {
    const fs::path name = dir / ("night_" + std::to_string(i) + ".tif");
    if (!fs::exists(name)) fs::create_hard_link(dir / ("frame_" + std::to_string(i % kDistinctFrames) + ".tif"), name);
    frames.push_back(name.string());
  }
  return frames;
}


struct Case {
  const char* name;
  const char* mode;     // rejection mode
  const char* buildUp;  // extra keys; empty: no build-up
};

std::string writeJob(const std::vector<std::string>& frames, const Case& c, const fs::path& out) {
  fs::remove_all(out);
  fs::create_directories(out);
  const std::string job = (out / "startrail_job_native.json").string();
  std::ofstream f(job);
  f << "{\"inputs\": [";
  for (size_t i = 0; i < frames.size(); ++i) f << (i ? ", " : "") << "\"" << frames[i] << "\"";
  f << "], \"output\": \"" << (out / "result.tif").string() << "\", \"rejectionMode\": \"" << c.mode << "\"";
  std::string extra = c.buildUp;
  for (size_t at; (at = extra.find("DIR")) != std::string::npos;) extra.replace(at, 3, out.string());
  f << extra << "}";
  return job;
}

using Figures = benchsupport::TrailJobFigures;
using benchsupport::runTrailJob;
using benchsupport::trailDecodeFloor;

const Case kCases[] = {
    {"direct", "off", ""},
    {"direct + tif every 1", "off", ", \"buildUpOutput\": \"DIR/growing\""},
    {"direct + tif every 10", "off", ", \"buildUpOutput\": \"DIR/growing\", \"buildUpEvery\": 10"},
    {"direct + jpg + mp4", "off", ", \"buildUpOutput\": \"DIR/growing\", \"buildUpFormat\": \"jpg\", \"buildUpVideo\": \"DIR/night.mp4\""},
    {"medium", "medium", ""},
    {"medium + tif every 1", "medium", ", \"buildUpOutput\": \"DIR/growing\""},
};

}  // namespace

int main(int argc, char** argv) {
  cv::Size size{1600, 1066};
  std::vector<int> counts;
  bool directOnly = false;
  for (int a = 1; a < argc; ++a) {
    int w = 0, h = 0;
    if (std::string(argv[a]) == "--direct") directOnly = true;
    else if (std::sscanf(argv[a], "%dx%d", &w, &h) == 2) size = {w, h};
    else counts.push_back(std::atoi(argv[a]));
  }
  if (counts.empty()) counts = {60, 300};
  const std::vector<std::string> all = nightFrames(size, *std::max_element(counts.begin(), counts.end()));
  const fs::path out = fs::temp_directory_path() / "lumivex_bench_buildup_out";
  const double frameMegabytes = double(size.area()) * 6.0 / 1048576.0;
  double load[3] = {0, 0, 0};
#if defined(__unix__) || defined(__APPLE__)
  getloadavg(load, 3);
#endif
  std::printf("Star Trail build-up at %dx%d 16-bit RGB (%.1f MB a frame), %u logical threads, load %.2f %.2f %.2f\n",
              size.width, size.height, frameMegabytes, std::thread::hardware_concurrency(), load[0], load[1], load[2]);
  for (int n : counts) {
    const std::vector<std::string> frames(all.begin(), all.begin() + n);
    trailDecodeFloor(frames);  // warms the file cache, as the jobs find it warm
    const double floor = trailDecodeFloor(frames);
    std::printf("%d frames: decode floor %.0f ms (%.1f ms/frame)\n", n, floor * 1e3, floor * 1e3 / n);
    double plain[2] = {0, 0};  // seconds and peak of the job without build-up, per path
    for (const Case& c : kCases) {
      // the rejection path's registration of 300 frames would take the run's whole budget
      if (std::string(c.mode) != "off" && (n > 60 || directOnly)) continue;
      const Figures f = runTrailJob(writeJob(frames, c, out));
      const bool base = std::string(c.buildUp).empty();
      if (base) plain[0] = f.seconds, plain[1] = f.peakMegabytes;
      std::printf("  %-24s %7.1f ms/frame  %5.2fx floor  %5.2fx without  peak %5.0f MB (%+5.0f MB, %+.2f frames)%s\n",
                  c.name, f.seconds * 1e3 / n, f.seconds / floor, f.seconds / plain[0], f.peakMegabytes,
                  f.peakMegabytes - plain[1], (f.peakMegabytes - plain[1]) / frameMegabytes, f.ok ? "" : "  FAILED");
      std::fflush(stdout);
    }
  }
  fs::remove_all(out);
  return 0;
}
