#include "cli/cancel.h"
#include "cli/cli_host.h"
#include "cli/commands.h"
#include "cli/job_command.h"
#include "cli/run_job.h"

#include <iostream>

bool lumivexTakeRunFlag(const std::string& arg, JobRun& run) {
  if (arg == "--quiet" || arg == "-q") return run.quiet = true;
  if (arg == "--async") return run.mode = lvcli::RunMode::Async, true;
  if (arg == "--background") return run.mode = lvcli::RunMode::Background, true;
  return false;
}

std::vector<std::pair<std::string, std::string>> lumivexRunFlagsHelp() {
  return {{"-q, --quiet", "print only the result log, no progress"},
          {"--async", "run through my_echo_async: the job on the host's main thread, a promise"},
          {"--background", "run through my_start_job_background and follow the job's files"}};
}

int lumivexRunJobFiles(const std::vector<std::string>& jobs, const JobRun& run) {
  for (const std::string& job : jobs) {
    const std::string problem = lvcli::jobFileProblem(job, run.mode);
    if (!problem.empty()) {
      std::cerr << "lumivex: " << problem << "\n";
      return 2;
    }
  }
  lvhost::StandinHost host;
  if (!lumivexLoadAddon(host)) return 2;
  if (!lumivexRequireExport(host, lvcli::runModeExport(run.mode))) return 2;
  const lvcli::CancelScope cancellable(jobs);
  return lvcli::reportJobs(lvcli::runJobs(host, jobs, run.mode, lvcli::progressStyleFor(run.quiet)));
}

int lumivexRunJobFile(const std::string& jobPath, const JobRun& run) { return lumivexRunJobFiles({jobPath}, run); }

namespace lvcli {

const CommandTable& runTable() {
  static const CommandTable table =
      commandTable("run",
                   "Runs job files through the add-on as the editor's plug-in does, following their progress; "
                   "with --background all of them at once.",
                   "JOB...", "job files: Star Trail, Star Glow or Sky Blend JSON, or hybrid stack key=value lines");
  return table;
}

}  // namespace lvcli

int lumivexRun(const Args& args) {
  const lvcli::CommandTable& table = lvcli::runTable();
  lvcli::ParsedCommand parsed;
  if (const int status = lvcli::readCommandLine(table, args, parsed); status >= 0) return status;
  JobRun run;
  if (!lvcli::takeRunFlags(parsed.runFlags, run)) return lvcli::usageError(table, "choose one of --async and --background");
  if (parsed.frames.size() > 1 && run.mode != lvcli::RunMode::Background)
    return lvcli::usageError(table, "several jobs at once run only with --background");
  return lumivexRunJobFiles(parsed.frames, run);
}
