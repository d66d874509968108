#!/bin/sh
# A night as the program records it, reported and exported through velt-process: a
# 12-hour protocol-2 connection in hourly session files written by oximeter-sim
# (SpO2 96 % with an 8 % dip of 40 s every 10 minutes and a 4 % dip of 20 s every 25),
# then, from one of its middle files, the report (PDF and JSON) and the whole EDF+ and
# CSV export, each timed. The overview and seeks: review_bench --benchmark_filter=Night.
#   bench/review/night.sh BIN_DIR [WORK_DIR]
set -eu
bin=${1:?usage: night.sh BIN_DIR [WORK_DIR]}
work=${2:-${TMPDIR:-/tmp}/velt-night}
mkdir -p "$work/files"
if [ ! -f "$work/night.scenario" ] || [ -z "$(ls "$work/files")" ]; then
    python3 - "$work/night.scenario" <<'PY'
import sys
steps = []
for m in range(0, 720, 10):
    steps += [(m * 60 + 300, "spo2=88 ramp=10"), (m * 60 + 340, "spo2=96 ramp=10")]
for m in range(0, 720, 25):
    steps += [(m * 60 + 60, "spo2=92 ramp=5"), (m * 60 + 80, "spo2=96 ramp=5")]
with open(sys.argv[1], "w") as f:
    f.write("0 spo2=96 bpm=62\n")
    for t, v in sorted(steps):
        f.write(f"{t} {v}\n")
PY
    start=$(date +%s.%N)
    "$bin/oximeter-sim" --session "$work/files" --protocol 2 --seconds 43200 \
        --scenario "$work/night.scenario" >/dev/null
    echo "written: $(echo "$(date +%s.%N) - $start" | bc) s, $(du -sh "$work/files" | cut -f1)"
fi
middle=$(ls "$work/files"/*.vcap | sed -n 6p)
timed() {
    what=$1
    shift
    /usr/bin/time -f "$what: %e s (processor %U s + %S s), %M KB" -o "$work/time" \
        "$bin/velt-process" --capture "$middle" "$@" >/dev/null 2>"$work/stderr" || {
        cat "$work/stderr"
        exit 1
    }
    cat "$work/time"
}
timed "report (PDF and JSON)" --report "$work/night.pdf" --report-json "$work/night.json"
timed "EDF+ and CSV export" --edf "$work/night.edf" --csv "$work/night.csv"
python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); d.pop("events"); print(d)' \
    "$work/night.json"
