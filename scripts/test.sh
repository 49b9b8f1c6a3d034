#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit, integration and process
# tests (plain, under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer), the benchmarks' figures, the fuzzers for a bounded time, the randomized
# fault soak, and the real HID stack in a QEMU guest.
# Set HIDIAP_QUICK=1 to run only the plain build's tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test
jobs=$(nproc)
started=$SECONDS

section() { printf '\n==== %s (%ds)\n' "$1" $((SECONDS - started)); }

build() {  # build DIR [cmake args...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DHIDIAP_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

section "plain build and tests"
build build-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build-ci --output-on-failure -j"$jobs"

if [ "${HIDIAP_QUICK:-0}" = 1 ]; then exit 0; fi

if [ -x build-ci/bench/hidiap_bench ]; then
  # The medium update under the USB timing model is among them; the runs that take minutes are
  # left to scripts/bench.
  section "benchmarks"
  build-ci/bench/hidiap_bench --benchmark_min_time=0.2 --table
fi

section "AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DCMAKE_BUILD_TYPE=Debug -DHIDIAP_SANITIZE=address,undefined -DHIDIAP_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

section "ThreadSanitizer"
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DHIDIAP_SANITIZE=thread -DHIDIAP_BENCHMARKS=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs"

if [ -x scripts/fuzz.sh ]; then
  section "fuzzing"
  scripts/fuzz.sh 60
fi

if [ -x build-ci/tests/soak/hidiap_soak ]; then
  section "fault soak"
  build-ci/tests/soak/hidiap_soak --runs 1000
fi

if [ -x tests/kernel/run ]; then
  section "real HID stack in a QEMU guest"
  tests/kernel/run --build build-ci
fi

section "all tests passed"
