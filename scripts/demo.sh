#!/usr/bin/env bash
# The program against the bundled marketplace simulator: marketsim on a free
# loopback port, named as the program's HTTP proxy, so a run fills the list
# without access to the real marketplace.
set -euo pipefail
build="${1:-build}"
sim="$build/tools/marketsim/marketsim"
program="$build/shell/dovetrail"
for f in "$sim" "$program"; do
  [ -x "$f" ] || { echo "demo: $f is missing; run 'make demo'" >&2; exit 1; }
done

source "$(dirname "${BASH_SOURCE[0]}")/work-folder.sh"
portfile="$work/port"
"$sim" --port 0 --seed "${DEMO_SEED:-2011}" --latency-ms "${DEMO_LATENCY_MS:-30}" \
  --fault-share 0.03 --faults not-found,server-error,redirect,invalid-gbk,unknown-rank,control-bytes-in-account,empty-item-count \
  >"$portfile" &
pids+=($!)
for _ in $(seq 100); do
  [ -s "$portfile" ] && break
  sleep 0.05
done
port="$(head -n1 "$portfile")"
[ -n "$port" ] || { echo "demo: marketsim did not start" >&2; exit 1; }
echo "marketsim serves the marketplace on 127.0.0.1:$port; press 开始采集 in the window."
http_proxy="http://127.0.0.1:$port" no_proxy="" NO_PROXY="" "$program"
