// The allocator's live bytes and their peak (live_heap.cpp), where a
// benchmark links it in and the platform lets malloc be replaced; the
// functions are absent (null) otherwise.
#pragma once

extern "C" {
// The peak starts again from what is alive now (a child just forked).
__attribute__((weak)) void lumivex_live_heap_restart();
__attribute__((weak)) double lumivex_live_heap_peak_megabytes();
// The same sampled every millisecond without the pages of large blocks never
// written (a buffer set aside and not used is address space, not memory).
__attribute__((weak)) double lumivex_live_heap_touched_peak_megabytes();
// The large blocks alive at the peak, with the calls that made them, on stdout.
__attribute__((weak)) void lumivex_live_heap_print_peak();
}
