#include "cli/job_command.h"

#include "cli/cancel.h"
#include "cli/output_claim.h"
#include "cli/run_job.h"
#include "plumbing/plumbing.h"

#include <filesystem>
#include <iostream>
#include <stdexcept>

namespace lvcli {
namespace {

namespace fs = std::filesystem;

// The job may run from anywhere later (lumivex run), so it names files by absolute paths.
void makeAbsolute(std::string& path) {
  if (!path.empty()) path = fs::absolute(path).lexically_normal().string();
}

void makeAbsolute(synth::JobPaths& p) {
  for (std::string& f : p.inputs) makeAbsolute(f);
  for (std::string& f : p.foregroundInputs) makeAbsolute(f);
  for (std::string* f : {&p.output, &p.skyOutput, &p.foregroundOutput, &p.blendOutput, &p.skyMask, &p.reference,
                         &p.progress, &p.resultLog}) {
    makeAbsolute(*f);
  }
}

// The images the user's -o names: what the output policy numbers.
std::vector<std::string> namedOutputs(const synth::JobPaths& p) {
  std::vector<std::string> out;
  for (const std::string* f : {&p.output, &p.skyOutput, &p.foregroundOutput, &p.blendOutput}) {
    if (!f->empty()) out.push_back(*f);
  }
  return out;
}

// "trails_" numbered 2 gives "trails_2_"; "" gives "2_".
std::string numberedPrefix(const std::string& prefix, int n) {
  if (n == 0) return prefix;
  const std::string base = !prefix.empty() && prefix.back() == '_' ? prefix.substr(0, prefix.size() - 1) : prefix;
  return (base.empty() ? "" : base + "_") + std::to_string(n) + "_";
}

// Settles the output names (numbered around existing files unless --force)
// and claims the job file that goes with them.
std::unique_ptr<ClaimedFile> claimNames(const JobCommand& command, JobPlan& plan) {
  std::error_code ec;
  if (plan.makeDir && !fs::create_directories(plan.dir, ec) && !fs::is_directory(plan.dir)) {
    throw std::runtime_error("could not make folder '" + plan.dir + "': " + ec.message());
  }
  std::unique_ptr<ClaimedFile> claimed;
  const int n = firstFreeNumber(namedOutputs(plan.paths), plan.force, [&](int candidate) {
    const synth::JobSideFiles side = synth::jobSideFiles(command.kind, plan.dir, numberedPrefix(plan.prefix, candidate));
    claimed = ClaimedFile::claim(fs::absolute(side.job).lexically_normal().string());
    return claimed != nullptr;
  });
  if (n < 0) throw std::runtime_error("no free numbered name beside '" + namedOutputs(plan.paths).front() + "'");
  plan.prefix = numberedPrefix(plan.prefix, n);
  synth::JobPaths& p = plan.paths;
  for (std::string* f : {&p.output, &p.skyOutput, &p.foregroundOutput, &p.blendOutput}) {
    if (!f->empty()) *f = numberedPath(*f, n);
  }
  return claimed;
}

// Star Trail's sky and foreground images exist only for its composite: they
// get hidden names of their own, so they never meet a user's file nor end up
// in a later frame list.
void nameSidecars(JobPlan& plan) {
  if (!plan.sidecars) return;
  const fs::path out(plan.paths.output);
  const std::string hidden = (out.parent_path() / ("." + out.filename().string())).string();
  plan.paths.skyOutput = NL_uniqueSiblingPath(hidden, "sky");
  plan.paths.foregroundOutput = NL_uniqueSiblingPath(hidden, "foreground");
}

// Writes the job file into its claim.
void writeJob(const JobCommand& command, JobPlan& plan, ClaimedFile& job) {
  const synth::JobSideFiles side = synth::jobSideFiles(command.kind, plan.dir, plan.prefix);
  plan.paths.progress = side.progress;
  plan.paths.resultLog = side.resultLog;
  makeAbsolute(plan.paths);
  // the Star Trail job numbers around an existing output itself unless told to replace it
  if (plan.force && command.kind == synth::JobKind::StarTrail) {
    plan.settings.push_back(synth::JobSetting::flag("replaceOutput", true));
  }
  job.write(synth::jobFileText(command.kind, plan.paths, plan.settings));
}

// What the run leaves behind besides its results: nothing of its own.
void tidyAfterRun(const JobPlan& plan) {
  std::error_code ec;
  if (plan.sidecars) {
    fs::remove(plan.paths.skyOutput, ec);
    fs::remove(plan.paths.foregroundOutput, ec);
  }
  for (const std::string& out : namedOutputs(plan.paths)) NL_removeAbandonedPartials(out);
}

// Which frames the run takes and which files of ours it left out, and any output numbered around an existing file.
void sayFrames(const JobPlan& plan, const std::vector<std::string>& outputsAsked) {
  const std::vector<std::string> outputs = namedOutputs(plan.paths);
  for (size_t i = 0; i < outputs.size() && i < outputsAsked.size(); ++i) {
    if (outputs[i] == outputsAsked[i]) continue;
    std::error_code ec;
    // Sky Blend's three images are numbered together, so one may move only because another exists
    const char* why = fs::exists(outputsAsked[i], ec) ? "' exists" : "' goes with one that exists";
    std::cerr << "output: " << outputs[i] << " ('" << outputsAsked[i] << why << "; --force replaces it)\n";
  }
  std::cerr << "frames: " << plan.paths.inputs.size() << " taken";
  for (const std::string& f : plan.paths.inputs) std::cerr << "\n  " << f;
  std::cerr << "\n";
  for (const LeftOut& l : plan.leftOut) std::cerr << "left out: " << l.path << " (" << l.why << ")\n";
}

}  // namespace

bool planFrames(JobPlan& plan, const std::vector<std::string>& args, const std::vector<LeftOut>& named,
                std::vector<std::string>& frames, std::string& error) {
  OwnFiles own(named);
  return expandFrames(args, own, frames, plan.leftOut, error);
}

bool takeRunFlags(const std::vector<std::string>& flags, JobRun& run) {
  int modeFlags = 0;
  for (const std::string& flag : flags) {
    JobRun alone;
    lumivexTakeRunFlag(flag, alone);
    if (alone.mode != JobRun().mode) ++modeFlags;
    lumivexTakeRunFlag(flag, run);
  }
  return modeFlags <= 1;
}

int runJobCommand(const JobCommand& command, const Args& args) {
  ParsedCommand parsed;
  std::string error;
  const ParseOutcome outcome = parseCommandLine(command.table, args, parsed, error);
  if (outcome == ParseOutcome::Help) {
    std::cout << usageText(command.table);
    return 0;
  }
  JobRun run;
  if (outcome == ParseOutcome::Run && !takeRunFlags(parsed.runFlags, run)) error = "choose one of --async and --background";
  JobPlan plan;
  if (!error.empty() || !command.plan(parsed, plan, error)) return usageError(command.table, error);
  plan.force = parsed.has("--force");
  std::unique_ptr<ClaimedFile> job;
  std::vector<std::string> outputsAsked = namedOutputs(plan.paths);
  for (std::string& o : outputsAsked) makeAbsolute(o);
  try {
    job = claimNames(command, plan);
    nameSidecars(plan);
    writeJob(command, plan, *job);
  } catch (const std::exception& e) {
    std::cerr << "lumivex " << command.table.name << ": " << e.what() << "\n";
    return 2;
  }
  if (!run.quiet) {
    sayFrames(plan, outputsAsked);
    std::cerr << "job file: " << job->path() << "\n";
  }
  int status = 2;
  {
    // the job itself is cancelled by the scope lumivexRunJobFile opens
    const CancelScope cancellable({}, plan.sidecars ? std::vector<std::string>{plan.paths.skyOutput,
                                                                              plan.paths.foregroundOutput}
                                                    : std::vector<std::string>{});
    status = lumivexRunJobFile(job->path(), run);
  }
  tidyAfterRun(plan);
  return status;
}

}  // namespace lvcli
