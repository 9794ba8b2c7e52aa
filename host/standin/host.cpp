#include "standin/detail/host_impl.h"

#include <chrono>
#include <future>

#if defined(__APPLE__) || defined(__linux__) || defined(__unix__)
#include <dlfcn.h>
#define LVHOST_HAVE_DLOPEN 1
#endif

namespace lvhost {

using Impl = StandinHost::Impl;

Impl::Impl() {
  values.emplace_back();  // the null handle
  HostValue undefinedValue;
  undefinedId = add(std::move(undefinedValue));
  fillTable(table);
}

ValueId Impl::add(HostValue v) {
  values.push_back(std::move(v));
  return static_cast<ValueId>(values.size() - 1);
}

HostValue* Impl::get(ValueId id) { return id == 0 || id >= values.size() ? nullptr : &values[id]; }
const HostValue* Impl::get(ValueId id) const { return id == 0 || id >= values.size() ? nullptr : &values[id]; }

addon_status Impl::enter(int slot) {
  if (slot < 0 || slot >= static_cast<int>(kAddonApiSlotCount)) return 1;
  calls[slot].fetch_add(1);
  std::lock_guard<std::mutex> lock(failureMutex);
  SlotFailure& f = failures[slot];
  if (f.times == 0) return addon_ok;
  if (f.skip > 0) {
    --f.skip;
    return addon_ok;
  }
  if (f.times > 0) --f.times;
  return f.status;
}

void Impl::notifyActivity() {
  std::lock_guard<std::mutex> lock(activityMutex);
  activity.notify_all();
}

StandinHost::StandinHost() : impl_(new Impl()) {}

StandinHost::~StandinHost() {
  impl_->scriptingThread.stop();
  impl_->mainThread.stop();
}

void StandinHost::runOnScriptingThread(const std::function<void()>& fn) {
  if (impl_->scriptingThread.onThisThread()) {
    fn();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  const bool posted = impl_->scriptingThread.post(
      [fn, done] {
        try {
          fn();
        } catch (...) {
        }
        done->set_value();
      },
      [done] { done->set_value(); });
  (void)posted;
  finished.wait();
}

bool StandinHost::load(const std::string& modulePath, std::string& error) {
#ifdef LVHOST_HAVE_DLOPEN
  void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    error = "cannot load add-on module '" + modulePath + "': " + (why ? why : "unknown reason");
    return false;
  }
  void* symbol = dlsym(module, "uxp_addon_init");
  if (symbol == nullptr) {
    error = "add-on module '" + modulePath + "' has no uxp_addon_init";
    return false;
  }
  return attach(reinterpret_cast<InitFunction>(symbol), error);
#else
  error = "loading add-on modules is not supported on this platform";
  return false;
#endif
}

bool StandinHost::attach(InitFunction init, std::string& error) {
  if (init == nullptr) {
    error = "no entry point";
    return false;
  }
  addon_value returned = nullptr;
  runOnScriptingThread([&] {
    Impl& h = *impl_;
    addon_value exports = nullptr;
    {
      std::lock_guard<std::mutex> lock(h.store);
      HostValue object;
      object.type = HostValue::Object;
      h.exportsId = h.add(std::move(object));
      h.exportOrder.clear();
      h.pending = false;
      exports = Impl::handle(h.exportsId);
    }
    returned = init(h.env(), exports, &h.table);
    std::lock_guard<std::mutex> lock(h.store);
    if (h.pending) {
      h.initError = h.pendingMessage;
      h.pending = false;
    }
  });
  if (returned == nullptr) {
    error = "uxp_addon_init returned no exports";
    if (!impl_->initError.empty()) error += ": " + impl_->initError;
    return false;
  }
  return true;
}

std::vector<std::string> StandinHost::exportNames() const {
  std::lock_guard<std::mutex> lock(impl_->store);
  return impl_->exportOrder;
}

bool StandinHost::hasExport(const std::string& name) const {
  std::lock_guard<std::mutex> lock(impl_->store);
  const HostValue* exports = impl_->get(impl_->exportsId);
  if (exports == nullptr) return false;
  for (const auto& p : exports->props) {
    if (p.first == name) return true;
  }
  return false;
}

std::string StandinHost::initError() const {
  std::lock_guard<std::mutex> lock(impl_->store);
  return impl_->initError;
}

void StandinHost::failSlot(int slot, int times, int skip, int status) {
  if (slot < 0 || slot >= static_cast<int>(kAddonApiSlotCount)) return;
  std::lock_guard<std::mutex> lock(impl_->failureMutex);
  impl_->failures[slot] = SlotFailure{skip, times, status == 0 ? 1 : status};
}

void StandinHost::clearFailures() {
  std::lock_guard<std::mutex> lock(impl_->failureMutex);
  impl_->failures.fill(SlotFailure{});
}

int StandinHost::slotCalls(int slot) const {
  if (slot < 0 || slot >= static_cast<int>(kAddonApiSlotCount)) return 0;
  return impl_->calls[slot].load();
}

const addon_apis& StandinHost::apis() const { return impl_->table; }
addon_env StandinHost::env() const { return impl_->env(); }

bool StandinHost::takePendingError(std::string& code, std::string& message) {
  std::lock_guard<std::mutex> lock(impl_->store);
  if (!impl_->pending) return false;
  code = impl_->pendingCode;
  message = impl_->pendingMessage;
  impl_->pending = false;
  return true;
}

CallResult StandinHost::inspect(addon_value value) const {
  std::lock_guard<std::mutex> lock(impl_->store);
  return inspectLocked(*impl_, Impl::idOf(value), 0);
}

namespace {

ValueId argumentValue(Impl& h, const CallArg& arg) {
  HostValue v;
  switch (arg.kind) {
    case CallArg::None: return 0;
    case CallArg::String: v.type = HostValue::String; v.bytes = arg.text; break;
    case CallArg::Number: v.type = HostValue::Number; v.number = arg.number; break;
    case CallArg::Boolean: v.type = HostValue::Boolean; v.boolean = arg.boolean; break;
  }
  return h.add(std::move(v));
}

int promiseState(Impl& h, ValueId promise) {
  std::lock_guard<std::mutex> lock(h.store);
  const HostValue* p = h.get(promise);
  return p ? p->promiseState : 0;
}

// Waits until the promise settles, the time is up, or nothing is left queued
// on either thread that could still settle it.
void awaitPromise(Impl& h, ValueId promise, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (promiseState(h, promise) != 0) return;
    // main first: a main-thread task queues its scripting-thread follow-up before it ends
    if (h.mainThread.idle() && h.scriptingThread.idle()) {
      if (promiseState(h, promise) == 0) return;
    }
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return;
    std::unique_lock<std::mutex> lock(h.activityMutex);
    h.activity.wait_for(lock, std::chrono::milliseconds(20));
  }
}

CallResult settledResult(Impl& h, ValueId promise) {
  std::lock_guard<std::mutex> lock(h.store);
  const HostValue* p = h.get(promise);
  CallResult result;
  if (p == nullptr || p->promiseState == 0) {
    result.kind = ResultKind::Pending;
    result.text = "the promise was not settled";
    return result;
  }
  result.kind = p->promiseState == 1 ? ResultKind::Resolved : ResultKind::Rejected;
  result.settled = std::make_shared<CallResult>(inspectLocked(h, p->settledValue, 0));
  return result;
}

}  // namespace

