// A test add-on: the real module's exports plus a few functions that push
// values through the add-on's own Value code and promises through both
// scheduling slots, so the Node.js host's table is checked in every direction.
#include "addon/entry.h"
#include "addon/value.h"

#include <string>

namespace {

const addon_apis& host() { return UxpAddonInterface::instance().apis(); }

void check(addon_status status) {
  if (status != addon_ok) throw "error";
}

// probe_round_trip(x): x into a Value and straight back out.
addon_value ProbeRoundTrip(addon_env env, addon_callback_info info) {
  try {
    return Value(env, NL_firstArgument(env, info)).Convert(env);
  } catch (...) {
    return CreateErrorFromException(env);
  }
}

// probe_bytes(): a string whose bytes include a zero, made by the add-on.
addon_value ProbeBytes(addon_env env, addon_callback_info /*info*/) {
  static const char kBytes[] = "zero\0byte";
  addon_value out = nullptr;
  if (host().create_string_utf8(env, kBytes, sizeof kBytes - 1, &out) != addon_ok) return nullptr;
  return out;
}

struct Settlement {
  Value value;
  bool reject = false;
  bool mainTouchedValues = false;
  addon_env env = nullptr;
  addon_deferred deferred = nullptr;
};

void freeSettlement(void* data) { delete static_cast<Settlement*>(data); }

void settleOnScriptingThread(void* data) {
  Settlement& s = *static_cast<Settlement*>(data);
  addon_handle_scope scope = nullptr;
  if (host().open_handle_scope(s.env, &scope) != addon_ok) return;
  try {
    const bool reject = s.reject || s.mainTouchedValues;
    const Value message("the main-thread callback could use the scripting thread's values");
    addon_value v = s.mainTouchedValues ? message.Convert(s.env) : s.value.Convert(s.env);
    check(reject ? host().reject_deferred(s.env, s.deferred, v) : host().resolve_deferred(s.env, s.deferred, v));
  } catch (...) {
  }
  host().close_handle_scope(s.env, scope);
}

void workOnMainThread(void* data) {
  Settlement& s = *static_cast<Settlement*>(data);
  // The editor's main thread is not the script's: its values are out of reach here.
  addon_value probe = nullptr;
  s.mainTouchedValues = host().get_undefined(s.env, &probe) == addon_ok;
  host().schedule_on_scripting_thread(s.env, settleOnScriptingThread, data, freeSettlement);
}

// probe_settle(value, reject): a promise settled with value after a trip
// through the main thread and back.
addon_value ProbeSettle(addon_env env, addon_callback_info info) {
  try {
    size_t argc = 2;
    addon_value argv[2] = {nullptr, nullptr};
    check(host().get_callback_info(env, info, &argc, argv, nullptr, nullptr));
    auto* s = new Settlement{Value(env, argv[0]), Value(env, argv[1]).GetBoolean(), false, env, nullptr};
    addon_value promise = nullptr;
    if (host().create_promise(env, &s->deferred, &promise) != addon_ok) {
      delete s;
      throw "error";
    }
    host().schedule_on_main_thread(env, workOnMainThread, s, nullptr);
    return promise;
  } catch (...) {
    return CreateErrorFromException(env);
  }
}

}  // namespace

extern "C" LUMIVEX_ADDON_EXPORT addon_value lumivex_probe_init(addon_env env, addon_value exports,
                                                               const addon_apis* apis) {
  if (uxp_addon_init(env, exports, apis) == nullptr) return nullptr;
  const struct {
    const char* name;
    addon_callback function;
  } probes[] = {{"probe_round_trip", ProbeRoundTrip}, {"probe_bytes", ProbeBytes}, {"probe_settle", ProbeSettle}};
  for (const auto& p : probes) {
    addon_value function = nullptr;
    if (apis->create_function(env, nullptr, 0, p.function, nullptr, &function) != addon_ok ||
        apis->set_named_property(env, exports, p.name, function) != addon_ok) {
      return nullptr;
    }
  }
  return exports;
}
