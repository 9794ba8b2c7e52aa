// lumivex synth SCENE --out DIR [--frames N] [--size WxH] [--depth 8|16] [--seed S] [--sky sparse] [--fwhm F]
//                   [--compression none|lzw]
#include "cli/commands.h"

#include "synth/synth.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

const char* kSynthUsage =
    "usage: lumivex synth SCENE --out DIR [--frames N] [--size WxH] [--depth 8|16] [--seed S]\n"
    "                      [--sky sparse] [--fwhm F] [--compression none|lzw]\n"
    "  SCENE: stack, trail, skyblend, glow\n";

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

// Fills request from the options; false with a message on the first bad one.
bool parseOptions(const Args& args, synth::SceneRequest& request, std::string& error) {
  if (args.empty() || args[0].rfind("--", 0) == 0) {
    error = "no scene given";
    return false;
  }
  request.scene = args[0];
  const std::vector<std::string> scenes = synth::sceneNames();
  if (std::find(scenes.begin(), scenes.end(), request.scene) == scenes.end()) {
    error = "unknown scene '" + request.scene + "'";
    return false;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (i + 1 >= args.size()) {
      error = "option " + option + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    long long n = 0;
    if (option == "--out") request.dir = value;
    else if (option == "--frames" && parseCount(value, 1, n) && n <= 1000) request.frames = int(n);
    else if (option == "--size" && parseSize(value, request.size)) continue;
    else if (option == "--depth" && (value == "8" || value == "16")) request.bits = std::atoi(value.c_str());
    else if (option == "--seed" && parseCount(value, 0, n)) request.seed = static_cast<std::uint64_t>(n);
    else if (option == "--sky" && value == "sparse") request.sky = value;
    else if (option == "--fwhm" && parseCount(value, 1, n) && n <= 30) request.fwhm = double(n);
    else if (option == "--compression" && (value == "none" || value == "lzw")) request.lzwFrames = value == "lzw";
    else {
      error = "bad option or value: " + option + " " + value;
      return false;
    }
  }
  if (request.dir.empty()) {
    error = "--out DIR is required";
    return false;
  }
  return true;
}

}  // namespace

int lumivexSynth(const Args& args) {
  synth::SceneRequest request;
  std::string error;
  if (lumivexWantsHelp(args)) {
    std::cout << kSynthUsage;
    return 0;
  }
  if (!parseOptions(args, request, error)) {
    std::cerr << "lumivex synth: " << error << "\n" << kSynthUsage;
    return 2;
  }
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
