#include "cli/own_files.h"

#include "cli/job_args.h"
#include "plumbing/plumbing.h"
#include "startrail/startrail.h"
#include "synth/synth.h"

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace lvcli {
namespace {

namespace fs = std::filesystem;

// The keys under which a job file or result log names a result image.
const char* const kOutputKeys[] = {"output",           "outputPath",    "skyOutput",       "foregroundOutput",
                                   "blendOutput",      "debugOverlayPath", "meteorOutput", "rejectionOverlay",
                                   "buildUpVideo"};

// A job file or result log is a few kilobytes; anything far larger is not ours.
constexpr std::uintmax_t kMaxSideFileBytes = 1u << 20;

bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Job files and result logs as the job commands, the synthetic scenes and the jobs name them.
bool isSideFile(const std::string& name) {
  return (name.find("job_native") != std::string::npos && endsWith(name, ".json")) ||
         endsWith(name, "stack_job.txt") || endsWith(name, "result_log.txt");
}

std::string trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::string canonical(const std::string& path) {
  std::error_code ec;
  const fs::path c = fs::weakly_canonical(path, ec);
  return ec ? fs::absolute(path).lexically_normal().string() : c.string();
}

}  // namespace

std::vector<std::string> outputsNamedIn(const std::string& text) {
  std::vector<std::string> out;
  if (text.find('{') != std::string::npos) {
    for (const char* key : kOutputKeys) out.push_back(NL_extractJsonString(text, key));
    for (const char* key : {"sky", "foreground", "blend"}) out.push_back(NL_extractJsonNestedString(text, "outputs", key));
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = trimmed(line.substr(0, eq));
    if (std::find(std::begin(kOutputKeys), std::end(kOutputKeys), key) != std::end(kOutputKeys)) {
      out.push_back(trimmed(line.substr(eq + 1)));
    }
  }
  return out;
}

OwnFiles::OwnFiles(std::vector<LeftOut> named) : named_(std::move(named)) {}

const std::map<std::string, std::string>& OwnFiles::earlierOutputs(const std::string& folder) {
  const auto found = byFolder_.find(folder);
  if (found != byFolder_.end()) return found->second;
  std::map<std::string, std::string>& outputs = byFolder_[folder];
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code sizeError;
    if (!isSideFile(name) || !NL_isRegularFile(it->path().string()) ||
        fs::file_size(it->path(), sizeError) > kMaxSideFileBytes || sizeError) {
      continue;
    }
    for (const std::string& path : outputsNamedIn(NL_readTextFile(it->path().string()))) {
      // a relative path in a job file is relative to wherever the job ran: only absolute ones count
      if (!path.empty() && fs::path(path).is_absolute()) outputs.emplace(canonical(path), name);
    }
  }
  return outputs;
}

std::string OwnFiles::why(const std::string& folder, const std::string& name) {
  const std::string path = (fs::path(folder) / name).string();
  for (const LeftOut& n : named_) {
    if (!n.path.empty() && samePath(n.path, path)) return n.why;
  }
  if (NL_isOwnTemporaryName(name)) return "a result still being written, or left by a run that was stopped";
  if (synth::isSceneTruthImage(folder, name)) return "a truth image of the synthetic scene";
  if (NL_starTrailIsBuildUpName(name, "tif") || NL_starTrailIsBuildUpName(name, "jpg"))
    return "an image of a star trail as it built up";
  const auto& earlier = earlierOutputs(folder);
  const auto found = earlier.find(canonical(path));
  if (found != earlier.end()) return "written by an earlier run (" + found->second + ")";
  return std::string();
}

}  // namespace lvcli
