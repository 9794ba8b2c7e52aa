// Runs one benchmark case in a child process where the platform allows, so
// the peak memory the kernel reports is the case's own, not the largest
// case run before it in the same process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <type_traits>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#define LUMIVEX_BENCH_FORK 1
#endif

namespace benchsupport {

// The work's result (trivially copyable: it crosses a pipe) and the child's
// peak resident memory in MB (0 where the work ran in this process).
// `ok` is cleared when the child's result did not arrive whole.
// usage, when given, receives the child's resource figures (CPU time, page faults).
template <typename Result, typename Work>
Result runInChild(Work&& work, double& peakMegabytes, bool& ok, rusage* usageOut = nullptr) {
  static_assert(std::is_trivially_copyable<Result>::value, "the result crosses a pipe");
  peakMegabytes = 0.0;
  ok = true;
#ifdef LUMIVEX_BENCH_FORK
  int fds[2];
  if (pipe(fds) != 0) return work();
  std::fflush(nullptr);  // or the child would print what this process has not yet
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const Result r = work();
    const ssize_t written = write(fds[1], &r, sizeof r);
    std::_Exit(written == ssize_t(sizeof r) ? 0 : 1);
  }
  close(fds[1]);
  Result r{};
  const ssize_t got = read(fds[0], &r, sizeof r);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  ok = got == ssize_t(sizeof r);
  if (usageOut) *usageOut = usage;
#if defined(__APPLE__)
  peakMegabytes = double(usage.ru_maxrss) / 1048576.0;  // bytes
#else
  peakMegabytes = double(usage.ru_maxrss) / 1024.0;  // KiB
#endif
  return r;
#else
  return work();
#endif
}

// Runs work in a child process where the platform allows (else here), so
// what it holds (a rendered night) never counts in this process's later
// peaks nor in those of the children it starts after.
template <typename Work>
void runApart(Work&& work) {
#ifdef LUMIVEX_BENCH_FORK
  const pid_t child = fork();
  if (child == 0) {
    work();
    std::_Exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
#else
  work();
#endif
}

}  // namespace benchsupport
