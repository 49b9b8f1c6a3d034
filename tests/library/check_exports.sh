#!/bin/sh
# The shared library as distributions expect it: its SONAME, and no exported name but hidiap_*.
set -eu
lib=$1
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libhidiap.so.0 ] || { echo "SONAME is '$soname', not libhidiap.so.0"; exit 1; }
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//')
[ -n "$exports" ] || { echo "nothing is exported"; exit 1; }
others=$(printf '%s\n' "$exports" | grep -v '^hidiap_' | grep -v '^HIDIAP_0$' || true)
[ -z "$others" ] || { echo "exported beside hidiap_*:"; echo "$others"; exit 1; }
for name in hidiap_version hidiap_update hidiap_verify hidiap_cancel hidiap_inputs_from_files; do
  printf '%s\n' "$exports" | grep -qx "$name" || { echo "$name is not exported"; exit 1; }
done
