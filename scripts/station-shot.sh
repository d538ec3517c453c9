#!/usr/bin/env bash
# Pictures of the running station for the documentation: the main window capturing the
# exchange simulator's calls, with its icon in a notification area (trayer), on a virtual
# display, and the calls window on a database of made-up calls.
#   scripts/station-shot.sh BUILD_DIR [OUT_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
out=${2:-docs}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cp "$root"/data/tarvick.dat "$root"/data/tarvick.dbt "$root"/data/*.ATS "$root"/data/newread.txt "$work/"
"$root/scripts/create-db.sh" "$work/calls.fdb" >/dev/null
tool=$build/tools/tarvick-tool
for kv in "DBPath=$work/calls.fdb" AutoRun=T ShowBuffer=T; do
  "$tool" dbf set "$work/tarvick.dat" "${kv%%=*}" "${kv#*=}" >/dev/null
done
python3 "$root/tools/exchange-sim.py" --link "$work/exchange.pty" --interval 0.4 --count 40 &
pids+=($!)
for _ in $(seq 50); do [ -L "$work/exchange.pty" ] && break; sleep 0.1; done
printf '[ComPort]\r\nPort=%s\r\nBaudRate=1200\r\nStopBits=1\r\nDataBits=8\r\nParity=None\r\nFlowControl=None\r\n' \
  "$work/exchange.pty" >"$work/comport.ini"

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 640x400x24 -nolisten tcp &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
trayer --edge bottom --align right --widthtype pixel --width 120 --height 24 --tint 0x303030 \
  --transparent true --alpha 0 &
pids+=($!)
sleep 1
mkdir -p "$out"
# shot NAME HIDERUN: the window capturing, or hidden at start with only its icon left.
shot() {
  "$tool" dbf set "$work/tarvick.dat" HideRun "$2" >/dev/null
  "$build/station/tarvick" --dir "$work/" &
  local station=$!
  sleep 6
  import -window root "$out/$1.png"
  kill "$station"
  local rc=0
  wait "$station" || rc=$?
  echo "wrote $out/$1.png (station exit $rc)"
}
shot station F
shot station-tray T

# The calls window on two years of made-up calls (20 000), showing November 2026.
bash "$root/bench/reports-data.sh" "$work/report-calls.fdb" 20000
"$build/tools/tarvick-calls-shots" "$work/report-calls.fdb" "$out" 2026-11-01 2026-11-30
