// The median, sigma and average stacks: one pipeline, three settings records.
#include "hybrid/detail/registered_stack.h"

namespace hybrid_detail {

const StackMethod& medianMethod() {
  static const StackMethod m = [] {
    StackMethod s;
    s.kind = NLStackKind::Median;
    s.failurePrefix = "Median stack failed: ";
    s.tooFewInputs = "at least two input files are required.";
    s.loadingMessage = "Loading frames for median stack.";
    s.registration = NL_kMedianStackRegistration;
    s.combine = NL_kMedianCombine;
    s.combineMessage = "Computing median stack rows.";
    s.rowMessage = "Computed median row ";
    s.warpMessage = "Warping ";
    s.writeMessage = "Writing median stack TIFF.";
    return s;
  }();
  return m;
}

const StackMethod& sigmaMethod() {
  static const StackMethod m = [] {
    StackMethod s = medianMethod();
    s.kind = NLStackKind::Sigma;
    s.failurePrefix = "Sigma stack failed: ";
    s.minInputs = 3;
    s.tooFewInputs = "at least three input files are required.";
    s.loadingMessage = "Loading frames for sigma stack.";
    s.registration = NL_kStackRegistration;
    s.combine = NL_kSigmaClipCombine;
    s.combineMessage = "Computing sigma-clipped stack rows.";
    s.rowMessage = "Computed sigma row ";
    s.writeMessage = "Writing sigma stack TIFF.";
    return s;
  }();
  return m;
}

// Averages any depth: only one warped frame exists at a time, summed in float.
const StackMethod& averageMethod() {
  static const StackMethod m = [] {
    StackMethod s;
    s.kind = NLStackKind::Average;
    s.failurePrefix = "Average stack failed: ";
    s.tooFewInputs = "at least two input files are required.";
    s.checkDepth = false;
    s.loadingMessage = "Loading frames for average stack.";
    s.announceAlignment = true;
    s.streamFrames = true;
    s.warpSpan = 22;
    s.combineStart = 84;
    s.combineSpan = 9;
    s.combineMessage = "Normalizing average stack rows.";
    s.rowMessage = "Normalized row ";
    s.warpMessage = "Warping/accumulating frame ";
    s.writeMessage = "Writing average stack TIFF.";
    return s;
  }();
  return m;
}

}  // namespace hybrid_detail

bool NL_registeredMedianHomography(const std::vector<std::string>& inputs, const std::string& output,
                                   std::string& text, const std::string& progressPath, NLJobFrames* store) {
  return hybrid_detail::runRegisteredStack(hybrid_detail::medianMethod(), inputs, output, text, progressPath, 0,
                                          store);
}

bool NL_registeredSigmaHomography(const std::vector<std::string>& inputs, const std::string& output,
                                  std::string& text, const std::string& progressPath, NLJobFrames* store) {
  return hybrid_detail::runRegisteredStack(hybrid_detail::sigmaMethod(), inputs, output, text, progressPath, 0,
                                          store);
}

bool NL_registeredAverageHomography(const std::vector<std::string>& inputs, const std::string& output,
                                    std::string& text, const std::string& progressPath, NLJobFrames* store) {
  return hybrid_detail::runRegisteredStack(hybrid_detail::averageMethod(), inputs, output, text, progressPath, 0,
                                          store);
}
