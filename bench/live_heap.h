// The allocator's live bytes and their peak (live_heap.cpp), where a
// benchmark links it in and the platform lets malloc be replaced; null
// otherwise.
#pragma once

namespace benchsupport {

struct LiveHeapProbe {
  // The peak starts again from what is alive now (a child just forked).
  void (*restart)();
  double (*peakMegabytes)();
  // Sampled every millisecond without the pages of large blocks never
  // written (a buffer set aside and not used is address space, not memory).
  double (*writtenPeakMegabytes)();
  // The large blocks alive at the peak, with the calls that made them, on stdout.
  void (*printPeak)();
};

inline const LiveHeapProbe*& liveHeapProbe() {
  static const LiveHeapProbe* probe = nullptr;
  return probe;
}

}  // namespace benchsupport
