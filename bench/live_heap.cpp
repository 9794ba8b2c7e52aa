// The allocator's own view of a benchmark: the bytes handed out and not yet
// given back, and the most held at once. The resident set also counts freed
// memory the allocator keeps, library pages and mapped input files, and moves
// by several MB from run to run; a difference of one encoder's table is lost
// in it. glibc lets a program replace malloc and its kin, so every block of
// every library (libtiff, libavcodec, OpenCV) passes through here.
//
// At the peak, the blocks of 256 KB and more that are alive are kept with the
// calls that made them, so the peak can be named, not only measured.
#include "live_heap.h"

#include <cstddef>  // defines __GLIBC__ on glibc
#include <cstdint>

// A sanitizer brings its own allocator; the probe then stays out.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define LIVE_HEAP_SANITIZED 1
#endif
#endif

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && \
    !defined(LIVE_HEAP_SANITIZED)

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {

constexpr size_t kLarge = size_t{256} << 10;
constexpr int kDepth = 10, kBlocks = 512;
constexpr long long kSnapshotStep = 128 << 10;  // a new picture of the peak once it has grown this much

struct Block {
  void* at;
  size_t size;
  int depth;
  void* calls[kDepth];
};

std::atomic<long long> live{0}, peak{0}, pictured{0};
std::atomic_flag guard = ATOMIC_FLAG_INIT;
Block blocks[kBlocks], atPeak[kBlocks];
int blockCount = 0, atPeakCount = 0;
long long atPeakLive = 0;
thread_local bool inside = false;  // backtrace may allocate on its first call

struct Lock {
  Lock() {
    while (guard.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Lock() { guard.clear(std::memory_order_release); }
};

void picture(long long now) {
  Lock lock;
  std::memcpy(atPeak, blocks, sizeof(Block) * size_t(blockCount));
  atPeakCount = blockCount;
  atPeakLive = now;
}

void noteLarge(void* p, size_t size) {
  Block b{p, size, 0, {}};
  if (!inside) {
    inside = true;
    b.depth = backtrace(b.calls, kDepth);
    inside = false;
  }
  Lock lock;
  if (blockCount < kBlocks) blocks[blockCount++] = b;
}

void forgetLarge(void* p) {
  Lock lock;
  for (int i = 0; i < blockCount; ++i)
    if (blocks[i].at == p) {
      blocks[i] = blocks[--blockCount];
      return;
    }
}

// Bytes of the large blocks never written: a buffer set aside and not used
// costs address space only. Pages the kernel has not yet mapped in are not
// resident; the live count minus those is the heap's share of the resident set.
long long untouchedLarge() {
  static unsigned char pages[(size_t{1} << 30) / 4096];
  const size_t page = 4096;
  long long untouched = 0;
  Lock lock;
  for (int i = 0; i < blockCount; ++i) {
    const auto from = reinterpret_cast<std::uintptr_t>(blocks[i].at) & ~(page - 1);
    const auto to = reinterpret_cast<std::uintptr_t>(blocks[i].at) + blocks[i].size;
    const size_t count = (to - from + page - 1) / page;
    if (count > sizeof pages || mincore(reinterpret_cast<void*>(from), to - from, pages) != 0) continue;
    for (size_t k = 0; k < count; ++k) untouched += (pages[k] & 1) ? 0 : (long long)page;
  }
  return untouched;
}

std::atomic<long long> touchedPeak{0};
std::atomic<bool> sampling{false};

// Every millisecond: the peak of live bytes that are resident.
void sampleTouched() {
  while (sampling.load()) {
    const long long now = live.load(std::memory_order_relaxed) - untouchedLarge();
    if (now > touchedPeak.load()) touchedPeak.store(now);
    usleep(1000);
  }
}

void* taken(void* p) {
  if (!p) return p;
  const size_t size = malloc_usable_size(p);
  if (size >= kLarge) noteLarge(p, size);
  const long long now = live.fetch_add((long long)size, std::memory_order_relaxed) + (long long)size;
  long long high = peak.load(std::memory_order_relaxed);
  while (now > high && !peak.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
  }
  if (now > high && now >= pictured.load(std::memory_order_relaxed) + kSnapshotStep) {
    pictured.store(now, std::memory_order_relaxed);
    picture(now);
  }
  return p;
}

void given(void* p) {
  if (!p) return;
  const size_t size = malloc_usable_size(p);
  if (size >= kLarge) forgetLarge(p);
  live.fetch_sub((long long)size, std::memory_order_relaxed);
}

// The first named function of the calls that is not the allocator's own.
void describe(const Block& b, char* out, size_t room) {
  out[0] = 0;
  size_t used = 0;
  int named = 0;
  for (int i = 1; i < b.depth && named < 4; ++i) {
    Dl_info info{};
    if (!dladdr(b.calls[i], &info) || !info.dli_sname) continue;
    if (std::strstr(info.dli_sname, "live_heap") || !std::strcmp(info.dli_sname, "malloc") ||
        !std::strcmp(info.dli_sname, "posix_memalign") || !std::strcmp(info.dli_sname, "calloc") ||
        !std::strcmp(info.dli_sname, "realloc") || !std::strcmp(info.dli_sname, "_Znwm"))
      continue;
    int status = 0;
    char* plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    const char* name = status == 0 && plain ? plain : info.dli_sname;
    const char* lib = info.dli_fname ? std::strrchr(info.dli_fname, '/') : nullptr;
    used += size_t(std::snprintf(out + used, used < room ? room - used : 0, "%s%.70s [%s]", named ? " < " : "", name,
                                 lib ? lib + 1 : "?"));
    std::free(plain);
    ++named;
    if (used >= room) break;
  }
}

}  // namespace

#define LIVE_HEAP_EXPORT __attribute__((visibility("default")))

extern "C" {

LIVE_HEAP_EXPORT void* malloc(size_t n) { return taken(__libc_malloc(n)); }
LIVE_HEAP_EXPORT void free(void* p) {
  given(p);
  __libc_free(p);
}
LIVE_HEAP_EXPORT void* calloc(size_t n, size_t m) { return taken(__libc_calloc(n, m)); }
LIVE_HEAP_EXPORT void* realloc(void* p, size_t n) {
  if (!p) return malloc(n);
  if (n == 0) {
    free(p);
    return nullptr;
  }
  given(p);
  void* q = __libc_realloc(p, n);
  if (!q) {  // the old block is still there
    taken(p);
    return nullptr;
  }
  return taken(q);
}
LIVE_HEAP_EXPORT void* memalign(size_t alignment, size_t n) { return taken(__libc_memalign(alignment, n)); }
LIVE_HEAP_EXPORT void* aligned_alloc(size_t alignment, size_t n) { return memalign(alignment, n); }
LIVE_HEAP_EXPORT int posix_memalign(void** out, size_t alignment, size_t n) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = memalign(alignment, n);
  if (!p && n) return ENOMEM;
  *out = p;
  return 0;
}
LIVE_HEAP_EXPORT void* valloc(size_t n) { return memalign(4096, n); }
LIVE_HEAP_EXPORT void* pvalloc(size_t n) { return memalign(4096, (n + 4095) & ~size_t(4095)); }

}  // extern "C"

namespace {

void lumivex_live_heap_restart() {
  const long long now = live.load();
  peak.store(now);
  pictured.store(now);
  picture(now);
  touchedPeak.store(0);
  sampling.store(true);
  std::thread(sampleTouched).detach();  // runs until the child exits
}

double lumivex_live_heap_peak_megabytes() { return double(peak.load()) / 1048576.0; }
double lumivex_live_heap_touched_peak_megabytes() { return double(touchedPeak.load()) / 1048576.0; }

void lumivex_live_heap_print_peak() {
  static Block shown[kBlocks];
  int count = 0;
  long long atLive = 0;
  {
    Lock lock;  // released before printing, which allocates
    std::memcpy(shown, atPeak, sizeof(Block) * size_t(atPeakCount));
    count = atPeakCount;
    atLive = atPeakLive;
  }
  long long large = 0;
  for (int i = 0; i < count; ++i) large += (long long)shown[i].size;
  std::printf("      live at the peak %.2f MB: %d blocks of 256 KB or more, %.2f MB; the rest %.2f MB\n",
              double(atLive) / 1048576.0, count, double(large) / 1048576.0, double(atLive - large) / 1048576.0);
  char text[400];
  for (int i = 0; i < count; ++i) {
    describe(shown[i], text, sizeof text);
    std::printf("        %8.2f MB  %s\n", double(shown[i].size) / 1048576.0, text);
  }
  std::fflush(stdout);
}

const benchsupport::LiveHeapProbe kProbe{lumivex_live_heap_restart, lumivex_live_heap_peak_megabytes,
                                          lumivex_live_heap_touched_peak_megabytes, lumivex_live_heap_print_peak};
[[maybe_unused]] const bool kRegistered = (benchsupport::liveHeapProbe() = &kProbe, true);

}  // namespace


#endif
