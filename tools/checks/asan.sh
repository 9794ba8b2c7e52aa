#!/usr/bin/env bash
# AddressSanitizer and UndefinedBehaviorSanitizer over the whole test suite:
# a clang build into build/asan, run by CTest; any report fails its test and
# so this script.
set -euo pipefail
source "$(dirname "$0")/sanitized_build.inc"
configure_sanitized
cmake --build "$sanitized" -j "$jobs"
ctest --test-dir "$sanitized" -j "$jobs" --output-on-failure
