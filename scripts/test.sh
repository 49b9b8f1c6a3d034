#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the unit, integration and process
# tests (plain, under AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer; the library's C interface among them, and in the plain build its Python
# module and labgrid driver with Debian's pytest), the Windows build's checks under Wine, the web updater in headless Chromium,
# the Debian package's checks, a parent project that embeds only the engine, the benchmarks'
# figures, the fuzzers for a bounded time, the randomized fault soak, and the real HID stack in a
# QEMU guest.
# Set HIDIAP_QUICK=1 to run only the plain build's tests.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
started=$SECONDS

section() { printf '\n==== %s (%ds)\n' "$1" $((SECONDS - started)); }
skipped() { printf '\n==== skipped: %s: %s\n' "$1" "$2"; }

# What runs is decided first, before anything is installed, and every stage left out is said.
quick=${HIDIAP_QUICK:-0}
if [ "$quick" = 1 ]; then
  echo "HIDIAP_QUICK=1: the plain build's tests only"
  scripts/install-deps.sh --test-plain
else
  scripts/install-deps.sh --test
fi

# Each build is a preset of CMakePresets.json, in build-PRESET; CI treats warnings as errors.
build() {  # build PRESET
  cmake --preset "$1" -DHIDIAP_WERROR=ON >/dev/null
  cmake --build --preset "$1" -j"$jobs"
}

section "plain build and tests"
build release
ctest --preset release -j"$jobs"

if [ "$quick" = 1 ]; then
  for stage in benchmarks "Windows build under Wine" "web updater" "Debian package" \
               "embedding" "AddressSanitizer + UndefinedBehaviorSanitizer" "ThreadSanitizer" \
               fuzzing "fault soak" "QEMU kernel test"; do
    skipped "$stage" "HIDIAP_QUICK=1"
  done
  exit 0
fi

# The medium update under the USB timing model is among them; the runs that take minutes are
# left to scripts/bench.
section "benchmarks"
build-release/bench/hidiap_bench --benchmark_min_time=0.2 --table

section "Windows build under Wine"
scripts/build-windows.sh
tests/windows/run --exe build-windows-cross/bin/hidiap.exe --linux build-release/bin/hidiap

section "web updater in headless Chromium"
scripts/build-web.sh
tests/web/run --site build-web/site --tool build-release/bin/hidiap

section "Debian packages (hidiap, libhidiap0, libhidiap-dev, python3-hidiap)"
deb=$(scripts/package.sh | tail -n 1)
tests/package/run "$deb"

section "a parent project that embeds only the engine, the device and the formats"
tests/embed/run

section "AddressSanitizer + UndefinedBehaviorSanitizer"
build asan-ubsan
ctest --preset asan-ubsan -j"$jobs"

section "ThreadSanitizer"
build tsan
ctest --preset tsan -j"$jobs"

section "fuzzing"
scripts/fuzz.sh 60

section "fault soak"
build-release/tests/soak/hidiap_soak --runs 1000

section "real HID stack in a QEMU guest"
tests/kernel/run --build build-release

section "all tests passed"
