#!/bin/sh
# libhidiap as installed (the libhidiap0 and libhidiap-dev components) serves a program the way
# docs/library.md says: through find_package(hidiap) and through pkg-config.
# Usage: install_consumer.sh BUILD_DIR DOC CC
set -eu
build=$1 doc=$2 cc=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/hidiap-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
for component in libhidiap0 libhidiap-dev; do
  cmake --install "$build" --prefix "$work/stage" --component "$component" >/dev/null
done
mkdir -p "$work/src"
awk '$0 == "```c" { on = 1; next } $0 == "```" { on = 0 } on' "$doc" >"$work/src/update.c"
cat >"$work/src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.21)
project(consumer C)
find_package(hidiap 0.1 REQUIRED)
add_executable(update update.c)
target_link_libraries(update PRIVATE hidiap::hidiap)
CMAKE
cmake -S "$work/src" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/stage" \
  -DCMAKE_BUILD_RPATH="$work/stage/lib" >/dev/null
cmake --build "$work/build" >/dev/null
pc=$(find "$work/stage" -name hidiap.pc)
# shellcheck disable=SC2046
"$cc" -std=c99 "$work/src/update.c" \
  $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --define-variable=prefix="$work/stage" \
    --cflags --libs hidiap) -o "$work/update-pc"
head -c 40000 /dev/urandom >"$work/img.bin"
head -c 1000 /dev/urandom >"$work/tts.bin"
libdir=$(dirname "$(find "$work/stage" -name 'libhidiap.so.0')")
for program in "$work/build/update" "$work/update-pc"; do
  LD_LIBRARY_PATH=$libdir "$program" "$work/img.bin" "$work/tts.bin" 1MB | tail -n 1 |
    grep -q '^SIM0001 at sim:1: success, '
done
echo "find_package(hidiap) and pkg-config hidiap: both programs updated the simulated device"
