// The page for a screen beside the line: one tile per board (per slot, on a fixture), green
// when it ended well, red when it failed, amber with its percent while it runs; the totals
// above. It asks /status once a second and redraws itself; nothing but text from the station is
// shown, and only as text.
#include "host/status/status_server.h"

namespace host {

const std::string &status_page_html() {
    static const std::string page = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>hidiap station</title>
<style>
  body { font-family: sans-serif; background: #1d1f21; color: #eee; margin: 1.5em; }
  h1 { font-size: 1.6em; margin: 0 0 .3em; }
  #totals { font-size: 1.3em; margin-bottom: 1em; }
  #totals span { margin-right: 1.2em; }
  #tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(11em, 1fr)); gap: .8em; }
  .tile { border-radius: .5em; padding: .8em; min-height: 6em; color: #111; }
  .tile .name { font-weight: bold; font-size: 1.1em; }
  .tile .percent { font-size: 2.2em; font-weight: bold; }
  .running { background: #f0b429; }
  .ok { background: #3fb950; }
  .bad { background: #f85149; }
  .empty { background: #444; color: #bbb; }
  #stale { color: #f85149; display: none; }
</style>
</head>
<body>
<h1 id="title">hidiap station</h1>
<div id="totals"></div>
<div id="stale">no answer from the station</div>
<div id="tiles"></div>
<script>
"use strict";
function tile(cls, name, big, small) {
  const t = document.createElement("div");
  t.className = "tile " + cls;
  for (const [c, text] of [["name", name], ["percent", big], ["info", small]]) {
    const d = document.createElement("div");
    d.className = c;
    d.textContent = text;
    t.appendChild(d);
  }
  return t;
}
function draw(s) {
  document.getElementById("title").textContent = "hidiap station " + s.station;
  const totals = document.getElementById("totals");
  totals.replaceChildren();
  const parts = [["updated", s.totals.updated], ["current", s.totals.current],
                 ["failed", s.totals.failed], ["boards per hour", Math.round(s.boards_per_hour)],
                 ["records waiting", s.records_waiting]];
  if (s.job) parts.push(["job", s.job.done + " of " + s.job.allowed]);
  for (const [label, value] of parts) {
    const e = document.createElement("span");
    e.textContent = value + " " + label;
    totals.appendChild(e);
  }
  const tiles = document.getElementById("tiles");
  tiles.replaceChildren();
  for (const b of s.boards) {
    const name = (b.slot !== null ? "slot " + b.slot + " " : "") + (b.serial || b.port);
    if (b.phase === "empty") {
      tiles.appendChild(tile("empty", name, "", "empty"));
    } else {
      tiles.appendChild(tile("running", name, b.percent + " %", b.phase));
    }
  }
  for (const r of s.last_results) {
    const good = r.outcome === "success" || r.outcome === "current";
    tiles.appendChild(tile(good ? "ok" : "bad", r.tag, good ? "\u2713" : "\u2717", r.result));
  }
}
async function refresh() {
  try {
    const answer = await fetch("/status", {cache: "no-store"});
    draw(await answer.json());
    document.getElementById("stale").style.display = "none";
  } catch (e) {
    document.getElementById("stale").style.display = "block";
  }
}
refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)html";
    return page;
}

}  // namespace host
