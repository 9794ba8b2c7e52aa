// Hybrid stack job end to end through `lumivex run`: wall time beside the
// time to merely decode the same frames (measured in the same run), the
// job's peak memory, and the stack's quality against the scene's truth
// (background-matched PSNR, median star FWHM against the best frame).
//
// The floor is measured three times: by this process one frame at a time, by
// two forked processes at once and by two freshly started decoder programs
// (bench/decode_floor.h); after the job, the work it cannot avoid besides
// decoding (bench_required_work: its warps and its stack's write). With
// --repeat N the floors, the job and the required work run N times, interleaved.
//
//   bench_hybrid [--frames 12] [--size 3000x2000] [--depth 16] [--lzw] [--repeat N]
//                [--method registered-sigma-homography] [--dir DIR] [--keep]
#include "child_run.h"
#include "decode_floor.h"
#include "required_work.h"
#include "synth/synth.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#define LUMIVEX_BENCH_POSIX 1
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  int frames = 12;
  cv::Size size{3000, 2000};
  int bits = 16;
  std::string method = "registered-sigma-homography";
  std::string dir;
  bool keep = false;
  bool lzw = false;  // frames LZW-compressed, as an editor exports them
  int repeat = 1;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--keep") o.keep = true;
    else if (a == "--lzw") o.lzw = true;
    else if (a == "--frames" && hasValue) o.frames = std::atoi(argv[++i]);
    else if (a == "--repeat" && hasValue) o.repeat = std::max(1, std::atoi(argv[++i]));
    else if (a == "--depth" && hasValue) o.bits = std::atoi(argv[++i]);
    else if (a == "--method" && hasValue) o.method = argv[++i];
    else if (a == "--dir" && hasValue) o.dir = argv[++i];
    else if (a == "--size" && hasValue && std::sscanf(argv[++i], "%dx%d", &o.size.width, &o.size.height) == 2) continue;
    else return false;
  }
  return o.frames >= 2 && (o.bits == 8 || o.bits == 16);
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

using benchsupport::ChildRun;
using benchsupport::runChild;

#ifdef LUMIVEX_BENCH_POSIX
double ownCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return benchsupport::cpuSecondsOf(u);
}
#else
double ownCpuSeconds() { return 0.0; }
#endif

using benchsupport::logInt;

cv::Mat greyFloat(const cv::Mat& image) {
  cv::Mat grey = image, out;
  if (image.channels() == 3) cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(out, CV_32F);
  return out;
}

// PSNR after the sky is matched: frames differ in sky level and gradient by
// design, so the smooth part of the difference is removed first. "sky" keeps
// only the pixels between stars (noise and satellites); "all" also counts the
// star profiles, where resampling and the mix of seeing reshape bright cores.
cv::Mat detailDifference(const cv::Mat& image, const cv::Mat& truth) {
  cv::Mat diff = greyFloat(image) - greyFloat(truth), smooth;
  cv::GaussianBlur(diff, smooth, cv::Size(0, 0), 25.0);
  return diff - smooth;
}

double backgroundMatchedPsnr(const cv::Mat& image, const cv::Mat& truth, double fullScale, bool skyOnly) {
  const cv::Mat diff = detailDifference(image, truth);
  const cv::Rect inner(40, 40, diff.cols - 80, diff.rows - 80);
  cv::Mat sky = cv::Mat::ones(diff.size(), CV_8U);
  if (skyOnly) {
    sky = cv::abs(detailDifference(truth, cv::Mat::zeros(truth.size(), truth.type()))) < 0.002 * fullScale;
    cv::erode(sky, sky, cv::Mat(), cv::Point(-1, -1), 3);
  }
  const double mse = cv::mean(diff(inner).mul(diff(inner)), sky(inner))[0];
  return 10.0 * std::log10(fullScale * fullScale / mse);
}

// Moment FWHM of one star: 2.3548 sigma of the background-subtracted patch.
double momentFwhm(const cv::Mat& grey, cv::Point2d p) {
  const int r = 6;
  const int cx = int(std::lround(p.x)), cy = int(std::lround(p.y));
  if (cx - r - 2 < 0 || cy - r - 2 < 0 || cx + r + 2 >= grey.cols || cy + r + 2 >= grey.rows) return -1.0;
  std::vector<float> ring;
  for (int y = cy - r - 2; y <= cy + r + 2; ++y)
    for (int x = cx - r - 2; x <= cx + r + 2; ++x)
      if (std::abs(x - cx) > r || std::abs(y - cy) > r) ring.push_back(grey.at<float>(y, x));
  std::nth_element(ring.begin(), ring.begin() + ring.size() / 2, ring.end());
  const double bg = ring[ring.size() / 2];
  double w = 0, mx = 0, my = 0, m2 = 0;
  for (int y = cy - r; y <= cy + r; ++y)
    for (int x = cx - r; x <= cx + r; ++x) {
      const double v = std::max(0.0, grey.at<float>(y, x) - bg);
      w += v, mx += v * x, my += v * y;
    }
  if (!(w > 0)) return -1.0;
  mx /= w, my /= w;
  for (int y = cy - r; y <= cy + r; ++y)
    for (int x = cx - r; x <= cx + r; ++x) {
      const double v = std::max(0.0, grey.at<float>(y, x) - bg);
      m2 += v * ((x - mx) * (x - mx) + (y - my) * (y - my));
    }
  return w > 0 ? 2.3548 * std::sqrt(m2 / (2.0 * w)) : -1.0;
}

