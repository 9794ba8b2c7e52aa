// Star Trail bad frames: on night sequences with moonlit, clouded, headlit,
// twilit and dewed frames, how well the frames left out match the truth
// (precision and recall), how much of the spoiled frames' extra light still
// reaches the result, how many star-trail pixels are lost, and the time the
// check adds per frame against the same job with the check off (the direct
// Lighten path, so the check is most of the difference). Clean nights, a
// brightening night and an exposure drift must leave nothing out.
//
//   bench_bad_frames [WIDTHxHEIGHT] [FRAMES] [--lzw] [--reject]
//       default 1200x800 20, uncompressed frames, rejection off (--reject: "medium")
//
// The time added is also given as a ratio to the floor of decoding the frames once.
#include "startrail/startrail.h"
#include "synth/synth.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using synth::BadFrame;
using synth::BadFrameKind;
using Clock = std::chrono::steady_clock;

struct Case {
  std::string name;
  synth::TrailSettings settings;
};

synth::TrailSettings base(cv::Size size, int frames, int bits, std::uint64_t seed) {
  synth::TrailSettings s;
  s.size = size;
  s.frames = frames;
  s.bits = bits;
  s.seed = seed;
  if (bits == 8) s.skyLevel = 0.06;
  return s;
}

std::vector<Case> cases(cv::Size size, int n) {
  std::vector<Case> out;
  const auto add = [&](const std::string& name, int bits, std::uint64_t seed, std::vector<BadFrame> bad,
                       double brightening = 0.0, double drift = 0.0) {
    Case c{name, base(size, n, bits, seed)};
    c.settings.badFrames = std::move(bad);
    c.settings.nightBrightening = brightening;
    c.settings.exposureDrift = drift;
    out.push_back(c);
  };
  add("moon", 16, 101, {{0, BadFrameKind::Moon, 1.0}, {n / 2, BadFrameKind::Moon, 0.6}});
  add("cloud", 16, 102, {{n / 3, BadFrameKind::Cloud, 1.0}, {n / 3 + 1, BadFrameKind::Cloud, 0.7}});
  add("headlights", 16, 103, {{3, BadFrameKind::Headlights, 1.0}, {n - 1, BadFrameKind::Headlights, 0.5}});
  add("dawn", 16, 104, {{n - 2, BadFrameKind::Dawn, 0.5}, {n - 1, BadFrameKind::Dawn, 1.0}});
  add("dew", 16, 105, {{n / 2, BadFrameKind::Dew, 1.0}});
  add("mixed 8-bit", 8, 106,
      {{1, BadFrameKind::Moon, 0.8}, {n / 2, BadFrameKind::Cloud, 0.8}, {n - 3, BadFrameKind::Headlights, 0.8}});
  add("faint moon and cloud", 16, 107, {{n / 4, BadFrameKind::Moon, 0.3}, {3 * n / 4, BadFrameKind::Cloud, 0.4}});
  add("very faint moon, thin cloud", 16, 112, {{n / 4, BadFrameKind::Moon, 0.1}, {3 * n / 4, BadFrameKind::Cloud, 0.2}});
  add("sparse sky, moon and dew", 16, 113, {{2, BadFrameKind::Moon, 1.0}, {n - 4, BadFrameKind::Dew, 1.0}});
  out.back().settings.sky = synth::sparseSky();
  out.back().settings.skyLevel = 0.12;
  add("clean", 16, 108, {});
  add("clean 8-bit", 8, 109, {});
  add("brightening x3", 16, 110, {}, 2.0);
  add("exposure drift +80%", 16, 111, {}, 0.0, 0.8);
  return out;
}

bool gLzw = false, gReject = false;

struct Run {
  cv::Mat result;
  std::set<int> leftOut;
  double seconds = 0.0;
};

Run runJob(const std::vector<std::string>& frames, const std::string& mask, const std::string& mode,
           const std::string& dir) {
  std::string inputs;
  for (const std::string& f : frames) inputs += std::string(inputs.empty() ? "" : ", ") + "\"" + f + "\"";
  const std::string job = dir + "/job_" + mode + ".json", out = dir + "/out_" + mode + ".tif";
  std::ofstream(job) << "{\"inputs\": [" << inputs << "], \"output\": \"" << out << "\", \"replaceOutput\": true, "
                     << "\"rejectionMode\": \"" << (gReject ? "medium" : "off") << "\", \"maskInput\": \"" << mask << "\", \"badFrames\": \"" << mode
                     << "\"}";
  Run r;
  const Clock::time_point t0 = Clock::now();
  const std::string log = NL_runStarTrailNativeJob(job, std::thread::hardware_concurrency());
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.result = cv::imread(out, -1);
  std::istringstream lines(log);
  for (std::string l; std::getline(lines, l);)
    if (l.rfind("badFrame=", 0) == 0) r.leftOut.insert(std::stoi(l.substr(9)));
  if (r.result.empty()) std::printf("job failed:\n%s\n", log.c_str());
  return r;
}

cv::Mat luminance(const cv::Mat& image) {
  cv::Mat gray, out;
  cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
  gray.convertTo(out, CV_64F, 1.0 / (image.depth() == CV_16U ? 65535.0 : 255.0));
  return out;
}

