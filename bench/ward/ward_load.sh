#!/usr/bin/env bash
# The ward under load, on this machine, through one mosquitto on loopback:
#   1. --publishers N (100) headless publishers (velt-process --publish --pace
#      --waveform on the simulator's stream) into velt-ward under Xvfb: the ward's and
#      the broker's CPU share, and the publish-to-repaint latency (p50, p99, max) of the
#      tiles, from velt-ward --stats.
#   2. --monitors M (1000) monitors from the light load generator (values once a
#      second, plethysmogram four times a second): the same figures.
#   bench/ward/ward_load.sh [--seconds S] [--publishers N] [--monitors M] [--bin DIR]
#                           [--skip-publishers] [--skip-monitors]
# CPU shares are of one core, from the processes' scheduler times over the measured
# interval (after a warm-up); on a machine shared with other work they vary.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=30
publishers=100
monitors=1000
bin=build/default/bin
do_publishers=1
do_monitors=1
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift ;;
    --publishers) publishers="$2"; shift ;;
    --monitors) monitors="$2"; shift ;;
    --bin) bin="$2"; shift ;;
    --skip-publishers) do_publishers=0 ;;
    --skip-monitors) do_monitors=0 ;;
    *) echo "usage: $0 [--seconds S] [--publishers N] [--monitors M] [--bin DIR] [--skip-publishers] [--skip-monitors]" >&2; exit 2 ;;
  esac
  shift
done
loadgen=build/default/bench/ward/ward_loadgen
for tool in "$bin/velt-ward" "$bin/velt-process" "$bin/oximeter-sim" "$loadgen"; do
  [ -x "$tool" ] || { echo "missing $tool (build the default preset first)" >&2; exit 1; }
done
scratch="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
hz=$(getconf CLK_TCK)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
url="mqtt://127.0.0.1:$port"

# One measured session inside xvfb-run: the ward, a warm-up, the interval, the stats.
cat >"$scratch/session.sh" <<'EOS'
#!/usr/bin/env bash
set -u
bin="$1" url="$2" scratch="$3" seconds="$4" broker="$5" hz="$6"
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
"$bin/velt-ward" --broker "$url" --stats "$scratch/stats.txt" >"$scratch/ward.txt" 2>&1 &
ward=$!
touch "$scratch/ward-started"
sleep 5
kill -USR1 $ward   # the warm-up (tiles appearing) does not count
w0=$(ticks $ward); b0=$(ticks $broker); t0=$(date +%s.%N)
sleep "$seconds"
w1=$(ticks $ward); b1=$(ticks $broker); t1=$(date +%s.%N)
awk -v w=$((w1 - w0)) -v b=$((b1 - b0)) -v a="$t0" -v c="$t1" -v hz="$hz" \
  'BEGIN { printf "ward CPU %.1f %% of one core, broker CPU %.1f %%\n", 100 * w / hz / (c - a), 100 * b / hz / (c - a) }'
kill $ward; wait $ward
cat "$scratch/stats.txt"
EOS
chmod +x "$scratch/session.sh"

# Loopback only, no login, small messages sent at once.
printf 'listener %s 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\npersistence false\n' \
  "$port" >"$scratch/mosquitto.conf"
start_broker() {
  mosquitto -c "$scratch/mosquitto.conf" >"$scratch/broker.txt" 2>&1 &
  broker=$!
  pids+=("$broker")
  sleep 0.5
}
start_broker

report() {  # the stats file's figures on one line
  awk '/^messages/ {m=$2} /^monitors/ {n=$2} /^repaints/ {r=$2} /p50/ {p50=$2} /p99/ {p99=$2} /max/ {mx=$2}
       END { printf "  %d monitors, %d messages, %d tile repaints with new values; publish-to-repaint p50 %d ms, p99 %d ms, max %d ms\n", n, m, r, p50, p99, mx }'
}

if [ "$do_publishers" = 1 ]; then
  "$bin/oximeter-sim" --protocol 1 --seconds $((seconds + 20)) --seed 3 --output "$scratch/bed.raw" >/dev/null
  echo "== $publishers headless publishers (velt-process --publish --pace --waveform), $seconds s"
  xvfb-run -a -s "-screen 0 1920x1080x24" "$scratch/session.sh" "$bin" "$url" "$scratch" "$seconds" "$broker" "$hz" \
    >"$scratch/session1.txt" 2>&1 &
  session=$!
  for _ in $(seq 100); do [ -e "$scratch/ward-started" ] && break; sleep 0.1; done
  procs=()
  for i in $(seq "$publishers"); do
    "$bin/velt-process" --log-dir "$scratch" --publish "$url" --monitor "$(printf 'bed-%03d' "$i")" \
      --pace --waveform "$scratch/bed.raw" >/dev/null 2>&1 &
    procs+=($!); pids+=($!)
  done
  wait "$session" || true
  p_total=0
  for p in "${procs[@]}"; do kill "$p" 2>/dev/null || true; done
  grep "CPU" "$scratch/session1.txt"
  report <"$scratch/session1.txt"
  rm -f "$scratch/ward-started" "$scratch/stats.txt"
fi

if [ "$do_monitors" = 1 ]; then
  # A fresh broker: no retained state of the publishers above.
  kill "$broker"; wait "$broker" 2>/dev/null || true
  start_broker
  echo "== $monitors monitors from the load generator (values 1/s, plethysmogram 4/s), $seconds s"
  xvfb-run -a -s "-screen 0 1920x1080x24" "$scratch/session.sh" "$bin" "$url" "$scratch" "$seconds" "$broker" "$hz" \
    >"$scratch/session2.txt" 2>&1 &
  session=$!
  for _ in $(seq 100); do [ -e "$scratch/ward-started" ] && break; sleep 0.1; done
  "$loadgen" "$url" "$monitors" $((seconds + 10)) --pleth >"$scratch/loadgen.txt" 2>&1 &
  gen=$!; pids+=("$gen")
  wait "$session" || true
  kill "$gen" 2>/dev/null || true
  grep "CPU" "$scratch/session2.txt"
  report <"$scratch/session2.txt"
fi
echo "(load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores)"
