// Result-log text of the Sky Blend job: every line spelled here.
#include "skyblend/skyblend.h"

namespace {

std::string line(const std::string& key, const std::string& value) { return key + " = " + value + "\n"; }

std::string fixed2(double value) { return NL_formatNumber(value, 2); }

double percentOf(long long part, long long total) { return total > 0 ? part * 100.0 / double(total) : 0.0; }

std::string pixelsOf(const NLSkyMaskUse& use) {
  return std::to_string(use.pixels) + " / " + std::to_string(use.total);
}

std::string cropLines(const NLCoverageCrop& c) {
  if (!c.offReason.empty()) return line("autoCoverageCrop", "off | reason=" + c.offReason);
  const bool trimmed = c.left || c.top || c.right || c.bottom;
  return line("autoCoverageCrop", trimmed ? "on" : "off") +
         line("autoCoverageCropMode", "sky-stack contribution coverage") +
         line("autoCoverageCropFrames", std::to_string(c.frames)) +
         line("autoCoverageCropMinFrames", std::to_string(c.minFrames)) +
         line("autoCoverageCropRequiredRatio", fixed2(0.6)) + line("autoCoverageCropMaxBadSkyRatio", fixed2(0.1)) +
         line("autoCoverageCropPaddingPx", "4") +
         line("autoCoverageCropRect", "x=" + std::to_string(c.rect.x) + ", y=" + std::to_string(c.rect.y) +
                                          ", w=" + std::to_string(c.rect.width) +
                                          ", h=" + std::to_string(c.rect.height)) +
         line("autoCoverageCropPixels", "left=" + std::to_string(c.left) + ", top=" + std::to_string(c.top) +
                                            ", right=" + std::to_string(c.right) +
                                            ", bottom=" + std::to_string(c.bottom));
}

}  // namespace

std::string NL_formatBlendReport(const NLBlendReport& r) {
  return "Blend preview success.\n" + line("output", r.output) + line("mask", r.mask) + line("maskLoad", r.maskLoad) +
         line("blendMaskMode", "foreground stack base + registered sky stack + inset smoothstep feather") +
         line("reference", r.reference) +
         line("referenceUsage", "alignment only, not mixed into final composite") +
         line("blendMaskThreshold", "128") + line("blendMaskHoleClosePx", "2") + line("blendMaskInsetPx", "4") +
         line("blendMaskFeatherPx", "18") +
         line("blendMaskSkyPixels", std::to_string(r.skyPixels) + " / " + std::to_string(r.totalPixels)) +
         line("blendMaskSkyPercent", fixed2(percentOf(r.skyPixels, r.totalPixels))) +
         line("blendMaskEdgeRampPixels", std::to_string(r.edgeRampPixels)) + cropLines(r.crop) +
         line("foregroundProtection",
              "no-reference final composite + inset sky edge + smoothstep feather + auto coverage crop");
}

std::string NL_formatSkyRegistrationMaskBlock(const NLSkyMaskUse& use) {
  using State = NLSkyMaskUse::State;
  const std::string key = "skyRegistrationMask";
  switch (use.state) {
    case State::Off: return line(key, "off | no mask path supplied");
    case State::LoadFailed: return line(key, "failed") + line(key + "Reason", use.load);
    case State::TooFew:
      return line(key, "failed") + line(key + "Reason", "too few usable sky pixels after mask erosion");
    case State::On: break;
  }
  return line(key, "on") + line(key + "Source", use.source) + line(key + "Load", use.load) +
         line(key + "Pixels", pixelsOf(use)) + line(key + "Percent", fixed2(percentOf(use.pixels, use.total))) +
         line(key + "Erosion", "15 px");
}

std::string NL_formatSkyStackMaskBlock(const NLSkyMaskUse& use) {
  using State = NLSkyMaskUse::State;
  const std::string key = "skyStackMask";
  const std::string fallback = line("skyStackMaskFallback", "off | using canvas masks only");
  switch (use.state) {
    case State::Off: return line(key, "off | no mask path supplied");
    case State::LoadFailed: return line(key, "failed") + line(key + "Reason", use.load) + fallback;
    case State::TooFew:
      return line(key, "failed") + line(key + "Reason", "too few usable sky pixels after edge protection erosion") +
             fallback;
    case State::On: break;
  }
  return line(key, "on") + line(key + "Source", use.source) + line(key + "Load", use.load) +
         line(key + "Threshold", "128") + line(key + "Erosion", "8 px") + line(key + "Pixels", pixelsOf(use)) +
         line(key + "Percent", fixed2(percentOf(use.pixels, use.total)));
}

std::string NL_formatSkyStackReport(const NLSkyStackReport& r) {
  return "Reference-canvas sky stack success.\n" + line("output", r.output) + line("inputs", std::to_string(r.inputs)) +
         line("stackMethod", r.method) +
         line("canvas", std::to_string(r.canvas.width) + " x " + std::to_string(r.canvas.height)) +
         NL_formatSkyRegistrationMaskBlock(r.registrationMask) + r.registrationLog +
         NL_formatSkyStackMaskBlock(r.stackMask) + NL_formatLocalCorrectionStats(r.localCorrection) + "\n";
}

std::string NL_skyBlendJobProblem(const NLSkyBlendNativeJob& job) {
  if (job.inputs.size() < 2)
    return "Sky Blend failed: at least two input files are required. Parsed inputs=" +
           std::to_string(job.inputs.size()) + ". Check skyblend_job_native.json inputs[].path entries.";
  if (job.referencePath.empty()) return "Sky Blend failed: referencePath is empty.";
  if (job.skyMaskPath.empty()) return "Sky Blend failed: skyMaskPath is empty.";
  if (job.skyOutput.empty() || job.foregroundOutput.empty() || job.blendOutput.empty())
    return "Sky Blend failed: one or more output paths are empty.";
  return "";
}

std::string NL_formatSkyBlendSummary(const NLSkyBlendNativeJob& job, size_t orderedInputs,
                                     const std::string& skyMessage, const std::string& foregroundMessage,
                                     const std::string& blendMessage) {
  return "Sky Blend Native completed.\n" + line("inputs", std::to_string(orderedInputs)) +
         line("reference", job.referencePath) + line("skyMask", job.skyMaskPath) + skyMessage + foregroundMessage +
         blendMessage;
}
