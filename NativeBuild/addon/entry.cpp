#include "addon/entry.h"

#include "addon/dispatch.h"
#include "addon/value.h"

#include <exception>
#include <string>

namespace {

const char* const kBanner = "Lumivex Native Addon 0.1.0";

const addon_apis& host() { return UxpAddonInterface::instance().apis(); }

void check(addon_status status) {
  if (status != addon_ok) throw "error";
}

addon_value hostString(addon_env env, const std::string& text) {
  addon_value out = nullptr;
  check(host().create_string_utf8(env, text.data(), text.size(), &out));
  return out;
}

struct ExportEntry {
  const char* name;
  addon_callback function;
};

const ExportEntry kExports[] = {
    {"my_function", MyFunction},
    {"my_echo", MyEcho},
    {"my_start_job_background", MyStartJobBackground},
    {"my_echo_async", MyAsyncEcho},
};

void registerExports(addon_env env, addon_value exports, const addon_apis& apis) {
  for (const ExportEntry& entry : kExports) {
    addon_value function = nullptr;
    if (apis.create_function(env, nullptr, 0, entry.function, nullptr, &function) != addon_ok) {
      apis.throw_error(env, nullptr, "Unable to wrap native function");
    }
    // A failed wrap still reaches this step: later registrations must not be lost.
    if (apis.set_named_property(env, exports, entry.name, function) != addon_ok) {
      apis.throw_error(env, nullptr, "Unable to populate exports");
    }
  }
}

}  // namespace

UxpAddonInterface& UxpAddonInterface::instance() {
  static UxpAddonInterface theInstance;
  return theInstance;
}

void UxpAddonInterface::assign(const addon_apis& apis) { apis_ = apis; }

addon_value CreateErrorFromException(addon_env env) noexcept {
  std::string message = "unknown exception";
  try {
    throw;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
  }
  // A host that cannot build an error value gets no value rather than a
  // crashed editor.
  try {
    addon_value code = hostString(env, "-1");
    addon_value text = hostString(env, message);
    addon_value error = nullptr;
    check(host().create_error(env, code, text, &error));
    return error;
  } catch (...) {
    return nullptr;
  }
}

addon_value NL_firstArgument(addon_env env, addon_callback_info info) {
  size_t argc = 1;
  addon_value argv[1] = {nullptr};
  check(host().get_callback_info(env, info, &argc, argv, nullptr, nullptr));
  return argv[0];
}

addon_value MyFunction(addon_env env, addon_callback_info /*info*/) {
  try {
    return hostString(env, kBanner);
  } catch (...) {
    return CreateErrorFromException(env);
  }
}

addon_value MyEcho(addon_env env, addon_callback_info info) {
  try {
    const std::string jobPath = Value(env, NL_firstArgument(env, info)).GetString();
    return hostString(env, NL_runJobForPath(jobPath));
  } catch (...) {
    return CreateErrorFromException(env);
  }
}

extern "C" {

addon_value uxp_addon_init(addon_env env, addon_value exports, const addon_apis* apis) {
  if (apis == nullptr) return nullptr;
  try {
    UxpAddonInterface::instance().assign(*apis);
    registerExports(env, exports, *apis);
    return exports;
  } catch (const std::exception& e) {
    const std::string message = std::string("Error occured while addon initialize : ") + e.what();
    UxpAddonInterface::instance().apis().throw_error(env, nullptr, message.c_str());
  } catch (...) {
    // nothing may unwind into the host through a C entry point
    UxpAddonInterface::instance().apis().throw_error(env, nullptr,
                                                    "Error occured while addon initialize : unknown exception");
  }
  return nullptr;
}

void uxp_addon_terminate(addon_env /*env*/) {}

void terminate(addon_env env) { uxp_addon_terminate(env); }

}  // extern "C"
