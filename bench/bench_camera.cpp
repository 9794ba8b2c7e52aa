// Frames as cameras write them: decoding a camera RAW (DNG) frame beside
// the TIFF of the same picture, and a Star Trail job on DNG frames as a
// ratio to the floor of merely decoding those files (measured in the same
// run, interleaved, so both see the same load on a shared machine).
//
//   bench_camera [WIDTHxHEIGHT] [FRAMES]     default 6000x4000 (24 MP) and 8 frames
//
// Each decode runs in a child process of its own: wall time, CPU time (the
// RAW decoder may use more than one core) and the child's peak memory.
#include "plumbing/plumbing.h"
#include "synth/synth.h"

#include "camera_files.h"
#include "child_run.h"
#include "decode_floor.h"
#include "trail_job_run.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct DecodeFigures {
  double wallMs = 0, cpuMs = 0, peakMegabytes = 0;
  bool ok = false;
};

bool decodeRaw(const std::string& path) { return !NL_imreadWithRetry(path, cv::IMREAD_UNCHANGED, 0, 0).empty(); }

// The median of three runs of one read, each in a fresh child.
DecodeFigures timeRead(const std::function<bool()>& read) {
  std::vector<DecodeFigures> runs;
  for (int k = 0; k < 3; ++k) {
    double peak = 0;
    bool whole = true;
    rusage usage{};
    struct Result {
      double ms;
      bool ok;
    };
    const Result r = benchsupport::runInChild<Result>(
        [&] {
          const auto t0 = std::chrono::steady_clock::now();
          const bool ok = read();
          return Result{std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(), ok};
        },
        peak, whole, &usage);
    runs.push_back({r.ms, bench::rusageCpuMs(usage), peak, r.ok && whole});
  }
  std::sort(runs.begin(), runs.end(), [](const DecodeFigures& a, const DecodeFigures& b) { return a.wallMs < b.wallMs; });
  return runs[1];
}

void print(const char* name, const DecodeFigures& f, double baseMs) {
  std::printf("  %-34s %7.0f ms  %5.2fx  CPU %7.0f ms  peak %6.0f MB%s\n", name, f.wallMs, f.wallMs / baseMs, f.cpuMs,
              f.peakMegabytes, f.ok ? "" : "  FAILED");
  std::fflush(stdout);
}

// The synthetic trail scene as DNG frames (a Bayer mosaic of each frame,
// seen before the camera's white balance) under the temp folder, kept
// between runs, and the first frame's camera rendering as TIFF beside them.
std::vector<std::string> dngFrames(cv::Size size, int count, std::string& tiff, std::string& tiffLzw) {
  const fs::path dir = fs::temp_directory_path() / ("lumivex_bench_camera_" + std::to_string(size.width) + "x" +
                                                    std::to_string(size.height) + "_" + std::to_string(count));
  std::vector<std::string> frames;
  for (int i = 0; i < count; ++i) frames.push_back((dir / ("IMG_" + std::to_string(1000 + i) + ".dng")).string());
  tiff = (dir / "picture.tif").string();
  tiffLzw = (dir / "picture_lzw.tif").string();
  if (fs::exists(dir / "complete")) return frames;
  fs::create_directories(dir);
  std::printf("rendering %d frames at %dx%d into %s\n", count, size.width, size.height, dir.string().c_str());
  std::fflush(stdout);
  // Rendered in a child: the RAW decoder's OpenMP threads, once started,
  // would hang the children every later case forks.
  const auto render = [&] {
    synth::TrailSettings settings;
    settings.size = size;
    settings.frames = count;
    const synth::Scene scene = synth::makeTrailScene(settings);
    for (int i = 0; i < count; ++i) {
      camerafiles::Dng d;
      scene.frames[size_t(i)].convertTo(d.scene, CV_32F, 1.0 / 65535);
      cv::multiply(d.scene, cv::Scalar(d.neutral[2], d.neutral[1], d.neutral[0]), d.scene);
      const int second = 30 * i;
      char when[32];
      std::snprintf(when, sizeof when, "2026:08:12 %02d:%02d:%02d", 22 + second / 3600, second / 60 % 60, second % 60);
      d.shot.original = when;
      std::ofstream(frames[size_t(i)], std::ios::binary) << camerafiles::dngFile(d);
    }
    const cv::Mat picture = NL_imreadWithRetry(frames[0], cv::IMREAD_UNCHANGED, 0, 0);
    cv::imwrite(tiff, picture, {cv::IMWRITE_TIFF_COMPRESSION, 1});
    cv::imwrite(tiffLzw, picture);
    return true;
  };
  double peak = 0;
  bool whole = true;
  benchsupport::runInChild<bool>(render, peak, whole);
  std::ofstream(dir / "complete") << "frames=" << count << "\n";
  return frames;
}


