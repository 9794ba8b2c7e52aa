// The names a job command writes under. An existing file is never replaced
// unless --force says so: the outputs take the first free numbered name
// (OUT_1.tif, OUT_2.tif, ...; Sky Blend numbers its three images together),
// as the Star Trail job numbers its own. The job file is claimed for the
// whole run, so two runs started at once with the same -o write different
// names and never read each other's settings.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace lvcli {

// path with "_n" before its extension; n = 0 gives path itself.
std::string numberedPath(const std::string& path, int n);

// The job file held by this process until the object ends; another process
// cannot claim it meanwhile (on platforms with file locks).
class ClaimedFile {
 public:
  ~ClaimedFile();
  // Claims path (made when missing); false when another running process holds it.
  static std::unique_ptr<ClaimedFile> claim(const std::string& path);
  // Replaces the file's content; throws std::runtime_error on failure.
  void write(const std::string& text);
  const std::string& path() const { return path_; }

 private:
  ClaimedFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_ = -1;
};

// True when something exists at any of the outputs numbered n.
bool anyExists(const std::vector<std::string>& outputs, int n);

// The first n in 0..999 for which no output numbered n exists (any n when
// `force`) and `claimSide(n)` succeeds; -1 when there is none.
template <typename ClaimSide>
int firstFreeNumber(const std::vector<std::string>& outputs, bool force, ClaimSide&& claimSide) {
  for (int n = 0; n <= 999; ++n) {
    if (!force && anyExists(outputs, n)) continue;
    if (claimSide(n)) return n;
  }
  return -1;
}

}  // namespace lvcli