struct Tally {
  int truePositive = 0, falsePositive = 0, falseNegative = 0;
};


void measure(const Case& c, Tally& tally, double& addedPerFrame) {
  const synth::Scene scene = synth::makeTrailScene(c.settings);
  const fs::path dir = fs::temp_directory_path() / "lumivex_bench_bad_frames";
  fs::create_directories(dir);
  std::vector<std::string> frames;
  for (size_t i = 0; i < scene.frames.size(); ++i) {
    frames.push_back((dir / ("IMG_" + std::to_string(i) + ".tif")).string());
    cv::imwrite(frames.back(), scene.frames[i], gLzw ? std::vector<int>{} : std::vector<int>{cv::IMWRITE_TIFF_COMPRESSION, 1});
  }
  const std::string mask = (dir / "mask.png").string();
  cv::imwrite(mask, scene.skyMask);
  const Clock::time_point t0 = Clock::now();
  for (const std::string& f : frames) cv::imread(f, -1);
  const double floor = std::chrono::duration<double>(Clock::now() - t0).count() / double(frames.size());
  const cv::Mat probe = cv::imread(frames[0], -1), gray = luminance(probe);
  cv::Mat plane;
  gray.convertTo(plane, CV_32F, probe.depth() == CV_16U ? 65535.0 : 255.0);
  const Clock::time_point t1 = Clock::now();
  for (int k = 0; k < 5; ++k) NL_starTrailMeasureFrame(plane, probe.depth() == CV_16U ? 65535.0 : 255.0, scene.skyMask);
  const double measureOnly = std::chrono::duration<double>(Clock::now() - t1).count() / 5.0;
  const Run off = runJob(frames, mask, "off", dir.string());
  const Run excl = runJob(frames, mask, "exclude", dir.string());
  if (off.result.empty() || excl.result.empty()) return;
  std::set<int> truth;
  for (const BadFrame& b : scene.badFrames) truth.insert(b.frame);
  int tp = 0;
  for (int f : excl.leftOut) tp += truth.count(f) > 0;
  tally.truePositive += tp;
  tally.falsePositive += int(excl.leftOut.size()) - tp;
  tally.falseNegative += int(truth.size()) - tp;
  // The ideal: the Lighten of the frames that are not spoiled.
  cv::Mat ideal;
  for (size_t i = 0; i < scene.frames.size(); ++i)
    if (!truth.count(int(i))) ideal = ideal.empty() ? scene.frames[i].clone() : cv::max(ideal, scene.frames[i]);
  const cv::Mat li = luminance(ideal), lo = luminance(off.result), le = luminance(excl.result);
  const double extra = cv::sum(cv::max(lo - li, 0.0))[0], left = cv::sum(cv::max(le - li, 0.0))[0];
  // Star-trail pixels: well above the ideal's own sky; lost where the result falls short of them.
  cv::Mat sky;
  cv::medianBlur(ideal, sky, 5);
  const cv::Mat trail = (li - luminance(sky)) > 0.03;
  const cv::Mat lost = trail & ((li - le) > 0.01);
  const double added = (excl.seconds - off.seconds) / double(frames.size());
  addedPerFrame += added;
  std::printf("%-22s truth %-10s left out %-10s extra light left %6.2f %%  trail px lost %d of %d  "
              "job %.2f s -> %.2f s (%+.1f ms/frame, %.2fx one decode of %.1f ms; measures alone %.1f ms)\n",
              c.name.c_str(), [&] {
                std::string s;
                for (int f : truth) s += std::to_string(f) + ",";
                return s.empty() ? std::string("-") : s;
              }().c_str(), [&] {
                std::string s;
                for (int f : excl.leftOut) s += std::to_string(f) + ",";
                return s.empty() ? std::string("-") : s;
              }().c_str(), extra > 0.0 ? 100.0 * left / extra : 0.0, cv::countNonZero(lost), cv::countNonZero(trail),
              off.seconds, excl.seconds, 1000.0 * added, added / floor, 1000.0 * floor, 1000.0 * measureOnly);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  cv::Size size(1200, 800);
  int frames = 20;
  if (argc > 1) std::sscanf(argv[1], "%dx%d", &size.width, &size.height);
  if (argc > 2) frames = std::atoi(argv[2]);
  for (int i = 1; i < argc; ++i) {
    gLzw = gLzw || std::string(argv[i]) == "--lzw";
    gReject = gReject || std::string(argv[i]) == "--reject";
  }
  Tally tally;
  double added = 0.0;
  const std::vector<Case> all = cases(size, frames);
  for (const Case& c : all) measure(c, tally, added);
  const double precision = tally.truePositive + tally.falsePositive
                               ? double(tally.truePositive) / (tally.truePositive + tally.falsePositive)
                               : 1.0;
  const double recall = tally.truePositive + tally.falseNegative
                            ? double(tally.truePositive) / (tally.truePositive + tally.falseNegative)
                            : 1.0;
  std::printf("precision %.3f  recall %.3f  (%d right, %d wrong, %d missed)  time added %.1f ms/frame on average\n",
              precision, recall, tally.truePositive, tally.falsePositive, tally.falseNegative,
              1000.0 * added / double(all.size()));
  return 0;
}
