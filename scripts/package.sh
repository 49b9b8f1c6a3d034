#!/usr/bin/env bash
# Builds the Debian package of hidiap with CPack from the release preset's build (build-release)
# and copies it to dist/: /usr/bin/hidiap, its documentation and udev rule, dependencies taken
# from the binary by dpkg-shlibdeps, maintainer scripts that reload udev's rules.
#
# Usage: scripts/package.sh        prints the package's path on its last line
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
scripts/install-deps.sh --package

cmake --preset release >/dev/null
cmake --build --preset release --target hidiap hidiap_man_pages hidiap_changelog -j"$(nproc)" >/dev/null
rm -f build-release/package/*.deb
(cd build-release && cpack --config CPackConfig.cmake >/dev/null)
mkdir -p dist
deb=$(ls build-release/package/*.deb)
cp "$deb" dist/
echo "dist/$(basename "$deb")"