// Median FWHM over bright, unsaturated, isolated stars of a frame's truth list.
double medianFwhm(const cv::Mat& image, const std::vector<synth::FrameStar>& stars, cv::Point2d offset) {
  const cv::Mat grey = greyFloat(image);
  std::vector<double> fwhm;
  for (size_t i = 0; i < stars.size(); ++i) {
    const synth::FrameStar& s = stars[i];
    if (s.saturated || s.flux < 0.5 || s.flux > 5.0) continue;
    bool isolated = true;
    for (size_t j = 0; j < stars.size() && isolated; ++j)
      isolated = j == i || cv::norm(stars[j].position - s.position) > 14.0 || stars[j].flux < 0.05 * s.flux;
    if (!isolated) continue;
    const double f = momentFwhm(grey, s.position + offset);
    if (f > 0) fwhm.push_back(f);
  }
  if (fwhm.empty()) return -1.0;
  std::nth_element(fwhm.begin(), fwhm.begin() + fwhm.size() / 2, fwhm.end());
  return fwhm[fwhm.size() / 2];
}

// Where the reference frame sits on the stack's canvas: it is never resampled.
cv::Point findOffset(const cv::Mat& stack, const cv::Mat& reference) {
  const cv::Mat s = greyFloat(stack), r = greyFloat(reference);
  const cv::Rect centre(r.cols / 4, r.rows / 4, r.cols / 2, r.rows / 2);
  cv::Mat score;
  cv::matchTemplate(s, r(centre), score, cv::TM_CCOEFF_NORMED);
  cv::Point best;
  cv::minMaxLoc(score, nullptr, nullptr, nullptr, &best);
  return best - centre.tl();
}

void reportQuality(const synth::Scene& scene, const std::string& output, int refIndex, double fullScale) {
  const cv::Mat stack = cv::imread(output, cv::IMREAD_UNCHANGED);
  if (stack.empty() || refIndex < 0) {
    std::cout << "quality: no stacked image to measure\n";
    return;
  }
  const cv::Mat& ref = scene.frames[refIndex];
  const cv::Point off = findOffset(stack, ref);
  synth::FrameSettings clean;
  clean.size = ref.size();
  clean.bits = ref.depth() == CV_16U ? 16 : 8;
  clean.fwhm = scene.truth[refIndex].fwhm;
  clean.noise = false;
  const cv::Mat truth = synth::renderFrame(scene.stars, scene.truth[refIndex].frameToReference, clean, 0);
  const cv::Mat onFrame = stack(cv::Rect(off, ref.size()));
  double bestFwhm = 1e9;
  for (size_t i = 0; i < scene.frames.size(); ++i)
    bestFwhm = std::min(bestFwhm, medianFwhm(scene.frames[i], scene.truth[i].stars, {0, 0}));
  const double stackFwhm = medianFwhm(stack, scene.truth[refIndex].stars, cv::Point2d(off));
  std::printf("reference frame %d at canvas offset (%d, %d)\n", refIndex + 1, off.x, off.y);
  for (const bool sky : {true, false})
    std::printf("PSNR vs noiseless truth (%s): reference frame %.2f dB, stack %.2f dB\n",
                sky ? "sky between stars" : "all pixels", backgroundMatchedPsnr(ref, truth, fullScale, sky),
                backgroundMatchedPsnr(onFrame, truth, fullScale, sky));
  std::printf("median star FWHM: best frame %.3f px, stack %.3f px (%.3fx)\n", bestFwhm, stackFwhm,
              stackFwhm / bestFwhm);
}

