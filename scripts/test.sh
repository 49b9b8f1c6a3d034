#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit, integration and process
# tests (plain, under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer), the Windows build's checks under Wine, the web updater in headless Chromium,
# the Debian package's checks, the benchmarks' figures, the fuzzers for a bounded time, the
# randomized fault soak, and the real HID stack in a QEMU guest.
# Set HIDIAP_QUICK=1 to run only the plain build's tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test
jobs=$(nproc)
started=$SECONDS

section() { printf '\n==== %s (%ds)\n' "$1" $((SECONDS - started)); }

# Each build is a preset of CMakePresets.json, in build-PRESET; CI treats warnings as errors.
build() {  # build PRESET
  cmake --preset "$1" -DHIDIAP_WERROR=ON >/dev/null
  cmake --build --preset "$1" -j"$jobs"
}

section "plain build and tests"
build release
ctest --preset release -j"$jobs"

if [ "${HIDIAP_QUICK:-0}" = 1 ]; then exit 0; fi

if [ -x build-release/bench/hidiap_bench ]; then
  # The medium update under the USB timing model is among them; the runs that take minutes are
  # left to scripts/bench.
  section "benchmarks"
  build-release/bench/hidiap_bench --benchmark_min_time=0.2 --table
fi

section "Windows build under Wine"
scripts/build-windows.sh
tests/windows/run --exe build-windows-cross/bin/hidiap.exe --linux build-release/bin/hidiap

section "web updater in headless Chromium"
scripts/build-web.sh
tests/web/run --site build-web/site --tool build-release/bin/hidiap

section "Debian package"
deb=$(scripts/package.sh | tail -n 1)
tests/package/run "$deb"

section "AddressSanitizer + UndefinedBehaviorSanitizer"
build asan-ubsan
ctest --preset asan-ubsan -j"$jobs"

section "ThreadSanitizer"
build tsan
ctest --preset tsan -j"$jobs"

if [ -x scripts/fuzz.sh ]; then
  section "fuzzing"
  scripts/fuzz.sh 60
fi

if [ -x build-release/tests/soak/hidiap_soak ]; then
  section "fault soak"
  build-release/tests/soak/hidiap_soak --runs 1000
fi

if [ -x tests/kernel/run ]; then
  section "real HID stack in a QEMU guest"
  tests/kernel/run --build build-release
fi

section "all tests passed"
