// Ctrl-C and SIGTERM in the lumivex program: the jobs it runs are stopped
// with the process, and nothing half-done is left behind. Every job being run
// gets a final "Failed" progress entry and a result log saying it was
// cancelled, its partial files are removed, and the program exits 130.
#pragma once

#include <string>
#include <vector>

namespace lvcli {

// Routes SIGINT and SIGTERM to one watching thread. Call first in main,
// before any other thread starts, so that every thread leaves them to it.
void cancelOnSignals();

// The job files being run and the files of this run to delete when it is
// cancelled, from construction to destruction.
class CancelScope {
 public:
  CancelScope(std::vector<std::string> jobs, std::vector<std::string> extraFiles = {});
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  std::vector<std::string> jobs_, files_;
};

// What a cancelled job leaves: partial files removed, the final progress
// entry and the result log written. Returns the failure text.
std::string cancelJob(const std::string& job, const std::string& signalName);

}  // namespace lvcli
