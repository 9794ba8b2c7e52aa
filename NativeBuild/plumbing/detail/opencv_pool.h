// The add-on's own thread pool behind OpenCV's parallel loops.
#pragma once

namespace nl_detail {

// Installs the pool as OpenCV's parallel_for_ backend, sized to threads
// (once; later calls only resize). OpenCV's own pool (TBB on most builds) is
// torn down and rebuilt by every cv::setNumThreads, which crashes a loop that
// another job is running inside it at that moment; this pool is never torn
// down, and a new count only changes how many of its threads the next loop
// takes.
void installOpenCVPool(int threads);
// The count in force: loops run on the calling thread alone below 2.
int openCVPoolThreads();
// Sets the count and returns the one it replaces; safe while loops run.
int setOpenCVPoolThreads(int threads);

}  // namespace nl_detail
