// lumivex demo [DIR]: makes every synthetic scene at a moderate size, runs
// each scene's job through the add-on and prints a table of the outcomes.
#include "cli/cancel.h"
#include "cli/cli_host.h"
#include "cli/commands.h"
#include "cli/job_args.h"

#include "synth/synth.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Big enough for the registration to find plenty of stars, small enough
// that every job finishes in seconds on two cores.
struct DemoScene {
  const char* scene;
  const char* job;  // shown in the table
  cv::Size size;
  int frames;
  const char* picture;  // the job's main image when its log names several outputs, else nullptr
};
const DemoScene kDemoScenes[] = {
    {"stack", "hybrid stack", {1200, 800}, 6, nullptr},
    {"trail", "Star Trail", {960, 640}, 10, nullptr},
    {"skyblend", "Sky Blend", {960, 640}, 5, "skyblend_blend.tif"},
    {"glow", "Star Glow", {1200, 800}, 1, nullptr},
};

struct DemoRow {
  std::string job, status, output;
  long long ms = 0;
};

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string freshFolder() {
  std::random_device rd;
  const auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
  return (fs::temp_directory_path() / ("lumivex_demo_" + std::to_string(stamp) + "_" +
                                       std::to_string(rd() % 100000))).string();
}

// The value of the first "key=" / "key = " line of a result log, else empty.
std::string logValue(const std::string& log, const std::string& key) {
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) != 0) continue;
    size_t at = key.size();
    while (at < line.size() && line[at] == ' ') ++at;
    if (at < line.size() && line[at] == '=') {
      const size_t value = line.find_first_not_of(' ', at + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

// The job's main image: what the log names, else the first output that exists.
std::string outputOf(const std::string& log, const std::string& dir) {
  for (const char* key : {"output", "blendOutput", "blend"}) {
    const std::string named = logValue(log, key);
    if (!named.empty() && fs::exists(named)) return named;
  }
  for (const char* name : {"stack_result.tif", "startrail_result.tif", "skyblend_blend.tif",
                           "star_glow_result.tif"}) {
    if (fs::exists(fs::path(dir) / name)) return (fs::path(dir) / name).string();
  }
  return "-";
}

DemoRow runJob(lvhost::StandinHost& host, const DemoScene& d, const synth::SceneFiles& files,
               const std::string& dir) {
  DemoRow row;
  row.job = d.job;
  const auto start = Clock::now();
  const lvcli::CancelScope cancellable({files.job});
  const lvhost::CallResult result = host.call("my_echo", lvhost::CallArg::string(files.job));
  row.ms = msSince(start);
  row.output = "-";
  if (result.kind != lvhost::ResultKind::String) {
    row.status = "failed (" + lvhost::describeResult(result) + ")";
  } else if (result.text.find("is not available in this build") != std::string::npos) {
    row.status = "not built";
  } else if (lvhost::resultLogReportsSuccess(result.text)) {
    row.status = "success";
    const fs::path picture = fs::path(dir) / (d.picture ? d.picture : "");
    row.output = d.picture && fs::exists(picture) ? picture.string() : outputOf(result.text, dir);
  } else {
    row.status = "failed";
    const std::string error = logValue(result.text, "error");
    if (!error.empty()) row.status += " (" + error + ")";
  }
  return row;
}

void printTable(const std::vector<DemoRow>& rows) {
  std::printf("%-14s %-12s %9s  %s\n", "job", "status", "time", "output");
  for (const DemoRow& r : rows) {
    const std::string time = std::to_string(r.ms) + " ms";
    std::printf("%-14s %-12s %9s  %s\n", r.job.c_str(), r.status.c_str(), time.c_str(), r.output.c_str());
  }
}

}  // namespace

namespace lvcli {

const CommandTable& demoTable() {
  static const CommandTable table = [] {
    CommandTable t = commandTable("demo",
                                  "Makes every synthetic scene, runs each scene's job through the add-on and prints "
                                  "a table of job, status, time and output.",
                                  "[DIR]", "folder to make the scenes in (a fresh one under the temporary folder "
                                  "when left out)");
    t.minFrames = 0, t.maxFrames = 1, t.runFlags = false;
    return t;
  }();
  return table;
}

}  // namespace lvcli

int lumivexDemo(const Args& args) {
  const lvcli::CommandTable& table = lvcli::demoTable();
  lvcli::ParsedCommand parsed;
  if (const int status = lvcli::readCommandLine(table, args, parsed); status >= 0) return status;
  const std::string root = parsed.frames.empty() ? freshFolder() : parsed.frames.front();
  std::cout << "Demo folder: " << root << std::endl;
  lvhost::StandinHost host;
  // Without a usable module the scenes are still made, so they can be inspected.
  const bool loaded = lumivexLoadAddon(host) && lumivexRequireExport(host, "my_echo");
  std::vector<DemoRow> rows;
  bool anyFailed = false;
  for (const DemoScene& d : kDemoScenes) {
    synth::SceneRequest request;
    request.scene = d.scene;
    request.dir = (fs::path(root) / d.scene).string();
    request.size = d.size;
    request.frames = d.frames;
    const auto start = Clock::now();
    synth::SceneFiles files;
    std::string error;
    if (!synth::writeScene(request, files, error)) {
      std::cerr << "lumivex demo: could not make the " << d.scene << " scene: " << error << "\n";
      return 1;
    }
    std::cout << "made " << d.scene << " scene (" << files.frames.size()
              << (files.frames.size() == 1 ? " frame) in " : " frames) in ")
              << msSince(start) << " ms\n" << std::flush;
    rows.push_back(loaded ? runJob(host, d, files, request.dir) : DemoRow{d.job, "no add-on", "-", 0});
    anyFailed |= rows.back().status.rfind("failed", 0) == 0;
  }
  std::cout << "\n" << std::flush;
  printTable(rows);
  if (!loaded) return 2;
  return anyFailed ? 1 : 0;
}
