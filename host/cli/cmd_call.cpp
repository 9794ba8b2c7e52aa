#include "cli/commands.h"

#include <iostream>

int lumivexCall(const Args&) {
  std::cerr << "lumivex: 'call' is not available in this build\n";
  return 2;
}
