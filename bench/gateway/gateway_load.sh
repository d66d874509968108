#!/usr/bin/env bash
# velt-gateway under load, on this machine: --monitors N (100) monitors of the ward's
# light load generator (values once a second) through one mosquitto on loopback, into
# the gateway with --interval SECONDS, and an engine that acknowledges every message.
# Prints the gateway's CPU share (of one core, from its scheduler times after a
# warm-up) and, from its --stats, the observations' delays from the values'
# publication to the engine's acknowledgement (p50, p99, max).
#   bench/gateway/gateway_load.sh [--interval S] [--seconds S] [--monitors N] [--bin DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
interval=60
seconds=130
monitors=100
bin=build/default/bin
while [ $# -gt 0 ]; do
  case "$1" in
    --interval) interval="$2"; shift ;;
    --seconds) seconds="$2"; shift ;;
    --monitors) monitors="$2"; shift ;;
    --bin) bin="$2"; shift ;;
    *) echo "usage: $0 [--interval S] [--seconds S] [--monitors N] [--bin DIR]" >&2; exit 2 ;;
  esac
  shift
done
loadgen=build/default/bench/ward/ward_loadgen
for tool in "$bin/velt-gateway" "$loadgen"; do
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
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
broker_port=$(free_port)
mllp_port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$broker_port" >"$scratch/mosquitto.conf"
mosquitto -c "$scratch/mosquitto.conf" 2>/dev/null &
pids+=($!)
python3 - "$mllp_port" <<'PY' &
import socket, sys
server = socket.create_server(("127.0.0.1", int(sys.argv[1])))
while True:
    conn, _ = server.accept()
    buf = b""
    while data := conn.recv(65536):
        buf += data
        while b"\x1c\r" in buf:
            frame, buf = buf.split(b"\x1c\r", 1)
            cid = frame.split(b"\r", 1)[0].split(b"|")[9]
            conn.sendall(b"\x0bMSH|^~\\&|E||||||ACK|1|P|2.6\rMSA|AA|" + cid + b"\x1c\r")
PY
pids+=($!)
sleep 0.5
"$loadgen" "mqtt://127.0.0.1:$broker_port" "$monitors" "$((seconds + 10))" &
pids+=($!)
"$bin/velt-gateway" --broker "mqtt://127.0.0.1:$broker_port" --mllp "127.0.0.1:$mllp_port" \
  --interval "$interval" --queue "$scratch/queue" --stats "$scratch/stats" 2>"$scratch/log" &
gateway=$!
pids+=($gateway)
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
sleep 5  # warm-up
t0=$(ticks "$gateway")
s0=$(date +%s.%N)
sleep "$seconds"
t1=$(ticks "$gateway")
s1=$(date +%s.%N)
kill -TERM "$gateway"
wait "$gateway" || true
hz=$(getconf CLK_TCK)
echo "monitors $monitors, interval $interval s, measured $seconds s"
awk -v t0="$t0" -v t1="$t1" -v s0="$s0" -v s1="$s1" -v hz="$hz" \
  'BEGIN { printf "gateway_cpu_percent %.2f\n", 100 * (t1 - t0) / hz / (s1 - s0) }'
cat "$scratch/stats"
