// The Node.js module: load(modulePath[, entry]) opens an add-on module and
// runs its entry point with this host's table, returning the exports object
// the add-on filled; counts() tells what the host holds alive.
#include "node_host.h"

#include <string>

#if defined(_WIN32)
#else
#include <dlfcn.h>
#endif

namespace lvnode {
namespace {

using InitFunction = addon_value (*)(addon_env, addon_value, const addon_apis*);
using TerminateFunction = void (*)(addon_env);

napi_value throwLoadError(napi_env env, const std::string& message) {
  napi_throw_error(env, "ERR_LUMIVEX_LOAD", message.c_str());
  return nullptr;
}

bool stringArgument(napi_env env, napi_value value, std::string& out) {
  size_t length = 0;
  if (napi_get_value_string_utf8(env, value, nullptr, 0, &length) != napi_ok) return false;
  out.assign(length, '\0');
  return napi_get_value_string_utf8(env, value, &out[0], length + 1, &length) == napi_ok;
}

// The module stays mapped for the life of the process: a background job it
// started may still be running its code.
void* openModule(const std::string& path, std::string& error) {
#if defined(_WIN32)
  error = "loading add-on modules is not supported on this platform";
  return nullptr;
#else
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) error = dlerror();
  return handle;
#endif
}

void* findSymbol(void* handle, const std::string& name) {
#if defined(_WIN32)
  return nullptr;
#else
  return dlsym(handle, name.c_str());
#endif
}

napi_value load(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2] = {nullptr, nullptr};
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  std::string path;
  std::string entry = "uxp_addon_init";
  if (argc < 1 || !stringArgument(env, argv[0], path)) return throwLoadError(env, "load: the module path must be a string");
  if (argc > 1 && !stringArgument(env, argv[1], entry)) return throwLoadError(env, "load: the entry name must be a string");

  std::string error;
  void* handle = openModule(path, error);
  if (handle == nullptr) return throwLoadError(env, "Cannot load add-on module " + path + ": " + error);
  auto init = reinterpret_cast<InitFunction>(findSymbol(handle, entry));
  if (init == nullptr) return throwLoadError(env, "Add-on module " + path + " has no entry point " + entry);
  rememberTerminate(env, reinterpret_cast<TerminateFunction>(findSymbol(handle, "uxp_addon_terminate")));

  napi_value exports = nullptr;
  if (napi_create_object(env, &exports) != napi_ok) return nullptr;
  napi_value result = reinterpret_cast<napi_value>(
      init(reinterpret_cast<addon_env>(env), reinterpret_cast<addon_value>(exports), &hostTable()));
  // An error the add-on raised during initialisation reaches the script as
  // the exception of this call.
  bool pending = false;
  napi_is_exception_pending(env, &pending);
  if (pending) return nullptr;
  if (result == nullptr) return throwLoadError(env, "The entry point of " + path + " returned no exports object");
  return result;
}

napi_value counts(napi_env env, napi_callback_info /*info*/) {
  napi_value out = nullptr;
  napi_create_object(env, &out);
  const struct {
    const char* name;
    long value;
  } fields[] = {{"functions", liveFunctionCount()}, {"openScopes", openScopeCount()}, {"pendingTasks", pendingTaskCount()}};
  for (const auto& field : fields) {
    napi_value number = nullptr;
    napi_create_double(env, static_cast<double>(field.value), &number);
    napi_set_named_property(env, out, field.name, number);
  }
  return out;
}

napi_status exportFunction(napi_env env, napi_value exports, const char* name, napi_callback fn) {
  napi_value function = nullptr;
  napi_status s = napi_create_function(env, name, NAPI_AUTO_LENGTH, fn, nullptr, &function);
  return s == napi_ok ? napi_set_named_property(env, exports, name, function) : s;
}

}  // namespace
}  // namespace lvnode

NAPI_MODULE_INIT() {
  using namespace lvnode;
  if (setUpEnvironment(env) != napi_ok) {
    napi_throw_error(env, nullptr, "lumivex: could not set up the host's threads");
    return nullptr;
  }
  napi_value defaultPath = nullptr;
  if (exportFunction(env, exports, "load", load) != napi_ok ||
      exportFunction(env, exports, "counts", counts) != napi_ok ||
      napi_create_string_utf8(env, LUMIVEX_ADDON_DEFAULT_PATH, NAPI_AUTO_LENGTH, &defaultPath) != napi_ok ||
      napi_set_named_property(env, exports, "defaultAddonPath", defaultPath) != napi_ok) {
    return nullptr;
  }
  return exports;
}
