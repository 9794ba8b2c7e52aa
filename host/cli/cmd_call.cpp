#include "cli/cli_host.h"
#include "cli/commands.h"
#include "cli/job_args.h"
#include "cli/run_modes.h"

#include <cstdlib>
#include <iostream>
#include <locale>
#include <sstream>

namespace {

bool parseNumber(const std::string& text, double& out) {
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> out;
  return !in.fail() && (in >> std::ws).eof();
}

bool parseBool(const std::string& text, bool& out) {
  if (text == "true" || text == "1" || text == "yes") return (out = true), true;
  if (text == "false" || text == "0" || text == "no") return (out = false), true;
  return false;
}

// The value to pass, from the parsed line; false with error for bad usage.
bool callArgument(const lvcli::ParsedCommand& c, lvhost::CallArg& arg, std::string& error) {
  if (c.frames.size() == 2) arg = lvhost::CallArg::string(c.frames[1]);
  if (c.has("--number")) {
    double x = 0.0;
    if (!parseNumber(c.text("--number"), x)) return error = "--number takes a number, not '" + c.text("--number") + "'", false;
    arg = lvhost::CallArg::numberArg(x);
  }
  if (c.has("--bool")) {
    bool b = false;
    if (!parseBool(c.text("--bool"), b)) return error = "--bool takes true or false, not '" + c.text("--bool") + "'", false;
    arg = lvhost::CallArg::boolArg(b);
  }
  if (c.frames.size() == 2 && (c.has("--number") || c.has("--bool"))) return error = "give a STRING, --number or --bool, not two", false;
  return true;
}

int report(const std::string& name, const lvhost::CallResult& result) {
  using lvhost::ResultKind;
  switch (result.kind) {
    case ResultKind::String: lumivexPrintText(result.text); return 0;
    case ResultKind::Error: std::cerr << lvhost::describeResult(result) << "\n"; return 1;
    // a promise is awaited: "resolved: VALUE" or "rejected: VALUE"
    case ResultKind::Resolved: std::cout << lvhost::describeResult(result) << "\n"; return 0;
    case ResultKind::Rejected: std::cout << lvhost::describeResult(result) << "\n"; return 1;
    case ResultKind::Pending:
      std::cerr << "lumivex: the promise returned by " << name << " was never settled\n";
      return 1;
    case ResultKind::NullHandle:
      if (result.threw) {
        std::cerr << "lumivex: " << name << " threw: " << result.thrownMessage << "\n";
      } else {
        std::cerr << "lumivex: " << name << " returned no value\n";
      }
      return 1;
    default: std::cout << lvhost::describeResult(result) << "\n"; return 0;
  }
}

// Prints the answer where it cannot be lost: out before anything else may happen.
int reportFlushed(const std::string& name, const lvhost::CallResult& result) {
  const int status = report(name, result);
  std::cout.flush();
  std::cerr.flush();
  return status;
}

}  // namespace

namespace lvcli {

const CommandTable& callTable() {
  static const CommandTable table = [] {
    CommandTable t = commandTable("call", "Calls one export of the add-on with one value, or none, and prints what "
                                  "it returns; a job started by my_start_job_background is followed to its end through its result log.",
                                  "NAME [STRING]", "the export (my_function, my_echo, my_echo_async, "
                                  "my_start_job_background) and a string to pass it");
    t.minFrames = 1, t.maxFrames = 2, t.runFlags = false;
    OptionRule number = option("--number", ValueKind::Text, "X", "pass the number X instead of a string");
    OptionRule boolean = option("--bool", ValueKind::Text, "B", "pass a boolean: true or false (also 1/0, yes/no)");
    number.excludes = "--bool", boolean.excludes = "--number";
    t.options = {number, boolean};
    return t;
  }();
  return table;
}

}  // namespace lvcli

int lumivexCall(const Args& args) {
  const lvcli::CommandTable& table = lvcli::callTable();
  lvcli::ParsedCommand parsed;
  if (const int status = lvcli::readCommandLine(table, args, parsed); status >= 0) return status;
  lvhost::CallArg arg;
  std::string error;
  if (!callArgument(parsed, arg, error)) return lvcli::usageError(table, error);
  const std::string& name = parsed.frames.front();
  lvhost::StandinHost host;
  if (!lumivexLoadAddon(host)) return 2;
  if (!lumivexRequireExport(host, name)) return 2;
  if (name != "my_start_job_background" || arg.kind != lvhost::CallArg::String)
    return reportFlushed(name, host.call(name, arg));
  lvcli::BackgroundEnd end(arg.text);
  const lvhost::CallResult result = host.call(name, arg);
  const int status = reportFlushed(name, result);
  // the job runs on a thread of the add-on, which ends with this program
  if (result.kind == lvhost::ResultKind::Boolean && result.boolean) end.wait();
  // that thread may still be on its way out: leave without tearing down what it may touch
  std::_Exit(status);
}
