// lumivex synth SCENE --out DIR [--frames N] [--size WxH] [--depth 8|16] [--seed S] [--sky sparse] [--fwhm F]
//                   [--compression none|lzw]
#include "cli/commands.h"
#include "cli/job_args.h"

#include "synth/synth.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

bool parseCount(const std::string& text, long long minimum, long long& value) {
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < minimum) return false;
  value = v;
  return true;
}

bool parseSize(const std::string& text, cv::Size& size) {
  const size_t x = text.find_first_of("xX");
  long long w = 0, h = 0;
  if (x == std::string::npos || !parseCount(text.substr(0, x), 16, w) ||
      !parseCount(text.substr(x + 1), 16, h) || w > 40000 || h > 40000) {
    return false;
  }
  size = cv::Size(static_cast<int>(w), static_cast<int>(h));
  return true;
}

// Fills request from the parsed line; false with error for a value the table cannot check.
bool sceneRequest(const lvcli::ParsedCommand& c, synth::SceneRequest& request, std::string& error) {
  request.scene = c.frames.front();
  const std::vector<std::string> scenes = synth::sceneNames();
  if (std::find(scenes.begin(), scenes.end(), request.scene) == scenes.end()) {
    error = "unknown scene '" + request.scene + "'";
    return false;
  }
  request.dir = c.text("--out");
  if (c.has("--frames")) request.frames = int(c.number("--frames"));
  if (c.has("--size") && !parseSize(c.text("--size"), request.size)) {
    error = "--size takes WxH, each from 16 to 40000, not '" + c.text("--size") + "'";
    return false;
  }
  if (c.has("--depth")) request.bits = int(c.number("--depth"));
  if (c.has("--seed")) request.seed = static_cast<std::uint64_t>(c.number("--seed"));
  if (c.has("--sky")) request.sky = c.text("--sky");
  if (c.has("--fwhm")) request.fwhm = c.number("--fwhm");
  if (c.has("--compression")) request.lzwFrames = c.text("--compression") == "lzw";
  return true;
}

}  // namespace

namespace lvcli {

const CommandTable& synthTable() {
  static const CommandTable table = [] {
    CommandTable t = commandTable("synth",
                                  "Writes a synthetic night sky: its frames, truth images, truth.json and a ready "
                                  "job file.",
                                  "SCENE", "stack, trail, skyblend or glow");
    t.oneFrame = true, t.runFlags = false;
    OptionRule out = option("--out", ValueKind::OutputDir, "DIR", "folder to write the scene into (made when missing)");
    out.required = true;
    t.options = {out,
                 range("--frames", ValueKind::Whole, "N", 1, 1000, "number of frames (scene default)"),
                 option("--size", ValueKind::Text, "WxH", "frame size, 16 to 40000 pixels a side (scene default)"),
                 words("--depth", {"8", "16"}, "bits per sample (default 16)"),
                 range("--seed", ValueKind::Whole, "S", 0, 2147483647, "random seed (default 1)"),
                 words("--sky", {"sparse"}, "a light-polluted sky with few stars and a saturated planet"),
                 range("--fwhm", ValueKind::Whole, "F", 1, 30, "seeing: star width at half maximum, px"),
                 words("--compression", {"none", "lzw"}, "frames uncompressed (default) or LZW as an editor exports them")};
    return t;
  }();
  return table;
}

}  // namespace lvcli

int lumivexSynth(const Args& args) {
  const lvcli::CommandTable& table = lvcli::synthTable();
  lvcli::ParsedCommand parsed;
  if (const int status = lvcli::readCommandLine(table, args, parsed); status >= 0) return status;
  synth::SceneRequest request;
  std::string error;
  if (!sceneRequest(parsed, request, error)) return lvcli::usageError(table, error);
  const auto start = std::chrono::steady_clock::now();
  synth::SceneFiles files;
  if (!synth::writeScene(request, files, error)) {
    std::cerr << "lumivex synth: " << error << "\n";
    return 1;
  }
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start).count();
  std::cout << "scene: " << request.scene << "\n"
            << "frames: " << files.frames.size() << "\n"
            << "truth: " << files.truth << "\n"
            << "job: " << files.job << "\n"
            << "time: " << ms << " ms\n";
  return 0;
}
