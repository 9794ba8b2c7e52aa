// Loading the add-on for a command and printing what came back.
#pragma once

#include "standin/host.h"

#include <string>

// Loads the module at lumivexAddonPath(); prints why on stderr and returns false on failure.
bool lumivexLoadAddon(lvhost::StandinHost& host);
// True when the export exists; otherwise prints the names there are and returns false.
bool lumivexRequireExport(const lvhost::StandinHost& host, const std::string& name);
// Prints a text on stdout with exactly one line feed at its end.
void lumivexPrintText(const std::string& text);
