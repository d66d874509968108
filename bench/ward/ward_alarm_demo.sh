#!/usr/bin/env bash
# The ward in alarm, for the README: five headless monitors (velt-process --publish
# --pace on the simulator's scenarios) through mosquitto on loopback into one velt-ward
# under Xvfb, tiles in alarm first: a desaturation (high), SpO2 low (medium), a pulse
# without alarm, a sensor off the finger (low), and a monitor killed (the ward's own
# offline alarm). Saves a screenshot of the ward: of twenty taken 120 ms apart, the one
# with most of the alarms' red and yellow (their flashes are lit half the time).
#   bench/ward/ward_alarm_demo.sh [OUT.png] [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/../.."
out="${1:-build/ward-alarm-demo.png}"
seconds=26
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
url="mqtt://127.0.0.1:$port"
mosquitto -p "$port" >"$scratch/broker.txt" 2>&1 &
pids+=($!)
# The ward from a copy, so that its settings (tiles in alarm first) stay in the scratch.
mkdir -p "$scratch/ward/configuration"
cp "$bin/velt-ward" "$scratch/ward/"
printf '[ward]\r\nalarms_first=1\r\n' >"$scratch/ward/configuration/velt-ward.ini"
scenario() { printf '%b' "$2" >"$scratch/$1.scn"; }
scenario bed-1 '0 spo2=97 bpm=88\n2 spo2=79 bpm=112 ramp=4\n'
scenario bed-2 '0 spo2=96 bpm=64\n2 spo2=87 ramp=2\n'
scenario bed-3 '0 spo2=98 bpm=71\n'
scenario bed-4 '0 spo2=95 bpm=80\n'
scenario bed-5 '0 spo2=97 bpm=76\n1 status=finger\n'
for n in 1 2 3 4 5; do
  "$bin/oximeter-sim" --protocol 1 --scenario "$scratch/bed-$n.scn" --seed "$n" \
    --output "$scratch/COM$n" --seconds 120 >/dev/null
done

cat >"$scratch/session.sh" <<'EOS'
#!/usr/bin/env bash
scratch="$1" bin="$2" url="$3" seconds="$4" out="$5"
command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & }
"$scratch/ward/velt-ward" --broker "$url" -geometry 1200x760+0+0 & w=$!
sleep 1
for n in 1 2 3 4 5; do
  "$bin/velt-process" --log-dir "$scratch" --publish "$url" --monitor "bed-$n" --pace \
    --waveform "$scratch/COM$n" >/dev/null 2>&1 &
  eval "p$n=\$!"
done
sleep 4
kill -KILL "$p4"  # bed-4 dies: its last will
sleep "$seconds"
best=0
shots=$(seq 20)
for i in $shots; do
  import -window root "$scratch/shot-$i.png"
  sleep 0.12
done
share() { convert "$1" -fill black +opaque "$2" -format "%[fx:mean]" info:; }
for i in $shots; do
  lit=$(awk -v a="$(share "$scratch/shot-$i.png" "rgb(255,230,0)")" \
    -v b="$(share "$scratch/shot-$i.png" "rgb(255,40,40)")" 'BEGIN { print a + b }')
  if awk -v a="$lit" -v b="$best" 'BEGIN { exit !(a > b) }'; then best=$lit; cp "$scratch/shot-$i.png" "$out"; fi
done
kill $w $p1 $p2 $p3 $p5 2>/dev/null; wait 2>/dev/null
exit 0
EOS
chmod +x "$scratch/session.sh"
rm -f "$out"
# xvfb-run's status is that of the killed programs: the screenshot tells.
xvfb-run -a -s "-screen 0 1200x760x24" "$scratch/session.sh" "$scratch" "$bin" "$url" "$seconds" \
  "$(realpath -m "$out")" || true
[ -s "$out" ] || { echo "no screenshot made" >&2; exit 1; }
echo "Screenshot: $out"
