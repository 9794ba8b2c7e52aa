#!/usr/bin/env bash
# Installs what is missing, builds, then runs the demo or the test suite.
#   tools/bootstrap.sh demo    build and run every job on synthetic skies
#   tools/bootstrap.sh test    build and run the whole test suite
#   tools/bootstrap.sh build   build only
set -euo pipefail
mode=${1:-demo}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMIVEX_BUILD_DIR:-$root/build}

install_debian() {
  local wanted=(cmake g++ make pkg-config libopencv-dev libgtest-dev libgmock-dev libbenchmark-dev ccache libraw-dev)
  local missing=()
  for p in "${wanted[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

install_macos() {
  command -v brew >/dev/null || { echo "Homebrew is needed on macOS: https://brew.sh" >&2; exit 1; }
  for p in cmake pkg-config opencv googletest google-benchmark libraw; do
    brew list --versions "$p" >/dev/null 2>&1 || brew install "$p"
  done
}

case "$(uname -s)" in
  Darwin) install_macos ;;
  *) if command -v apt-get >/dev/null; then install_debian; fi ;;
esac

# asan.sh and fuzz.sh share one build instrumented for libFuzzer; Apple's
# clang ships no libFuzzer runtime, so on macOS they run only where the
# compiler can link a fuzz target (a clang from Homebrew's llvm can).
links_libfuzzer() {
  command -v clang++ >/dev/null || return 1
  local scratch status
  scratch=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$scratch/probe.cpp"
  clang++ -fsanitize=fuzzer "$scratch/probe.cpp" -o "$scratch/probe" >/dev/null 2>&1 && status=0 || status=1
  rm -rf "$scratch"
  return $status
}

runnable_check() {
  case "$(uname -s):$(basename "$1")" in
    Darwin:asan.sh | Darwin:fuzz.sh) links_libfuzzer ;;
    *) return 0 ;;
  esac
}

jobs=$( (command -v nproc >/dev/null && nproc) || sysctl -n hw.ncpu 2>/dev/null || echo 2)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$jobs"

case "$mode" in
  demo) "$build/host/lumivex" demo ;;
  test)
    ctest --test-dir "$build" --output-on-failure -j "$jobs"
    # Further suites (sanitizer builds, fuzzing, the JavaScript host) each
    # live in a script of their own here, so they can be run alone too.
    for check in "$root"/tools/checks/*.sh; do
      [ -e "$check" ] || continue
      if ! runnable_check "$check"; then
        echo "== $(basename "$check") skipped: this compiler cannot link libFuzzer targets"
        continue
      fi
      echo "== $(basename "$check")"
      LUMIVEX_ROOT="$root" LUMIVEX_BUILD_DIR="$build" LUMIVEX_JOBS="$jobs" bash "$check"
    done
    ;;
  build) ;;
  *) echo "usage: tools/bootstrap.sh demo|test|build" >&2; exit 2 ;;
esac
