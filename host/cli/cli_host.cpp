#include "cli/cli_host.h"

#include "cli/commands.h"

#include <iostream>

bool lumivexLoadAddon(lvhost::StandinHost& host) {
  std::string error;
  if (!host.load(lumivexAddonPath(), error)) {
    std::cerr << "lumivex: " << error << "\n";
    return false;
  }
  const std::string initError = host.initError();
  if (!initError.empty()) std::cerr << "lumivex: the add-on reported while starting: " << initError << "\n";
  return true;
}

bool lumivexRequireExport(const lvhost::StandinHost& host, const std::string& name) {
  if (host.hasExport(name)) return true;
  std::cerr << "lumivex: the add-on has no export named '" << name << "'; it exports:";
  for (const std::string& n : host.exportNames()) std::cerr << " " << n;
  std::cerr << "\n";
  return false;
}

bool lumivexWantsHelp(const Args& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "-h" || a == "--help") return true;
  }
  return false;
}

void lumivexPrintText(const std::string& text) {
  std::cout << text;
  if (text.empty() || text.back() != '\n') std::cout << "\n";
  std::cout.flush();
}
