#include "cli/commands.h"

#include <cstdlib>

// A relocated install names its module through LUMIVEX_ADDON; otherwise the
// module built beside the program is used.
std::string lumivexAddonPath() {
  const char* relocated = std::getenv("LUMIVEX_ADDON");
  if (relocated != nullptr && *relocated != '\0') return relocated;
  return LUMIVEX_ADDON_DEFAULT_PATH;
}
