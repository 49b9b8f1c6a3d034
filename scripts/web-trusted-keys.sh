#!/usr/bin/env bash
# Writes SITE/trusted-keys.js: the vendor's public keys (minisign .pub files) built into the web
# updater. With at least one, the page runs only firmware packages signed by one of them, as the
# console tool does with --trust; with none, any package runs (a signed one as "not checked").
#
# Usage: scripts/web-trusted-keys.sh SITE [PUBKEY...]
set -euo pipefail
site=$1
shift
node -e '
const fs = require("fs");
const keys = process.argv.slice(2).map((file) => ({
  name: require("path").basename(file),
  text: fs.readFileSync(file, "utf8"),
}));
fs.writeFileSync(process.argv[1] + "/trusted-keys.js",
  "// Made by scripts/web-trusted-keys.sh: the public keys this page trusts.\n" +
  "export const trustedKeys = " + JSON.stringify(keys, null, 2) + ";\n");
' "$site" "$@"
