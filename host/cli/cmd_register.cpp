#include "cli/commands.h"

#include <iostream>

int lumivexRegister(const Args&) {
  std::cerr << "lumivex: 'register' is not available in this build\n";
  return 2;
}
