// The two scheduling slots. The editor runs asynchronous jobs off the
// script's thread and settles their promises back on it; here a worker of
// our own plays the editor's main thread and a thread-safe function carries
// callbacks onto the JavaScript thread.
#include "node_host.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace lvnode {
namespace {

struct Item {
  addon_task_callback callback;  // null: a main-thread task has finished (see runMainThread)
  void* data;
  addon_task_callback finalizer;
};

struct Environment {
  napi_env env = nullptr;
  std::thread::id scriptingThread;
  napi_threadsafe_function toScript = nullptr;
  // Callbacks scheduled and not yet run; while any are, the JavaScript event
  // loop is kept alive so a pending promise cannot be abandoned by Node exiting.
  std::atomic<long> outstanding{0};
  bool keepsLoopAlive = false;  // scripting thread only
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Item> mainQueue;
  bool stopping = false;
  std::thread mainThread;
  std::vector<void (*)(addon_env)> terminators;
};

thread_local bool tScripting = false;
std::atomic<long> gPending{0};
std::mutex gRegistryMutex;
std::map<napi_env, Environment*> gRegistry;

void runGuarded(addon_task_callback callback, void* data) {
  if (callback == nullptr) return;
  try {
    callback(data);
  } catch (...) {
    // a callback's failure must not take down the thread that ran it
  }
}

bool onScriptingThreadOf(const Environment& e) { return std::this_thread::get_id() == e.scriptingThread; }

void countTask(Environment& e) {
  ++gPending;
  ++e.outstanding;
  // Only the scripting thread may hold the loop; a task scheduled from
  // elsewhere is always inside one that already does.
  if (onScriptingThreadOf(e) && !e.keepsLoopAlive &&
      napi_ref_threadsafe_function(e.env, e.toScript) == napi_ok) {
    e.keepsLoopAlive = true;
  }
}

void uncountTask(Environment& e) {
  --gPending;
  if (--e.outstanding == 0 && onScriptingThreadOf(e) && e.keepsLoopAlive &&
      napi_unref_threadsafe_function(e.env, e.toScript) == napi_ok) {
    e.keepsLoopAlive = false;
  }
}

// Runs on the JavaScript thread; env is null when Node is tearing the
// environment down, and then only the data is freed.
void callJs(napi_env env, napi_value /*function*/, void* context, void* data) {
  Item* item = static_cast<Item*>(data);
  if (env == nullptr) {
    runGuarded(item->finalizer, item->data);
    delete item;
    --gPending;
    return;
  }
  runGuarded(item->callback, item->data);
  runGuarded(item->finalizer, item->data);
  delete item;
  uncountTask(*static_cast<Environment*>(context));
}

void runMainThread(Environment* e) {
  for (;;) {
    Item item{};
    {
      std::unique_lock<std::mutex> lock(e->mutex);
      e->wake.wait(lock, [e] { return e->stopping || !e->mainQueue.empty(); });
      if (e->stopping) return;
      item = e->mainQueue.front();
      e->mainQueue.pop_front();
    }
    runGuarded(item.callback, item.data);
    runGuarded(item.finalizer, item.data);
    // The task stops counting on the scripting thread, behind whatever it
    // queued there itself, so the loop stays alive until its promise settles.
    Item* done = new Item{nullptr, nullptr, nullptr};
    if (napi_call_threadsafe_function(e->toScript, done, napi_tsfn_blocking) != napi_ok) {
      delete done;
      --gPending;
      --e->outstanding;
    }
  }
}

void finalizeEnvironment(napi_env /*env*/, void* data, void* /*hint*/) { delete static_cast<Environment*>(data); }

// Node is tearing the environment down: no new work, drop what is queued
// (freeing its data), wait for the task that is running, close the path back.
void tearDown(void* arg) {
  Environment* e = static_cast<Environment*>(arg);
  {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    gRegistry.erase(e->env);
  }
  std::deque<Item> dropped;
  {
    std::lock_guard<std::mutex> lock(e->mutex);
    e->stopping = true;
    dropped.swap(e->mainQueue);
  }
  e->wake.notify_all();
  if (e->mainThread.joinable()) e->mainThread.join();
  for (const Item& item : dropped) {
    runGuarded(item.finalizer, item.data);
    --gPending;
  }
  for (auto terminateFn : e->terminators) terminateFn(reinterpret_cast<addon_env>(e->env));
  napi_release_threadsafe_function(e->toScript, napi_tsfn_abort);
}

// The environment a scheduling call names, or null once it is gone.
Environment* findEnvironment(addon_env env) {
  auto it = gRegistry.find(reinterpret_cast<napi_env>(env));
  return it == gRegistry.end() ? nullptr : it->second;
}

// Hands the item to enqueue with the environment the call names, under the
// registry lock so that teardown cannot free it meanwhile. Work the host will
// never run is still handed back to be freed.
template <typename Enqueue>
addon_status schedule(addon_env env, const Item& item, Enqueue enqueue) {
  addon_status status = kNoHost;
  {
    std::lock_guard<std::mutex> registryLock(gRegistryMutex);
    if (Environment* e = findEnvironment(env)) status = enqueue(*e, item);
  }
  if (status != addon_ok) runGuarded(item.finalizer, item.data);
  return status;
}

}  // namespace

