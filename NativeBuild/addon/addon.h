// The host's function table as the add-on receives it at initialisation, and
// the process-wide copy every later host call goes through.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef struct addon_env__* addon_env;
typedef struct addon_value__* addon_value;
typedef struct addon_callback_info__* addon_callback_info;
typedef struct addon_deferred__* addon_deferred;
typedef struct addon_handle_scope__* addon_handle_scope;

// 0 is success, anything else a failure.
typedef int32_t addon_status;
enum : addon_status { addon_ok = 0 };

// Type codes the add-on relies on; a host may report others (arrays do).
typedef int32_t addon_valuetype;
enum : addon_valuetype {
  addon_type_undefined = 0,
  addon_type_boolean = 2,
  addon_type_number = 3,
  addon_type_string = 4,
  addon_type_object = 6,
};

typedef addon_value (*addon_callback)(addon_env env, addon_callback_info info);
typedef void (*addon_task_callback)(void* data);
typedef void (*addon_reserved_slot)(void);

// 97 slots in the host's order; only the named ones are used.
struct addon_apis {
  addon_reserved_slot reserved0;
  addon_status (*get_callback_info)(addon_env, addon_callback_info, size_t* argc, addon_value* argv,
                                    addon_value* thisArg, void** data);                       // 1
  addon_status (*throw_error)(addon_env, const char* code, const char* message);             // 2
  addon_reserved_slot reserved3;
  addon_status (*create_function)(addon_env, const char* name, size_t length, addon_callback cb,
                                  void* data, addon_value* result);                           // 4
  addon_status (*set_named_property)(addon_env, addon_value object, const char* name,
                                     addon_value value);                                      // 5
  addon_reserved_slot reserved6;
  addon_status (*get_undefined)(addon_env, addon_value* result);                              // 7
  addon_reserved_slot reserved8;
  addon_reserved_slot reserved9;
  addon_status (*get_boolean)(addon_env, bool value, addon_value* result);                    // 10
  addon_status (*create_object)(addon_env, addon_value* result);                              // 11
  addon_status (*create_array)(addon_env, addon_value* result);                               // 12
  addon_reserved_slot reserved13;
  addon_status (*create_double)(addon_env, double value, addon_value* result);                // 14
  addon_reserved_slot reserved15;
  addon_reserved_slot reserved16;
  addon_reserved_slot reserved17;
  addon_status (*create_string_utf8)(addon_env, const char* bytes, size_t length,
                                     addon_value* result);                                    // 18
  addon_reserved_slot reserved19;
  addon_reserved_slot reserved20;
  addon_status (*create_error)(addon_env, addon_value code, addon_value message,
                               addon_value* result);                                          // 21
  addon_reserved_slot reserved22;
  addon_reserved_slot reserved23;
  addon_status (*type_of)(addon_env, addon_value value, addon_valuetype* result);             // 24
  addon_status (*get_value_double)(addon_env, addon_value value, double* result);             // 25
  addon_reserved_slot reserved26;
  addon_reserved_slot reserved27;
  addon_status (*get_value_bool)(addon_env, addon_value value, bool* result);                 // 28
  addon_reserved_slot reserved29;
  addon_status (*get_value_string_utf8)(addon_env, addon_value value, char* buffer, size_t size,
                                        size_t* result);                                      // 30
  addon_reserved_slot reserved31;
  addon_reserved_slot reserved32;
  addon_reserved_slot reserved33;
  addon_reserved_slot reserved34;
  addon_reserved_slot reserved35;
  addon_reserved_slot reserved36;
  addon_status (*get_property_names)(addon_env, addon_value object, addon_value* result);     // 37
  addon_status (*set_property)(addon_env, addon_value object, addon_value key,
                               addon_value value);                                            // 38
  addon_reserved_slot reserved39;
  addon_status (*get_property)(addon_env, addon_value object, addon_value key,
                               addon_value* result);                                          // 40
  addon_reserved_slot reserved41;
  addon_reserved_slot reserved42;
  addon_reserved_slot reserved43;
  addon_reserved_slot reserved44;
  addon_status (*set_element)(addon_env, addon_value array, uint32_t index, addon_value value);  // 45
  addon_reserved_slot reserved46;
  addon_status (*get_element)(addon_env, addon_value array, uint32_t index,
                              addon_value* result);                                           // 47
  addon_reserved_slot reserved48;
  addon_reserved_slot reserved49;
  addon_status (*is_array)(addon_env, addon_value value, bool* result);                       // 50
  addon_status (*get_array_length)(addon_env, addon_value value, uint32_t* result);           // 51
  addon_reserved_slot reserved52;
  addon_reserved_slot reserved53;
  addon_reserved_slot reserved54;
  addon_reserved_slot reserved55;
  addon_reserved_slot reserved56;
  addon_reserved_slot reserved57;
  addon_reserved_slot reserved58;
  addon_reserved_slot reserved59;
  addon_reserved_slot reserved60;
  addon_reserved_slot reserved61;
  addon_reserved_slot reserved62;
  addon_reserved_slot reserved63;
  addon_reserved_slot reserved64;
  addon_reserved_slot reserved65;
  addon_reserved_slot reserved66;
  addon_status (*open_handle_scope)(addon_env, addon_handle_scope* result);                   // 67
  addon_status (*close_handle_scope)(addon_env, addon_handle_scope scope);                    // 68
  addon_reserved_slot reserved69;
  addon_reserved_slot reserved70;
  addon_reserved_slot reserved71;
  addon_reserved_slot reserved72;
  addon_reserved_slot reserved73;
  addon_reserved_slot reserved74;
  addon_reserved_slot reserved75;
  addon_reserved_slot reserved76;
  addon_reserved_slot reserved77;
  addon_reserved_slot reserved78;
  addon_reserved_slot reserved79;
  addon_reserved_slot reserved80;
  addon_reserved_slot reserved81;
  addon_reserved_slot reserved82;
  addon_reserved_slot reserved83;
  addon_reserved_slot reserved84;
  addon_reserved_slot reserved85;
  addon_reserved_slot reserved86;
  addon_status (*create_promise)(addon_env, addon_deferred* deferred, addon_value* promise);  // 87
  addon_status (*resolve_deferred)(addon_env, addon_deferred deferred, addon_value value);    // 88
  addon_status (*reject_deferred)(addon_env, addon_deferred deferred, addon_value value);     // 89
  addon_reserved_slot reserved90;
  // callback(data) runs later on that thread, then finalizer(data) frees data.
  addon_status (*schedule_on_scripting_thread)(addon_env, addon_task_callback callback, void* data,
                                               addon_task_callback finalizer);                // 91
  addon_status (*schedule_on_main_thread)(addon_env, addon_task_callback callback, void* data,
                                          addon_task_callback finalizer);                     // 92
  addon_reserved_slot reserved93;
  addon_reserved_slot reserved94;
  addon_reserved_slot reserved95;
  addon_reserved_slot reserved96;
};

}  // extern "C"

