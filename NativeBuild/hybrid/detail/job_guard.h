// The hybrid stack job's way out when an exception escapes it.
#pragma once

#include "hybrid/hybrid.h"

#include <functional>

namespace hybrid_detail {

// Runs body, which fills the outcome and returns the result log. An exception
// leaving body still writes the failure log (its message as "error = ") and a
// final "Failed" progress entry at 100 before it goes on to the caller, so a
// caller polling the progress file is never left waiting.
std::string runGuarded(const TestJobConfig& job, NLHybridJobOutcome& outcome,
                       const std::function<std::string(NLHybridJobOutcome&)>& body);

}  // namespace hybrid_detail
