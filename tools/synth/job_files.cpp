// Job files in the formats the jobs read, and the ready-to-run job of each scene.
#include "synth/job_files.h"

#include "synth/detail/json_writer.h"
#include "synth/detail/scene_parts.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace synth {
namespace {

using detail::jsonArray;
using detail::jsonNumber;
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

void addPath(JsonObject& o, const std::string& key, const std::string& path) {
  if (!path.empty()) o.addString(key, path);
}

void addFrames(JsonObject& o, const std::string& key, const std::vector<std::string>& frames) {
  if (!frames.empty()) o.add(key, pathObjects(frames));
}

void addSettings(JsonObject& o, const JobSettings& settings) {
  for (const JobSetting& s : settings) {
    if (s.kind == JobSetting::Number) o.addNumber(s.key, s.number);
    else if (s.kind == JobSetting::Switch) o.addBool(s.key, s.on);
    else o.addString(s.key, s.word);
  }
}

std::string starTrailText(const JobPaths& p, const JobSettings& settings) {
  JsonObject o;
  o.addString("type", "startrail-native-job");
  addFrames(o, "inputs", p.inputs);
  addFrames(o, "foregroundInputs", p.foregroundInputs);
  addPath(o, "output", p.output);
  addPath(o, "skyOutput", p.skyOutput);
  addPath(o, "foregroundOutput", p.foregroundOutput);
  addPath(o, "maskInput", p.skyMask);
  addPath(o, "progress", p.progress);
  addPath(o, "resultLog", p.resultLog);
  addSettings(o, settings);
  return o.text() + "\n";
}

std::string starGlowText(const JobPaths& p, const JobSettings& settings) {
  JsonObject o;
  o.addString("type", "star-glow-native-job");
  addPath(o, "inputPath", p.inputs.empty() ? std::string() : p.inputs.front());
  addPath(o, "outputPath", p.output);
  addPath(o, "skyMaskPath", p.skyMask);
  addPath(o, "progress", p.progress);
  addPath(o, "resultLog", p.resultLog);
  addSettings(o, settings);
  return o.text() + "\n";
}

std::string skyBlendText(const JobPaths& p, const JobSettings& settings) {
  JsonObject outputs;
  addPath(outputs, "sky", p.skyOutput);
  addPath(outputs, "foreground", p.foregroundOutput);
  addPath(outputs, "blend", p.blendOutput);
  JsonObject o;
  o.addString("type", "skyblend-native-job");
  addFrames(o, "inputs", p.inputs);
  addPath(o, "referencePath", p.reference);
  addPath(o, "skyMaskPath", p.skyMask);
  o.add("outputs", outputs.text(4));
  addPath(o, "progress", p.progress);
  addPath(o, "resultLog", p.resultLog);
  addSettings(o, settings);
  return o.text() + "\n";
}

std::string keyValueLine(const std::string& key, const std::string& value) {
  // the job reads one line per key and trims the value
  const bool blankEnds = !value.empty() && (std::isspace(static_cast<unsigned char>(value.front())) ||
                                            std::isspace(static_cast<unsigned char>(value.back())));
  if (blankEnds || value.find_first_of("\r\n") != std::string::npos) {
    throw std::runtime_error("a stack job cannot hold a value with a line break or blank ends: '" + value + "'");
  }
  return key + "=" + value + "\n";
}

std::string hybridStackText(const JobPaths& p, const JobSettings& settings) {
  std::string text = "# Hybrid stack job.\n";
  for (const JobSetting& s : settings) {
    const std::string value =
        s.kind == JobSetting::Number ? jsonNumber(s.number) : (s.kind == JobSetting::Switch ? (s.on ? "1" : "0") : s.word);
    text += keyValueLine(s.key, value);
  }
  if (!p.output.empty()) text += keyValueLine("output", p.output);
  if (!p.progress.empty()) text += keyValueLine("progress", p.progress);
  if (!p.resultLog.empty()) text += keyValueLine("resultLog", p.resultLog);
  for (const std::string& f : p.inputs) text += keyValueLine("input", f);
  return text;
}

// Scene jobs keep their tuning keys written out, so the file shows what can be changed.
JobSettings sceneSettings(JobKind kind) {
  using S = JobSetting;
  switch (kind) {
    case JobKind::HybridStack: return {S::text("method", "auto"), S::num("qualityKeepPercent", 100)};
    case JobKind::StarTrail:
      return {S::text("rejectionMode", "medium"), S::text("foregroundMode", "stack"), S::num("temporalWindow", 5),
              S::num("maskGrowPx", 2), S::flag("cometEnabled", false), S::flag("blendingRefinementEnabled", true)};
    case JobKind::SkyBlend: return {S::text("stackMethod", "auto")};
    case JobKind::StarGlow:
      return {S::text("outputMode", "final"), S::num("starAmount", 30), S::num("glowStrength", 0.6),
              S::flag("useSkyMask", false), S::flag("debugOverlay", false)};
  }
  return {};
}

JobPaths scenePaths(JobKind kind, const std::string& dir, const SceneFiles& files) {
  JobPaths p;
  p.inputs = files.frames;
  if (kind == JobKind::HybridStack) p.output = inside(dir, "stack_result.tif");
  if (kind == JobKind::StarGlow) p.inputs.resize(1), p.output = inside(dir, "star_glow_result.tif");
  if (kind == JobKind::StarTrail) {
    p.foregroundInputs = files.frames;
    p.output = inside(dir, "startrail_result.tif");
    p.skyOutput = inside(dir, "startrail_sky.tif");
    p.foregroundOutput = inside(dir, "startrail_foreground.tif");
    p.skyMask = files.skyMask;
  }
  if (kind == JobKind::SkyBlend) {
    p.reference = files.frames.front();
    p.skyMask = files.skyMask;
    p.skyOutput = inside(dir, "skyblend_sky.tif");
    p.foregroundOutput = inside(dir, "skyblend_foreground.tif");
    p.blendOutput = inside(dir, "skyblend_blend.tif");
  }
  return p;
}

}  // namespace

