// Runs one benchmark case in a child process where the platform allows, so
// the peak memory the kernel reports is the case's own, not the largest
// case run before it in the same process; or a program in a fresh process.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#define LUMIVEX_BENCH_FORK 1
#endif

namespace benchsupport {

#ifdef LUMIVEX_BENCH_FORK
// user + system seconds of a resource record.
inline double cpuSecondsOf(const rusage& u) {
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}
#endif

struct ChildRun {
  int status = -1;
  double seconds = 0.0;
  double cpuSeconds = 0.0;  // user + system: what the program costs whatever else the machine runs
  double peakMiB = 0.0;
  double systemSeconds = 0.0;
  long minorFaults = 0;
};

// Runs a program (a fresh process: its start-up counts) with its output into
// a file; CPU, faults and peak resident memory from the kernel's accounting.
inline ChildRun runChild(const std::vector<std::string>& args, const std::string& outPath) {
  ChildRun r;
#ifdef LUMIVEX_BENCH_FORK
  std::fflush(stdout);  // the child must not repeat what is still buffered
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::FILE* out = std::freopen(outPath.c_str(), "w", stdout);
    (void)out;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.cpuSeconds = cpuSecondsOf(usage);
  r.systemSeconds = double(usage.ru_stime.tv_sec) + 1e-6 * double(usage.ru_stime.tv_usec);
  r.minorFaults = usage.ru_minflt;
#if defined(__APPLE__)
  r.peakMiB = double(usage.ru_maxrss) / (1024.0 * 1024.0);  // bytes
#else
  r.peakMiB = double(usage.ru_maxrss) / 1024.0;  // KiB
#endif
#else
  (void)args, (void)outPath;
#endif
  return r;
}

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

// The number after key in a program's log (-1 where the key is missing).
inline int logInt(const std::string& log, const std::string& key) {
  const size_t at = log.find(key);
  return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + key.size());
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
