#!/usr/bin/env bash
# Writes SITE/trusted-keys.js: the vendor's public keys (minisign .pub files) built into the web
# updater. With at least one trusted, the page runs only firmware packages signed by one of them,
# as the console tool does with --trust; with none, any package runs (a signed one as "not
# checked"). The keys after --revoke are revoked, as with the tool's --revoke: a signature by one
# of them is never accepted.
#
# Usage: scripts/web-trusted-keys.sh SITE [PUBKEY...] [--revoke PUBKEY...]
set -euo pipefail
site=$1
shift
node -e '
const fs = require("fs");
const args = process.argv.slice(2);
const cut = args.indexOf("--revoke");
const read = (files) => files.map((file) => ({
  name: require("path").basename(file),
  text: fs.readFileSync(file, "utf8"),
}));
const trusted = read(cut < 0 ? args : args.slice(0, cut));
const revoked = read(cut < 0 ? [] : args.slice(cut + 1));
fs.writeFileSync(process.argv[1] + "/trusted-keys.js",
  "// Made by scripts/web-trusted-keys.sh: the public keys this page trusts and those it refuses.\n" +
  "export const trustedKeys = " + JSON.stringify(trusted, null, 2) + ";\n" +
  "export const revokedKeys = " + JSON.stringify(revoked, null, 2) + ";\n");
' "$site" "$@"
