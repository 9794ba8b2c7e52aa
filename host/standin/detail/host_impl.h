// Inner working of the stand-in host: the value store, the two run queues,
// fault injection. Shared by the files of host/standin only.
#pragma once

#include "standin/host.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace lvhost {

// Type codes this host reports beyond the ones the add-on relies on.
enum : addon_valuetype { kTypeNull = 1, kTypeFunction = 7, kTypeArray = 9 };

using ValueId = std::uint32_t;  // 0 is the null handle

struct HostValue {
  enum Type { Undefined, Null, Boolean, Number, String, Object, Array, Function, Error, Promise };
  Type type = Undefined;
  bool boolean = false;
  double number = 0.0;
  std::string bytes;                                     // String
  std::vector<std::pair<std::string, ValueId>> props;    // Object, Error, Function: in the order set
  std::vector<ValueId> elements;                         // Array
  addon_callback callback = nullptr;                     // Function
  void* data = nullptr;                                  // Function
  std::string errorCode, errorMessage;                   // Error
  int promiseState = 0;                                  // Promise: 0 pending, 1 resolved, 2 rejected
  ValueId settledValue = 0;                              // Promise
};

struct CallInfo {
  std::vector<ValueId> args;
  ValueId thisArg = 0;
  void* data = nullptr;
};

// One thread with a run queue; tasks run in the order posted.
class RunQueue {
 public:
  RunQueue();
  ~RunQueue();
  // False when the queue is shutting down; the task is then not run.
  bool post(std::function<void()> task, std::function<void()> onDrop);
  // No task waiting and none running.
  bool idle() const;
  bool onThisThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  void stop();  // waits for the running task; drops the waiting ones

 private:
  void loop();
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::function<void()>, std::function<void()>>> tasks_;
  bool running_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

struct SlotFailure {
  int skip = 0;
  int times = 0;  // < 0 forever
  addon_status status = 1;
};

struct StandinHost::Impl {
  Impl();

  // ---- value store (guarded by store) ----
  mutable std::mutex store;
  std::vector<HostValue> values;  // index 0 unused: the null handle
  std::deque<CallInfo> callInfos;
  ValueId undefinedId = 0;
  bool pending = false;
  std::string pendingCode, pendingMessage;
  int scopeDepth = 0;
  ValueId exportsId = 0;
  std::vector<std::string> exportOrder;
  std::string initError;

  ValueId add(HostValue v);
  HostValue* get(ValueId id);
  const HostValue* get(ValueId id) const;
  static ValueId idOf(addon_value v) { return static_cast<ValueId>(reinterpret_cast<std::uintptr_t>(v)); }
  static addon_value handle(ValueId id) { return reinterpret_cast<addon_value>(static_cast<std::uintptr_t>(id)); }
  addon_env env() { return reinterpret_cast<addon_env>(this); }

  // ---- fault injection ----
  std::mutex failureMutex;
  std::array<SlotFailure, kAddonApiSlotCount> failures{};
  std::array<std::atomic<int>, kAddonApiSlotCount> calls{};
  // Counts the call; non-zero when an injected failure applies.
  addon_status enter(int slot);

  // ---- threads; settled promises and finished tasks wake waiters ----
  std::mutex activityMutex;
  std::condition_variable activity;
  void notifyActivity();
  RunQueue mainThread;
  RunQueue scriptingThread;

  addon_apis table{};
};

void fillTable(addon_apis& table);
// Builds the record of a stored value; the store lock must be held.
CallResult inspectLocked(const StandinHost::Impl& impl, ValueId id, int depth);

}  // namespace lvhost
