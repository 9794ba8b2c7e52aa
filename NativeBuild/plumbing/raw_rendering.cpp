// Which rendering each RAW path is read with while a job runs: jobs read
// their frames on worker threads of their own, so the choice follows the
// path rather than the thread.
#include "plumbing/plumbing.h"
#include "plumbing/detail/raw_decode.h"

#include <filesystem>
#include <map>
#include <sstream>

namespace {

struct Registration {
  std::uint64_t id;
  NLRawRendering rendering;
};

std::mutex gMutex;
std::map<std::string, std::vector<Registration>> gByPath;
std::uint64_t gNextId = 1;

// Two spellings of one file share a key.
std::string canonicalKey(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::weakly_canonical(path, ec);
  return ec ? std::string() : full.string();
}

std::string trimmed(const std::string& text) {
  const char* space = " \t\r\n";
  const size_t begin = text.find_first_not_of(space);
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(space) - begin + 1);
}

}  // namespace

NLRawRenderingScope::NLRawRenderingScope(const std::vector<std::string>& paths, NLRawRendering rendering) {
  for (const std::string& p : paths) {
    if (!NL_isRawFileName(p)) continue;
    keys_.push_back(p);
    const std::string key = canonicalKey(p);
    if (!key.empty() && key != p) keys_.push_back(key);
  }
  std::lock_guard<std::mutex> lock(gMutex);
  id_ = gNextId++;
  for (const std::string& key : keys_) gByPath[key].push_back({id_, rendering});
}

NLRawRenderingScope::~NLRawRenderingScope() {
  std::lock_guard<std::mutex> lock(gMutex);
  for (const std::string& key : keys_) {
    auto found = gByPath.find(key);
    if (found == gByPath.end()) continue;
    auto& list = found->second;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->id != id_) continue;
      list.erase(it);
      break;
    }
    if (list.empty()) gByPath.erase(found);
  }
}

NLRawRendering nl_detail::rawRenderingFor(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gByPath.empty()) return NLRawRendering::Camera;
    const auto found = gByPath.find(path);
    if (found != gByPath.end()) return found->second.back().rendering;
  }
  const std::string key = canonicalKey(path);
  std::lock_guard<std::mutex> lock(gMutex);
  const auto found = gByPath.find(key);
  return found == gByPath.end() ? NLRawRendering::Camera : found->second.back().rendering;
}

bool NL_readJobRawRendering(const std::string& jobText, NLRawRendering& rendering) {
  if (NL_jsonFindValueStart(jobText, "rawRendering") != std::string::npos)
    return NL_parseRawRendering(NL_extractJsonString(jobText, "rawRendering"), rendering);
  // key=value lines, spaces around either side allowed
  std::istringstream lines(jobText);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || trimmed(line.substr(0, eq)) != "rawRendering") continue;
    return NL_parseRawRendering(trimmed(line.substr(eq + 1)), rendering);
  }
  return false;
}
