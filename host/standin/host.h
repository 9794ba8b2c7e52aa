// Stand-in host: loads the add-on module and calls its exports the way the
// image editor's plug-in runtime does, with its own value store, a main
// thread and a scripting thread. Used by the lumivex program and the tests.
#pragma once

#include "addon/addon.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lvhost {

// The one argument handed to an export, or none.
struct CallArg {
  enum Kind { None, String, Number, Boolean };
  Kind kind = None;
  std::string text;
  double number = 0.0;
  bool boolean = false;

  static CallArg none() { return CallArg(); }
  static CallArg string(std::string s) { CallArg a; a.kind = String; a.text = std::move(s); return a; }
  static CallArg numberArg(double x) { CallArg a; a.kind = Number; a.number = x; return a; }
  static CallArg boolArg(bool b) { CallArg a; a.kind = Boolean; a.boolean = b; return a; }
};

enum class ResultKind {
  Undefined,
  Boolean,
  Number,
  String,
  Object,        // text holds a rendering such as {a: 1, b: "x"}
  Array,         // text holds a rendering such as [1, 2]
  Function,
  Error,         // an error value: code and text (the message)
  Resolved,      // a promise that was fulfilled; settled holds the value
  Rejected,      // a promise that was rejected; settled holds the value
  Pending,       // a promise that can no longer be settled (nothing left queued) or timed out
  NullHandle,    // the export returned no value
  NoSuchExport,  // text explains
  NotLoaded,     // the module could not be loaded or initialised; text explains
};

struct CallResult {
  ResultKind kind = ResultKind::Undefined;
  bool boolean = false;
  double number = 0.0;
  std::string text;  // String: the bytes; Error: the message; Object/Array: rendering; failures: explanation
  std::string code;  // Error: the code
  std::shared_ptr<const CallResult> settled;  // Resolved / Rejected: the settled value
  bool threw = false;          // the export left a pending script error (throw_error)
  std::string thrownMessage;   // its message
};

// "true"/"false", the string as is, numbers in shortest round-trip form,
// "error: CODE: MESSAGE", "resolved: VALUE", "rejected: VALUE", ...
std::string describeResult(const CallResult& result);
// The value part only: strings as is, booleans, numbers, renderings.
std::string describeValue(const CallResult& result);

using InitFunction = addon_value (*)(addon_env, addon_value, const addon_apis*);

class StandinHost {
 public:
  StandinHost();   // starts the main and scripting threads
  ~StandinHost();  // stops them; a loaded module stays mapped until process exit
  StandinHost(const StandinHost&) = delete;
  StandinHost& operator=(const StandinHost&) = delete;

  // dlopen the module, find uxp_addon_init and run it on the scripting thread
  // with a fresh exports object. False with error set when anything fails.
  bool load(const std::string& modulePath, std::string& error);
  // Same with an entry point linked into this program (tests of the boundary).
  bool attach(InitFunction init, std::string& error);

  // Names set on the exports object, in the order they were set.
  std::vector<std::string> exportNames() const;
  bool hasExport(const std::string& name) const;
  // Pending script error left by uxp_addon_init; empty when none.
  std::string initError() const;

  // Calls the export on the scripting thread and waits; a returned promise is
  // awaited (timeoutMs < 0: until it settles or nothing is left that could settle it).
  // Safe to call from any thread except the host's own two threads.
  CallResult call(const std::string& name, const CallArg& arg = CallArg::none(), int timeoutMs = -1);

  // Fault injection: the next `times` calls of table slot `slot` (after `skip`
  // successful ones) return `status` without doing anything; times < 0: forever.
  void failSlot(int slot, int times = -1, int skip = 0, int status = 1);
  void clearFailures();
  // How often each slot was called since construction (injected failures included).
  int slotCalls(int slot) const;

  // The host's own table and environment, for code that talks to the host directly.
  const addon_apis& apis() const;
  addon_env env() const;
  // Runs fn on the scripting thread and waits for it.
  void runOnScriptingThread(const std::function<void()>& fn);
  // Pending script error (throw_error) and clearing it.
  bool takePendingError(std::string& code, std::string& message);
  // Converts a host value into a result record (no promise awaiting).
  CallResult inspect(addon_value value) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Loads the module in a fresh host, calls "my_echo" with the job path and
// returns what came back (NotLoaded when the module did not load).
CallResult runJobThroughAddon(const std::string& modulePath, const std::string& jobPath);

// ---- Job files and progress, as the script side sees them -------------------

// Progress path a job file names: JSON "progress", when absent "progressPath"; for
// key=value job files the line "progress=". Empty when none.
std::string jobProgressPath(const std::string& jobPath);

// Result-log path a job file names: "resultLog" in JSON or key=value job files. Empty when none.
std::string jobResultLogPath(const std::string& jobPath);

// True when a result log reports success: a last "status" line (key=value,
// spaces allowed) equal to "success", or, with no status line, a first line
// that ends in "completed.".
bool resultLogReportsSuccess(const std::string& log);

struct ProgressSnapshot {
  int percent = 0;
  std::string stage;
  std::string detail;
  bool operator==(const ProgressSnapshot& o) const {
    return percent == o.percent && stage == o.stage && detail == o.detail;
  }
  bool operator!=(const ProgressSnapshot& o) const { return !(*this == o); }
};

// Parses a progress file; false when missing or without a "percent=" line.
bool readProgressFile(const std::string& path, ProgressSnapshot& out);

// Polls the progress file every pollMs until keepGoing() is false, calling
// onChange for each new content seen; reads once more at the end so the
// final state is never missed.
void followProgress(const std::string& path, const std::function<bool()>& keepGoing,
                    const std::function<void(const ProgressSnapshot&)>& onChange, int pollMs = 100);

}  // namespace lvhost
