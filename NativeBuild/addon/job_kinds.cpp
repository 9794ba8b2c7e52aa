#include "addon/job_kinds.h"

#include "hybrid/hybrid.h"
#include "skyblend/skyblend.h"
#include "starglow/starglow.h"
#include "startrail/startrail.h"

namespace {

bool contains(const std::string& text, const char* marker) { return text.find(marker) != std::string::npos; }

NLJobFiles starTrailFiles(const std::string& path) {
  const NLStarTrailNativeJob job = NL_parseStarTrailNativeJob(path);
  return {job.progress, job.resultLog, NL_starTrailJobPaths(path, job)};
}

NLJobFiles starGlowFiles(const std::string& path) {
  const NL_StarGlowJob job = NL_readStarGlowJob(NL_sgReadTextFile(path));
  return {job.progressPath, job.resultLog, NL_starGlowJobPaths(path, job)};
}

NLJobFiles skyBlendFiles(const std::string& path) {
  const NLSkyBlendNativeJob job = NL_parseSkyBlendNativeJob(NL_readTextFile(path));
  return {job.progress, job.resultLog, NL_skyBlendJobPaths(path, job)};
}

NLJobFiles hybridStackFiles(const std::string& path) {
  const TestJobConfig job = NL_readTestJobConfig(path);
  return {job.progress, job.resultLog, NL_hybridStackJobPaths(path, job)};
}

}  // namespace

const std::vector<NLJobKindRow>& NL_jobKinds() {
  // Never destroyed: a background job still running while its process exits
  // must not find the table freed under it.
  static const std::vector<NLJobKindRow>& rows = *new std::vector<NLJobKindRow>{
      {NLJobKind::StarTrail, "Star Trail", "startrail_job_native", {"startrail-native-job"}, 40,
       {"startrail-native-job", "\"progress\"", "\"resultLog\""}, "Native Star Trail background worker started.",
       NL_runStarTrailNativeJob, starTrailFiles},
      {NLJobKind::StarGlow, "Star Glow", "star_glow_job_native", {"star-glow-native-job"}, 60,
       {"star-glow-native-job", "\"inputPath\"", "\"progress\"", "\"resultLog\""}, nullptr,
       NL_runStarGlowNativeJob, starGlowFiles},
      {NLJobKind::SkyBlend, "Sky Blend", "skyblend_job_native",
       {"skyMaskPath", "referencePath", "\"outputs\"", "skyblend-native-job"}, 0, {}, nullptr,
       NL_runSkyBlendNativeJob, skyBlendFiles},
      {NLJobKind::HybridStack, "Hybrid stack", nullptr, {}, 0, {}, nullptr, NL_runLumivexJob, hybridStackFiles},
  };
  return rows;
}

const NLJobKindRow& NL_jobKindRow(NLJobKind kind) {
  for (const NLJobKindRow& row : NL_jobKinds())
    if (row.kind == kind) return row;
  return NL_jobKinds().back();
}

bool NL_jobFileIsOfKind(const NLJobKindRow& row, const std::string& path) {
  if (!row.pathMarker) return false;
  // The path is tested first so a job named by its path is routed without
  // reading a file the script may still be writing.
  if (contains(path, row.pathMarker)) return true;
  const std::string text = NL_readTextFile(path);
  for (const char* marker : row.contentMarkers)
    if (contains(text, marker)) return true;
  return false;
}

NLJobFiles NL_jobFilesFor(const std::string& jobPath) {
  try {
    return NL_jobKindRow(NL_detectJobKind(jobPath)).files(jobPath);
  } catch (...) {
    return {};
  }
}
