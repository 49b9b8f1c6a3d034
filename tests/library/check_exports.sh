#!/bin/sh
# The shared library as distributions expect it: its SONAME, and exactly the functions its header
# declares exported, every one of them named in the version script.
# Usage: check_exports.sh LIBRARY HEADER VERSION_SCRIPT
set -eu
lib=$1
header=$2
map=$3
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libhidiap.so.0 ] || { echo "SONAME is '$soname', not libhidiap.so.0"; exit 1; }
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -v '^HIDIAP_0$' |
  sort -u)
declared=$(grep -o 'hidiap_[a-z0-9_]*(' "$header" | tr -d '(' | sort -u)
listed=$(sed -n 's/^ *\(hidiap_[a-z0-9_]*\);$/\1/p' "$map" | sort -u)
[ -n "$declared" ] || { echo "no function found in $header"; exit 1; }
if [ "$exports" != "$declared" ]; then
  echo "exported (<) and declared in the header (>) differ:"
  printf '%s\n' "$exports" >"${TMPDIR:-/tmp}/exports.$$"
  printf '%s\n' "$declared" | diff "${TMPDIR:-/tmp}/exports.$$" - || true
  rm -f "${TMPDIR:-/tmp}/exports.$$"
  exit 1
fi
[ "$listed" = "$declared" ] || { echo "the version script does not list the header's functions"; exit 1; }
echo "$(printf '%s\n' "$exports" | wc -l) functions exported, as declared"
