// Running the lumivex program from a test and catching what it printed.
#pragma once

#include "support.h"

#include <cstdlib>
#include <string>

#if defined(__APPLE__) || defined(__linux__)
#include <sys/wait.h>
#endif

namespace testsupport {

struct ProgramRun {
  int status = -1;
  std::string out, err;
};

inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs the program with the arguments (already quoted) and an optional environment prefix.
inline ProgramRun lumivex(const std::string& args, const std::string& env = "") {
  TempDir dir;
  const std::string command = env + " " + shellQuote(LUMIVEX_EXE) + " " + args + " >" + shellQuote(dir.file("out")) +
                              " 2>" + shellQuote(dir.file("err")) + " </dev/null";
  ProgramRun r;
  const int raw = std::system(command.c_str());
#if defined(WEXITSTATUS)
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#else
  r.status = raw;
#endif
  r.out = readFile(dir.file("out"));
  r.err = readFile(dir.file("err"));
  return r;
}

}  // namespace testsupport
