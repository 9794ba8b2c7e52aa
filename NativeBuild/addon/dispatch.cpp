#include "addon/dispatch.h"

#include "addon/job_kinds.h"

bool NL_isStarTrailJobFile(const std::string& path) {
  return NL_jobFileIsOfKind(NL_jobKindRow(NLJobKind::StarTrail), path);
}

bool NL_isStarGlowJobFile(const std::string& path) {
  return NL_jobFileIsOfKind(NL_jobKindRow(NLJobKind::StarGlow), path);
}

bool NL_isSkyBlendJobFile(const std::string& path) {
  return NL_jobFileIsOfKind(NL_jobKindRow(NLJobKind::SkyBlend), path);
}

NLJobKind NL_detectJobKind(const std::string& path) {
  for (const NLJobKindRow& row : NL_jobKinds())
    if (NL_jobFileIsOfKind(row, path)) return row.kind;
  return NL_jobKinds().back().kind;
}

std::string NL_runJobForPath(const std::string& path) { return NL_runJobOfKind(NL_detectJobKind(path), path); }

std::string NL_runJobOfKind(NLJobKind kind, const std::string& path) { return NL_jobKindRow(kind).run(path); }
