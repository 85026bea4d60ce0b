#!/usr/bin/env bash
# Takes docs/screenshot.png: the program on a virtual X server, collecting from
# the marketplace simulator with the "零宝贝" filter on, as a user would click it.
# usage: scripts/screenshot.sh <builddir> [output.png]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
out=${2:-$root/docs/screenshot.png}

if [ "${3:-}" != "--on-display" ]; then
  for tool in xvfb-run xdotool import; do
    command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
  done
  mkdir -p "$(dirname "$out")"
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$build" "$out" --on-display
fi

source "$(dirname "${BASH_SOURCE[0]}")/work-folder.sh"

# The program writes its shop log beside itself: run a copy in the temp folder.
mkdir -p "$work/app" "$work/home"
cp "$build/shell/dovetrail" "$work/app/"

"$build/tools/marketsim/marketsim" --port 0 --seed 7 --latency-ms 5 >"$work/port" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/port")
[ -n "$port" ] || { echo "screenshot: marketsim did not start" >&2; exit 1; }

HOME="$work/home" http_proxy="http://127.0.0.1:$port" "$work/app/dovetrail" &
pids+=($!)
window=$(timeout 20 xdotool search --sync --name '^Dovetrail')
window=${window%%$'\n'*}
sleep 1

# Client coordinates: the top bar starts at (2, 0); in it the "零宝贝" box
# lies at (362, 19) and the start button at (440, 13).
xdotool mousemove --window "$window" 372 27 click 1
sleep 0.3
xdotool mousemove --window "$window" 472 23 click 1
# Away from the buttons, so no hover highlight shows.
xdotool mousemove --window "$window" 700 580
sleep 4

import -window "$window" "$out"
echo "screenshot: $out"
