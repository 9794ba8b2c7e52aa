#include "addon/dispatch.h"

#include "hybrid/hybrid.h"
#include "plumbing/plumbing.h"
#include "skyblend/skyblend.h"
#include "starglow/starglow.h"
#include "startrail/startrail.h"

#include <initializer_list>

namespace {

bool contains(const std::string& text, const char* marker) { return text.find(marker) != std::string::npos; }

// The path is tested first so a job named by its path is routed without
// reading a file the script may still be writing.
bool pathOrContentHas(const std::string& path, const char* pathMarker,
                      std::initializer_list<const char*> contentMarkers) {
  if (contains(path, pathMarker)) return true;
  const std::string text = NL_readTextFile(path);
  for (const char* marker : contentMarkers) {
    if (contains(text, marker)) return true;
  }
  return false;
}

}  // namespace

bool NL_isStarTrailJobFile(const std::string& path) {
  return pathOrContentHas(path, "startrail_job_native", {"startrail-native-job"});
}

bool NL_isStarGlowJobFile(const std::string& path) {
  return pathOrContentHas(path, "star_glow_job_native", {"star-glow-native-job"});
}

bool NL_isSkyBlendJobFile(const std::string& path) {
  return pathOrContentHas(path, "skyblend_job_native",
                          {"skyMaskPath", "referencePath", "\"outputs\"", "skyblend-native-job"});
}

NLJobKind NL_detectJobKind(const std::string& path) {
  if (NL_isStarTrailJobFile(path)) return NLJobKind::StarTrail;
  if (NL_isStarGlowJobFile(path)) return NLJobKind::StarGlow;
  if (NL_isSkyBlendJobFile(path)) return NLJobKind::SkyBlend;
  return NLJobKind::HybridStack;
}

std::string NL_runJobForPath(const std::string& path) { return NL_runJobOfKind(NL_detectJobKind(path), path); }

std::string NL_runJobOfKind(NLJobKind kind, const std::string& path) {
  switch (kind) {
    case NLJobKind::StarTrail: return NL_runStarTrailNativeJob(path);
    case NLJobKind::StarGlow: return NL_runStarGlowNativeJob(path);
    case NLJobKind::SkyBlend: return NL_runSkyBlendNativeJob(path);
    case NLJobKind::HybridStack: break;
  }
  return NL_runLumivexJob(path);
}
