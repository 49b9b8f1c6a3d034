#!/usr/bin/env bash
# Cross-builds hidiap.exe and hidiap.dll for 64-bit Windows on Debian with MinGW-w64 and packs
# dist/hidiap-VERSION-windows-x86_64.zip (the program, the library with its header and import
# libraries, the README, the license).
#
# Its dependencies come from Debian: HIDAPI's Windows back end is built from Debian's own hidapi
# source package, fetched with `apt-get source` through a private apt configuration (its own
# sources list, lists and cache under build-windows-deps/apt), so the machine's apt sources are
# left as they are; zlib is libz-mingw-w64-dev, and minizip (zlib's contrib/minizip, which Debian
# ships as libminizip-dev) and SQLite are compiled from the Debian source packages they come from;
# libsodium (the package signatures) is built from Debian's libsodium source package, and libpq
# (records in PostgreSQL) from the postgresql source package of libpq-dev; SHA-256 comes from
# Windows' own BCrypt; CLI11 and the other header-only libraries are staged from their Debian
# packages. Everything is staged in build-windows-deps/ (kept between runs) and the build
# itself goes to build-windows-cross/ (the windows-cross preset).
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

# Debian's source packages through a private apt configuration under build-windows-deps/apt.
apt=$deps/apt
# shellcheck source=scripts/debian-source.sh
. "$repo/scripts/debian-source.sh"

# staged NAME VERSION: NAME is in build-windows-deps/ already, built from VERSION.
staged() {
  [ -f "$deps/$1.version" ] && [ "$(cat "$deps/$1.version")" = "$2" ]
}

# HIDAPI's header marks its functions dllexport on Windows, so that a DLL linking the static
# library would export them too; hidiap.dll exports its own C interface only, so the archive's
# export directives (its objects' .drectve sections, which hold nothing else) are removed. The
# stamp says so, so that a library staged before this is built again.
build_hidapi() {
  local version stamp source
  version=$(dpkg-query -W -f='${source:Version}' libhidapi-dev)
  stamp="$version, no exports"
  if staged hidapi "$stamp"; then
    return 0
  fi
  private_apt
  echo "== HIDAPI $version, Debian source package"
  source=$(fetch_source hidapi "$version")

  cmake -S "$source" -B "$apt/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$deps" \
    -DHIDAPI_WITH_TESTS=OFF -DHIDAPI_BUILD_HIDTEST=OFF >"$apt/configure.log" 2>&1 || {
    cat "$apt/configure.log" >&2
    exit 1
  }
  cmake --build "$apt/build" -j"$jobs" >"$apt/build.log" 2>&1 || {
    cat "$apt/build.log" >&2
    exit 1
  }
  cmake --install "$apt/build" >/dev/null
  "$triple-objcopy" --remove-section=.drectve "$deps/lib/libhidapi.a"
  echo "$stamp" >"$deps/hidapi.version"
}

# minizip from the source package libminizip-dev is built from (zlib's contrib/minizip), against
# the MinGW zlib.
build_minizip() {
  local package version source dir file
  package=$(dpkg-query -W -f='${source:Package}' libminizip-dev)
  version=$(dpkg-query -W -f='${source:Version}' libminizip-dev)
  if staged minizip "$version"; then
    return 0
  fi
  private_apt
  echo "== minizip $version, Debian's $package source package"
  source=$(fetch_source "$package" "$version")
  dir=$(dirname "$(find "$source" -name unzip.c | head -n 1)")
  mkdir -p "$apt/minizip" "$deps/lib" "$deps/include/minizip"
  for file in ioapi zip unzip; do
    "$triple-gcc" -O2 -c "$dir/$file.c" -o "$apt/minizip/$file.o"
  done
  rm -f "$deps/lib/libminizip.a"
  "$triple-ar" rcs "$deps/lib/libminizip.a" "$apt/minizip/"*.o
  cp "$dir/ioapi.h" "$dir/zip.h" "$dir/unzip.h" "$deps/include/minizip/"
  echo "$version" >"$deps/minizip.version"
}

