// The driver's bad-frame step: every frame measured before the trail is
// built, since a Lighten cannot take a frame back out once it is in.
#pragma once

#include "startrail/startrail.h"

#include <string>
#include <vector>

namespace startrail_detail {

struct BadFrameStep {
  NLStarTrailBadFrameVerdict verdict;
  std::vector<int> trailFrames;     // input index of each frame the trail is built from
  std::vector<int> excluded;        // input indices left out of the trail or the foreground, in order
};

// Measures and judges the job's frames (nothing when its badFrames is
// "off"); with "exclude", takes the spoiled frames out of job.inputs and
// job.foregroundInputs and names each in the progress file.
BadFrameStep judgeBadFrames(NLStarTrailNativeJob& job, unsigned hardwareThreads);
// The badFrame line of input i, which the step found bad.
std::string leftOutCaption(const BadFrameStep& step, int inputIndex, const std::string& path);

}  // namespace startrail_detail
