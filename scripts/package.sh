#!/usr/bin/env bash
# Builds the Debian packages of hidiap with CPack from the package preset's build (build-package)
# and copies them to dist/: hidiap (/usr/bin/hidiap, its documentation and udev rule, dependencies
# taken from the binary by dpkg-shlibdeps, maintainer scripts that reload udev's rules, and the web
# updater's page under /usr/share/hidiap/web, built first by scripts/build-web.sh) and beside it
# the library's: libhidiap0, libhidiap-dev and python3-hidiap.
#
# Usage: scripts/package.sh        prints the hidiap package's path on its last line, the
#                                  library's packages are in the same folder
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
scripts/install-deps.sh --package

scripts/build-web.sh --no-zip >/dev/null
cmake --preset package -DHIDIAP_WEB_SITE_DIR="$repo/build-web/site" >/dev/null
cmake --build --preset package -j"$(nproc)" >/dev/null
rm -f build-package/package/*.deb
(cd build-package && cpack --config CPackConfig.cmake >/dev/null)
mkdir -p dist
rm -f dist/hidiap_*.deb dist/libhidiap0_*.deb dist/libhidiap-dev_*.deb dist/python3-hidiap_*.deb
cp build-package/package/*.deb dist/
deb=$(ls build-package/package/hidiap_*.deb)
echo "dist/$(basename "$deb")"
