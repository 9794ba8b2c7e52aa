#include "addon/dispatch.h"

#include "addon/job_kinds.h"

namespace {

std::vector<std::string> inputPaths(const NLJobPaths& paths) {
  std::vector<std::string> out;
  for (const NLJobPath& p : paths.inputs) out.push_back(p.path);
  return out;
}

}  // namespace

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

std::string NL_runJobOfKind(NLJobKind kind, const std::string& path) {
  const NLJobKindRow& row = NL_jobKindRow(kind);
  // A job that says how its camera RAW frames render holds that for every
  // file it reads while it runs; without the key they render as the camera's.
  NLRawRendering rendering = NLRawRendering::Camera;
  if (!NL_readJobRawRendering(NL_readTextFile(path), rendering)) return row.run(path);
  const NLRawRenderingScope raw(inputPaths(row.files(path).paths), rendering);
  return row.run(path);
}
