// The named registration settings and every pass/fail limit of the
// registrations, in one place so a limit is read where it is decided.
#include "registration/registration.h"

#include <algorithm>

const NLRegistrationSettings NL_kStackRegistration{2.5, 4500, 500, 12.0};
const NLRegistrationSettings NL_kMedianStackRegistration{2.5, 3000, 500, 16.0};
const NLRegistrationSettings NL_kTrailRegistration{3.2, 3200, 160, 18.0};

const NLRegistrationLimits NL_kRegistrationLimits{};

int NL_trailMaxShift(cv::Size frame) {
  return std::max(std::min(frame.width, frame.height) / 3, NL_kTrailRegistration.maxShift);
}
