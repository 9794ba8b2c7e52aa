#include "cli/commands.h"

#include <iostream>

int lumivexDemo(const Args&) {
  std::cerr << "lumivex: 'demo' is not available in this build\n";
  return 2;
}
