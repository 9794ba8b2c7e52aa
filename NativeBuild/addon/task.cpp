// Task and the asynchronous echo: the job runs on the host's main thread and
// its outcome settles a promise back on the scripting thread.
#include "addon/task.h"

#include "addon/dispatch.h"
#include "addon/entry.h"

#include <exception>
#include <string>
#include <utility>

namespace {

const addon_apis& host() { return UxpAddonInterface::instance().apis(); }

void check(addon_status status) {
  if (status != addon_ok) throw "error";
}

}  // namespace

std::shared_ptr<Task> Task::Create() {
  std::shared_ptr<Task> task(new Task());
  task->self_ = task;
  return task;
}

TaskWrapper* Task::newWrapper() { return new TaskWrapper{std::shared_ptr<Task>(self_)}; }

addon_value Task::ScheduleOnMainThread(addon_env env, const MainThreadHandler& handler) {
  if (deferred_ != nullptr) throw "Tasks can only be used to schedule one operation";
  mainThreadHandler_ = handler;
  addon_value promise = nullptr;
  check(host().create_promise(env, &deferred_, &promise));
  TaskWrapper* wrapper = newWrapper();
  env_ = env;
  // A refused scheduling would leave the promise pending for ever: the caller
  // gets an error value instead. The wrapper stays with the host, which may
  // already have finalised it.
  check(host().schedule_on_main_thread(env, TaskWrapper::MainThreadThunk, wrapper, TaskWrapperDestructor));
  return promise;
}

addon_status Task::ScheduleOnScriptingThread(const ScriptingThreadHandler& handler) {
  scriptingThreadHandler_ = handler;
  TaskWrapper* wrapper = newWrapper();
  return host().schedule_on_scripting_thread(env_, TaskWrapper::ScriptingThreadThunk, wrapper,
                                             TaskWrapperDestructor);
}

void Task::SetResult(Value&& value, bool isError) {
  result_.reset(new Value(std::move(value)));
  isError_ = isError;
}

const Value& Task::GetResult(bool& isError) const {
  isError = isError_;
  if (!result_) throw "No result was set";
  return *result_;
}

void Task::InvokeMainThreadHandler() {
  MainThreadHandler handler = std::move(mainThreadHandler_);
  mainThreadHandler_ = nullptr;
  if (handler) handler(*this);
}

void Task::InvokeScriptingThreadHandler() {
  ScriptingThreadHandler handler = std::move(scriptingThreadHandler_);
  scriptingThreadHandler_ = nullptr;
  const addon_deferred deferred = deferred_;
  deferred_ = nullptr;
  if (handler) handler(*this, env_, deferred);
}

void TaskWrapper::MainThreadThunk(void* data) {
  try {
    static_cast<TaskWrapper*>(data)->task->InvokeMainThreadHandler();
  } catch (...) {
  }
}

void TaskWrapper::ScriptingThreadThunk(void* data) {
  try {
    static_cast<TaskWrapper*>(data)->task->InvokeScriptingThreadHandler();
  } catch (...) {
  }
}

void TaskWrapperDestructor(void* data) { delete static_cast<TaskWrapper*>(data); }

// ---- my_echo_async --------------------------------------------------------------

namespace {

const char* const kStdFailure = "Lumivex Hybrid async stack failed with std::exception:\n";
const char* const kCStringFailure = "Lumivex Hybrid async stack failed with const char* exception:\n";
const char* const kUndeliverable = "Lumivex async result could not be delivered.";

void runJobInto(Task& task, const std::string& jobPath, const NLJobRunner& runner) {
  try {
    runner(NL_detectJobKind(jobPath), jobPath);  // the script reads the job's own result log
    task.SetResult(Value(true), false);
  } catch (const std::exception& e) {
    task.SetResult(Value(kStdFailure + std::string(e.what())), true);
  } catch (const char* text) {
    task.SetResult(Value(kCStringFailure + std::string(text ? text : "")), true);
  } catch (...) {
    task.SetResult(Value(true), true);
  }
}

// Last resort when the outcome cannot be delivered: a rejection the script can
// see rather than a promise that never settles.
void rejectUndeliverable(addon_env env, addon_deferred deferred) {
  addon_value reason = nullptr;
  if (host().create_string_utf8(env, kUndeliverable, std::string(kUndeliverable).size(), &reason) != addon_ok &&
      host().get_undefined(env, &reason) != addon_ok)
    return;
  host().reject_deferred(env, deferred, reason);
}

void settlePromise(Task& task, addon_env env, addon_deferred deferred) {
  addon_handle_scope scope = nullptr;
  if (host().open_handle_scope(env, &scope) != addon_ok) return;
  try {
    bool isError = false;
    const addon_value value = task.GetResult(isError).Convert(env);
    check(isError ? host().reject_deferred(env, deferred, value) : host().resolve_deferred(env, deferred, value));
  } catch (...) {
    rejectUndeliverable(env, deferred);
  }
  host().close_handle_scope(env, scope);
}

}  // namespace

addon_value NL_echoAsyncWith(addon_env env, addon_callback_info info, const NLJobRunner& runner) {
  try {
    auto jobPath = std::make_shared<const std::string>(Value(env, NL_firstArgument(env, info)).GetString());
    std::shared_ptr<Task> task = Task::Create();
    return task->ScheduleOnMainThread(env, [jobPath, runner](Task& t) {
      runJobInto(t, *jobPath, runner);
      t.ScheduleOnScriptingThread(settlePromise);
    });
  } catch (...) {
    return CreateErrorFromException(env);
  }
}

addon_value MyAsyncEcho(addon_env env, addon_callback_info info) { return NL_echoAsyncWith(env, info, NL_runJobOfKind); }
