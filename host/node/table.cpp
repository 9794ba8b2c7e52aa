// The value, function, property, promise and scope slots of the host table,
// each a thin pass onto Node-API. Handles are Node-API's own, unchanged.
#include "node_host.h"

#include <atomic>

namespace lvnode {
namespace {

// Arrays must not report the object code: the add-on turns every code-6
// value into a keyed map. Node-API's own codes end at 9 (bigint).
constexpr addon_valuetype kTypeArray = 10;

std::atomic<long> gFunctions{0};
std::atomic<long> gOpenScopes{0};

napi_env E(addon_env env) { return reinterpret_cast<napi_env>(env); }
napi_value V(addon_value value) { return reinterpret_cast<napi_value>(value); }
napi_value* VP(addon_value* out) { return reinterpret_cast<napi_value*>(out); }

// Value slots touch the JavaScript engine, which only its own thread may do;
// a wrong-thread call fails instead of corrupting the engine.
#define ON_SCRIPTING_THREAD() \
  if (!onScriptingThread()) return kOffScriptingThread

// What a function created through the table carries to its trampoline.
struct FunctionRecord {
  addon_callback callback;
  void* data;
};

void releaseFunction(napi_env /*env*/, void* data, void* /*hint*/) {
  delete static_cast<FunctionRecord*>(data);
  --gFunctions;
}

napi_value callThrough(napi_env env, napi_callback_info info) {
  void* data = nullptr;
  if (napi_get_cb_info(env, info, nullptr, nullptr, nullptr, &data) != napi_ok || data == nullptr) return nullptr;
  const FunctionRecord& record = *static_cast<FunctionRecord*>(data);
  try {
    return V(record.callback(reinterpret_cast<addon_env>(env), reinterpret_cast<addon_callback_info>(info)));
  } catch (...) {
    // A C++ exception must not unwind through the engine's frames.
    napi_throw_error(env, nullptr, "native function threw an exception");
    return nullptr;
  }
}

addon_status getCallbackInfo(addon_env env, addon_callback_info info, size_t* argc, addon_value* argv,
                             addon_value* thisArg, void** data) {
  ON_SCRIPTING_THREAD();
  void* record = nullptr;
  napi_status s = napi_get_cb_info(E(env), reinterpret_cast<napi_callback_info>(info), argc, VP(argv),
                                   VP(thisArg), &record);
  if (s == napi_ok && data != nullptr) *data = record ? static_cast<FunctionRecord*>(record)->data : nullptr;
  return s;
}

addon_status throwError(addon_env env, const char* code, const char* message) {
  ON_SCRIPTING_THREAD();
  return napi_throw_error(E(env), code, message);
}

addon_status createFunction(addon_env env, const char* name, size_t length, addon_callback callback, void* data,
                            addon_value* result) {
  ON_SCRIPTING_THREAD();
  if (callback == nullptr || result == nullptr) return napi_invalid_arg;
  auto* record = new FunctionRecord{callback, data};
  napi_status s = napi_create_function(E(env), name, name ? length : 0, callThrough, record, VP(result));
  if (s == napi_ok) s = napi_add_finalizer(E(env), V(*result), record, releaseFunction, nullptr, nullptr);
  if (s != napi_ok) {
    delete record;
    return s;
  }
  ++gFunctions;
  return napi_ok;
}

addon_status setNamedProperty(addon_env env, addon_value object, const char* name, addon_value value) {
  ON_SCRIPTING_THREAD();
  return napi_set_named_property(E(env), V(object), name, V(value));
}

addon_status getUndefined(addon_env env, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_undefined(E(env), VP(result));
}

addon_status getBoolean(addon_env env, bool value, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_boolean(E(env), value, VP(result));
}

addon_status createObject(addon_env env, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_create_object(E(env), VP(result));
}

addon_status createArray(addon_env env, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_create_array(E(env), VP(result));
}

addon_status createDouble(addon_env env, double value, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_create_double(E(env), value, VP(result));
}

// Exactly `length` bytes, zero bytes included: a log may carry any byte.
addon_status createStringUtf8(addon_env env, const char* bytes, size_t length, addon_value* result) {
  ON_SCRIPTING_THREAD();
  if (bytes == nullptr && length == 0) bytes = "";
  return napi_create_string_utf8(E(env), bytes, length, VP(result));
}

addon_status createError(addon_env env, addon_value code, addon_value message, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_create_error(E(env), V(code), V(message), VP(result));
}

addon_status typeOf(addon_env env, addon_value value, addon_valuetype* result) {
  ON_SCRIPTING_THREAD();
  if (result == nullptr) return napi_invalid_arg;
  napi_valuetype type = napi_undefined;
  napi_status s = napi_typeof(E(env), V(value), &type);
  if (s != napi_ok) return s;
  bool isArray = false;
  if (type == napi_object && (s = napi_is_array(E(env), V(value), &isArray)) != napi_ok) return s;
  *result = isArray ? kTypeArray : static_cast<addon_valuetype>(type);
  return napi_ok;
}

addon_status getValueDouble(addon_env env, addon_value value, double* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_value_double(E(env), V(value), result);
}

addon_status getValueBool(addon_env env, addon_value value, bool* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_value_bool(E(env), V(value), result);
}

addon_status getValueStringUtf8(addon_env env, addon_value value, char* buffer, size_t size, size_t* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_value_string_utf8(E(env), V(value), buffer, size, result);
}

// The object's own enumerable string keys in the engine's order, as a script's
// Object.keys sees them; inherited members are not the object's data.
addon_status getPropertyNames(addon_env env, addon_value object, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_all_property_names(E(env), V(object), napi_key_own_only,
                                     static_cast<napi_key_filter>(napi_key_enumerable | napi_key_skip_symbols),
                                     napi_key_numbers_to_strings, VP(result));
}

addon_status setProperty(addon_env env, addon_value object, addon_value key, addon_value value) {
  ON_SCRIPTING_THREAD();
  return napi_set_property(E(env), V(object), V(key), V(value));
}

addon_status getProperty(addon_env env, addon_value object, addon_value key, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_property(E(env), V(object), V(key), VP(result));
}

addon_status setElement(addon_env env, addon_value array, uint32_t index, addon_value value) {
  ON_SCRIPTING_THREAD();
  return napi_set_element(E(env), V(array), index, V(value));
}

addon_status getElement(addon_env env, addon_value array, uint32_t index, addon_value* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_element(E(env), V(array), index, VP(result));
}

addon_status isArray(addon_env env, addon_value value, bool* result) {
  ON_SCRIPTING_THREAD();
  return napi_is_array(E(env), V(value), result);
}

addon_status getArrayLength(addon_env env, addon_value value, uint32_t* result) {
  ON_SCRIPTING_THREAD();
  return napi_get_array_length(E(env), V(value), result);
}

addon_status openHandleScope(addon_env env, addon_handle_scope* result) {
  ON_SCRIPTING_THREAD();
  napi_status s = napi_open_handle_scope(E(env), reinterpret_cast<napi_handle_scope*>(result));
  if (s == napi_ok) ++gOpenScopes;
  return s;
}

addon_status closeHandleScope(addon_env env, addon_handle_scope scope) {
  ON_SCRIPTING_THREAD();
  napi_status s = napi_close_handle_scope(E(env), reinterpret_cast<napi_handle_scope>(scope));
  if (s == napi_ok) --gOpenScopes;
  return s;
}

addon_status createPromise(addon_env env, addon_deferred* deferred, addon_value* promise) {
  ON_SCRIPTING_THREAD();
  return napi_create_promise(E(env), reinterpret_cast<napi_deferred*>(deferred), VP(promise));
}

addon_status resolveDeferred(addon_env env, addon_deferred deferred, addon_value value) {
  ON_SCRIPTING_THREAD();
  return napi_resolve_deferred(E(env), reinterpret_cast<napi_deferred>(deferred), V(value));
}

addon_status rejectDeferred(addon_env env, addon_deferred deferred, addon_value value) {
  ON_SCRIPTING_THREAD();
  return napi_reject_deferred(E(env), reinterpret_cast<napi_deferred>(deferred), V(value));
}

addon_apis makeTable() {
  addon_apis t{};
#define LV_FILL_SLOT(slot, function) t.slot = function;
  LV_ADDON_API_SLOTS(LV_FILL_SLOT)
#undef LV_FILL_SLOT
  return t;
}

}  // namespace

const addon_apis& hostTable() {
  static const addon_apis table = makeTable();
  return table;
}

long liveFunctionCount() { return gFunctions.load(); }
long openScopeCount() { return gOpenScopes.load(); }

}  // namespace lvnode
