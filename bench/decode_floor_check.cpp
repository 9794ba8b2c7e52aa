// Checks that the decode floors give figures only when every decoder did its
// work: frames the decoders read give finite figures; a frame that cannot
// be read, a decoder program that cannot be started, or none at all, give
// no figure and no ratio, whichever floor it is.
//
//   decode_floor_check DIR   (a scratch folder, made when missing)
#include "decode_floor.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

int failures = 0;

void expect(bool condition, const std::string& what) {
  if (condition) return;
  std::fprintf(stderr, "decode_floor_check: %s\n", what.c_str());
  ++failures;
}

void expectFigures(const bench::FloorRun& run, const std::string& name) {
  expect(run.ok, name + ": the decoders failed on frames they can read");
  expect(std::isfinite(run.wallMs) && run.wallMs > 0.0, name + ": no wall time");
  expect(std::isfinite(run.cpuMs) && run.cpuMs >= 0.0, name + ": no CPU time");
  expect(bench::floorText(run).find("FAILED") == std::string::npos, name + ": a good floor printed as failed");
  expect(bench::ratioText(2.0 * run.wallMs, run.wallMs, run.ok) == "2.00x", name + ": the ratio to a good floor");
}

void expectRefusal(const bench::FloorRun& run, const std::string& name) {
  expect(!run.ok, name + ": reported as decoded");
  expect(std::isnan(run.wallMs) && std::isnan(run.cpuMs), name + ": a figure was given");
  expect(bench::floorText(run).rfind("FAILED", 0) == 0, name + ": printed as a figure");
  expect(bench::ratioText(1000.0, run.wallMs, run.ok) == "-", name + ": a ratio was given");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_floor_check DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  std::vector<std::string> frames;
  for (int i = 0; i < 3; ++i) {  // 16-bit colour and 8-bit grey, an odd count: one decoder gets more
    cv::Mat frame(40 + 8 * i, 56, i % 2 ? CV_8UC1 : CV_16UC3);
    cv::randu(frame, 0, i % 2 ? 255 : 65535);
    frames.push_back((dir / ("frame_" + std::to_string(i) + ".tif")).string());
    expect(cv::imwrite(frames.back(), frame), "could not write " + frames.back());
  }
  expectFigures(bench::twoProcessDecodeFloor(frames), "forked floor");
  expectFigures(bench::freshProcessDecodeFloor(frames), "fresh-process floor");
  expectFigures(bench::freshProcessDecodeFloor({frames[0]}), "fresh-process floor of one frame");

  std::vector<std::string> withMissing = frames;
  withMissing.insert(withMissing.begin() + 1, (dir / "missing.tif").string());  // the second decoder's share
  expectRefusal(bench::twoProcessDecodeFloor(withMissing), "forked floor with a missing frame");
  expectRefusal(bench::freshProcessDecodeFloor(withMissing), "fresh-process floor with a missing frame");
  expectRefusal(bench::freshProcessDecodeFloor(frames, (dir / "no_such_program").string()),
                "fresh-process floor without its program");
  expectRefusal(bench::freshProcessDecodeFloor(frames, ""), "fresh-process floor with no program named");
  expectRefusal(bench::freshProcessDecodeFloor({}), "fresh-process floor of no frames");
  if (failures == 0) std::printf("decode_floor_check: every floor as expected\n");
  return failures == 0 ? 0 : 1;
}
