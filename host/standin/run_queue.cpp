#include "standin/detail/host_impl.h"

namespace lvhost {

RunQueue::RunQueue() : thread_([this] { loop(); }) {}

RunQueue::~RunQueue() { stop(); }

bool RunQueue::post(std::function<void()> task, std::function<void()> onDrop) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      tasks_.emplace_back(std::move(task), std::move(onDrop));
      wake_.notify_one();
      return true;
    }
  }
  // A host that is going away still frees what it was handed.
  if (onDrop) onDrop();
  return false;
}

bool RunQueue::idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.empty() && !running_;
}

void RunQueue::stop() {
  std::deque<std::pair<std::function<void()>, std::function<void()>>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && !thread_.joinable()) return;
    stopping_ = true;
    dropped.swap(tasks_);
    wake_.notify_all();
  }
  if (thread_.joinable()) {
    if (onThisThread()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  for (auto& task : dropped) {
    if (task.second) task.second();
  }
}

void RunQueue::loop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      running_ = false;
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      task = std::move(tasks_.front().first);
      tasks_.pop_front();
      running_ = true;
    }
    try {
      task();
    } catch (...) {
      // a task's failure must not take the host's thread down
    }
  }
}

}  // namespace lvhost
