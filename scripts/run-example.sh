#!/usr/bin/env bash
# The main job: installs what hidiap needs, builds it, makes two sample files and runs a whole
# update against the built-in simulated device. The device's flash ends up in build/sample/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DHIDIAP_TESTS=OFF -DHIDIAP_BENCHMARKS=OFF >/dev/null
cmake --build build --target hidiap -j"$(nproc)"

mkdir -p build/sample
head -c 40000 /dev/urandom >build/sample/image.bin
head -c 1000 /dev/urandom >build/sample/tts.bin
build/bin/hidiap --simulate --no-wait --sim-flash build/sample/flash.bin \
  build/sample/image.bin build/sample/tts.bin 1MB
echo "Simulated device flash written to build/sample/flash.bin"
