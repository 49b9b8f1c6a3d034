#!/usr/bin/env bash
# Builds the web updater: the engine, the input loading and layout, the image formats and the
# simulated device compiled to WebAssembly with Debian's emscripten, beside the page of web/, in
# build-web/site/, and packs it as dist/hidiap-web-VERSION.zip.
#
# Debian's emscripten brings no zlib of its own (its port would download one), so zlib, minizip,
# the SHA-256 of nettle and libsodium (the package signatures) are compiled with emcc from
# Debian's own source packages, the versions this machine's native build uses: the page then
# reads packages and checks their checksums with the very code the console tool runs. Staged in build-web-deps/ (kept between runs).
#
# Usage: scripts/build-web.sh [--no-zip] [--trust PUBKEY]... [--revoke PUBKEY]... [--package FW.ZIP
#                              [--alternative-href URL] [--ready-page-in DIR]]
#   --trust PUBKEY  build the vendor's public key into the page: it then runs only firmware
#                   packages signed by one of the keys given (repeatable)
#   --revoke PUBKEY  build a revoked key into the page: a package signed only by revoked keys
#                   is refused, as the tool's --revoke does (repeatable)
#   --package FW.ZIP  put the package and a ready page for it, update.html (the <hidiap-update>
#                   element alone, under the product's name), into the zip
#   --alternative-href URL  the ready page's offer where the browser cannot update (a link to
#                   the Windows zip, say)
#   --ready-page-in DIR  only write update.html and the package into DIR (a built site); no build
set -euo pipefail
zip=1
trust=()
revoke=()
package=
alternative=
ready_only=
usage="usage: scripts/build-web.sh [--no-zip] [--trust PUBKEY]... [--revoke PUBKEY]... [--package FW.ZIP \
[--alternative-href URL] [--ready-page-in DIR]]"
while [ $# -gt 0 ]; do
  case $1 in
    --no-zip) zip=0 ;;
    --trust) trust+=("$(readlink -f "$2")"); shift ;;
    --revoke) revoke+=("$(readlink -f "$2")"); shift ;;
    --package) package=$(readlink -f "$2"); shift ;;
    --alternative-href) alternative=$2; shift ;;
    --ready-page-in) ready_only=$(readlink -f "$2"); shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
# The ready page goes into the zip (or, with --ready-page-in, into a site of its own).
if { [ -n "$ready_only$alternative" ] && [ -z "$package" ]; } ||
  { [ -n "$package" ] && [ -z "$ready_only" ] && [ "$zip" = 0 ]; }; then
  echo "$usage" >&2
  exit 2
fi
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

# Writes DIR/update.html, the page a customer opens, and the package beside it. The page names
# the product as the package's manifest does; the element checks the package when it loads.
ready_page() {
  python3 - "$1" "$package" "$alternative" <<'PY'
import html, json, os, shutil, sys, zipfile
site, package, alternative = sys.argv[1:4]
try:
    with zipfile.ZipFile(package) as archive:
        manifest = json.loads(archive.read("package.json"))
except (OSError, KeyError, ValueError, zipfile.BadZipFile) as e:
    sys.exit(f"scripts/build-web.sh: {package} is not a firmware package: {e}")
name = os.path.basename(package)
product = manifest.get("product", "")
title = html.escape(product or os.path.splitext(name)[0])
attributes = f' package="{html.escape(name)}"'
if alternative:
    attributes += f' alternative-href="{html.escape(alternative)}"'
page = f"""<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>{title}</title>
<script type="module" src="hidiap-update.js"></script>
<style>
body {{ font-family: system-ui, sans-serif; line-height: 1.4; margin: 0; }}
main {{ max-width: 40rem; margin: 0 auto; padding: 2rem 1rem; }}
</style>
</head>
<body>
<main>
<h1>{title}</h1>
<hidiap-update{attributes}></hidiap-update>
</main>
</body>
</html>
"""
with open(os.path.join(site, "update.html"), "w", encoding="utf-8") as out:
    out.write(page)
if os.path.abspath(os.path.join(site, name)) != os.path.abspath(package):
    shutil.copyfile(package, os.path.join(site, name))
PY
}
if [ -n "$ready_only" ]; then
  ready_page "$ready_only"
  exit 0
fi
scripts/install-deps.sh --web

