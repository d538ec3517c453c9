#!/usr/bin/env bash
# Installs, builds, stages a station directory under stage/ and starts the station. With no
# exchange attached (TARVICK_PORT unset) an exchange simulator feeds it calls on a pseudo-terminal;
# with TARVICK_PORT a network source on this machine, the simulator plays that exchange over TCP.
# With no display the headless station runs instead.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
./scripts/install-deps.sh
build=build-run
cmake -S . -B "$build" -G Ninja -DTARVICK_BENCH=OFF >/dev/null
ninja -C "$build" -j2 tarvick tarvick-tool

stage=$root/stage
mkdir -p "$stage"
cp "$build/capture/tarvick" "$build/tools/tarvick-tool" "$stage/"
for f in data/tarvick.dat data/tarvick.dbt data/*.ATS data/newread.txt; do
  [ -e "$f" ] && cp "$f" "$stage/"
done
[ -e data/comport.ini ] && [ ! -e "$stage/comport.ini" ] && cp data/comport.ini "$stage/"

# A fresh call database on the embedded engine, created once.
db=$stage/calls.fdb
if [ ! -e "$db" ] && [ -x scripts/create-db.sh ]; then
  scripts/create-db.sh "$db"
fi
[ -e "$stage/tarvick.dat" ] && "$stage/tarvick-tool" dbf set "$stage/tarvick.dat" DBPath "$db" >/dev/null 2>&1 || true
# The station's own Firebird configuration (shared server mode), when the database layer ships one.
[ -e "$stage/firebird.conf" ] && export FIREBIRD=$stage

sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT
# The simulator plays the exchange unless a real one is named: none given, or a network
# source on this machine (tcp://127.0.0.1:9100 has it listen, listen://127.0.0.1:9100 connect).
sim=()
port=${TARVICK_PORT:-}
hostport=${port#*://}
host=${hostport%:*}
case "$port" in
  "")
    link=$stage/exchange.pty
    sim=(--link "$link")
    ;;
  tcp://127.*|tcp://localhost:*|tcp://\[::1\]:*)
    bind=${host#[}
    bind=${bind%]}
    [ "$bind" = localhost ] && bind=127.0.0.1
    sim=(--tcp-listen "${port##*:}" --bind "$bind")
    ;;
  listen://127.*|listen://localhost:*|listen://\[::1\]:*)
    sim=(--tcp-connect "$hostport")
    ;;
esac
if [ ${#sim[@]} -gt 0 ]; then
  python3 tools/exchange-sim.py "${sim[@]}" --interval 3 &
  sim_pid=$!
  if [ -z "$port" ]; then
    for _ in $(seq 50); do [ -L "$link" ] && break; sleep 0.1; done
    TARVICK_PORT=$link
  fi
  [ -e "$stage/tarvick.dat" ] && "$stage/tarvick-tool" dbf set "$stage/tarvick.dat" AutoRun T >/dev/null 2>&1 || true
  [ -e "$stage/tarvick.dat" ] && "$stage/tarvick-tool" dbf set "$stage/tarvick.dat" ShowBuffer T >/dev/null 2>&1 || true
  echo "run.sh: exchange simulator for $TARVICK_PORT"
fi
printf '[ComPort]\nPort=%s\nBaudRate=1200\nStopBits=1\nDataBits=8\nParity=None\nFlowControl=None\n' \
  "$TARVICK_PORT" >"$stage/comport.ini"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$stage/tarvick" --dir "$stage"
else
  echo "run.sh: no display, running the headless station (Ctrl+C stops it); calls follow:"
  "$stage/tarvick" --headless --dir "$stage"
fi
