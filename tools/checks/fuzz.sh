#!/usr/bin/env bash
# libFuzzer targets, each for a bounded number of executions from its seed
# corpus in fuzz/corpus, with a fixed seed so a run is repeatable. A crash,
# a sanitizer report, a broken invariant, a leak or a run over the memory
# bound fails the script. Reuses the sanitized build of asan.sh.
set -euo pipefail
source "$(dirname "$0")/sanitized_build.inc"
# Executions per target, sized so the six take about two minutes on two
# cores; LUMIVEX_FUZZ_RUNS sets one count for all, and LUMIVEX_FUZZ_SECONDS
# caps each target's time (for long runs: a large count, a time cap).
budget() {
  case $1 in
    fuzz_image_decode) echo 5000 ;;
    *) echo 20000 ;;
  esac
}
targets=(fuzz_json_readers fuzz_stack_job fuzz_job_parsers fuzz_readiness fuzz_image_decode fuzz_capture_info)
configure_sanitized
cmake --build "$sanitized" -j "$jobs" --target "${targets[@]}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts="$root/build/fuzz-artifacts"
mkdir -p "$artifacts"
for target in "${targets[@]}"; do
  runs=${LUMIVEX_FUZZ_RUNS:-$(budget "$target")}
  echo "-- $target: $runs runs"
  mkdir -p "$scratch/$target"
  log="$scratch/$target.log"
  # New inputs go to the scratch folder; the seed corpus in the tree stays as
  # it is. A failing input is kept in build/fuzz-artifacts for reproduction.
  cap=()
  if [ -n "${LUMIVEX_FUZZ_SECONDS:-}" ]; then cap=(-max_total_time="$LUMIVEX_FUZZ_SECONDS"); fi
  if ! "$sanitized/fuzz/$target" -runs="$runs" ${cap[@]+"${cap[@]}"} -seed=1 -max_len=65536 -timeout=20 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$scratch/$target" \
       "$root/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz.sh: $target failed; the input is in $artifacts" >&2
    exit 1
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)" "$log" || true
done