CallResult StandinHost::call(const std::string& name, const CallArg& arg, int timeoutMs) {
  Impl& h = *impl_;
  CallResult result;
  ValueId returned = 0;
  bool found = false;
  runOnScriptingThread([&] {
    addon_callback callback = nullptr;
    void* data = nullptr;
    CallInfo* info = nullptr;
    {
      std::lock_guard<std::mutex> lock(h.store);
      const HostValue* exports = h.get(h.exportsId);
      for (size_t i = 0; exports != nullptr && i < exports->props.size(); ++i) {
        const HostValue* f = h.get(exports->props[i].second);
        if (exports->props[i].first == name && f != nullptr && f->type == HostValue::Function) {
          callback = f->callback;
          data = f->data;
        }
      }
      if (callback == nullptr) return;
      found = true;
      h.callInfos.emplace_back();
      info = &h.callInfos.back();  // deque: stays put while others are added
      if (ValueId a = argumentValue(h, arg)) info->args.push_back(a);
      info->thisArg = h.exportsId;
      info->data = data;
      h.pending = false;
    }
    returned = Impl::idOf(callback(h.env(), reinterpret_cast<addon_callback_info>(info)));
    std::lock_guard<std::mutex> lock(h.store);
    result = inspectLocked(h, returned, 0);
    result.threw = h.pending;
    result.thrownMessage = h.pending ? h.pendingMessage : std::string();
    h.pending = false;
  });
  if (!found) {
    CallResult missing;
    missing.kind = ResultKind::NoSuchExport;
    missing.text = "the add-on has no export named '" + name + "'";
    return missing;
  }
  bool isPromise = false;
  {
    std::lock_guard<std::mutex> lock(h.store);
    const HostValue* v = h.get(returned);
    isPromise = v != nullptr && v->type == HostValue::Promise;
  }
  if (!isPromise) return result;
  awaitPromise(h, returned, timeoutMs);
  CallResult settled = settledResult(h, returned);
  settled.threw = result.threw;
  settled.thrownMessage = result.thrownMessage;
  return settled;
}

CallResult runJobThroughAddon(const std::string& modulePath, const std::string& jobPath) {
  StandinHost host;
  std::string error;
  if (!host.load(modulePath, error)) {
    CallResult failed;
    failed.kind = ResultKind::NotLoaded;
    failed.text = error;
    return failed;
  }
  return host.call("my_echo", CallArg::string(jobPath));
}

}  // namespace lvhost
