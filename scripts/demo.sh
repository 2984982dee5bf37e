#!/usr/bin/env bash
# The main job on a fresh machine: build, start the bundled controller
# simulator, then let the host tool load the plug-in, connect, write tags of
# several types, read them back and show the traffic log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target LibVESKOR veskor veskor-sim

sim_log=$(mktemp)
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; rm -f "$sim_log"' EXIT
# 48-byte areas keep the traffic log readable; port 0 takes a free port.
build/tools/sim/veskor-sim --listen 127.0.0.1:0 --area-size 48 --set ID9x:40:7b00 --verbose \
  >"$sim_log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
  grep -q "listening on" "$sim_log" && break
  sleep 0.1
done
addr=$(sed -n 's/.*listening on \([0-9.]*:[0-9]*\).*/\1/p' "$sim_log" | head -1)
[ -n "$addr" ] || { cat "$sim_log"; echo "simulator did not start" >&2; exit 1; }
echo "== controller simulator on $addr"

echo "== plug-in identity"
build/tools/veskor/veskor --connect "$addr" info

echo
echo "== write tags of several types, read them back (traffic log on stderr)"
build/tools/veskor/veskor --connect "$addr" --debug \
  write ID4x0 int16 1 -2 300 \
  then write ID4x6 float 3.25 \
  then write ID4x10 uint64 18446744073709551615 \
  then write ID4x18 bool on off on on off \
  then write ID4x20 string "Grüße" --size 12 \
  then read ID4x0:int16:3 ID4x6:float ID4x10:uint64 ID4x18:bool:5 ID4x20:string:12 ID9x40:uint16 2>&1

echo
echo "== what the simulator saw"
cat "$sim_log"
