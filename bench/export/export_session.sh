#!/usr/bin/env bash
# What an export costs: velt-process over a protocol-2 stream of --hours (1) of
# simulated device time, as a raw stream and as a capture (one recorded chunk per
# 20 ms record), without an export (the pipeline alone), to EDF+ and to CSV. Prints
# the CPU time (user + system) and wall time of each run, the export's share over the
# plain run, and the output sizes. Then the same capture through a review window's
# File > Export.. (review_export_run, offscreen, logs off) beside velt-process on it,
# and whether their files are the same bytes. Run it on a quiet machine; the CPU
# times are what to compare (the wall times include the disk).
#
#   bench/export/export_session.sh [--hours H] [--bin DIR] [--runs N] [--keep]
set -euo pipefail
cd "$(dirname "$0")/../.."

hours=1
bin=build/default/bin
runs=3
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --hours) hours="$2"; shift ;;
    --bin) bin="$2"; shift ;;
    --runs) runs="$2"; shift ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [--hours H] [--bin DIR] [--runs N] [--keep]" >&2; exit 2 ;;
  esac
  shift
done
work=$(mktemp -d)
[ "$keep" -eq 1 ] && echo "scratch: $work" || trap 'rm -rf "$work"' EXIT

seconds=$(python3 -c "print(int(float('$hours') * 3600))")
"$bin/oximeter-sim" --protocol 2 --seconds "$seconds" --seed 7 --output "$work/s.raw" >/dev/null
# The same bytes as a capture: one DeviceBytes record per frame, 20 ms apart.
python3 - "$work/s.raw" "$work/s.vcap" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
marks = [i for i, b in enumerate(data) if b == 0xFF]
out = bytearray(b"VELT-CAP" + struct.pack("<HHB3xq", 1, 24, 2, 1796853127000))
for n, (a, b) in enumerate(zip(marks, marks[1:] + [len(data)])):
    out += struct.pack("<BIH", 1, 20 * n, b - a) + data[a:b]
open(sys.argv[2], "wb").write(out)
PY

measure() {  # label, velt-process arguments...; the best of $runs runs
  local label=$1 best_cpu="" best_wall=""
  shift
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%U %S %e" -o "$work/time" "$bin/velt-process" --log-dir "$work" \
      --debug-out /dev/null "$@" >/dev/null
    read -r user sys wall <"$work/time"
    cpu=$(python3 -c "print(round($user + $sys, 2))")
    if [ -z "$best_cpu" ] || python3 -c "import sys; sys.exit(0 if $cpu < $best_cpu else 1)"; then
      best_cpu=$cpu best_wall=$wall
    fi
  done
  printf "%-34s cpu %6.2f s   wall %6.2f s\n" "$label" "$best_cpu" "$best_wall"
}

echo "velt-process, $hours h of protocol 2 ($(stat -c %s "$work/s.raw") bytes), best of $runs"
for form in raw capture; do
  if [ "$form" = raw ]; then in=(--protocol 2 "$work/s.raw") start=(--start 2026-12-09T10:00:00)
  else in=(--capture "$work/s.vcap") start=(); fi
  measure "$form: pipeline alone" "${in[@]}"
  measure "$form: --edf" "${in[@]}" "${start[@]}" --edf "$work/$form.edf"
  measure "$form: --csv" "${in[@]}" "${start[@]}" --csv "$work/$form.csv"
done
printf "sizes: EDF+ %s bytes, CSV %s bytes\n" "$(stat -c %s "$work/raw.edf")" \
  "$(stat -c %s "$work/raw.csv")"

gui=build/default/bench/export/review_export_run
[ "$bin" != build/default/bin ] && gui="$bin/../bench/export/review_export_run"
if [ -x "$gui" ]; then
  echo "Export.. in a review window against velt-process, the same capture"
  for format in edf csv; do
    "$bin/velt-process" --debug-out /dev/null --log-dir "$work" --capture "$work/s.vcap" \
      "--$format" "$work/cli.$format" >/dev/null
    best=""
    for _ in $(seq "$runs"); do
      line=$("$gui" "$work/s.vcap" "$format" "$work/gui.$format" 2>/dev/null)
      cpu=${line##* }
      if [ -z "$best" ] || python3 -c "import sys; sys.exit(0 if $cpu < ${best##* } else 1)"; then
        best=$line
      fi
    done
    same=$(cmp -s "$work/cli.$format" "$work/gui.$format" && echo "same bytes" || echo "DIFFERENT")
    read -r _ wall _ cpu <<<"$best"
    printf "%-34s cpu %6.2f s   wall %6.2f s   (%s as velt-process)\n" \
      "review Export.. $format" "$cpu" "$wall" "$same"
  done
fi
