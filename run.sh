#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated oximeter on a
# pseudo-terminal mapped as COM1, and starts VELT Monitoring on it.
# Without a display it runs for 15 s under xvfb-run and saves a screenshot to
# build/run-screenshot.png.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/ensure-packages.sh $(cat scripts/packages.txt) openbox imagemagick

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target velt-monitoring oximeter-sim 2>/dev/null ||
  cmake --build --preset default -j "$(nproc)"

bin=build/default/bin
mapdir="$bin/configuration/dosdevices"
mkdir -p "$mapdir"
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -x "$bin/oximeter-sim" ]; then
  "$bin/oximeter-sim" --protocol "${VELT_SIM_PROTOCOL:-1}" --map "$mapdir/com1" &
  sim_pid=$!
  for _ in $(seq 50); do [ -e "$mapdir/com1" ] && break; sleep 0.1; done
fi

if [ -n "${DISPLAY:-}" ]; then
  (cd "$bin" && ./velt-monitoring)
else
  shot="$PWD/build/run-screenshot.png"
  xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    (openbox >/dev/null 2>&1 &)
    (cd "'"$bin"'" && exec ./velt-monitoring) & app=$!
    sleep 15
    import -window root "'"$shot"'"
    kill $app 2>/dev/null; wait $app 2>/dev/null || true'
  echo "Screenshot: $shot"
fi
