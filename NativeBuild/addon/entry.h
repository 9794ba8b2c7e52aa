// The add-on's exported functions and the conversion of a failure in flight
// into a script error value.
#pragma once

#include "addon/addon.h"

// Called only inside a handler: an error value with code "-1" and the
// exception's message ("unknown exception" for anything not a standard
// exception). Null when the host cannot even build the error value.
addon_value CreateErrorFromException(addon_env env) noexcept;

addon_value MyFunction(addon_env env, addon_callback_info info);
addon_value MyEcho(addon_env env, addon_callback_info info);
addon_value MyStartJobBackground(addon_env env, addon_callback_info info);
addon_value MyAsyncEcho(addon_env env, addon_callback_info info);

// Argument 0 of a call (argument count 1); a host failure throws "error".
addon_value NL_firstArgument(addon_env env, addon_callback_info info);
