#!/usr/bin/env bash
# Installs the Debian packages hidiap needs to build (and, with --test, to run every test).
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi

packages=(build-essential cmake pkg-config libhidapi-dev libcli11-dev zlib1g-dev nlohmann-json3-dev)
if [ "${1:-}" = "--test" ]; then
  packages+=(googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
