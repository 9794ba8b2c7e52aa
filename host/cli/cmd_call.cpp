#include "cli/cli_host.h"
#include "cli/commands.h"

#include <cstdlib>
#include <iostream>
#include <locale>
#include <sstream>

namespace {

const char* kCallUsage = "usage: lumivex call NAME [STRING | --number X | --bool B]\n";

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

// Returns false with a message on stderr for bad usage.
bool parseCallArgs(const Args& args, lvhost::CallArg& arg) {
  if (args.size() == 1) return true;
  if (args.size() == 2 && args[1] != "--number" && args[1] != "--bool") {
    arg = lvhost::CallArg::string(args[1]);
    return true;
  }
  if (args.size() == 3 && args[1] == "--number") {
    double x = 0.0;
    if (parseNumber(args[2], x)) return arg = lvhost::CallArg::numberArg(x), true;
    std::cerr << "lumivex call: '" << args[2] << "' is not a number\n";
    return false;
  }
  if (args.size() == 3 && args[1] == "--bool") {
    bool b = false;
    if (parseBool(args[2], b)) return arg = lvhost::CallArg::boolArg(b), true;
    std::cerr << "lumivex call: '" << args[2] << "' is not a boolean (true or false)\n";
    return false;
  }
  std::cerr << kCallUsage;
  return false;
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

}  // namespace

int lumivexCall(const Args& args) {
  if (lumivexWantsHelp(args)) {
    std::cout << kCallUsage;
    return 0;
  }
  if (args.empty() || args[0].empty()) {
    std::cerr << kCallUsage;
    return 2;
  }
  lvhost::CallArg arg;
  if (!parseCallArgs(args, arg)) return 2;
  lvhost::StandinHost host;
  if (!lumivexLoadAddon(host)) return 2;
  if (!lumivexRequireExport(host, args[0])) return 2;
  return report(args[0], host.call(args[0], arg));
}
