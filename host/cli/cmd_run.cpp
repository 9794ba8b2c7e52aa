#include "cli/commands.h"

#include <iostream>

int lumivexRun(const Args&) {
  std::cerr << "lumivex: 'run' is not available in this build\n";
  return 2;
}