constexpr std::size_t kAddonApiSlotCount = 97;
static_assert(sizeof(addon_apis) == kAddonApiSlotCount * sizeof(void*), "addon_apis must be 97 pointer slots");

// Every named slot beside the name a host gives its implementation, so a host
// fills the table with X(slot, function) expanding to `table.slot = function;`.
#define LV_ADDON_API_SLOTS(X)                                                                              \
  X(get_callback_info, getCallbackInfo) X(throw_error, throwError) X(create_function, createFunction)      \
  X(set_named_property, setNamedProperty) X(get_undefined, getUndefined) X(get_boolean, getBoolean)        \
  X(create_object, createObject) X(create_array, createArray) X(create_double, createDouble)               \
  X(create_string_utf8, createStringUtf8) X(create_error, createError) X(type_of, typeOf)                   \
  X(get_value_double, getValueDouble) X(get_value_bool, getValueBool)                                      \
  X(get_value_string_utf8, getValueStringUtf8) X(get_property_names, getPropertyNames)                     \
  X(set_property, setProperty) X(get_property, getProperty) X(set_element, setElement)                     \
  X(get_element, getElement) X(is_array, isArray) X(get_array_length, getArrayLength)                      \
  X(open_handle_scope, openHandleScope) X(close_handle_scope, closeHandleScope)                            \
  X(create_promise, createPromise) X(resolve_deferred, resolveDeferred) X(reject_deferred, rejectDeferred) \
  X(schedule_on_scripting_thread, scheduleOnScriptingThread) X(schedule_on_main_thread, scheduleOnMainThread)
