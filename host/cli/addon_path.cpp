#include "cli/commands.h"

std::string lumivexAddonPath() { return LUMIVEX_ADDON_DEFAULT_PATH; }
