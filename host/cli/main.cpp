// lumivex: runs the add-on's exports and jobs from the command line through
// the stand-in host.
#include "cli/cancel.h"
#include "cli/commands.h"

#include <cstring>
#include <iostream>
#include <map>

namespace {

const char* kUsage =
    "usage: lumivex COMMAND [ARGS]\n"
    "\n"
    "  trail FRAME... -o OUT.tif [options]        combine a time-lapse into a star-trail image\n"
    "  stack FRAME... -o OUT.tif [options]        register and stack frames\n"
    "  glow IMAGE -o OUT.tif [options]            render a glow around the stars of one image\n"
    "  skyblend FRAME... --reference FRAME --sky-mask MASK.png -o OUTDIR [options]\n"
    "                                             stack the sky and the foreground, blend both\n"
    "  call NAME [STRING | --number X | --bool B]  call an export of the add-on\n"
    "  run JOB [--quiet]                          run a job file, following its progress\n"
    "  run --async JOB [--quiet]                  the same through my_echo_async\n"
    "  run --background JOB [JOB...] [--quiet]    start each job on its own thread, follow them all\n"
    "  synth SCENE --out DIR [options]            write a synthetic night sky with truth and job files\n"
    "  demo [DIR]                                 make every scene and run every job on it\n"
    "  register REFERENCE MOVING [options]        register one frame pair and print the figures\n"
    "  --help, --version\n"
    "\n"
    "lumivex COMMAND --help shows a command's options.\n";

}  // namespace

int main(int argc, char** argv) {
  lvcli::cancelOnSignals();
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string command = argv[1];
  const bool alone = argc == 2;
  if ((command == "--help" || command == "-h" || command == "help" || command == "--version") && !alone) {
    std::cerr << "lumivex: " << command << " takes nothing after it\n" << kUsage;
    return 2;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (command == "--version") {
    std::cout << "Lumivex Native Addon " << LUMIVEX_VERSION << "\n";
    return 0;
  }
  const std::map<std::string, int (*)(const Args&)> commands = {
      {"call", lumivexCall},   {"run", lumivexRun},           {"synth", lumivexSynth},
      {"demo", lumivexDemo},   {"register", lumivexRegister},     {"trail", lumivexTrail},
      {"stack", lumivexStack}, {"glow", lumivexGlow},             {"skyblend", lumivexSkyBlend},
  };
  const auto found = commands.find(command);
  if (found == commands.end()) {
    std::cerr << "lumivex: unknown command '" << command << "'\n" << kUsage;
    return 2;
  }
  return found->second(Args(argv + 2, argv + argc));
}