static_assert(sizeof(void*) != 8 || sizeof(addon_apis) == 776, "addon_apis is 776 bytes on 64-bit hosts");
static_assert(offsetof(addon_apis, get_callback_info) == 1 * sizeof(void*), "slot 1");
static_assert(offsetof(addon_apis, create_function) == 4 * sizeof(void*), "slot 4");
static_assert(offsetof(addon_apis, create_string_utf8) == 18 * sizeof(void*), "slot 18");
static_assert(offsetof(addon_apis, type_of) == 24 * sizeof(void*), "slot 24");
static_assert(offsetof(addon_apis, get_value_string_utf8) == 30 * sizeof(void*), "slot 30");
static_assert(offsetof(addon_apis, get_property_names) == 37 * sizeof(void*), "slot 37");
static_assert(offsetof(addon_apis, set_element) == 45 * sizeof(void*), "slot 45");
static_assert(offsetof(addon_apis, get_array_length) == 51 * sizeof(void*), "slot 51");
static_assert(offsetof(addon_apis, open_handle_scope) == 67 * sizeof(void*), "slot 67");
static_assert(offsetof(addon_apis, create_promise) == 87 * sizeof(void*), "slot 87");
static_assert(offsetof(addon_apis, schedule_on_main_thread) == 92 * sizeof(void*), "slot 92");

// Process-wide copy of the host's table. Written once by uxp_addon_init
// before any export can run, only read afterwards.
class UxpAddonInterface {
 public:
  static UxpAddonInterface& instance();
  void assign(const addon_apis& apis);
  const addon_apis& apis() const { return apis_; }

 private:
  UxpAddonInterface() = default;
  addon_apis apis_{};
};

// Table slot positions, for hosts and tests that address slots by number.
namespace addon_slot {
enum : int {
  get_callback_info = 1, throw_error = 2, create_function = 4, set_named_property = 5,
  get_undefined = 7, get_boolean = 10, create_object = 11, create_array = 12, create_double = 14,
  create_string_utf8 = 18, create_error = 21, type_of = 24, get_value_double = 25,
  get_value_bool = 28, get_value_string_utf8 = 30, get_property_names = 37, set_property = 38,
  get_property = 40, set_element = 45, get_element = 47, is_array = 50, get_array_length = 51,
  open_handle_scope = 67, close_handle_scope = 68, create_promise = 87, resolve_deferred = 88,
  reject_deferred = 89, schedule_on_scripting_thread = 91, schedule_on_main_thread = 92,
};
}  // namespace addon_slot

// Entry points the host looks up by name.
#if defined(_WIN32)
#define LUMIVEX_ADDON_EXPORT __declspec(dllexport)
#else
#define LUMIVEX_ADDON_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
LUMIVEX_ADDON_EXPORT addon_value uxp_addon_init(addon_env env, addon_value exports, const addon_apis* apis);
LUMIVEX_ADDON_EXPORT void uxp_addon_terminate(addon_env env);
LUMIVEX_ADDON_EXPORT void terminate(addon_env env);
}
