// The host function table of the stand-in host: every slot the add-on uses,
// each over the value store, each open to an injected failure.
#include "standin/detail/host_impl.h"

#include <cstring>

namespace lvhost {
namespace {

using Impl = StandinHost::Impl;
constexpr addon_status kInvalidArg = 1;
constexpr addon_status kWrongType = 3;
constexpr addon_status kPendingException = 10;

Impl* hostOf(addon_env env) { return reinterpret_cast<Impl*>(env); }

// Common entry of every slot: a valid environment, the injected failure if
// any, and the store lock for the rest of the call.
#define SLOT_ENTER(slotNumber)                                   \
  Impl* h = hostOf(env);                                         \
  if (h == nullptr) return kInvalidArg;                          \
  if (addon_status injected = h->enter(slotNumber)) return injected; \
  std::lock_guard<std::mutex> lock(h->store)

addon_status putNew(Impl* h, HostValue v, addon_value* out) {
  if (out == nullptr) return kInvalidArg;
  *out = Impl::handle(h->add(std::move(v)));
  return addon_ok;
}

bool hasProps(const HostValue* v) {
  return v && (v->type == HostValue::Object || v->type == HostValue::Error ||
               v->type == HostValue::Function || v->type == HostValue::Promise);
}

void setProp(HostValue& object, const std::string& name, ValueId value) {
  for (auto& p : object.props) {
    if (p.first == name) {
      p.second = value;
      return;
    }
  }
  object.props.emplace_back(name, value);
}

addon_status getCallbackInfo(addon_env env, addon_callback_info info, size_t* argc, addon_value* argv,
                             addon_value* thisArg, void** data) {
  SLOT_ENTER(addon_slot::get_callback_info);
  const CallInfo* ci = reinterpret_cast<const CallInfo*>(info);
  if (ci == nullptr) return kInvalidArg;
  if (argc != nullptr) {
    const size_t room = *argc;
    for (size_t i = 0; argv != nullptr && i < room; ++i) {
      argv[i] = Impl::handle(i < ci->args.size() ? ci->args[i] : h->undefinedId);
    }
    *argc = ci->args.size();
  }
  if (thisArg) *thisArg = Impl::handle(ci->thisArg);
  if (data) *data = ci->data;
  return addon_ok;
}

addon_status throwError(addon_env env, const char* code, const char* message) {
  SLOT_ENTER(addon_slot::throw_error);
  // The first error thrown is the one the script sees.
  if (h->pending) return kPendingException;
  h->pending = true;
  h->pendingCode = code ? code : "";
  h->pendingMessage = message ? message : "";
  return addon_ok;
}

addon_status createFunction(addon_env env, const char* /*name*/, size_t /*length*/, addon_callback cb,
                            void* data, addon_value* out) {
  SLOT_ENTER(addon_slot::create_function);
  if (cb == nullptr) return kInvalidArg;
  HostValue v;
  v.type = HostValue::Function;
  v.callback = cb;
  v.data = data;
  return putNew(h, std::move(v), out);
}

addon_status setNamedProperty(addon_env env, addon_value object, const char* name, addon_value value) {
  SLOT_ENTER(addon_slot::set_named_property);
  HostValue* o = h->get(Impl::idOf(object));
  if (!hasProps(o) || name == nullptr || h->get(Impl::idOf(value)) == nullptr) return kInvalidArg;
  setProp(*o, name, Impl::idOf(value));
  if (Impl::idOf(object) == h->exportsId) h->exportOrder.push_back(name);
  return addon_ok;
}

addon_status getUndefined(addon_env env, addon_value* out) {
  SLOT_ENTER(addon_slot::get_undefined);
  if (out == nullptr) return kInvalidArg;
  *out = Impl::handle(h->undefinedId);
  return addon_ok;
}

addon_status getBoolean(addon_env env, bool b, addon_value* out) {
  SLOT_ENTER(addon_slot::get_boolean);
  HostValue v;
  v.type = HostValue::Boolean;
  v.boolean = b;
  return putNew(h, std::move(v), out);
}

addon_status createObject(addon_env env, addon_value* out) {
  SLOT_ENTER(addon_slot::create_object);
  HostValue v;
  v.type = HostValue::Object;
  return putNew(h, std::move(v), out);
}

addon_status createArray(addon_env env, addon_value* out) {
  SLOT_ENTER(addon_slot::create_array);
  HostValue v;
  v.type = HostValue::Array;
  return putNew(h, std::move(v), out);
}

addon_status createDouble(addon_env env, double d, addon_value* out) {
  SLOT_ENTER(addon_slot::create_double);
  HostValue v;
  v.type = HostValue::Number;
  v.number = d;
  return putNew(h, std::move(v), out);
}

addon_status createStringUtf8(addon_env env, const char* bytes, size_t length, addon_value* out) {
  SLOT_ENTER(addon_slot::create_string_utf8);
  if (bytes == nullptr && length > 0) return kInvalidArg;
  if (length == static_cast<size_t>(-1)) length = std::strlen(bytes);  // "up to the terminator"
  HostValue v;
  v.type = HostValue::String;
  v.bytes.assign(bytes ? bytes : "", length);
  return putNew(h, std::move(v), out);
}

addon_status createError(addon_env env, addon_value code, addon_value message, addon_value* out) {
  SLOT_ENTER(addon_slot::create_error);
  const HostValue* m = h->get(Impl::idOf(message));
  const HostValue* c = h->get(Impl::idOf(code));
  if (m == nullptr || m->type != HostValue::String) return kWrongType;
  if (c != nullptr && c->type != HostValue::String) return kWrongType;
  HostValue v;
  v.type = HostValue::Error;
  v.errorMessage = m->bytes;
  v.props.emplace_back("message", Impl::idOf(message));
  if (c != nullptr) {
    v.errorCode = c->bytes;
    v.props.emplace_back("code", Impl::idOf(code));
  }
  return putNew(h, std::move(v), out);
}

addon_status typeOf(addon_env env, addon_value value, addon_valuetype* out) {
  SLOT_ENTER(addon_slot::type_of);
  const HostValue* v = h->get(Impl::idOf(value));
  if (v == nullptr || out == nullptr) return kInvalidArg;
  switch (v->type) {
    case HostValue::Undefined: *out = addon_type_undefined; break;
    case HostValue::Null: *out = kTypeNull; break;
    case HostValue::Boolean: *out = addon_type_boolean; break;
    case HostValue::Number: *out = addon_type_number; break;
    case HostValue::String: *out = addon_type_string; break;
    case HostValue::Function: *out = kTypeFunction; break;
    case HostValue::Array: *out = kTypeArray; break;
    default: *out = addon_type_object; break;
  }
  return addon_ok;
}

addon_status getValueDouble(addon_env env, addon_value value, double* out) {
  SLOT_ENTER(addon_slot::get_value_double);
  const HostValue* v = h->get(Impl::idOf(value));
  if (v == nullptr || out == nullptr) return kInvalidArg;
  if (v->type != HostValue::Number) return kWrongType;
  *out = v->number;
  return addon_ok;
}

addon_status getValueBool(addon_env env, addon_value value, bool* out) {
  SLOT_ENTER(addon_slot::get_value_bool);
  const HostValue* v = h->get(Impl::idOf(value));
  if (v == nullptr || out == nullptr) return kInvalidArg;
  if (v->type != HostValue::Boolean) return kWrongType;
  *out = v->boolean;
  return addon_ok;
}

addon_status getValueStringUtf8(addon_env env, addon_value value, char* buffer, size_t size, size_t* out) {
  SLOT_ENTER(addon_slot::get_value_string_utf8);
  const HostValue* v = h->get(Impl::idOf(value));
  if (v == nullptr) return kInvalidArg;
  if (v->type != HostValue::String) return kWrongType;
  if (buffer == nullptr) {
    if (out == nullptr) return kInvalidArg;
    *out = v->bytes.size();
    return addon_ok;
  }
  // Copies at most size-1 bytes and always terminates, like a C string API.
  size_t copied = 0;
  if (size > 0) {
    copied = std::min(v->bytes.size(), size - 1);
    std::memcpy(buffer, v->bytes.data(), copied);
    buffer[copied] = '\0';
  }
  if (out) *out = copied;
  return addon_ok;
}

addon_status getPropertyNames(addon_env env, addon_value object, addon_value* out) {
  SLOT_ENTER(addon_slot::get_property_names);
  const HostValue* o = h->get(Impl::idOf(object));
  if (!hasProps(o) || out == nullptr) return kInvalidArg;
  std::vector<std::string> names;
  for (const auto& p : o->props) names.push_back(p.first);
  HostValue list;
  list.type = HostValue::Array;
  for (const std::string& name : names) {
    HostValue key;
    key.type = HostValue::String;
    key.bytes = name;
    list.elements.push_back(h->add(std::move(key)));
  }
  return putNew(h, std::move(list), out);
}

addon_status setProperty(addon_env env, addon_value object, addon_value key, addon_value value) {
  SLOT_ENTER(addon_slot::set_property);
  HostValue* o = h->get(Impl::idOf(object));
  const HostValue* k = h->get(Impl::idOf(key));
  if (!hasProps(o) || k == nullptr || h->get(Impl::idOf(value)) == nullptr) return kInvalidArg;
  if (k->type != HostValue::String) return kWrongType;
  setProp(*o, k->bytes, Impl::idOf(value));
  return addon_ok;
}

addon_status getProperty(addon_env env, addon_value object, addon_value key, addon_value* out) {
  SLOT_ENTER(addon_slot::get_property);
  const HostValue* o = h->get(Impl::idOf(object));
  const HostValue* k = h->get(Impl::idOf(key));
  if (!hasProps(o) || k == nullptr || out == nullptr) return kInvalidArg;
  if (k->type != HostValue::String) return kWrongType;
  *out = Impl::handle(h->undefinedId);
  for (const auto& p : o->props) {
    if (p.first == k->bytes) *out = Impl::handle(p.second);
  }
  return addon_ok;
}

addon_status setElement(addon_env env, addon_value array, uint32_t index, addon_value value) {
  SLOT_ENTER(addon_slot::set_element);
  HostValue* a = h->get(Impl::idOf(array));
  if (a == nullptr || h->get(Impl::idOf(value)) == nullptr) return kInvalidArg;
  if (a->type != HostValue::Array) return kWrongType;
  if (index >= a->elements.size()) a->elements.resize(size_t(index) + 1, h->undefinedId);
  a->elements[index] = Impl::idOf(value);
  return addon_ok;
}

addon_status getElement(addon_env env, addon_value array, uint32_t index, addon_value* out) {
  SLOT_ENTER(addon_slot::get_element);
  const HostValue* a = h->get(Impl::idOf(array));
  if (a == nullptr || out == nullptr) return kInvalidArg;
  if (a->type != HostValue::Array) return kWrongType;
  *out = Impl::handle(index < a->elements.size() ? a->elements[index] : h->undefinedId);
  return addon_ok;
}

addon_status isArray(addon_env env, addon_value value, bool* out) {
  SLOT_ENTER(addon_slot::is_array);
  const HostValue* v = h->get(Impl::idOf(value));
  if (v == nullptr || out == nullptr) return kInvalidArg;
  *out = v->type == HostValue::Array;
  return addon_ok;
}

addon_status getArrayLength(addon_env env, addon_value value, uint32_t* out) {
  SLOT_ENTER(addon_slot::get_array_length);
  const HostValue* v = h->get(Impl::idOf(value));
  if (v == nullptr || out == nullptr) return kInvalidArg;
  if (v->type != HostValue::Array) return kWrongType;
  *out = static_cast<uint32_t>(v->elements.size());
  return addon_ok;
}

addon_status openHandleScope(addon_env env, addon_handle_scope* out) {
  SLOT_ENTER(addon_slot::open_handle_scope);
  if (out == nullptr) return kInvalidArg;
  *out = reinterpret_cast<addon_handle_scope>(static_cast<std::uintptr_t>(++h->scopeDepth));
  return addon_ok;
}

// Scopes close innermost first; handles stay valid for the host's life.
addon_status closeHandleScope(addon_env env, addon_handle_scope scope) {
  SLOT_ENTER(addon_slot::close_handle_scope);
  if (reinterpret_cast<std::uintptr_t>(scope) != static_cast<std::uintptr_t>(h->scopeDepth) ||
      h->scopeDepth == 0) {
    return kInvalidArg;
  }
  --h->scopeDepth;
  return addon_ok;
}

addon_status createPromise(addon_env env, addon_deferred* deferred, addon_value* promise) {
  SLOT_ENTER(addon_slot::create_promise);
  if (deferred == nullptr || promise == nullptr) return kInvalidArg;
  HostValue v;
  v.type = HostValue::Promise;
  const ValueId id = h->add(std::move(v));
  *deferred = reinterpret_cast<addon_deferred>(static_cast<std::uintptr_t>(id));
  *promise = Impl::handle(id);
  return addon_ok;
}

addon_status settle(Impl* h, addon_deferred deferred, addon_value value, int state) {
  HostValue* p = h->get(static_cast<ValueId>(reinterpret_cast<std::uintptr_t>(deferred)));
  if (p == nullptr || p->type != HostValue::Promise || h->get(Impl::idOf(value)) == nullptr) return kInvalidArg;
  if (p->promiseState != 0) return kInvalidArg;  // a deferred settles once
  p->promiseState = state;
  p->settledValue = Impl::idOf(value);
  return addon_ok;
}

addon_status resolveDeferred(addon_env env, addon_deferred deferred, addon_value value) {
  addon_status s;
  {
    SLOT_ENTER(addon_slot::resolve_deferred);
    s = settle(h, deferred, value, 1);
  }
  hostOf(env)->notifyActivity();
  return s;
}

addon_status rejectDeferred(addon_env env, addon_deferred deferred, addon_value value) {
  addon_status s;
  {
    SLOT_ENTER(addon_slot::reject_deferred);
    s = settle(h, deferred, value, 2);
  }
  hostOf(env)->notifyActivity();
  return s;
}

addon_status schedule(RunQueue& queue, Impl* h, addon_task_callback callback, void* data,
                      addon_task_callback finalizer) {
  if (callback == nullptr) return kInvalidArg;
  const bool posted = queue.post(
      [=] {
        callback(data);
        if (finalizer) finalizer(data);
        h->notifyActivity();
      },
      [=] {
        if (finalizer) finalizer(data);
      });
  return posted ? addon_ok : kInvalidArg;
}

addon_status scheduleOnScriptingThread(addon_env env, addon_task_callback callback, void* data,
                                       addon_task_callback finalizer) {
  Impl* h = hostOf(env);
  if (h == nullptr) return kInvalidArg;
  if (addon_status injected = h->enter(addon_slot::schedule_on_scripting_thread)) return injected;
  return schedule(h->scriptingThread, h, callback, data, finalizer);
}

addon_status scheduleOnMainThread(addon_env env, addon_task_callback callback, void* data,
                                  addon_task_callback finalizer) {
  Impl* h = hostOf(env);
  if (h == nullptr) return kInvalidArg;
  if (addon_status injected = h->enter(addon_slot::schedule_on_main_thread)) return injected;
  return schedule(h->mainThread, h, callback, data, finalizer);
}

#undef SLOT_ENTER

}  // namespace

void fillTable(addon_apis& t) {
  t = addon_apis{};
#define LV_FILL_SLOT(slot, function) t.slot = function;
  LV_ADDON_API_SLOTS(LV_FILL_SLOT)
#undef LV_FILL_SLOT
}

}  // namespace lvhost
