# The dependencies of a cross-build, taken from Debian: header-only libraries staged from their
# installed packages into $deps, and Debian's own source packages fetched without touching the
# machine's apt configuration (a private sources list, lists and cache under $apt). The sourcing
# script sets deps and apt first. Sourced by scripts/build-windows.sh and scripts/build-web.sh.

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

# A private apt configuration for Debian's source packages (set up once per run) in $apt.
apt_options=()
private_apt() {
  [ "${#apt_options[@]}" -gt 0 ] && return 0
  local codename archive uri key
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  archive=$(archive_of_this_machine "$codename") || {
    echo "$(basename "$0"): no apt source for $codename found in /etc/apt" >&2
    exit 1
  }
  read -r uri key <<<"$archive"
  key=${key:-/usr/share/keyrings/debian-archive-keyring.gpg}
  rm -rf "$apt"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$apt/source"
  echo "deb-src [signed-by=$key] $uri $codename main" >"$apt/sources.list"
  apt_options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
    -o "Dir::State=$apt" -o "Dir::State::Lists=$apt/lists" -o "Dir::State::status=/var/lib/dpkg/status"
    -o "Dir::Cache=$apt/cache" -o "APT::Sandbox::User=root")
  echo "== Debian source packages from $uri ($codename)"
  apt-get -qq "${apt_options[@]}" update
}

# Unpacks Debian's source package NAME=VERSION under $apt/source; prints its folder. private_apt must have run.
fetch_source() {
  local name=$1 version=$2
  (cd "$apt/source" && apt-get -qq "${apt_options[@]}" source "$name=$version" >/dev/null) || {
    echo "$(basename "$0"): cannot fetch the source package $name=$version" >&2
    exit 1
  }
  find "$apt/source" -mindepth 1 -maxdepth 1 -type d -name "$name-*" | head -n 1
}

