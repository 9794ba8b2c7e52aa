// A decoder and nothing else: reads every frame named on its command line
// with cv::imread (unchanged depth and channels) and drops it. Started afresh
// by the benchmarks, two at once, it is the floor a job run as a program
// meets: the process start, the libraries' loading and the decode, no more.
// Linked against OpenCV's core and imgcodecs alone, so its start-up is the
// least any program that reads these frames pays.
//
//   decode_frames FRAME...   exit 0 when every frame decoded; otherwise each
//                            frame that did not is named on stderr, exit 1
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: decode_frames FRAME...\n");
    return 2;
  }
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    bool read = false;
    try {
      read = !cv::imread(argv[i], cv::IMREAD_UNCHANGED).empty();
    } catch (const cv::Exception&) {
      read = false;  // a damaged file counts as unread, never as a crash
    }
    if (!read) {
      std::fprintf(stderr, "decode_frames: could not decode %s\n", argv[i]);
      ++failed;
    }
  }
  return failed == 0 ? 0 : 1;
}