JobSetting JobSetting::num(std::string key, double value) {
  JobSetting s;
  s.key = std::move(key), s.kind = Number, s.number = value;
  return s;
}

JobSetting JobSetting::text(std::string key, std::string value) {
  JobSetting s;
  s.key = std::move(key), s.kind = Word, s.word = std::move(value);
  return s;
}

JobSetting JobSetting::flag(std::string key, bool value) {
  JobSetting s;
  s.key = std::move(key), s.kind = Switch, s.on = value;
  return s;
}

std::string jobFileText(JobKind kind, const JobPaths& paths, const JobSettings& settings) {
  switch (kind) {
    case JobKind::StarTrail: return starTrailText(paths, settings);
    case JobKind::StarGlow: return starGlowText(paths, settings);
    case JobKind::SkyBlend: return skyBlendText(paths, settings);
    case JobKind::HybridStack: break;
  }
  return hybridStackText(paths, settings);
}

JobSideFiles jobSideFiles(JobKind kind, const std::string& dir, const std::string& prefix) {
  const char* tag = kind == JobKind::StarTrail  ? "startrail"
                    : kind == JobKind::StarGlow ? "star_glow"
                    : kind == JobKind::SkyBlend ? "skyblend"
                                                : "stack";
  const std::string base = prefix + tag;
  // the three JSON jobs are routed by the "_job_native" marker in the name
  const std::string job = kind == JobKind::HybridStack ? base + "_job.txt" : base + "_job_native.json";
  return {inside(dir, job), inside(dir, base + "_progress.txt"), inside(dir, base + "_result_log.txt")};
}

void writeTextFileChecked(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      out.close();
      std::remove(temporary.c_str());
      throw std::runtime_error("could not write " + path);
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::remove(temporary.c_str());
    throw std::runtime_error("could not write " + path + ": " + ec.message());
  }
}

std::string detail::writeJobFile(const Scene& scene, const std::string& dir, const SceneFiles& files) {
  if (files.frames.empty()) throw std::runtime_error("a scene without frames has no job");
  JobKind kind;
  if (scene.name == "stack") kind = JobKind::HybridStack;
  else if (scene.name == "trail") kind = JobKind::StarTrail;
  else if (scene.name == "skyblend") kind = JobKind::SkyBlend;
  else if (scene.name == "glow") kind = JobKind::StarGlow;
  else throw std::runtime_error("no job format for scene '" + scene.name + "'");
  const JobSideFiles side = jobSideFiles(kind, dir);
  JobPaths paths = scenePaths(kind, dir, files);
  paths.progress = side.progress;
  paths.resultLog = side.resultLog;
  writeTextFileChecked(side.job, jobFileText(kind, paths, sceneSettings(kind)));
  return side.job;
}

}  // namespace synth
