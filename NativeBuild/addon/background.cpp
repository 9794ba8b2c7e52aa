#include "addon/entry.h"

#include <stdexcept>

// This build carries no background launcher yet: the script gets an error
// value it can show instead of a job that silently never starts.
addon_value MyStartJobBackground(addon_env env, addon_callback_info /*info*/) {
  try {
    throw std::runtime_error("my_start_job_background is not available in this build.");
  } catch (...) {
    return CreateErrorFromException(env);
  }
}
