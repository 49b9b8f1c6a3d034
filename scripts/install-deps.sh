#!/usr/bin/env bash
# Installs the Debian packages hidiap needs to build; with --windows, also those of the Windows
# cross-build (scripts/build-windows.sh); with --package, those of the Debian package
# (scripts/package.sh); with --web, those of the web updater (scripts/build-web.sh); with
# --test-plain, those of the plain build's tests; with --test, those of every test and check, the
# Windows build under Wine, the Debian package and the web updater in a headless browser
# included. Any other argument is refused.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi

packages=(build-essential cmake pkg-config libhidapi-dev libcli11-dev zlib1g-dev
  nlohmann-json3-dev libminizip-dev nettle-dev libsqlite3-dev libsodium-dev libpq-dev
  libsystemd-dev libtomlplusplus-dev libcpp-httplib-dev python3-dev python3-pybind11 pybind11-dev)
# python3-dev, python3-pybind11, pybind11-dev: the Python module of the release and package
# builds, for Debian's /usr/bin/python3.
# libminizip-dev: the Windows build compiles minizip from the source package it comes from; tcl
# builds SQLite's amalgamation from its source package. libsodium-dev likewise: libsodium is built
# for Windows from its source package, which ships no configure script (autoconf, automake and
# libtool make it). libpq-dev names the postgresql source package whose libpq is cross-built.
windows=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev dpkg-dev zip
  ca-certificates libminizip-dev tcl libsodium-dev autoconf automake libtool libpq-dev)
debian=(dpkg-dev file)
# The web updater: emscripten, and the Debian packages whose sources it compiles to WebAssembly.
web=(emscripten dpkg-dev zip ca-certificates zlib1g-dev libminizip-dev nettle-dev
  nlohmann-json3-dev libsodium-dev autoconf automake libtool)
# The plain build's tests alone (HIDIAP_QUICK=1 scripts/test.sh); zsh and fish run the
# completion scripts made for them. systemd: systemd-analyze verifies the station's unit;
# dbus-daemon: a private bus for the fake logind of the sleep inhibitor's test;
# python3-prometheus-client parses the station's metrics; Debian's pytest and labgrid run the
# Python module's tests.
plain_tests=(googletest libgtest-dev libgmock-dev libbenchmark-dev binutils minisign postgresql
  zsh fish systemd dbus-daemon python3-prometheus-client python3-pytest python3-labgrid)
usage() {
  echo "usage: scripts/install-deps.sh [--windows | --package | --web | --test-plain | --test]" >&2
  exit 2
}
[ "$#" -le 1 ] || usage
case "${1:-}" in
  "") ;;
  --windows) packages+=("${windows[@]}") ;;
  --package) packages+=("${debian[@]}") ;;
  --web) packages+=("${web[@]}") ;;
  --test-plain) packages+=("${plain_tests[@]}") ;;
  --test)
    # binutils: objcopy and ld make the HEX, S-record and ELF files of the format tests.
    # minisign: the signing tests check hidiap's signatures against minisign's own.
    # postgresql: the --record tests run a throwaway server (its programs in
    # /usr/lib/postgresql/VERSION/bin; the cluster Debian makes on install is not used).
    # clang and its runtime: the fuzzers.
    packages+=("${plain_tests[@]}" clang libclang-rt-dev)
    packages+=("${windows[@]}" wine64 "${debian[@]}" lintian)
    # The browser tests: Debian's Chromium driven by puppeteer-core (npm, from tests/web).
    packages+=("${web[@]}" chromium)
    command -v npm >/dev/null 2>&1 || packages+=(npm)
    ;;
  *) echo "scripts/install-deps.sh: unknown option '$1'" >&2; usage ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
