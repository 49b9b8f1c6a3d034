#!/usr/bin/env bash
# Fetches flash images that Debian ships and that nobody here wrote, and lays them out as hidiap
# image files for the benchmarks of --skip-blank and --skip-unchanged (scripts/bench calls it;
# the build and CI never do). Usage: scripts/real-images.sh DIR
#
# Each image is laid out at flash 0x8000 (32 KiB of 0xFF before it, which the tool does not
# program) and ends at or below 0x180000, the TTS address of the token 2MB, because
# --skip-unchanged refuses ranges that overlap. Where the package's archive still holds its
# previous release, the same file of that release is laid out too (NAME.prev.img) when it
# differs. DIR/images.tsv lists them: name, package, version, file, bytes used, how, previous
# version (or -).
set -euo pipefail
dir=$1
mkdir -p "$dir/debs"
dir=$(cd "$dir" && pwd)
: >"$dir/images.tsv"

max=$((0x180000 - 0x8000))  # bytes of an image that end at 0x180000
if [ -z "$(apt-cache madison ovmf)" ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
  $SUDO apt-get update -qq
fi

# The newest version of a package and the one before it, as the archive offers them.
versions() {
  apt-cache madison "$1" | awk -F'|' '{gsub(/ /, "", $2); print $2}' | sort -u | sort -V -r |
    head -n 2
}

# Unpacks package=version once; prints the directory.
unpack() {
  local out="$dir/debs/$1_$2"
  if [ ! -d "$out" ]; then
    (cd "$dir/debs" && apt-get download -q "$1=$2" >/dev/null 2>&1)
    dpkg-deb -x "$dir"/debs/"$1"_"$(echo "$2" | sed 's/:/%3a/')"_*.deb "$out"
  fi
  echo "$out"
}

# 32 KiB of 0xFF, then the file cut as asked: whole, or its last $max bytes.
lay_out() {
  local src=$1 cut=$2 dst=$3
  head -c 32768 /dev/zero | tr '\0' '\377' >"$dst"
  if [ "$cut" = tail ]; then tail -c "$max" "$src" >>"$dst"; else cat "$src" >>"$dst"; fi
}

# name package file cut how
add() {
  local name=$1 package=$2 file=$3 cut=$4 how=$5
  mapfile -t v < <(versions "$package")
  local new old=- src
  new=$(unpack "$package" "${v[0]}")
  src="$new$file"
  if [ "$cut" != tail ] && [ "$(stat -c %s "$src")" -gt "$max" ]; then
    echo "real-images: $file of $package is larger than $max bytes" >&2
    exit 1
  fi
  lay_out "$src" "$cut" "$dir/$name.img"
  if [ "${#v[@]}" -gt 1 ]; then
    local prev
    prev=$(unpack "$package" "${v[1]}")
    if ! cmp -s "$src" "$prev$file"; then
      lay_out "$prev$file" "$cut" "$dir/$name.prev.img"
      old=${v[1]}
    fi
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$package" "${v[0]}" "$file" \
    $(($(stat -c %s "$dir/$name.img") - 32768)) "$how" "$old" >>"$dir/images.tsv"
}

add ovmf-code ovmf /usr/share/OVMF/OVMF_CODE.fd tail "its last 1,540,096 bytes (of 1,966,080)"
add ovmf-vars ovmf /usr/share/OVMF/OVMF_VARS_4M.fd whole "whole"
add slof qemu-system-data /usr/share/qemu/slof.bin whole "whole"
cat "$dir/images.tsv"
