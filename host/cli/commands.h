// Subcommands of the lumivex program. Each takes the arguments after its
// own name and returns the process exit status.
#pragma once

#include <string>
#include <vector>

using Args = std::vector<std::string>;

int lumivexCall(const Args& args);      // call NAME [STRING | --number X | --bool B]
int lumivexRun(const Args& args);       // run JOB [--quiet]
int lumivexSynth(const Args& args);     // synth SCENE --out DIR ...
int lumivexDemo(const Args& args);      // demo [DIR]
int lumivexRegister(const Args& args);  // register REFERENCE MOVING ...
int lumivexTrail(const Args& args);     // trail FRAME... -o OUT.tif [options]
int lumivexStack(const Args& args);     // stack FRAME... -o OUT.tif [options]
int lumivexGlow(const Args& args);      // glow IMAGE -o OUT.tif [options]
int lumivexSkyBlend(const Args& args);  // skyblend FRAME... --reference FRAME --sky-mask MASK.png -o OUTDIR [options]

// True when -h or --help comes before any "--": the command prints its usage on stdout and exits 0.
bool lumivexWantsHelp(const Args& args);

// Path of the add-on module the program loads.
std::string lumivexAddonPath();
