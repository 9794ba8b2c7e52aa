// The Star Trail, Star Glow and Sky Blend job parsers over any job file:
// every setting comes out inside its legal range.
#include "skyblend/skyblend.h"
#include "starglow/starglow.h"
#include "startrail/startrail.h"

#include "fuzz_support.h"

using fuzzsupport::require;

namespace {

bool within(double v, double lo, double hi) { return v >= lo && v <= hi; }

void checkStarTrail(const NLStarTrailNativeJob& j) {
  require(j.temporalWindow == 3 || j.temporalWindow == 5 || j.temporalWindow == 7 || j.temporalWindow == 9,
          "temporal window odd 3..9");
  require(j.maskGrowPx >= 0 && j.maskGrowPx <= 8, "mask growth 0..8");
  require(within(j.rejectionThresholdPct, 50, 220), "rejection threshold 50..220");
  require(within(j.aircraftSensitivity, 0, 100), "aircraft sensitivity 0..100");
  require(within(j.cometStrength, 0, 100), "comet strength 0..100");
  require(j.cometDirection == "forward" || j.cometDirection == "reverse" || j.cometDirection == "both",
          "comet direction word");
  require(!j.rejectionMode.empty() && !j.foregroundMode.empty(), "modes never empty");
}

void checkStarGlow(const NL_StarGlowSettings& s) {
  require(within(s.starAmount, 0, 100) && within(s.glowStrength, 0, 3), "amount and strength");
  require(within(s.smallGlowSize, 0, 300) && within(s.mediumGlowSize, 0, 500) && within(s.largeGlowSize, 0, 900),
          "glow sizes");
  require(within(s.mediumSplit, 5, 95) && within(s.largeSplit, s.mediumSplit + 1, 99), "class splits");
  require(within(s.colorSaturation, 0, 400) && within(s.softness, 0, 100) && within(s.outputOpacity, 0, 100),
          "saturation, softness, opacity");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkStarTrail(NL_parseStarTrailNativeJob(fuzzsupport::asFile(data, size)));
  NL_starTrailReadBool(text, "cometEnabled", true);
  checkStarGlow(NL_readStarGlowJob(text).settings);
  const NLSkyBlendNativeJob sky = NL_parseSkyBlendNativeJob(text);
  require(!sky.stackMethod.empty(), "stack method never empty");
  NL_referenceFirstInputs(sky.inputs, sky.referencePath);
  return 0;
}
