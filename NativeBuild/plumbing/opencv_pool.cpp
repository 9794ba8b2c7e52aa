// OpenCV's parallel loops on a pool of our own that is never torn down.
#include "plumbing/detail/opencv_pool.h"

#include <opencv2/core/parallel/parallel_backend.hpp>
#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kMaxThreads = 32;

// 0 on every thread that is not one of the pool's own.
thread_local int tPoolIndex = 0;

class Pool final : public cv::parallel::ParallelForAPI {
 public:
  void parallel_for(int tasks, FN_parallel_for_body_cb_t body, void* data) override {
    const int wanted = std::min(threads_.load(), tasks);
    // One loop at a time takes the pool; a loop started inside a loop, or
    // beside one, runs on its own thread as OpenCV's nested loops do.
    std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
    if (wanted < 2 || tPoolIndex != 0 || !busy.owns_lock()) {
      body(0, tasks, data);
      return;
    }
    Loop loop(body, data, tasks);
    open(loop, wanted - 1);
    work(loop);
    close();
    if (loop.failure) std::rethrow_exception(loop.failure);
  }
  int getThreadNum() const override { return tPoolIndex; }
  int getNumThreads() const override { return threads_.load(); }
  int setNumThreads(int n) override { return threads_.exchange(std::clamp(n, 1, kMaxThreads)); }
  const char* getName() const override { return "lumivex"; }

 private:
  struct Loop {
    Loop(FN_parallel_for_body_cb_t b, void* d, int n) : body(b), data(d), tasks(n) {}
    FN_parallel_for_body_cb_t body;
    void* data;
    int tasks;
    std::atomic<int> next{0};
    std::mutex failureLock;
    std::exception_ptr failure;
  };

  // OpenCV's loop bodies keep their own exceptions; any other is carried to
  // the caller, after every helper has left the loop it lives in.
  static void work(Loop& loop) {
    try {
      for (int i = loop.next++; i < loop.tasks; i = loop.next++) loop.body(i, i + 1, loop.data);
    } catch (...) {
      loop.next = loop.tasks;
      std::lock_guard<std::mutex> lock(loop.failureLock);
      if (!loop.failure) loop.failure = std::current_exception();
    }
  }

  void open(Loop& loop, int helpers) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (static_cast<int>(workers_) < helpers) startWorker();
    loop_ = &loop;
    seats_ = helpers;
    ++generation_;
    wake_.notify_all();
  }

  // A helper that wakes late finds the seats gone and sleeps again, so the
  // caller waits only for helpers that actually joined.
  void close() {
    std::unique_lock<std::mutex> lock(mutex_);
    seats_ = 0;
    done_.wait(lock, [&] { return running_ == 0; });
    loop_ = nullptr;
  }

  void startWorker() {
    const int index = static_cast<int>(++workers_);
    std::thread([this, index] { serve(index); }).detach();
  }

  void serve(int index) {
    tPoolIndex = index;
    unsigned seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return generation_ != seen; });
      seen = generation_;
      if (seats_ == 0) continue;
      --seats_;
      ++running_;
      Loop* loop = loop_;
      lock.unlock();
      work(*loop);
      lock.lock();
      if (--running_ == 0) done_.notify_all();
    }
  }

  std::atomic<int> threads_{1};
  std::mutex busy_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  unsigned workers_ = 0;
  unsigned generation_ = 0;
  int seats_ = 0;
  int running_ = 0;
  Loop* loop_ = nullptr;
};

// Never destroyed: its threads sleep on it until the process ends, and a
// background job may still run a loop while the process exits.
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

}  // namespace

namespace nl_detail {

void installOpenCVPool(int threads) {
  static std::once_flag once;
  std::call_once(once, [] {
    // A deleter that does nothing: OpenCV's static holder outlives no one.
    std::shared_ptr<cv::parallel::ParallelForAPI> api(&pool(), [](cv::parallel::ParallelForAPI*) {});
    // false: propagating the count would call cv::setNumThreads, which
    // rebuilds the pool OpenCV is leaving.
    cv::parallel::setParallelForBackend(api, false);
  });
  setOpenCVPoolThreads(threads);
}

int openCVPoolThreads() { return pool().getNumThreads(); }

int setOpenCVPoolThreads(int threads) { return pool().setNumThreads(threads); }

}  // namespace nl_detail
