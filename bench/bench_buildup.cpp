// Star Trail build-up: what writing the image as it builds up costs, in
// time per frame against the decode floor and against the same job without
// build-up (measured in the same run), and in peak memory at each frame count.
//
//   bench_buildup [WIDTHxHEIGHT] [FRAMES...] [--uncompressed] [--direct] [--only=TEXT] [--heap]
//   default 1600x1066 60 300, LZW frames
//
// --direct leaves out the rejection path ("medium"), which otherwise runs at
// frame counts up to 60. --only=TEXT runs the jobs without build-up and those
// whose name holds TEXT. --heap lists the large blocks alive at each job's
// allocator peak, with the calls that made them.
//
// Peak memory is given twice: the resident set (the kernel's account of the
// child: freed memory the allocator keeps, libraries, mapped files) and the
// allocator's live peak (bytes handed out and not yet freed, at the worst
// moment), which does not move with the heap's layout from run to run.
//
// The night is 30 rendered 16-bit frames, named again and again (hard
// links) up to the frame count: the direct Lighten path reads each name as a
// frame of its own. Each job runs in a child process, so its peak memory is
// its own.
#include "startrail/startrail.h"
#include "synth/synth.h"

#include "frame_cache_dir.h"
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


std::vector<std::string> nightFrames(cv::Size size, int count, bool uncompressed) {
  const benchsupport::CachedFrames cache =
      benchsupport::cachedFrames("lumivex_bench_buildup", size, kDistinctFrames, uncompressed);
  if (!cache.ready)
    benchsupport::runApart([&] {
      synth::TrailSettings settings;
      settings.size = size;
      settings.frames = kDistinctFrames;
      const synth::Scene scene = synth::makeTrailScene(settings);
      for (int i = 0; i < kDistinctFrames; ++i)
        cv::imwrite(cache.frames[size_t(i)], scene.frames[size_t(i)], benchsupport::frameWriteParams(uncompressed));
      std::ofstream(cache.dir / "complete") << "frames=" << kDistinctFrames << "\n";
    });
  std::vector<std::string> frames;
  for (int i = 0; i < count; ++i) {
    const fs::path name = cache.dir / ("night_" + std::to_string(i) + ".tif");
    if (!fs::exists(name)) fs::create_hard_link(cache.frames[size_t(i % kDistinctFrames)], name);
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

// The decode floor in a child of its own: the buffers its decoders free
// would otherwise stay in this process, and every job's child would inherit
// them resident, to reuse without raising its peak or not, as its threads
// happen to meet them.
double decodeFloorApart(const std::vector<std::string>& frames) {
  double peak = 0.0;
  bool whole = true;
  return benchsupport::runInChild<double>([&frames] { return benchsupport::trailDecodeFloor(frames); }, peak, whole);
}

using Figures = benchsupport::TrailJobFigures;
using benchsupport::runTrailJob;

const Case kCases[] = {
    {"direct", "off", ""},
    {"direct + tif every 1", "off", ", \"buildUpOutput\": \"DIR/growing\""},
    {"direct + tif every 10", "off", ", \"buildUpOutput\": \"DIR/growing\", \"buildUpEvery\": 10"},
    {"direct + jpg every 1", "off", ", \"buildUpOutput\": \"DIR/growing\", \"buildUpFormat\": \"jpg\""},
    {"direct + avi", "off", ", \"buildUpVideo\": \"DIR/night.avi\""},
    {"direct + mp4", "off", ", \"buildUpVideo\": \"DIR/night.mp4\""},
    {"direct + jpg + mp4", "off", ", \"buildUpOutput\": \"DIR/growing\", \"buildUpFormat\": \"jpg\", \"buildUpVideo\": \"DIR/night.mp4\""},
    {"medium", "medium", ""},
    {"medium + tif every 1", "medium", ", \"buildUpOutput\": \"DIR/growing\""},
};

}  // namespace

int main(int argc, char** argv) {
  const benchsupport::SequenceArgs args = benchsupport::sequenceArgs(argc, argv, {1600, 1066}, {60, 300});
  const cv::Size size = args.size;
  const bool directOnly = args.has("--direct"), heapDetail = args.has("--heap");
  std::string only;
  for (const std::string& flag : args.flags)
    if (flag.rfind("--only=", 0) == 0) only = flag.substr(7);
  const std::vector<std::string> all = nightFrames(size, args.most(), args.uncompressed);
  const fs::path out = fs::temp_directory_path() / "lumivex_bench_buildup_out";
  const double frameMegabytes = double(size.area()) * 6.0 / 1048576.0;
  benchsupport::printSequenceHeader("Star Trail build-up", args);
  std::printf("%.1f MB a frame\n", frameMegabytes);
  for (int n : args.counts) {
    const std::vector<std::string> frames(all.begin(), all.begin() + n);
    decodeFloorApart(frames);  // warms the file cache, as the jobs find it warm
    const double floor = decodeFloorApart(frames);
    std::printf("%d frames: decode floor %.0f ms (%.1f ms/frame)\n", n, floor * 1e3, floor * 1e3 / n);
    double plain[4] = {0, 0, 0, 0};  // seconds, peak, live and touched peak of the job without build-up
    for (const Case& c : kCases) {
      // the rejection path's registration of 300 frames would take the run's whole budget
      if (std::string(c.mode) != "off" && (n > 60 || directOnly)) continue;
      const bool base = std::string(c.buildUp).empty();
      if (!base && !only.empty() && std::string(c.name).find(only) == std::string::npos) continue;
      const Figures f = runTrailJob(writeJob(frames, c, out), heapDetail);
      if (base) plain[0] = f.seconds, plain[1] = f.peakMegabytes, plain[2] = f.heapPeakMegabytes,
                  plain[3] = f.touchedPeakMegabytes;
      std::printf("  %-24s %7.1f ms/frame  %5.2fx floor  %5.2fx without  CPU %6.1f ms/frame  peak %5.0f MB "
                  "(%+5.0f MB, %+.2f frames)  live %6.1f MB (%+5.1f)  written %6.1f MB (%+5.1f)%s\n",
                  c.name, f.seconds * 1e3 / n, f.seconds / floor, f.seconds / plain[0], f.cpuMs / n, f.peakMegabytes,
                  f.peakMegabytes - plain[1], (f.peakMegabytes - plain[1]) / frameMegabytes, f.heapPeakMegabytes,
                  f.heapPeakMegabytes - plain[2], f.touchedPeakMegabytes, f.touchedPeakMegabytes - plain[3],
                  f.ok ? "" : "  FAILED");
      std::fflush(stdout);
    }
  }
  fs::remove_all(out);
  return 0;
}