# emscripten's JavaScript optimizer needs Debian's node modules when the node on PATH is not
# Debian's own.
export NODE_PATH=${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
deps=$repo/build-web-deps
apt=$deps/apt
# shellcheck source=scripts/debian-source.sh
. "$repo/scripts/debian-source.sh"

# Compiles the C files FILES... of DIR into the static library NAME under $deps/lib.
emcc_library() {
  local name=$1 dir=$2 file objects=()
  shift 2
  mkdir -p "$apt/obj-$name" "$deps/lib"
  for file in "$@"; do
    emcc -O2 -w -I"$deps/include" -I"$dir" -c "$dir/$file.c" -o "$apt/obj-$name/$file.o"
    objects+=("$apt/obj-$name/$file.o")
  done
  rm -f "$deps/lib/lib$name.a"
  emar rcs "$deps/lib/lib$name.a" "${objects[@]}"
}

# Runs BODY (a function) when Debian's source version of the package behind DEB changed.
# Prints nothing when it is staged already.
staged() {
  local name=$1 deb=$2 package version
  package=$(dpkg-query -W -f='${source:Package}' "$deb")
  version=$(dpkg-query -W -f='${source:Version}' "$deb")
  if [ -f "$deps/$name.version" ] && [ "$(cat "$deps/$name.version")" = "$version" ]; then
    return 0
  fi
  private_apt
  echo "== $name $version, Debian's $package source package, for WebAssembly"
  "build_$name" "$(fetch_source "$package" "$version")"
  echo "$version" >"$deps/$name.version"
}

build_zlib() {
  local source=$1
  mkdir -p "$deps/include"
  cp "$source/zlib.h" "$source/zconf.h" "$deps/include/"
  emcc_library z "$source" adler32 crc32 deflate inflate inftrees inffast trees zutil
}

build_minizip() {
  local dir
  dir=$(dirname "$(find "$1" -name unzip.c | head -n 1)")
  mkdir -p "$deps/include/minizip"
  # The page reads packages from memory; minizip's file functions stay as Debian builds them.
  emcc_library minizip "$dir" ioapi zip unzip
  cp "$dir/ioapi.h" "$dir/zip.h" "$dir/unzip.h" "$deps/include/minizip/"
}

build_nettle() {
  local source=$1
  # SHA-256 alone, in nettle's portable C: no configure run (which would look for a native
  # assembler); the configuration the few files need is written here.
  mkdir -p "$deps/include/nettle"
  printf '#define HAVE_CONFIG_H 1\n#define WORDS_BIGENDIAN 0\n' >"$source/config.h"
  : >"$source/version.h"
  emcc_library nettle "$source" sha256 sha256-compress write-be32
  cp "$source"/{sha2.h,nettle-types.h,nettle-meta.h,version.h} "$deps/include/nettle/"
}

build_libsodium() {
  local source=$1
  # The source package ships no configure script: autoreconf makes one, which emconfigure runs
  # for WebAssembly (no threads, no assembly, no stack protector, as emscripten has none).
  (cd "$source" && autoreconf -fi) >"$apt/sodium-autoreconf.log" 2>&1 || {
    cat "$apt/sodium-autoreconf.log" >&2
    exit 1
  }
  rm -rf "$apt/sodium-build"
  mkdir -p "$apt/sodium-build"
  (cd "$apt/sodium-build" && emconfigure "$source/configure" --host=wasm32-unknown-emscripten \
    --prefix="$deps" --disable-shared \
    --enable-static --without-pthreads --disable-ssp --disable-asm --disable-pie \
    --disable-dependency-tracking) >"$apt/sodium-configure.log" 2>&1 || {
    cat "$apt/sodium-configure.log" >&2
    exit 1
  }
  emmake make -C "$apt/sodium-build" -j"$jobs" install >"$apt/sodium-build.log" 2>&1 || {
    tail -n 60 "$apt/sodium-build.log" >&2
    exit 1
  }
}

mkdir -p "$deps"
stage_header_only_libraries
staged zlib zlib1g-dev
staged minizip libminizip-dev
staged nettle nettle-dev
staged libsodium libsodium-dev

echo "== WebAssembly"
emcmake cmake -S . -B build-web -DCMAKE_BUILD_TYPE=Release -DHIDIAP_WEB_DEPS="$deps" \
  -DHIDIAP_WERROR=ON >build-web.configure.log 2>&1 || {
  cat build-web.configure.log >&2
  exit 1
}
rm -f build-web.configure.log
cmake --build build-web -j"$jobs"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-web/CMakeCache.txt)
site=$repo/build-web/site
scripts/web-trusted-keys.sh "$site" "${trust[@]}" --revoke "${revoke[@]}"
echo "build-web/site: the page (${#trust[@]} trusted key(s), ${#revoke[@]} revoked)"
if [ "$zip" = 0 ]; then
  exit 0
fi
name=hidiap-web-$version
mkdir -p dist
rm -rf "build-web/$name" "dist/$name.zip"
cp -r "$site" "build-web/$name"
cp README.md LICENSE "build-web/$name/"
if [ -n "$package" ]; then
  ready_page "build-web/$name"
  echo "build-web/$name/update.html: the ready page for $(basename "$package")"
fi
(cd build-web && zip -q -X -r "$repo/dist/$name.zip" "$name")
echo "dist/$name.zip: $(stat -c %s "dist/$name.zip") bytes"
