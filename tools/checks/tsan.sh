#!/usr/bin/env bash
# Concurrency under ThreadSanitizer: builds the tests of several jobs at once
# (host threads, background and asynchronous jobs, the lumivex program running
# four jobs in one process, the progress writer, OpenCV's pool and thread
# hold) and a small Star Trail run with rejection on one and on four workers
# (the workers, their shared frame cache and the per-row locks of the
# accumulator) with clang -fsanitize=thread into build/tsan and runs them;
# any report fails the suite.
set -euo pipefail
root=${LUMIVEX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
main_build=${LUMIVEX_BUILD_DIR:-$root/build}
jobs=${LUMIVEX_JOBS:-2}
build=$main_build/tsan

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_clang() {
  command -v clang++ >/dev/null && return 0
  echo "Installing clang"
  case "$(uname -s)" in
    Darwin) xcode-select --install || true ;;
    *) as_root apt-get update -qq && DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq clang ;;
  esac
}

install_clang
flags="-fsanitize=thread -gline-tables-only -O1"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
  -DLUMIVEX_TSAN=ON -DLUMIVEX_BUILD_NODE=OFF -DLUMIVEX_BUILD_BENCH=OFF -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null
cmake --build "$build" -j"$jobs" --target test_jobs_async test_plumbing test_startrail test_addon test_cli lumivex lumivex_addon

# OpenCV's loops run on the add-on's own pool, which is instrumented, so they
# run on every core here too: the sanitizer sees each hand-over.
# GDAL, which OpenCV may write TIFFs through, takes its own two locks in
# either order on one thread: a pattern of that library, not of these jobs.
cat >"$build/tsan.supp" <<'SUPP'
deadlock:libgdal
SUPP
export TSAN_OPTIONS="halt_on_error=0 exitcode=66 second_deadlock_stack=1 suppressions=$build/tsan.supp ${TSAN_OPTIONS:-}"
# Some kernels place mappings where this sanitizer cannot work; without
# address randomisation it always can.
run=()
if [ "$(uname -s)" = Linux ] && command -v setarch >/dev/null; then run=(setarch "$(uname -m)" -R); fi

status=0
${run[@]+"${run[@]}"} "$build/tests/test_jobs_async" || status=$?
${run[@]+"${run[@]}"} "$build/tests/test_plumbing" --gtest_filter='*Concurren*:*Progress*' || status=$?
${run[@]+"${run[@]}"} "$build/tests/test_startrail" --gtest_filter='StarTrailRun.FourWorkersGiveOneWorkersImage:StarTrailRun.SharedStep*' || status=$?
${run[@]+"${run[@]}"} "$build/tests/test_addon" || status=$?
${run[@]+"${run[@]}"} "$build/tests/test_cli" --gtest_filter='LumivexCall.*:LumivexRun.*:ScriptSide.*:ProgressView.*' || status=$?
if [ "$status" -ne 0 ]; then
  echo "ThreadSanitizer suite failed (status $status)" >&2
  exit 1
fi
echo "ThreadSanitizer suite passed"
