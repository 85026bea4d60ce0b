#!/usr/bin/env bash
# Peak memory (VmHWM) of the program over a run where half the pages are
# hostile-overlap pages (account and date running on for ~32 MiB).
# Usage: scripts/peak-memory.sh [build folder]
set -euo pipefail
b=${1:-build}
source "$(dirname "${BASH_SOURCE[0]}")/work-folder.sh"
h=$work; mkdir -p "$h/Documents" "$h/run"; chmod 700 "$h/run"
fifo=$h/port; "$b/tools/marketsim/marketsim" --seed 3 --fault-share 0.5 --faults hostile-overlap > "$fifo" &
pids+=($!); sleep 0.5; port=$(head -1 "$fifo")
cp "$b/tests/process/dovetrail_probe" "$h/"
HOME=$h XDG_RUNTIME_DIR=$h/run QT_QPA_PLATFORM=offscreen http_proxy=http://127.0.0.1:$port \
  "$h/dovetrail_probe" --set 编辑框编号1=100 --set 编辑框编号2=139 --click 按钮开始1 >/dev/null &
p=$!; pids+=($p)
for i in $(seq 1 60); do sleep 0.5; [ -f "$h/店铺信息.ini" ] && [ "$(grep -c = "$h/店铺信息.ini")" -ge 20 ] && break; done
grep VmHWM /proc/$p/status; grep -c = "$h/店铺信息.ini"; ls -la "$h/店铺信息.ini"