void decodes(const std::vector<std::string>& frames, const std::string& tiff, const std::string& tiffLzw) {
  const std::string dng = frames[0];
  std::printf("one frame (median of three, each in a child process):\n");
  const DecodeFigures plain = timeRead([&] { return !cv::imread(tiff, cv::IMREAD_UNCHANGED).empty(); });
  print("TIFF uncompressed (cv::imread)", plain, plain.wallMs);
  print("TIFF LZW (cv::imread)", timeRead([&] { return !cv::imread(tiffLzw, cv::IMREAD_UNCHANGED).empty(); }),
        plain.wallMs);
  print("DNG, camera rendering", timeRead([&] { return decodeRaw(dng); }), plain.wallMs);
  print("DNG, linear rendering", timeRead([&] {
          const NLRawRenderingScope linear({dng}, NLRawRendering::Linear);
          return decodeRaw(dng);
        }),
        plain.wallMs);
  cv::Size size;
  print("DNG size before unpacking", timeRead([&] { return NL_readImageHeaderSize(dng, size); }), plain.wallMs);
  print("DNG capture time (EXIF)", timeRead([&] { return NL_readCaptureInfo(dng).hasTime; }), plain.wallMs);
}

void trail(const std::vector<std::string>& frames) {
  const std::string dir = fs::path(frames[0]).parent_path().string();
  const int n = int(frames.size());
  bench::twoProcessDecodeFloor(frames, decodeRaw);  // warms the file cache, as the jobs find it warm
  const bench::FloorRun floor = bench::twoProcessDecodeFloor(frames, decodeRaw);
  std::printf("%d DNG frames: decode floor %8.0f ms  (%.0f ms/frame)  CPU %.0f ms%s\n", n, floor.wallMs,
              floor.wallMs / n, floor.cpuMs, floor.ok ? "" : "  FAILED");
  for (const char* mode : {"off", "medium"}) {
    const benchsupport::TrailJobFigures f = benchsupport::runTrailJob(benchsupport::writeTrailJob(frames, mode, dir));
    std::printf("  trail %-7s %8.0f ms  %5.2fx floor  %6.0f ms/frame  CPU %6.0f ms (%4.2fx floor)  peak %5.0f MB%s\n",
                mode, f.seconds * 1e3, f.seconds * 1e3 / floor.wallMs, f.seconds * 1e3 / n, f.cpuMs,
                floor.cpuMs > 0 ? f.cpuMs / floor.cpuMs : 0.0, f.peakMegabytes, f.ok ? "" : "  FAILED");
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!NL_rawDecoderAvailable()) {
    std::printf("this build reads no camera RAW (built without LibRaw)\n");
    return 0;
  }
  cv::Size size{6000, 4000};
  int count = 8;
  for (int a = 1; a < argc; ++a) {
    int w = 0, h = 0;
    if (std::sscanf(argv[a], "%dx%d", &w, &h) == 2) size = {w, h};
    else count = std::max(2, std::atoi(argv[a]));
  }
  std::string tiff, tiffLzw;
  const std::vector<std::string> frames = dngFrames(size, count, tiff, tiffLzw);
  double load[3] = {0, 0, 0};
#if defined(__unix__) || defined(__APPLE__)
  getloadavg(load, 3);
#endif
  std::printf("Camera frames at %dx%d (%.1f MP), load average %.2f %.2f %.2f\n", size.width, size.height,
              size.area() / 1e6, load[0], load[1], load[2]);
  decodes(frames, tiff, tiffLzw);
  trail(frames);
  return 0;
}
