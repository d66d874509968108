#!/usr/bin/env bash
# Runs VELT Monitoring under valgrind on a virtual display with the simulated
# oximeter on COM1: opens a second window, waits SECONDS (default 60), exits through
# File > Exit and prints valgrind's leak summary (full log in build/leak-check.log).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
bash scripts/ensure-packages.sh $(cat scripts/packages.txt) valgrind xdotool openbox xvfb
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target velt-monitoring oximeter-sim

bin=$PWD/build/default/bin
log=$PWD/build/leak-check.log
mapdir="$bin/configuration/dosdevices"
mkdir -p "$mapdir"
rm -f "$mapdir/com1"
"$bin/oximeter-sim" --protocol 2 --map "$mapdir/com1" >/dev/null 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$mapdir/com1" ] && break; sleep 0.1; done

BIN=$bin LOG=$log SECS=$secs xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  (openbox >/dev/null 2>&1 &)
  cd "$BIN"
  valgrind --leak-check=full --show-leak-kinds=definite --child-silent-after-fork=yes \
    --num-callers=30 --log-file="$LOG" ./velt-monitoring >/dev/null 2>&1 &
  app=$!
  w=""
  for _ in $(seq 120); do
    w=$(xdotool search --name "^VELT Monitoring" 2>/dev/null | head -1 || true)
    [ -n "$w" ] && break
    sleep 1
  done
  [ -n "$w" ] || { echo "no window"; kill $app; exit 1; }
  sleep 10
  xdotool windowactivate --sync "$w"; sleep 1
  xdotool key --window "$w" ctrl+n          # second window
  sleep "$SECS"
  xdotool windowactivate --sync "$w"; sleep 1
  xdotool key --window "$w" alt+f; sleep 2; xdotool key x   # File > Exit
  for _ in $(seq 120); do kill -0 $app 2>/dev/null || break; sleep 1; done
  if kill -0 $app 2>/dev/null; then echo "did not exit"; kill $app; fi
  wait $app || true'
grep -E "definitely lost|indirectly lost|possibly lost|ERROR SUMMARY" "$log"