// The required work of this job: every frame but its reference warped onto
// the canvas that holds them all, and its one stack written.
bench::RequiredWork requiredWork(const std::vector<std::string>& frames, int reference, const std::string& dir) {
  std::vector<std::string> args{"--frames"};
  args.insert(args.end(), frames.begin(), frames.end());
  args.insert(args.end(), {"--reference", std::to_string(std::max(reference, 0)), "--canvas", "all", "--write",
                           (fs::path(dir) / "stack_result.tif").string()});
  return bench::runRequiredWork(args, (fs::path(dir) / "required_work.out").string());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::cerr << "usage: bench_hybrid [--frames N] [--size WxH] [--depth 8|16] [--method M] [--dir DIR] [--keep] [--lzw]"
                 " [--repeat N]\n";
    return 2;
  }
  const std::string dir = o.dir.empty() ? (fs::temp_directory_path() / ("lumivex_bench_hybrid_" + std::to_string(getpid()))).string() : o.dir;
  synth::StackSettings s;
  s.size = o.size;
  s.frames = o.frames;
  s.bits = o.bits;
  Clock::time_point start = Clock::now();
  const synth::Scene scene = synth::makeStackScene(s);
  synth::SceneFiles files;
  std::string error;
  if (!synth::writeSceneFiles(scene, dir, files, error, o.lzw)) {
    std::cerr << "bench_hybrid: " << error << "\n";
    return 1;
  }
  std::printf("scene: %d frames of %dx%d %d-bit%s in %s (%.1f s)\n", o.frames, o.size.width, o.size.height, o.bits,
              o.lzw ? " LZW" : "", dir.c_str(), secondsSince(start));
  std::string job = readAll(files.job);
  job.replace(job.find("method=auto"), 11, "method=" + o.method);
  std::ofstream(files.job, std::ios::binary | std::ios::trunc) << job;

  ChildRun run;
  std::string log;
  bool floorsOk = true;
  for (int r = 0; r < o.repeat; ++r) {
    if (o.repeat > 1) std::printf("-- run %d of %d\n", r + 1, o.repeat);
    bench::printLoadAverage("");
    start = Clock::now();
    const double cpuBefore = ownCpuSeconds();
    for (const std::string& f : files.frames) cv::imread(f, cv::IMREAD_UNCHANGED);
    const double floor = secondsSince(start);
    const double floorCpu = ownCpuSeconds() - cpuBefore;
    const bench::FloorRun floor2 = bench::twoProcessDecodeFloor(files.frames);
    const bench::FloorRun fresh = bench::freshProcessDecodeFloor(files.frames);
    run = runChild({LUMIVEX_EXE, "run", files.job, "--quiet"}, (fs::path(dir) / "run_out.txt").string());
    log = readAll((fs::path(dir) / "stack_result_log.txt").string());
    std::printf("decode floor, one process: %.2f s wall, %.2f s CPU\n", floor, floorCpu);
    if (floor2.ok)
      std::printf("decode floor, two processes: %.2f s wall, %.2f s CPU, %ld page faults\n", floor2.wallMs / 1e3,
                  floor2.cpuMs / 1e3, floor2.minorFaults);
    else
      std::printf("decode floor, two processes: %s\n", bench::floorText(floor2).c_str());
    std::printf("decode floor, two fresh processes: %s\n", bench::floorText(fresh).c_str());
    std::printf("lumivex run: exit %d, %.2f s wall (%s the two-process floor), %.2f s CPU (%s), "
                "%.2f s system, %ld page faults, peak memory %.0f MiB\n",
                run.status, run.seconds, bench::ratioText(run.seconds * 1e3, floor2.wallMs, floor2.ok).c_str(),
                run.cpuSeconds, bench::ratioText(run.cpuSeconds * 1e3, floor2.cpuMs, floor2.ok).c_str(),
                run.systemSeconds, run.minorFaults, run.peakMiB);
    bench::printAgainstFloors("  ", run.seconds * 1e3, run.cpuSeconds * 1e3, floor2, fresh);
    floorsOk = floorsOk && floor2.ok && fresh.ok;
    for (const char* key : {"timingQualityMs = ", "timingAlignmentMs = ", "timingStackMs = ", "timingSigmaLoadMs = ",
                            "timingSigmaTransformMs = ", "timingSigmaWarpMs = ", "timingSigmaCombineMs = ",
                            "timingSigmaWriteMs = ", "Used frames after alignment gate: "})
      if (log.find(key) != std::string::npos) std::printf("  %s%d\n", key, logInt(log, key));
    if (run.status == 0) {
      const bench::RequiredWork required = requiredWork(files.frames, logInt(log, "original frame ") - 1, dir);
      bench::printRequiredWork(required, floor2, fresh);
      floorsOk = floorsOk && required.ok;
    }
  }
  reportQuality(scene, (fs::path(dir) / "stack_result.tif").string(), logInt(log, "original frame ") - 1,
                o.bits == 16 ? 65535.0 : 255.0);
  if (!o.keep) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  return run.status == 0 && floorsOk ? 0 : 1;
}
