// The background launcher's worker, callable on any thread.
#pragma once

#include "addon/dispatch.h"

#include <string>

// Runs the job the path routes to, with the start-up handshake for Star Trail
// and Star Glow job files named by their path. Never throws. When the job
// throws, or ends without a final progress entry of this run, its progress
// file gets 100 "Failed" and its result log the failure text, so a poller
// always sees an end. An empty runner runs the job's own runner.
void NL_runBackgroundJob(const std::string& jobPath, const NLJobRunner& runner = NLJobRunner());

// Background workers started by my_start_job_background that have not ended yet.
int NL_backgroundJobsRunning();