bool onScriptingThread() { return tScripting; }

long pendingTaskCount() { return gPending.load(); }

napi_status setUpEnvironment(napi_env env) {
  tScripting = true;
  auto* e = new Environment;
  e->env = env;
  e->scriptingThread = std::this_thread::get_id();
  napi_value name = nullptr;
  napi_status s = napi_create_string_utf8(env, "lumivex scripting thread", NAPI_AUTO_LENGTH, &name);
  if (s == napi_ok) {
    s = napi_create_threadsafe_function(env, nullptr, nullptr, name, 0, 1, e, finalizeEnvironment, e, callJs,
                                        &e->toScript);
  }
  if (s != napi_ok) {
    delete e;
    return s;
  }
  // Idle, the host must not keep Node from exiting.
  napi_unref_threadsafe_function(env, e->toScript);
  try {
    e->mainThread = std::thread(runMainThread, e);
  } catch (...) {
    napi_release_threadsafe_function(e->toScript, napi_tsfn_abort);
    return napi_generic_failure;
  }
  {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    gRegistry[env] = e;
  }
  // Added after the thread-safe function so that it runs before Node's own
  // teardown of it (cleanup hooks run newest first).
  return napi_add_env_cleanup_hook(env, tearDown, e);
}

void rememberTerminate(napi_env env, void (*terminateFn)(addon_env)) {
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  Environment* e = findEnvironment(reinterpret_cast<addon_env>(env));
  if (e == nullptr || terminateFn == nullptr) return;
  if (std::find(e->terminators.begin(), e->terminators.end(), terminateFn) == e->terminators.end()) {
    e->terminators.push_back(terminateFn);
  }
}

addon_status scheduleOnMainThread(addon_env env, addon_task_callback callback, void* data,
                                  addon_task_callback finalizer) {
  return schedule(env, Item{callback, data, finalizer}, [](Environment& e, const Item& item) -> addon_status {
    std::lock_guard<std::mutex> lock(e.mutex);
    if (e.stopping) return kNoHost;
    countTask(e);
    e.mainQueue.push_back(item);
    e.wake.notify_one();
    return addon_ok;
  });
}

addon_status scheduleOnScriptingThread(addon_env env, addon_task_callback callback, void* data,
                                       addon_task_callback finalizer) {
  return schedule(env, Item{callback, data, finalizer}, [](Environment& e, const Item& item) -> addon_status {
    countTask(e);
    Item* queued = new Item(item);
    const napi_status status = napi_call_threadsafe_function(e.toScript, queued, napi_tsfn_blocking);
    if (status != napi_ok) {
      delete queued;
      uncountTask(e);
    }
    return status;
  });
}

}  // namespace lvnode
