#!/usr/bin/env bash
# Two monitors on simulated devices and one ward, all on this machine through a real
# broker (mosquitto on loopback), under Xvfb; saves a screenshot of the screen.
#   bench/ward/two_monitors_demo.sh [OUT.png] [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/../.."
out="${1:-build/ward-demo.png}"
seconds=20
[ "${2:-}" = --seconds ] && seconds="$3"
bin="$PWD/build/default/bin"
scratch="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mosquitto -p "$port" >"$scratch/broker.txt" 2>&1 &
pids+=($!)
for n in 1 2; do
  prog="$scratch/bed-$n"
  mkdir -p "$prog/configuration/dosdevices" "$prog/work"
  cp "$bin/velt-monitoring" "$prog/"
  printf '[connection]\r\nport=COM1\r\nprotocol=1\r\n[sound]\r\nheartbeat=0\r\n[publish]\r\nenabled=1\r\nbroker=mqtt://127.0.0.1:%s\r\nmonitor=bed-%s\r\nwaveform=1\r\n' \
    "$port" "$n" >"$prog/configuration/VELTMonitoring.ini"
  status=ok; [ "$n" = 2 ] && status=finger
  "$bin/oximeter-sim" --protocol 1 --bpm $((60 + 25 * n)) --spo2 $((99 - 3 * n)) --status "$status" \
    --map "$prog/configuration/dosdevices/com1" >"$scratch/sim-$n.txt" 2>&1 &
  pids+=($!)
done
sleep 1
cat >"$scratch/session.sh" <<'EOS'
#!/usr/bin/env bash
scratch="$1" bin="$2" port="$3" seconds="$4" out="$5"
command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & }
(cd "$scratch/bed-1/work" && exec "$scratch/bed-1/velt-monitoring" -geometry 900x560+0+0) & a=$!
(cd "$scratch/bed-2/work" && exec "$scratch/bed-2/velt-monitoring" -geometry 900x560+0+600) & b=$!
"$bin/velt-ward" --broker "mqtt://127.0.0.1:$port" -geometry 1000x700+910+0 & w=$!
sleep "$seconds"
/usr/bin/python3 -c "import sys; from PIL import ImageGrab; ImageGrab.grab(xdisplay=None).save(sys.argv[1])" "$out"
kill $a $b $w 2>/dev/null; wait 2>/dev/null
EOS
chmod +x "$scratch/session.sh"
xvfb-run -a -s "-screen 0 1920x1180x24" "$scratch/session.sh" "$scratch" "$bin" "$port" "$seconds" "$PWD/$out"
echo "Screenshot: $out"
