#!/usr/bin/env bash
# From the shown SpO2 crossing its limit to the ward tile's alarm colour, on this
# machine through one mosquitto on loopback: --monitors N (5) headless publishers
# (velt-process --publish --pace) each play --dips D (20) dips below the SpO2 limit
# (spo2-low with a delay of --delay S seconds (2), the other alarms off) into one
# velt-ward; the ward's --stats gives, per alarm, the time from its start at the
# monitor to the first paint of the tile in its colour (p50, p99, max). The figure is
# the delay, plus the alarm evaluation's step (at most 100 ms), plus that time.
#   bench/ward/alarm_latency.sh [--monitors N] [--dips D] [--delay S] [--bin DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
monitors=5
dips=20
delay=2
bin=build/default/bin
while [ $# -gt 0 ]; do
  case "$1" in
    --monitors) monitors="$2"; shift ;;
    --dips) dips="$2"; shift ;;
    --delay) delay="$2"; shift ;;
    --bin) bin="$2"; shift ;;
    *) echo "usage: $0 [--monitors N] [--dips D] [--delay S] [--bin DIR]" >&2; exit 2 ;;
  esac
  shift
done
for tool in "$bin/velt-ward" "$bin/velt-process" "$bin/oximeter-sim"; do
  [ -x "$tool" ] || { echo "missing $tool (build the default preset first)" >&2; exit 1; }
done
command -v mosquitto >/dev/null || { echo "mosquitto is not installed" >&2; exit 1; }
scratch="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
url="mqtt://127.0.0.1:$port"
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" >"$scratch/mosquitto.conf"
mosquitto -c "$scratch/mosquitto.conf" >"$scratch/mosquitto.log" 2>&1 &
pids+=($!)

# Each dip: the delay and 3 s more below the limit, then 5 s above it (the alarm ends
# after 2 s). The monitors start a little apart, so that their alarms do not coincide.
hold=$((delay + 3))
{
  echo "0 spo2=97 bpm=70"
  t=4
  for _ in $(seq "$dips"); do
    echo "$t spo2=86"
    echo "$((t + hold)) spo2=97"
    t=$((t + hold + 5))
  done
} >"$scratch/dips.scn"
seconds=$((4 + dips * (hold + 5) + 2))
"$bin/oximeter-sim" --protocol 1 --scenario "$scratch/dips.scn" --output "$scratch/dips.raw" \
  --seconds "$seconds" >/dev/null
printf '[alarms]\nspo2-low-delay=%s\nspo2-desat-on=0\npulse-high-on=0\npulse-low-on=0\n' \
  "$delay" >"$scratch/alarms.ini"

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$scratch}"
sleep 0.5
"$bin/velt-ward" --broker "$url" --stats "$scratch/stats.txt" >"$scratch/ward.txt" 2>&1 &
ward=$!
pids+=($ward)
sleep 2
publishers=()
for i in $(seq "$monitors"); do
  "$bin/velt-process" --log-dir "$scratch" --publish "$url" --monitor "bed-$i" --pace \
    --alarms --alarm-settings "$scratch/alarms.ini" "$scratch/dips.raw" \
    >"$scratch/publisher-$i.txt" 2>&1 &
  publishers+=($!)
  sleep 0.7
done
echo "$monitors monitors x $dips dips, ${seconds} s of device time each..."
for p in "${publishers[@]}"; do wait "$p"; done
sleep 1
kill -TERM "$ward"
wait "$ward" || true
starts=$(cat "$scratch"/publisher-*.txt | awk -F'\t' '$2 == "start"' | wc -l)
echo "alarm starts at the monitors: $starts"
cat "$scratch/stats.txt"
p99=$(awk '$1 == "alarm_latency_ms_p99" {print $2}' "$scratch/stats.txt")
echo "crossing to tile colour, p99: delay ${delay} s + at most 100 ms + ${p99} ms"
