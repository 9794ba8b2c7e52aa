// Guards every job applies to its paths before it reads or writes: no pipe
// or device is ever opened, and no output lands on a file the user gave as
// an input, on another output or on a folder.
#include "plumbing/plumbing.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool existsAt(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::exists(path, ec);
}

bool isFolder(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

// Two spellings of one file are the same file: existing files are compared
// by identity (links, "./", case-insensitive volumes), missing ones by their
// normalised absolute path.
bool sameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  const bool ea = existsAt(a);
  const bool eb = existsAt(b);
  std::error_code ec;
  if (ea && eb) return fs::equivalent(a, b, ec) && !ec;
  if (ea || eb) return false;
  const fs::path ca = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(b, ec);
  return !ec && ca == cb;
}

std::string named(const NLJobPath& p) { return p.role + " " + p.path; }

std::string inputProblem(const NLJobPath& in) {
  if (in.path.empty() || !NL_isNonRegularFile(in.path)) return std::string();
  return named(in) + " is not a regular file";
}

std::string outputProblem(const NLJobPaths& paths, size_t index) {
  const NLJobPath& out = paths.outputs[index];
  if (isFolder(out.path)) return named(out) + " is an existing folder";
  if (NL_isNonRegularFile(out.path)) return named(out) + " is not a regular file";
  for (const NLJobPath& in : paths.inputs) {
    if (!in.path.empty() && sameFile(out.path, in.path)) return named(out) + " is the same file as " + named(in);
  }
  for (size_t j = 0; j < index; ++j) {
    const NLJobPath& earlier = paths.outputs[j];
    if (!earlier.path.empty() && sameFile(out.path, earlier.path))
      return named(out) + " is the same file as " + named(earlier);
  }
  return std::string();
}

}  // namespace

bool NL_isRegularFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

bool NL_isNonRegularFile(const std::string& path) { return existsAt(path) && !NL_isRegularFile(path); }

bool NL_readJobFile(const std::string& path, std::string& text, std::string& failure) {
  text.clear();
  if (NL_isNonRegularFile(path)) {
    failure = "job file is not a regular file: " + path;
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    failure = "job file could not be read: " + path;
    return false;
  }
  // Read in pieces and stop one piece past the bound, so a file that grows
  // while it is read cannot make the reader run on.
  char piece[65536];
  while (in && text.size() <= NL_kMaxJobFileBytes) {
    in.read(piece, sizeof piece);
    text.append(piece, static_cast<size_t>(in.gcount()));
  }
  if (text.size() > NL_kMaxJobFileBytes) {
    text.clear();
    failure = "job file is larger than 16 MB: " + path;
    return false;
  }
  return true;
}

std::string NL_checkJobPaths(const NLJobPaths& paths) {
  for (const NLJobPath& in : paths.inputs) {
    const std::string problem = inputProblem(in);
    if (!problem.empty()) return problem;
  }
  for (size_t i = 0; i < paths.outputs.size(); ++i) {
    if (paths.outputs[i].path.empty()) continue;
    const std::string problem = outputProblem(paths, i);
    if (!problem.empty()) return problem;
  }
  return std::string();
}

bool NL_isSafeReportPath(const std::string& path, const NLJobPaths& paths) {
  if (path.empty() || NL_isNonRegularFile(path)) return false;
  for (const NLJobPath& in : paths.inputs) {
    if (!in.path.empty() && sameFile(path, in.path)) return false;
  }
  // An image the job would have written, left there by an earlier run, is
  // the user's result: a report is no reason to replace it.
  for (const NLJobPath& out : paths.outputs) {
    const bool report = out.role == "progress file" || out.role == "result log";
    if (!report && !out.path.empty() && NL_isRegularFile(out.path) && sameFile(path, out.path)) return false;
  }
  return true;
}
