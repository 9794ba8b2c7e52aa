#!/usr/bin/env bash
# AddressSanitizer and UndefinedBehaviorSanitizer over the whole test suite:
# a clang build into build/asan, run by CTest; any report fails its test and
# so this script.
set -euo pipefail
source "$(dirname "$0")/sanitized_build.inc"
configure_sanitized
cmake --build "$sanitized" -j "$jobs"
# Left out here, run by the plain suite: two long Star Trail runs whose code
# the shorter ones cover (each takes minutes under the sanitizers).
skip='^(StarTrailRun\.SharedDecodesAndStarListsChangeNoPixel|StarTrailRun\.SyntheticTimeLapseLosesItsSatellitesAndAircraft)$'
ctest --test-dir "$sanitized" -j "$jobs" --output-on-failure -E "$skip"
