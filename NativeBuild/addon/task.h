// Task: the one-shot carrier of an asynchronous call's round trip -- handler
// run on the host's main thread, result, promise settled on the scripting
// thread. TaskWrapper is the heap record handed to the host's scheduling
// calls; it keeps the task alive until the host has run or dropped it.
#pragma once

#include "addon/addon.h"
#include "addon/dispatch.h"
#include "addon/value.h"

#include <functional>
#include <memory>

struct TaskWrapper;

class Task {
 public:
  using MainThreadHandler = std::function<void(Task&)>;
  using ScriptingThreadHandler = std::function<void(Task&, addon_env, addon_deferred)>;

  // Always owned through a shared pointer: scheduling hands out further references.
  static std::shared_ptr<Task> Create();

  // Creates the promise and schedules the handler on the host's main thread.
  // A second scheduling throws "Tasks can only be used to schedule one operation";
  // host failures throw "error".
  addon_value ScheduleOnMainThread(addon_env env, const MainThreadHandler& handler);
  // Schedules the handler on the scripting thread with the stored environment
  // and the promise's deferred; returns the host's status.
  addon_status ScheduleOnScriptingThread(const ScriptingThreadHandler& handler);

  void SetResult(Value&& value, bool isError);
  // Sets isError first; throws "No result was set" when there is none.
  const Value& GetResult(bool& isError) const;

  // The thunks' steps with exceptions let through.
  void InvokeMainThreadHandler();
  void InvokeScriptingThreadHandler();

 private:
  Task() = default;
  // A wrapper holding a new reference; throws std::bad_weak_ptr when the task has no owner.
  TaskWrapper* newWrapper();

  std::weak_ptr<Task> self_;
  MainThreadHandler mainThreadHandler_;
  ScriptingThreadHandler scriptingThreadHandler_;
  addon_deferred deferred_ = nullptr;
  std::unique_ptr<Value> result_;
  bool isError_ = false;
  addon_env env_ = nullptr;
};

struct TaskWrapper {
  std::shared_ptr<Task> task;

  // Run the task's handler on the host's thread; every exception is dropped.
  static void MainThreadThunk(void* data);
  static void ScriptingThreadThunk(void* data);
};

// Finaliser handed to the host: releases the wrapper's reference and frees it.
void TaskWrapperDestructor(void* data);

// my_echo_async with the runner given (MyAsyncEcho passes the jobs' own):
// the job runs on the host's main thread; the promise resolves with true, or
// is rejected with the failure text when the runner throws.
addon_value NL_echoAsyncWith(addon_env env, addon_callback_info info, const NLJobRunner& runner);
