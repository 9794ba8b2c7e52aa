// Routing a job file to its job: path markers first, then content markers.
#pragma once

#include <functional>
#include <string>

enum class NLJobKind { StarTrail, StarGlow, SkyBlend, HybridStack };

// Path contains "startrail_job_native", else the file text "startrail-native-job".
bool NL_isStarTrailJobFile(const std::string& path);
// Path contains "star_glow_job_native", else the file text "star-glow-native-job".
bool NL_isStarGlowJobFile(const std::string& path);
// Path contains "skyblend_job_native", else the file text holds one of the Sky Blend keys or markers.
bool NL_isSkyBlendJobFile(const std::string& path);
// The detectors in order; anything else is the hybrid stack job.
NLJobKind NL_detectJobKind(const std::string& path);
// What a job runner does with an exception (OpenCV, memory) that leaves its
// work: every runner first writes its failure result log and a final
// "Failed" progress entry at 100, so a poller always sees an end. Then the
// Star Trail and Star Glow runners return that log as their result, while
// the Sky Blend and hybrid stack runners throw the exception on, so that
// "my_echo" answers with an error value and the background launcher with its
// "... native background job failed." log. Each runner names its choice to
// NL_runJobGuarded (plumbing/), which writes the failure through the job's report.
//
// Runs the job the path routes to on the calling thread and returns its result log.
std::string NL_runJobForPath(const std::string& path);
// The runner of one kind on the calling thread.
std::string NL_runJobOfKind(NLJobKind kind, const std::string& path);
// A job runner as the asynchronous and background launchers call it.
using NLJobRunner = std::function<std::string(NLJobKind, const std::string&)>;