# SQLite for --record: Debian's source tree makes its one-file amalgamation natively (with
# tclsh), which MinGW then compiles into a static library.
build_sqlite() {
  local version source
  version=$(dpkg-query -W -f='${source:Version}' libsqlite3-dev)
  if staged sqlite "$version"; then
    return 0
  fi
  private_apt
  echo "== SQLite $version, Debian's sqlite3 source package"
  source=$(fetch_source sqlite3 "$version")
  (cd "$source" && ./configure >"$source.configure.log" 2>&1 && make sqlite3.c >"$source.make.log" 2>&1) || {
    cat "$source.configure.log" "$source.make.log" >&2 2>/dev/null
    exit 1
  }
  mkdir -p "$deps/include" "$deps/lib"
  "$triple-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c "$source/sqlite3.c" \
    -o "$apt/sqlite3.o"
  rm -f "$deps/lib/libsqlite3.a"
  "$triple-ar" rcs "$deps/lib/libsqlite3.a" "$apt/sqlite3.o"
  cp "$source/sqlite3.h" "$deps/include/"
  echo "$version" >"$deps/sqlite.version"
}

# libsodium, static, from the source package libsodium-dev is built from: autoreconf makes its
# configure script (the source package has none), which cross-compiles it.
build_libsodium() {
  local package version source
  package=$(dpkg-query -W -f='${source:Package}' libsodium-dev)
  version=$(dpkg-query -W -f='${source:Version}' libsodium-dev)
  if staged libsodium "$version"; then
    return 0
  fi
  private_apt
  echo "== libsodium $version, Debian's $package source package"
  source=$(fetch_source "$package" "$version")
  (cd "$source" && autoreconf -fi >"$apt/sodium-autoreconf.log" 2>&1) || {
    cat "$apt/sodium-autoreconf.log" >&2
    exit 1
  }
  rm -rf "$apt/sodium-build"
  mkdir -p "$apt/sodium-build"
  (cd "$apt/sodium-build" && "$source/configure" --host="$triple" --prefix="$deps" \
    --disable-shared --enable-static --disable-dependency-tracking \
    >"$apt/sodium-configure.log" 2>&1) || {
    cat "$apt/sodium-configure.log" >&2
    exit 1
  }
  (make -C "$apt/sodium-build" -j"$jobs" install >"$apt/sodium-build.log" 2>&1) || {
    tail -n 60 "$apt/sodium-build.log" >&2
    exit 1
  }
  echo "$version" >"$deps/libsodium.version"
}

