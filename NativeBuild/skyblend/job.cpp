// The Sky Blend job file and the frame order the stages share.
#include "skyblend/skyblend.h"

NLSkyBlendNativeJob NL_parseSkyBlendNativeJob(const std::string& text) {
  NLSkyBlendNativeJob job;
  job.inputs = NL_extractJsonPathObjectsArray(text, "inputs");
  job.referencePath = NL_extractJsonString(text, "referencePath");
  job.skyMaskPath = NL_extractJsonString(text, "skyMaskPath");
  job.skyOutput = NL_extractJsonNestedString(text, "outputs", "sky");
  job.foregroundOutput = NL_extractJsonNestedString(text, "outputs", "foreground");
  job.blendOutput = NL_extractJsonNestedString(text, "outputs", "blend");
  job.progress = NL_extractJsonString(text, "progress");
  job.resultLog = NL_extractJsonString(text, "resultLog");
  const std::string method = NL_extractJsonString(text, "stackMethod");
  if (!method.empty()) job.stackMethod = method;
  return job;
}

std::vector<std::string> NL_referenceFirstInputs(const std::vector<std::string>& inputs,
                                                 const std::string& reference) {
  if (reference.empty()) return inputs;
  std::vector<std::string> ordered{reference};
  for (const std::string& input : inputs)
    if (input != reference) ordered.push_back(input);
  return ordered;
}
