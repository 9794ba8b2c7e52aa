// Job files, progress files and result logs as the script side reads them.
#include "standin/host.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace lvhost {
namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The string value after the first occurrence of "key" and its colon;
// false when the key is absent or its value is not a string.
bool jsonStringAfterKey(const std::string& text, const std::string& key, std::string& out) {
  const std::string quotedKey = "\"" + key + "\"";
  size_t i = text.find(quotedKey);
  if (i == std::string::npos) return false;
  i += quotedKey.size();
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i >= text.size() || text[i] != ':') return false;
  ++i;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i >= text.size() || text[i] != '"') return false;
  out.clear();
  for (++i; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return true;
    if (c == '\\' && i + 1 < text.size()) {
      c = text[++i];
      if (c == 'n') c = '\n';
      else if (c == 't') c = '\t';
      else if (c == 'r') c = '\r';
    }
    out += c;
  }
  return false;  // unterminated
}

bool looksLikeJson(const std::string& text) {
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) return c == '{';
  }
  return false;
}

// key=value job: the last line of the key wins, as the hybrid stack job reads it.
std::string keyValueLast(const std::string& text, const std::string& key) {
  std::string found;
  for (const std::string& raw : lines(text)) {
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq != std::string::npos && trim(line.substr(0, eq)) == key) found = trim(line.substr(eq + 1));
  }
  return found;
}

bool endsWithCompleted(const std::string& line) {
  const std::string marker = "completed.";
  if (line.size() < marker.size()) return false;
  std::string tail = line.substr(line.size() - marker.size());
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == marker;
}

}  // namespace

std::string jobProgressPath(const std::string& jobPath) {
  const std::string text = readWhole(jobPath);
  if (!looksLikeJson(text)) return keyValueLast(text, "progress");
  std::string path;
  // the jobs take "progress" whenever it is there, even empty
  if (jsonStringAfterKey(text, "progress", path)) return path;
  if (jsonStringAfterKey(text, "progressPath", path)) return path;
  return std::string();
}

std::string jobResultLogPath(const std::string& jobPath) {
  const std::string text = readWhole(jobPath);
  if (!looksLikeJson(text)) return keyValueLast(text, "resultLog");
  std::string path;
  return jsonStringAfterKey(text, "resultLog", path) ? path : std::string();
}

bool resultLogReportsSuccess(const std::string& log) {
  bool sawStatus = false;
  std::string status;
  std::string firstLine;
  for (const std::string& raw : lines(log)) {
    const std::string line = trim(raw);
    if (firstLine.empty()) firstLine = line;
    const size_t eq = line.find('=');
    if (eq != std::string::npos && trim(line.substr(0, eq)) == "status") {
      sawStatus = true;
      status = trim(line.substr(eq + 1));
    }
  }
  if (sawStatus) return status == "success";
  return endsWithCompleted(firstLine);
}

bool readProgressFile(const std::string& path, ProgressSnapshot& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  ProgressSnapshot s;
  bool sawPercent = false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 8, "percent=") == 0) {
      s.percent = std::atoi(line.c_str() + 8);
      sawPercent = true;
    } else if (line.compare(0, 6, "stage=") == 0) {
      s.stage = line.substr(6);
    } else if (line.compare(0, 7, "detail=") == 0) {
      s.detail = line.substr(7);
    }
  }
  if (!sawPercent) return false;
  out = s;
  return true;
}

void followProgress(const std::string& path, const std::function<bool()>& keepGoing,
                    const std::function<void(const ProgressSnapshot&)>& onChange, int pollMs) {
  bool seen = false;
  ProgressSnapshot last;
  auto poll = [&] {
    ProgressSnapshot now;
    // between the writer's delete and rename the file is briefly absent: keep the last state
    if (!readProgressFile(path, now)) return;
    if (seen && now == last) return;
    seen = true;
    last = now;
    if (onChange) onChange(now);
  };
  while (keepGoing()) {
    poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs > 0 ? pollMs : 1));
  }
  poll();
}

}  // namespace lvhost