# libpq (--record postgresql://), static, from the source package libpq-dev is built from: only
# the client library and the parts of src/port and src/common it uses, without TLS, GSSAPI,
# LDAP, readline, zlib or ICU, folded into one libpq.a. The make rules of libpq for Windows link
# a DLL (their libpq.a is its import library), so the objects are archived here instead, without
# the DLL's version resource (hidiap.exe has its own). libpq's own small pthread emulation for
# Windows defines pthread_mutex_lock and others that winpthreads (the posix compilers' thread
# library, linked into hidiap.exe) defines too; renamed, the two do not collide.
build_libpq() {
  local package version source build renames name
  package=$(dpkg-query -W -f='${source:Package}' libpq-dev)
  version=$(dpkg-query -W -f='${source:Version}' libpq-dev)
  if staged libpq "$version"; then
    return 0
  fi
  private_apt
  echo "== libpq $version, Debian's $package source package"
  source=$(fetch_source "$package" "$version")
  build=$apt/pq-build
  rm -rf "$build"
  mkdir -p "$build"
  # No --prefix: libpq's only use of it is where a pg_service.conf would be, which on Windows
  # the PGSYSCONFDIR variable says anyway; the default keeps this checkout's path out of it.
  (cd "$build" && "$source/configure" --host="$triple" CC="$triple-gcc-posix" \
    --without-readline --without-zlib --without-icu --without-openssl --without-gssapi \
    --without-ldap --disable-nls >"$apt/pq-configure.log" 2>&1) || {
    tail -n 60 "$apt/pq-configure.log" >&2
    exit 1
  }
  renames=
  for name in self setspecific getspecific mutex_init mutex_lock mutex_unlock; do
    renames+=" -Dpthread_$name=pq_pthread_$name"
  done
  # The objects of libpq, libpgport and libpgcommon, each name once (ar would keep only the last
  # of a name); && throughout, as set -e does not reach into the left side of ||.
  # shellcheck disable=SC2016,SC2086 # make expands $(OBJS); $objects is a list of file names
  (
    make -C "$build/src/backend" generated-headers &&
      make -C "$build/src/port" -j"$jobs" libpgport_shlib.a &&
      make -C "$build/src/common" -j"$jobs" libpgcommon_shlib.a &&
      objects=$(make -s -C "$build/src/interfaces/libpq" --eval='objs: ; @echo $(OBJS)' objs) &&
      objects=${objects//win32ver.o/} &&
      make -C "$build/src/interfaces/libpq" -j"$jobs" COPT="$renames" $objects &&
      mkdir "$build/fold" "$build/fold/port" "$build/fold/common" &&
      (cd "$build/fold/port" && "$triple-ar" x "$build/src/port/libpgport_shlib.a") &&
      (cd "$build/fold/common" && "$triple-ar" x "$build/src/common/libpgcommon_shlib.a") &&
      (cd "$build/src/interfaces/libpq" && cp $objects "$build/fold/") &&
      ! find "$build/fold" -name '*.o' -printf '%f\n' | sort | uniq -d | grep .
  ) >"$apt/pq-build.log" 2>&1 || {
    tail -n 60 "$apt/pq-build.log" >&2
    exit 1
  }
  mkdir -p "$deps/lib" "$deps/include/postgresql/libpq"
  rm -f "$deps/lib/libpq.a"
  "$triple-ar" rcs "$deps/lib/libpq.a" "$build/fold/"*.o "$build/fold/port/"*.o \
    "$build/fold/common/"*.o
  # The headers of Debian's libpq-dev, where it puts them.
  cp "$source/src/interfaces/libpq/libpq-fe.h" "$source/src/interfaces/libpq/libpq-events.h" \
    "$source/src/include/postgres_ext.h" "$build/src/include/pg_config_ext.h" \
    "$build/src/include/pg_config.h" "$deps/include/postgresql/"
  cp "$source/src/include/libpq/libpq-fs.h" "$deps/include/postgresql/libpq/"
  echo "$version" >"$deps/libpq.version"
}

mkdir -p "$deps"
stage_header_only_libraries
build_hidapi
build_minizip
build_sqlite
build_libsodium
build_libpq

echo "== hidiap.exe and hidiap.dll"
cmake --preset windows-cross -DHIDIAP_WERROR=ON >/dev/null
cmake --build --preset windows-cross -j"$jobs"
exe=$repo/build-windows-cross/bin/hidiap.exe

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows-cross/CMakeCache.txt)
name=hidiap-$version-windows-x86_64
stage=$repo/build-windows-cross/$name
rm -rf "$stage"
mkdir -p "$stage" dist
"$triple-strip" -o "$stage/hidiap.exe" "$exe"
# The library for programs of their own: the DLL beside the program, its header, and its import
# libraries (MinGW's, and the export list MSVC's lib makes its own from).
"$triple-strip" --strip-unneeded -o "$stage/hidiap.dll" build-windows-cross/bin/hidiap.dll
mkdir -p "$stage/include/hidiap" "$stage/lib"
cp include/hidiap/hidiap.h "$stage/include/hidiap/"
cp build-windows-cross/lib/libhidiap.dll.a build-windows-cross/src/host/library/hidiap.def \
  "$stage/lib/"
cp README.md LICENSE "$stage/"
rm -f "dist/$name.zip"
(cd "$stage/.." && zip -q -X -r "$repo/dist/$name.zip" "$name")
echo "dist/$name.zip: $(stat -c %s "dist/$name.zip") bytes"
