#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one for a bounded time on a copy of its seed corpus
# (the corpus in the repository is never changed). Fails on any crash, sanitizer report, invariant
# violation or timeout, and prints how many inputs each target ran.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR]
#   SECONDS_PER_TARGET  default 60
#   BUILD_DIR           default build-fuzz in the repository
# Needs clang with libFuzzer (Debian clang-14 or later).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build=${2:-$repo/build-fuzz}
targets=(fuzz_engine fuzz_device fuzz_fault_rule fuzz_formats fuzz_signing)

if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "fuzz.sh: SECONDS_PER_TARGET must be a whole number of seconds, got '$seconds'" >&2
    exit 2
fi
for tool in clang clang++ cmake; do
    if ! command -v "$tool" > /dev/null; then
        echo "fuzz.sh: $tool is not installed (apt-get install clang cmake)" >&2
        exit 2
    fi
done

mkdir -p "$build"
cmake -S "$repo" --preset fuzz -B "$build" > "$build/configure.log" 2>&1 || {
    cat "$build/configure.log" >&2
    exit 1
}
cmake --build "$build" -j2 --target "${targets[@]}" -- --no-print-directory

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
summary=()
for target in "${targets[@]}"; do
    binary=$build/fuzz/$target
    if [[ ! -x $binary ]]; then
        echo "fuzz.sh: $binary was not built" >&2
        failed+=("$target (not built)")
        continue
    fi
    work=$build/fuzz-run/$target
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$repo/fuzz/corpus/$target/"* "$work/corpus/"
    dict=()
    if [[ $target == fuzz_formats ]]; then
        dict=(-dict="$repo/fuzz/formats.dict")
    elif [[ $target == fuzz_signing ]]; then
        dict=(-dict="$repo/fuzz/signing.dict")
    elif [[ $target != fuzz_engine ]]; then
        dict=(-dict="$repo/fuzz/fault_rule.dict")
    fi
    echo "== $target: $seconds s"
    status=0
    "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" "${dict[@]}" "$work/corpus" \
        > "$work/log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
    if [[ $status -eq 0 ]]; then
        summary+=("$target: ${runs:-?} executions in $seconds s")
    else
        summary+=("$target: FAILED after ${runs:-?} executions")
    fi
    if [[ $status -ne 0 ]]; then
        # The report of the failing input: everything from the first error line on.
        grep -n -m 1 -E 'INVARIANT VIOLATED|ERROR: |runtime error|SUMMARY' "$work/log" \
            | cut -d: -f1 | { read -r line && tail -n +"$line" "$work/log" | head -n 60; } >&2 \
            || tail -n 40 "$work/log" >&2
        echo "fuzz.sh: $target failed (exit $status); reproducer in $work/artifacts/:" >&2
        ls -1 "$work/artifacts" >&2 || true
        failed+=("$target")
    fi
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
if [[ ${#failed[@]} -ne 0 ]]; then
    echo "fuzz.sh: FAILED: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz.sh: no crash, sanitizer report or invariant violation"
