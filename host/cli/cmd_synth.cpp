#include "cli/commands.h"

#include <iostream>

int lumivexSynth(const Args&) {
  std::cerr << "lumivex: 'synth' is not available in this build\n";
  return 2;
}
