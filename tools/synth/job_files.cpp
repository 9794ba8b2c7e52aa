// Ready-to-run job files for each scene, in the formats the jobs read.
#include "synth/detail/json_writer.h"
#include "synth/detail/scene_parts.h"

#include <filesystem>
#include <stdexcept>

namespace synth {
namespace {

using detail::jsonArray;
using detail::jsonQuote;
using detail::JsonObject;

std::string inside(const std::string& dir, const std::string& name) {
  return (std::filesystem::path(dir) / name).string();
}

// Frames as an array of {"path": ...} objects, the way the script side lists them.
std::string pathObjects(const std::vector<std::string>& paths) {
  std::vector<std::string> items;
  for (const std::string& p : paths) items.push_back("{\"path\": " + jsonQuote(p) + "}");
  return jsonArray(items);
}

std::string stackJob(const std::string& dir, const SceneFiles& files) {
  std::string text = "# Hybrid stack of the synthetic deep-sky frames.\n";
  text += "method=auto\n";
  text += "output=" + inside(dir, "stack_result.tif") + "\n";
  text += "progress=" + inside(dir, "stack_progress.txt") + "\n";
  text += "resultLog=" + inside(dir, "stack_result_log.txt") + "\n";
  text += "qualityKeepPercent=100\n";
  for (const std::string& f : files.frames) text += "input=" + f + "\n";
  return text;
}

std::string trailJob(const std::string& dir, const SceneFiles& files) {
  JsonObject o;
  o.addString("type", "startrail-native-job");
  o.add("inputs", pathObjects(files.frames)).add("foregroundInputs", pathObjects(files.frames));
  o.addString("output", inside(dir, "startrail_result.tif"));
  o.addString("skyOutput", inside(dir, "startrail_sky.tif"));
  o.addString("foregroundOutput", inside(dir, "startrail_foreground.tif"));
  o.addString("maskInput", files.skyMask);
  o.addString("progress", inside(dir, "startrail_progress.txt"));
  o.addString("resultLog", inside(dir, "startrail_result_log.txt"));
  o.addString("rejectionMode", "medium").addString("foregroundMode", "stack");
  o.addNumber("temporalWindow", 5).addNumber("maskGrowPx", 2);
  o.addBool("cometEnabled", false).addBool("blendingRefinementEnabled", true);
  return o.text() + "\n";
}

std::string skyBlendJob(const std::string& dir, const SceneFiles& files) {
  JsonObject outputs;
  outputs.addString("sky", inside(dir, "skyblend_sky.tif"));
  outputs.addString("foreground", inside(dir, "skyblend_foreground.tif"));
  outputs.addString("blend", inside(dir, "skyblend_blend.tif"));
  JsonObject o;
  o.addString("type", "skyblend-native-job");
  o.add("inputs", pathObjects(files.frames));
  o.addString("referencePath", files.frames.front());
  o.addString("skyMaskPath", files.skyMask);
  o.add("outputs", outputs.text(4));
  o.addString("progress", inside(dir, "skyblend_progress.txt"));
  o.addString("resultLog", inside(dir, "skyblend_result_log.txt"));
  o.addString("stackMethod", "auto");
  return o.text() + "\n";
}

std::string glowJob(const std::string& dir, const SceneFiles& files) {
  JsonObject o;
  o.addString("type", "star-glow-native-job");
  o.addString("inputPath", files.frames.front());
  o.addString("outputPath", inside(dir, "star_glow_result.tif"));
  o.addString("progress", inside(dir, "star_glow_progress.txt"));
  o.addString("resultLog", inside(dir, "star_glow_result_log.txt"));
  o.addString("outputMode", "final");
  o.addNumber("starAmount", 30).addNumber("glowStrength", 0.6);
  o.addBool("useSkyMask", false).addBool("debugOverlay", false);
  return o.text() + "\n";
}

}  // namespace

std::string detail::writeJobFile(const Scene& scene, const std::string& dir, const SceneFiles& files) {
  if (files.frames.empty()) throw std::runtime_error("a scene without frames has no job");
  // The names carry the job-kind path markers, so routing by path alone works.
  std::string name, text;
  if (scene.name == "stack") name = "stack_job.txt", text = stackJob(dir, files);
  else if (scene.name == "trail") name = "startrail_job_native.json", text = trailJob(dir, files);
  else if (scene.name == "skyblend") name = "skyblend_job_native.json", text = skyBlendJob(dir, files);
  else if (scene.name == "glow") name = "star_glow_job_native.json", text = glowJob(dir, files);
  else throw std::runtime_error("no job format for scene '" + scene.name + "'");
  const std::string path = inside(dir, name);
  writeTextFileChecked(path, text);
  return path;
}

}  // namespace synth
