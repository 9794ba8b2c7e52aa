// The add-on's one-time OpenCV setup before the first test, then the pool
// held at the thread count LUMIVEX_TEST_OPENCV_THREADS names, if set (to run
// a suite on one thread). A binary that includes this header gets the setup.
#pragma once

#include "plumbing/plumbing.h"

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>

#include <cstdlib>
#include <string>

namespace testsupport {

class OpenCVSetup : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string message;
    NL_loadMinimalOpenCVDlls(message);
    if (const char* forced = std::getenv("LUMIVEX_TEST_OPENCV_THREADS")) cv::setNumThreads(std::atoi(forced));
    threads() = cv::getNumThreads();
  }
  // The count the setup left, which every job must restore.
  static int& threads() {
    static int count = 0;
    return count;
  }
};

inline const ::testing::Environment* const kOpenCVSetup = ::testing::AddGlobalTestEnvironment(new OpenCVSetup);

}  // namespace testsupport
