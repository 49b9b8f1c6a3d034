#!/bin/sh
# The C and Python examples of docs/library.md, taken from the page, built and run over the
# simulated device. Usage: docs_examples.sh DOC CC INCLUDE_DIR LIB_DIR [PYTHON PYTHONPATH]
set -eu
doc=$1 cc=$2 include=$3 libdir=$4 python=${5:-} pythonpath=${6:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/hidiap-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT
block() { awk -v lang="$1" '$0 == "```" lang { on = 1; next } $0 == "```" { on = 0 } on' "$doc"; }
block c >"$work/update.c"
block python >"$work/example.py"
head -c 40000 /dev/urandom >"$work/img.bin"
head -c 1000 /dev/urandom >"$work/tts.bin"
# HIDIAP_EXAMPLE_CFLAGS: the sanitizer of a sanitized build, which the library was built with.
# shellcheck disable=SC2086
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror ${HIDIAP_EXAMPLE_CFLAGS:-} -I"$include" \
  "$work/update.c" -L"$libdir" -lhidiap -Wl,-rpath,"$libdir" -o "$work/update"
(cd "$work" && ./update img.bin tts.bin 1MB) >"$work/c.out"
cat "$work/c.out"
grep -q '^Product String     : ' "$work/c.out"
grep -q '^SIM0001 at sim:1: success, ' "$work/c.out"
if [ -n "$python" ]; then
  (cd "$work" && PYTHONPATH=$pythonpath "$python" example.py) >"$work/py.out"
  cat "$work/py.out"
  grep -qx 'SIM0001 success None [0-9]*' "$work/py.out"
  grep -qx 'SIM0002 failed not_answered [0-9]*' "$work/py.out"
  [ "$(tail -n 2 "$work/py.out")" = "current
differs" ]
fi
