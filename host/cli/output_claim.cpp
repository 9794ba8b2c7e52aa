#include "cli/output_claim.h"

#include <filesystem>
#include <stdexcept>

#if defined(_WIN32)
#include <fstream>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace lvcli {

namespace fs = std::filesystem;

std::string numberedPath(const std::string& path, int n) {
  if (n == 0) return path;
  const fs::path p(path);
  return (p.parent_path() / (p.stem().string() + "_" + std::to_string(n) + p.extension().string())).string();
}

bool anyExists(const std::vector<std::string>& outputs, int n) {
  for (const std::string& o : outputs) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(numberedPath(o, n), ec))) return true;
  }
  return false;
}

#if defined(_WIN32)

ClaimedFile::~ClaimedFile() = default;

std::unique_ptr<ClaimedFile> ClaimedFile::claim(const std::string& path) {
  return std::unique_ptr<ClaimedFile>(new ClaimedFile(path, -1));
}

void ClaimedFile::write(const std::string& text) {
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  if (!(out << text) || !out.flush()) throw std::runtime_error("could not write " + path_);
}

#else

ClaimedFile::~ClaimedFile() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the lock
}

// An advisory lock on the open file, not a marker file: a run that is killed
// leaves no claim behind.
std::unique_ptr<ClaimedFile> ClaimedFile::claim(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) throw std::runtime_error("could not open " + path + ": " + std::strerror(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<ClaimedFile>(new ClaimedFile(path, fd));
}

// Written in place, not renamed over: a new file would not carry the lock.
void ClaimedFile::write(const std::string& text) {
  if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
    throw std::runtime_error("could not write " + path_ + ": " + std::strerror(errno));
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("could not write " + path_ + ": " + std::strerror(errno));
    done += static_cast<size_t>(n);
  }
}

#endif

}  // namespace lvcli
