// The hybrid stack's key=value job reader over any job file: the keep share
// stays in 50..100, every value comes out trimmed and on one line, and the
// record written back as a clean file reads as the very same record.
#include "hybrid/hybrid.h"

#include "fuzz_support.h"

using fuzzsupport::require;

namespace {

bool trimmed(const std::string& s) { return trimTestString(s) == s && s.find('\n') == std::string::npos; }

std::string cleanFile(const TestJobConfig& c) {
  std::string text = "method=" + c.method + "\noutput=" + c.output + "\nprogress=" + c.progress +
                     "\nresultLog=" + c.resultLog + "\nqualityKeepPercent=" + std::to_string(c.qualityKeepPercent) +
                     "\n";
  for (const std::string& input : c.inputs) text += "input=" + input + "\n";
  return text;
}

bool same(const TestJobConfig& a, const TestJobConfig& b) {
  return a.method == b.method && a.output == b.output && a.progress == b.progress && a.resultLog == b.resultLog &&
         a.qualityKeepPercent == b.qualityKeepPercent && a.inputs == b.inputs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string failure;
  const TestJobConfig job = NL_readTestJobConfig(fuzzsupport::asFile(data, size), &failure);
  require(failure.empty(), "a small regular file always reads");
  require(job.qualityKeepPercent >= 50 && job.qualityKeepPercent <= 100, "keep share 50..100");
  for (const std::string* value : {&job.method, &job.output, &job.progress, &job.resultLog})
    require(trimmed(*value), "values trimmed, one line");
  for (const std::string& input : job.inputs) require(trimmed(input), "inputs trimmed, one line");
  require(job.inputs.size() <= (size + 1) / 7, "one input per \"input=\" line at most");

  const std::string clean = cleanFile(job);
  const TestJobConfig again =
      NL_readTestJobConfig(fuzzsupport::asFile(reinterpret_cast<const std::uint8_t*>(clean.data()), clean.size()));
  require(same(job, again), "a record written back reads the same");

  const int frames = int(job.inputs.size());
  const std::string selected = NL_selectStackMethod(job.method, frames);
  if (NL_isKnownStackMethod(job.method)) {
    require(selected != "auto" && NL_isKnownStackMethod(selected), "auto always chooses a stack");
    const int minFrames = NL_minFramesForMethod(selected);
    require(minFrames == 2 || minFrames == 3, "two or three frames at least");
    const int keep = NL_qualityKeepCount(job.qualityKeepPercent, minFrames, frames);
    require(keep <= frames && (frames < minFrames || keep >= minFrames), "keep count within the frames");
  }
  return 0;
}
