#!/usr/bin/env bash
# Builds the Debian package of hidiap with CPack from the package preset's build (build-package)
# and copies it to dist/: /usr/bin/hidiap, its documentation and udev rule, dependencies taken
# from the binary by dpkg-shlibdeps, maintainer scripts that reload udev's rules, and the web
# updater's page under /usr/share/hidiap/web (built first by scripts/build-web.sh).
#
# Usage: scripts/package.sh        prints the package's path on its last line
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
deb=$(ls build-package/package/*.deb)
cp "$deb" dist/
echo "dist/$(basename "$deb")"
