#include "cli/job_command.h"

#include "cli/run_job.h"

#include <filesystem>
#include <iostream>
#include <stdexcept>

namespace lvcli {
namespace {

namespace fs = std::filesystem;

int usageError(const CommandTable& table, const std::string& error) {
  std::cerr << "lumivex " << table.name << ": " << error << "\n\n" << usageText(table);
  return 2;
}

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

// Writes the job file and returns its path; throws std::runtime_error with the reason.
std::string writeJob(const JobCommand& command, JobPlan& plan) {
  std::error_code ec;
  if (plan.makeDir && !fs::create_directories(plan.dir, ec) && !fs::is_directory(plan.dir)) {
    throw std::runtime_error("could not make folder '" + plan.dir + "': " + ec.message());
  }
  const synth::JobSideFiles side = synth::jobSideFiles(command.kind, plan.dir, plan.prefix);
  plan.paths.progress = side.progress;
  plan.paths.resultLog = side.resultLog;
  makeAbsolute(plan.paths);
  const std::string text = synth::jobFileText(command.kind, plan.paths, plan.settings);
  const std::string job = fs::absolute(side.job).lexically_normal().string();
  synth::writeTextFileChecked(job, text);
  return job;
}

// False when more than one flag chooses how the job runs.
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

}  // namespace

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
  std::string job;
  try {
    job = writeJob(command, plan);
  } catch (const std::exception& e) {
    std::cerr << "lumivex " << command.table.name << ": " << e.what() << "\n";
    return 2;
  }
  if (!run.quiet) std::cerr << "job file: " << job << "\n";
  return lumivexRunJobFile(job, run);
}

}  // namespace lvcli
