#!/usr/bin/env bash
# Cross-builds hidiap.exe for 64-bit Windows on Debian with MinGW-w64 and packs
# dist/hidiap-VERSION-windows-x86_64.zip (the program, the README, the license).
#
# Its dependencies come from Debian: HIDAPI's Windows back end is built from Debian's own hidapi
# source package, fetched with `apt-get source` through a private apt configuration (its own
# sources list, lists and cache under build-windows-deps/apt), so the machine's apt sources are
# left as they are; SQLite likewise from Debian's sqlite3 source package; zlib is libz-mingw-w64-dev; CLI11 and the other header-only libraries are
# staged from their Debian packages. Everything is staged in build-windows-deps/ (kept between
# runs) and the build itself goes to build-windows-cross/ (the windows-cross preset).
#
# Usage: scripts/build-windows.sh
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
scripts/install-deps.sh --windows

deps=$repo/build-windows-deps
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
triple=x86_64-w64-mingw32
jobs=$(nproc)

# The machine's apt entry (deb822 or one-line) for the release's main suite: prints
# "URI SIGNED-BY" (SIGNED-BY may be missing).
archive_of_this_machine() {
  local codename=$1 found
  found=$(awk -v c="$codename" '
      function flush() {
        if (!done && hit && uri != "") { print uri, key; done = 1 }
        hit = 0; uri = ""; key = ""
      }
      FNR == 1 { flush() }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      $1 == "URIs:" { uri = $2 }
      $1 == "Suites:" { for (i = 2; i <= NF; i++) if ($i == c) hit = 1 }
      $1 == "Signed-By:" { key = $2 }
      END { flush() }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  if [ -z "$found" ]; then
    found=$(grep -hsE "^deb[[:space:]]" /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
      sed -E 's/\[[^]]*\]//' | awk -v c="$codename" '$3 == c { print $2; exit }')
  fi
  [ -n "$found" ] && echo "$found"
}

stage_header_only_libraries() {
  # CLI11 and (when installed) nlohmann-json: their headers and relocatable CMake packages.
  local name dir
  for name in CLI11:CLI nlohmann_json:nlohmann; do
    dir=${name#*:}
    name=${name%%:*}
    [ -d "/usr/share/cmake/$name" ] || continue
    mkdir -p "$deps/include" "$deps/share/cmake"
    rm -rf "${deps:?}/include/$dir" "${deps:?}/share/cmake/$name"
    cp -r "/usr/include/$dir" "$deps/include/$dir"
    cp -r "/usr/share/cmake/$name" "$deps/share/cmake/$name"
  done
}

# debian_source PACKAGE VERSION: fetches Debian's source package of this release through a private
# apt configuration (the machine's own sources are left as they are) and prints its directory.
debian_source() {
  local package=$1 version=$2 codename archive uri key apt
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  archive=$(archive_of_this_machine "$codename") || {
    echo "build-windows.sh: no apt source for $codename found in /etc/apt" >&2
    exit 1
  }
  read -r uri key <<<"$archive"
  key=${key:-/usr/share/keyrings/debian-archive-keyring.gpg}

  apt=$deps/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts"
  rm -rf "$apt/source-$package"
  mkdir -p "$apt/source-$package"
  echo "deb-src [signed-by=$key] $uri $codename main" >"$apt/sources.list"
  local apt_options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
    -o "Dir::State=$apt" -o "Dir::State::Lists=$apt/lists" -o "Dir::State::status=/var/lib/dpkg/status"
    -o "Dir::Cache=$apt/cache" -o "APT::Sandbox::User=root")
  echo "== $package $version from $uri ($codename), Debian source package" >&2
  apt-get -qq "${apt_options[@]}" update
  (cd "$apt/source-$package" && apt-get -qq "${apt_options[@]}" source "$package=$version" >/dev/null)
  find "$apt/source-$package" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

build_hidapi() {
  local version source build
  version=$(dpkg-query -W -f='${source:Version}' libhidapi-dev)
  if [ -f "$deps/hidapi.version" ] && [ "$(cat "$deps/hidapi.version")" = "$version" ]; then
    return 0
  fi
  source=$(debian_source hidapi "$version")
  build=$deps/apt/build-hidapi
  cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$deps" \
    -DHIDAPI_WITH_TESTS=OFF -DHIDAPI_BUILD_HIDTEST=OFF >"$build.configure.log" 2>&1 || {
    cat "$build.configure.log" >&2
    exit 1
  }
  cmake --build "$build" -j"$jobs" >"$build.log" 2>&1 || {
    cat "$build.log" >&2
    exit 1
  }
  cmake --install "$build" >/dev/null
  echo "$version" >"$deps/hidapi.version"
}

# SQLite for --record: Debian's source tree makes its one-file amalgamation natively (with
# tclsh), which MinGW then compiles into a static library.
build_sqlite() {
  local version source
  version=$(dpkg-query -W -f='${source:Version}' libsqlite3-dev)
  if [ -f "$deps/sqlite.version" ] && [ "$(cat "$deps/sqlite.version")" = "$version" ]; then
    return 0
  fi
  source=$(debian_source sqlite3 "$version")
  (cd "$source" && ./configure >"$source.configure.log" 2>&1 && make sqlite3.c >"$source.make.log" 2>&1) || {
    cat "$source.configure.log" "$source.make.log" >&2 2>/dev/null
    exit 1
  }
  mkdir -p "$deps/include" "$deps/lib"
  "$triple-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c "$source/sqlite3.c" \
    -o "$deps/apt/sqlite3.o"
  rm -f "$deps/lib/libsqlite3.a"
  "$triple-ar" rcs "$deps/lib/libsqlite3.a" "$deps/apt/sqlite3.o"
  cp "$source/sqlite3.h" "$deps/include/"
  echo "$version" >"$deps/sqlite.version"
}

mkdir -p "$deps"
stage_header_only_libraries
build_hidapi
build_sqlite

echo "== hidiap.exe"
cmake --preset windows-cross -DHIDIAP_WERROR=ON >/dev/null
cmake --build --preset windows-cross -j"$jobs"
exe=$repo/build-windows-cross/bin/hidiap.exe

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows-cross/CMakeCache.txt)
name=hidiap-$version-windows-x86_64
stage=$repo/build-windows-cross/$name
rm -rf "$stage"
mkdir -p "$stage" dist
"$triple-strip" -o "$stage/hidiap.exe" "$exe"
cp README.md LICENSE "$stage/"
rm -f "dist/$name.zip"
(cd "$stage/.." && zip -q -X -r "$repo/dist/$name.zip" "$name")
echo "dist/$name.zip: $(stat -c %s "dist/$name.zip") bytes"
