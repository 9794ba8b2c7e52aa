// lumivex trail | stack | glow | skyblend: one command per job on the user's
// own frames. Each command is a table of options and a function that turns
// what was given into the job's paths and keys; an option left out leaves
// its key out, so the job's own default holds.
#include "cli/commands.h"
#include "cli/job_args.h"
#include "cli/job_command.h"

#include "hybrid/hybrid.h"
#include "plumbing/plumbing.h"
#include "skyblend/skyblend.h"
#include "starglow/starglow.h"
#include "startrail/startrail.h"

#include <opencv2/imgcodecs.hpp>

#include <filesystem>

namespace lvcli {
namespace {

namespace fs = std::filesystem;
using synth::JobSetting;

const char* kFramesHelp = "frames: files, globs or a folder (its image files in name order: TIFF, PNG, JPEG, WebP, BMP, camera RAW)";

// A job's own default as the help shows it, read from the job's record so
// that the help cannot drift from what the job does without the key.
std::string jobDefault(double value) { return "(job default " + NL_formatNumber(value) + ")"; }
std::string jobDefault(const std::string& value) { return "(job default " + value + ")"; }

OptionRule output(std::string value, std::string help, ValueKind kind = ValueKind::OutputFile) {
  OptionRule o = option("--output", kind, std::move(value), std::move(help));
  o.shortName = "-o", o.required = true;
  return o;
}

OptionRule force() {
  return option("--force", ValueKind::Switch, "",
                "replace existing output images; without it an existing one is kept and a free numbered name "
                "(OUT_1.tif, OUT_2.tif, ...) is written instead");
}

// Every job reads camera RAW frames; how they render is the user's choice.
OptionRule rawRendering() {
  return words("--raw", {"camera", "linear"},
               "how camera RAW frames render: camera (the sRGB tone curve, as an editor's export looks) or linear "
               "(light kept proportional); both in the camera's white balance, never brightened (default camera)");
}

void addRawRendering(const ParsedCommand& c, synth::JobSettings& s) {
  if (c.has("--raw")) s.push_back(JobSetting::text("rawRendering", c.text("--raw")));
}

OptionRule paired(OptionRule o, std::string needs, std::string excludes = "") {
  o.needs = std::move(needs), o.excludes = std::move(excludes);
  return o;
}

OptionRule required(OptionRule o) {
  o.required = true;
  return o;
}

// Side files of a job written next to its output: OUT.tif gives OUT_startrail_job_native.json and so on.
void besideOutput(JobPlan& plan, const std::string& output) {
  const fs::path out(output);
  plan.dir = out.has_parent_path() ? out.parent_path().string() : ".";
  plan.prefix = out.stem().string() + "_";
}

LeftOut theOutput(const std::string& path) { return {path, "the output of this command"}; }
LeftOut theSkyMask(const std::string& path) { return {path, "the sky mask"}; }

// ---- Star Trail ---------------------------------------------------------------

CommandTable trailTable() {
  const NLStarTrailNativeJob defaults;
  OptionRule window = range("--window", ValueKind::Whole, "N", 3, 9,
                            "neighbourhood of frames each frame is compared in: 3, 5, 7 or 9 " +
                                jobDefault(defaults.temporalWindow));
  window.odd = true;
  return {"trail",
          "Combines a night-sky time-lapse into one star-trail image (per-pixel maximum), "
          "removing satellite and aircraft trails.",
          "FRAME...", "night-sky frames in time order: files, globs or a folder (its image files in name order: TIFF, PNG, JPEG, WebP, BMP, camera RAW)", false,
          {output("OUT.tif", "the star-trail image to write (a numbered name when it exists)"), force(), rawRendering(),
           words("--reject", {"off", "low", "medium", "high"}, "satellite and aircraft trail removal " + jobDefault(defaults.rejectionMode)),
           window,
           range("--grow", ValueKind::Whole, "PX", 0, 8, "growth of removed areas in pixels " + jobDefault(defaults.maskGrowPx)),
           range("--threshold", ValueKind::Number, "PCT", 50, 220, "removal threshold, percent (job default by --reject: 150, 125, 100)"),
           range("--aircraft", ValueKind::Number, "PCT", 0, 100, "aircraft light sensitivity (job default by --reject: 50, 75, 100)"),
           words("--comet", {"forward", "reverse", "both"}, "fade the trails like comets, in this direction"),
           paired(range("--comet-strength", ValueKind::Number, "P", 0, 100, "comet fade strength in percent " + jobDefault(defaults.cometStrength)), "--comet"),
           words("--bad-frames", {"off", "report", "exclude"},
                 "frames spoiled by moonlight, cloud, headlights, dawn or dew, judged against the night: "
                 "left out (exclude, the default here), only logged (report) or not looked for (off, the job file's default)"),
           option("--keep-meteors", ValueKind::Switch, "", "leave meteors in the star-trail image while satellites and aircraft go"),
           option("--meteors", ValueKind::OutputFile, "OUT.tif",
                  "also write the meteors the rejection found, alone over the night's darkest sky (16-bit TIFF)"),
           option("--overlay", ValueKind::OutputFile, "OUT.png",
                  "also write the result reduced, each removed or kept streak outlined: satellites red, aircraft "
                  "orange, meteors magenta (removed) or green (kept)"),
           option("--fill-gaps", ValueKind::Switch, "",
                  "fill the pauses between exposures: each frame's stars carried along the sky's turn to where the "
                  "next exposure began, so the trails are continuous"),
           paired(range("--gap", ValueKind::Number, "F", 0, 0.9,
                        "share of each frame interval the shutter was closed (otherwise from the frames' capture "
                        "times, else measured on the trails)"),
                  "--fill-gaps"),
           option("--build-up", ValueKind::OutputDir, "DIR",
                  "also write the image as it builds up into DIR (made when missing): buildup_0001.tif, ... after "
                  "every N frames, the last one the final image; DIR must hold no build-up images yet"),
           paired(range("--every", ValueKind::Whole, "N", 1, 1000000, "frames between two build-up images (job default 1)"),
                  "--build-up"),
           paired(words("--format", {"tif", "jpg"}, "build-up images as TIFF at the result's depth (the default) or 8-bit JPEG"),
                  "--build-up"),
           option("--video", ValueKind::OutputVideo, "OUT.mp4",
                  "also write the image as it builds up as a video (.mp4 or .avi, 25 frames a second), where this "
                  "build can write one"),
           paired(option("--sky-mask", ValueKind::File, "MASK.png", "sky mask (white = sky) to blend a stacked foreground in"), "--foreground"),
           paired(option("--foreground", ValueKind::Frames, "FRAME...", "landscape frames, stacked and kept below the sky mask"), "--sky-mask")}};
}

// An extra image the trail job writes besides its result: an existing file
// is replaced only with --force (the job itself writes it as named).
bool extraImage(const ParsedCommand& c, const std::string& option, const std::string& key, synth::JobSettings& s,
                std::string& error) {
  if (!c.has(option)) return true;
  const std::string path = c.text(option);
  std::error_code ec;
  if (fs::exists(path, ec) && !c.has("--force")) {
    error = option + ": '" + path + "' exists; --force replaces it";
    return false;
  }
  s.push_back(JobSetting::text(key, fs::absolute(path, ec).lexically_normal().string()));
  return true;
}

bool trailPlan(const ParsedCommand& c, JobPlan& plan, std::string& error) {
  const std::string out = c.text("--output");
  besideOutput(plan, out);
  synth::JobPaths& p = plan.paths;
  p.output = out;
  // the intermediate sky and foreground images get names of their own once the output's name is settled
  if (c.has("--sky-mask")) p.skyMask = c.text("--sky-mask"), plan.sidecars = true;
  const std::vector<LeftOut> named = {theOutput(out), theSkyMask(p.skyMask)};
  if (!planFrames(plan, c.frames, named, p.inputs, error)) return false;
  if (c.has("--foreground") && !planFrames(plan, c.list("--foreground"), named, p.foregroundInputs, error)) return false;
  synth::JobSettings& s = plan.settings;
  addRawRendering(c, s);
  if (c.has("--reject")) s.push_back(JobSetting::text("rejectionMode", c.text("--reject")));
  if (c.has("--window")) s.push_back(JobSetting::num("temporalWindow", c.number("--window")));
  if (c.has("--grow")) s.push_back(JobSetting::num("maskGrowPx", c.number("--grow")));
  if (c.has("--threshold")) s.push_back(JobSetting::num("rejectionThresholdPct", c.number("--threshold")));
  if (c.has("--aircraft")) s.push_back(JobSetting::num("aircraftSensitivity", c.number("--aircraft")));
  if (c.has("--comet")) {
    s.push_back(JobSetting::flag("cometEnabled", true));
    s.push_back(JobSetting::text("cometDirection", c.text("--comet")));
  }
  if (c.has("--comet-strength")) s.push_back(JobSetting::num("cometStrength", c.number("--comet-strength")));
  if (c.has("--keep-meteors")) s.push_back(JobSetting::flag("keepMeteors", true));
  // A photographer pointing the command at a night's folder expects its spoiled frames gone.
  s.push_back(JobSetting::text("badFrames", c.has("--bad-frames") ? c.text("--bad-frames") : "exclude"));
  if (c.has("--fill-gaps")) s.push_back(JobSetting::flag("fillGaps", true));
  if (c.has("--gap")) s.push_back(JobSetting::num("gapFraction", c.number("--gap")));
  if (c.has("--build-up")) {
    std::error_code ec;
    s.push_back(JobSetting::text("buildUpOutput", fs::absolute(c.text("--build-up"), ec).lexically_normal().string()));
  }
  if (c.has("--every")) s.push_back(JobSetting::num("buildUpEvery", c.number("--every")));
  if (c.has("--format")) s.push_back(JobSetting::text("buildUpFormat", c.text("--format")));
  return extraImage(c, "--meteors", "meteorOutput", s, error) && extraImage(c, "--overlay", "rejectionOverlay", s, error) &&
         extraImage(c, "--video", "buildUpVideo", s, error);
}

// ---- Hybrid stack -------------------------------------------------------------

CommandTable stackTable() {
  return {"stack",
          "Registers the frames on the sharpest one and stacks them, leaving out frames "
          "that are soft or do not align.",
          "FRAME...", kFramesHelp, false,
          {output("OUT.tif", "the stacked image to write (a numbered name when it exists)"), force(), rawRendering(),
           words("--method", {"auto", "average", "median", "sigma"}, "how the frames are combined; auto picks by frame count (default auto)"),
           range("--keep", ValueKind::Whole, "PERCENT", 50, 100, "share of the sharpest frames kept " + jobDefault(TestJobConfig{}.qualityKeepPercent))}};
}

bool stackPlan(const ParsedCommand& c, JobPlan& plan, std::string& error) {
  const std::string out = c.text("--output");
  besideOutput(plan, out);
  plan.paths.output = out;
  if (!planFrames(plan, c.frames, {theOutput(out)}, plan.paths.inputs, error)) return false;
  // the job has no method of its own to fall back on, so "auto" stands in for a missing --method
  const std::string method = c.has("--method") ? c.text("--method") : "auto";
  plan.settings.push_back(JobSetting::text("method", method == "auto" ? method : "registered-" + method + "-homography"));
  if (c.has("--keep")) plan.settings.push_back(JobSetting::num("qualityKeepPercent", c.number("--keep")));
  addRawRendering(c, plan.settings);
  return true;
}

// ---- Star Glow ----------------------------------------------------------------

CommandTable glowTable() {
  const NL_StarGlowSettings defaults;
  return {"glow",
          "Finds the stars of one image and renders a colour-aware glow around them, as a 16-bit TIFF.",
          "IMAGE", "the image (TIFF, PNG, JPEG or camera RAW)", true,
          {output("OUT.tif", "the image to write (a numbered name when it exists)"), force(), rawRendering(),
           range("--amount", ValueKind::Number, "P", 0, 100, "share of the stars that glow, in percent " + jobDefault(defaults.starAmount)),
           range("--strength", ValueKind::Number, "S", 0, 3, "glow strength " + jobDefault(defaults.glowStrength)),
           paired(option("--final", ValueKind::Switch, "", "write the image with the glow screened over it"), "", "--glow-only"),
           paired(option("--glow-only", ValueKind::Switch, "", "write the glow layer alone (the job default)"), "", "--final"),
           option("--sky-mask", ValueKind::File, "MASK.png", "only stars in the mask's white sky glow")}};
}

// Why the image cannot be the glow's input; empty when it can. The job's own
// wait is for an export still being written and would spend a minute on a
// file that can never become ready, so the command looks first.
std::string glowInputProblem(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return fs::exists(path, ec) ? "is not a file" : "does not exist";
  const std::uint64_t size = NL_getFileSizeNoThrow(path);
  if (size == 0) return "is empty";
  const NL_TemporaryImageCheck check = NL_validateTemporaryImage(path, size);
  if (check.container == "unknown") return "is not a PNG, TIFF, JPEG or camera RAW image";
  if (NL_isRawFileName(path) && !NL_rawDecoderAvailable()) return NL_imageFileProblem(path);
  if (!check.ready) return "is cut short or damaged: " + check.message;
  const std::string tooLarge = NL_imageFileProblem(path);
  if (!tooLarge.empty()) return tooLarge;
  // opened whole by the RAW decoder above; decoding it twice would cost a second
  if (NL_isRawFileName(path)) return "";
  // A header that tells the channels is enough: decoding a large frame here
  // only to decode it again in the job doubled the command's work.
  int channels = NL_readImageHeaderSamples(path);
  if (channels == 0) {
    cv::Mat image;
    try {
      image = cv::imread(path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
    }
    if (image.empty()) return "could not be decoded: it is cut short or damaged";
    channels = image.channels();
  }
  if (channels == 2) return "has 2 channels; the glow takes grey, colour or colour with alpha";
  return "";
}

bool glowPlan(const ParsedCommand& c, JobPlan& plan, std::string& error) {
  const std::string out = c.text("--output");
  besideOutput(plan, out);
  plan.paths.output = out;
  const std::string problem = glowInputProblem(c.frames.front());
  if (!problem.empty()) {
    error = "image '" + c.frames.front() + "' " + problem;
    return false;
  }
  plan.paths.inputs = c.frames;
  // checked whole above: the job decodes it at once instead of waiting for an export to settle
  plan.settings.push_back(JobSetting::flag("inputComplete", true));
  synth::JobSettings& s = plan.settings;
  addRawRendering(c, s);
  if (c.has("--amount")) s.push_back(JobSetting::num("starAmount", c.number("--amount")));
  if (c.has("--strength")) s.push_back(JobSetting::num("glowStrength", c.number("--strength")));
  if (c.has("--final")) s.push_back(JobSetting::text("outputMode", "final"));
  if (c.has("--glow-only")) s.push_back(JobSetting::text("outputMode", "glowOnly"));
  if (c.has("--sky-mask")) {
    plan.paths.skyMask = c.text("--sky-mask");
    s.push_back(JobSetting::flag("useSkyMask", true));
  }
  return true;
}

// ---- Sky Blend ----------------------------------------------------------------

CommandTable skyBlendTable() {
  return {"skyblend",
          "Registers the sky of the frames on the reference and stacks it, stacks the fixed "
          "foreground, and blends both through the sky mask.",
          "FRAME...", kFramesHelp, false,
          {required(option("--reference", ValueKind::File, "FRAME", "the frame the sky is registered on")),
           required(option("--sky-mask", ValueKind::File, "MASK.png", "sky mask (white = sky)")),
           output("OUTDIR", "folder for the sky, foreground and blend images (made when missing; numbered names when "
                            "they exist)", ValueKind::OutputDir),
           force(), rawRendering(),
           words("--method", {"auto", "average", "sigma"}, "how the frames are combined; auto clips outliers " + jobDefault(NLSkyBlendNativeJob{}.stackMethod))}};
}

bool skyBlendPlan(const ParsedCommand& c, JobPlan& plan, std::string& error) {
  plan.dir = c.text("--output");
  plan.makeDir = true;
  synth::JobPaths& p = plan.paths;
  p.reference = c.text("--reference");
  p.skyMask = c.text("--sky-mask");
  p.skyOutput = (fs::path(plan.dir) / "skyblend_sky.tif").string();
  p.foregroundOutput = (fs::path(plan.dir) / "skyblend_foreground.tif").string();
  p.blendOutput = (fs::path(plan.dir) / "skyblend_blend.tif").string();
  const std::vector<LeftOut> named = {theSkyMask(p.skyMask), theOutput(p.skyOutput), theOutput(p.foregroundOutput),
                                      theOutput(p.blendOutput)};
  if (!planFrames(plan, c.frames, named, p.inputs, error)) return false;
  if (c.has("--method")) plan.settings.push_back(JobSetting::text("stackMethod", c.text("--method")));
  addRawRendering(c, plan.settings);
  return true;
}

}  // namespace

const JobCommand& trailCommand() {
  static const JobCommand command{trailTable(), synth::JobKind::StarTrail, trailPlan};
  return command;
}

const JobCommand& stackCommand() {
  static const JobCommand command{stackTable(), synth::JobKind::HybridStack, stackPlan};
  return command;
}

const JobCommand& glowCommand() {
  static const JobCommand command{glowTable(), synth::JobKind::StarGlow, glowPlan};
  return command;
}

const JobCommand& skyBlendCommand() {
  static const JobCommand command{skyBlendTable(), synth::JobKind::SkyBlend, skyBlendPlan};
  return command;
}

}  // namespace lvcli

int lumivexTrail(const Args& args) { return lvcli::runJobCommand(lvcli::trailCommand(), args); }
int lumivexStack(const Args& args) { return lvcli::runJobCommand(lvcli::stackCommand(), args); }
int lumivexGlow(const Args& args) { return lvcli::runJobCommand(lvcli::glowCommand(), args); }
int lumivexSkyBlend(const Args& args) { return lvcli::runJobCommand(lvcli::skyBlendCommand(), args); }
