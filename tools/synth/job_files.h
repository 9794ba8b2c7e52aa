// Job files in the formats the add-on's jobs read, written the way the
// script side writes them. The synthetic scenes and the lumivex job commands
// both write their job files through here.
#pragma once

#include <string>
#include <vector>

namespace synth {

enum class JobKind { HybridStack, StarTrail, StarGlow, SkyBlend };

// One tuning key of a job with its value: a number, a word or a switch.
// A key that is not listed is not written, so the job's default holds.
struct JobSetting {
  enum Kind { Number, Word, Switch };
  std::string key;
  Kind kind = Word;
  double number = 0.0;
  std::string word;
  bool on = false;

  static JobSetting num(std::string key, double value);
  static JobSetting text(std::string key, std::string value);
  static JobSetting flag(std::string key, bool value);
};
using JobSettings = std::vector<JobSetting>;

// Paths of a job. An empty path or list leaves its key out.
struct JobPaths {
  std::vector<std::string> inputs;            // frames, in order
  std::vector<std::string> foregroundInputs;  // Star Trail foreground frames
  std::string output;                         // Star Trail, Star Glow, hybrid stack result
  std::string skyOutput, foregroundOutput;    // Star Trail intermediates; Sky Blend outputs
  std::string blendOutput;                    // Sky Blend
  std::string skyMask;                        // Star Trail, Star Glow, Sky Blend
  std::string reference;                      // Sky Blend
  std::string progress, resultLog;
};

// The job file's text: JSON for Star Trail, Star Glow and Sky Blend (with
// the job's "type" marker), key=value lines for the hybrid stack.
std::string jobFileText(JobKind kind, const JobPaths& paths, const JobSettings& settings);

// A job file and the progress and result-log files it names.
struct JobSideFiles {
  std::string job, progress, resultLog;
};
// Their paths in dir, each name starting with prefix; the job file's name
// routes it to its job by path alone.
JobSideFiles jobSideFiles(JobKind kind, const std::string& dir, const std::string& prefix = "");

// Replaces path's content through a temporary file beside it, so a reader
// never sees half a file; throws std::runtime_error on failure.
void writeTextFileChecked(const std::string& path, const std::string& text);

}  // namespace synth
