#include "addon/entry.h"

#include <stdexcept>

// This build carries no asynchronous echo yet: the script gets an error value
// rather than a promise that would never settle.
addon_value MyAsyncEcho(addon_env env, addon_callback_info /*info*/) {
  try {
    throw std::runtime_error("my_echo_async is not available in this build.");
  } catch (...) {
    return CreateErrorFromException(env);
  }
}
