// Counted single-thread holds on OpenCV's process-wide pool.
#include "plumbing/plumbing.h"
#include "plumbing/detail/opencv_pool.h"

namespace {

struct HoldState {
  std::mutex mutex;
  int holders = 0;
  int restoreTo = 1;
};

// Never destroyed: a background job may still end its hold while the process exits.
HoldState& holdState() {
  static auto* state = new HoldState;
  return *state;
}

}  // namespace

NLOpenCVSingleThreadHold::NLOpenCVSingleThreadHold() {
  // The setup must come first, or a later first-time setup would undo the hold.
  std::string message;
  NL_loadMinimalOpenCVDlls(message);
  HoldState& s = holdState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.holders++ == 0) {
    s.restoreTo = nl_detail::setOpenCVPoolThreads(1);
  }
}

NLOpenCVSingleThreadHold::~NLOpenCVSingleThreadHold() {
  HoldState& s = holdState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (--s.holders == 0) nl_detail::setOpenCVPoolThreads(s.restoreTo);
}
