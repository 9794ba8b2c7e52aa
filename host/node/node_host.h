// The Node.js host: the add-on's host function table over Node-API, with a
// worker standing in for the editor's main thread and the JavaScript thread
// as the scripting thread. Shared by the sources of this folder only.
#pragma once

#include "addon/addon.h"

#include <node_api.h>

namespace lvnode {

// Non-zero statuses of this host's own, beside Node-API's.
enum : addon_status {
  kOffScriptingThread = 100,  // a value slot called from a thread that is not JavaScript's
  kNoHost = 101,              // the environment was never set up or is being torn down
};

// The table handed to every module's uxp_addon_init; filled once.
const addon_apis& hostTable();

// True on a thread that runs JavaScript of an environment this module set up.
bool onScriptingThread();

// Per environment: the "main thread" worker, the thread-safe function back
// onto JavaScript, and the modules loaded into it (terminated on teardown).
napi_status setUpEnvironment(napi_env env);
void rememberTerminate(napi_env env, void (*terminateFn)(addon_env));

addon_status scheduleOnMainThread(addon_env env, addon_task_callback callback, void* data,
                                  addon_task_callback finalizer);
addon_status scheduleOnScriptingThread(addon_env env, addon_task_callback callback, void* data,
                                       addon_task_callback finalizer);

// What is alive right now, for leak checks from JavaScript: native functions
// not yet collected, handle scopes opened through the table and not closed,
// scheduled callbacks not yet run or dropped.
long liveFunctionCount();
long openScopeCount();
long pendingTaskCount();

}  // namespace lvnode
