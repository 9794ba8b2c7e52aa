// The one registered-stack pipeline behind the median, sigma and average stacks.
#pragma once

#include "hybrid/hybrid.h"

namespace hybrid_detail {

// What the three stacks differ in: texts, limits, registration settings, the
// progress plan and the combine. Everything else is one pipeline.
struct StackMethod {
  NLStackKind kind = NLStackKind::Median;
  const char* failurePrefix = "";      // "Median stack failed: "
  int minInputs = 2;
  const char* tooFewInputs = "";       // "at least two input files are required."
  bool checkDepth = true;              // 8- and 16-bit only
  const char* loadingMessage = "";
  bool announceAlignment = false;      // a 41 % entry before registration
  NLRegistrationSettings registration = NL_kStackRegistration;
  bool streamFrames = false;           // accumulate one warped frame at a time (average)
  NLCombineSettings combine;           // banded combines (median, sigma)
  int warpSpan = 20;                   // warp entries run 60 .. 60 + warpSpan
  int combineStart = 82;
  int combineSpan = 11;
  const char* combineMessage = "";     // "Computing median stack rows."
  const char* rowMessage = "";         // "Computed median row "
  const char* warpMessage = "";        // "Warping frame "
  const char* writeMessage = "";       // "Writing median stack TIFF."
};

const StackMethod& medianMethod();
const StackMethod& sigmaMethod();
const StackMethod& averageMethod();

// Canvas rows combined per band when bandRows is 0: as many as keep the
// band's warped frames and masks near bandBytes.
int bandRowsFor(int frames, int width, size_t bytesPerPixel, size_t bandBytes);

// Runs the whole stack; bandRows > 0 forces the band height (the whole
// canvas when it is at least the canvas height).
// With a store, frames, stars and the gate's fits come from it (NLJobFrames).
bool runRegisteredStack(const StackMethod& method, const std::vector<std::string>& inputs,
                        const std::string& output, std::string& text, const std::string& progressPath,
                        int bandRows = 0, NLJobFrames* store = nullptr);

}  // namespace hybrid_detail
