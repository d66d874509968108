#!/usr/bin/env bash
# What one measurement record costs the whole running program: the simulated device
# (protocol 2, 50 records a second) feeds velt-monitoring under Xvfb.
#   1. Under callgrind, counting switched on after start-up: instructions per record.
#   2. A plain run in --parts parts (6): the program's CPU share and task switches per
#      record in each part, from the scheduler's counts of every thread; then each
#      thread's own share over the whole run (threads that ran at all). Then the
#      floor under that share: bin/wake_floor's bare threads waking as often as the
#      program's threads did, measured the same way right after (no work, only wake-ups).
#   3. With --syscalls, a run under strace: system calls per record, of all threads
#      and of the receive thread alone.
# Records are counted as lines of the program's fTxtLog.txt (one per record).
#
#   bench/gui/per_record.sh [--seconds N] [--parts N] [--bin DIR] [--skip-callgrind]
#                           [--skip-cpu] [--syscalls] [--annotate N] [--keep] [--publish]
#                           [--recording on|off]
#
# --publish also publishes to a broker of its own (mosquitto on loopback) with the
# plethysmogram, so that the difference to a run without is what publishing costs.
# --recording off runs the program with [recording] enabled=0 (no session file); on,
# the default, records as a fresh installation does.
# --annotate N lists the N most expensive functions (inclusive) of the callgrind run.
# --keep leaves the scratch directory (callgrind output, logs) and prints its path.
# Instruction counts and task switches are what to compare between runs; the CPU
# share depends on the machine and on what else runs on it (a task switch costs a
# virtual machine far more when its host is busy).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=30
parts=6
bin=build/default/bin
do_callgrind=1
do_cpu=1
do_syscalls=0
annotate=0
keep=0
publish=0
recording=on
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift ;;
    --parts) parts="$2"; shift ;;
    --bin) bin="$2"; shift ;;
    --skip-callgrind) do_callgrind=0 ;;
    --skip-cpu) do_cpu=0 ;;
    --syscalls) do_syscalls=1 ;;
    --annotate) annotate="$2"; shift ;;
    --keep) keep=1 ;;
    --publish) publish=1 ;;
    --recording) recording="$2"; shift ;;
    *) echo "usage: $0 [--seconds N] [--parts N] [--bin DIR] [--skip-callgrind] [--skip-cpu] [--syscalls] [--annotate N] [--keep] [--publish] [--recording on|off]" >&2
       exit 2 ;;
  esac
  shift
done
for tool in "$bin/velt-monitoring" "$bin/oximeter-sim"; do
  [ -x "$tool" ] || { echo "missing $tool (build the default preset first)" >&2; exit 1; }
done
for cmd in xvfb-run valgrind callgrind_control; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd" >&2; exit 1; }
done

scratch="$(mktemp -d)"
sim_pid=""
broker_pid=""
cleanup() {
  [ -n "$broker_pid" ] && kill "$broker_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && wait "$sim_pid" 2>/dev/null || true
  if [ "$keep" = 1 ]; then echo "scratch: $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT

# A program directory of its own, so the measurement's settings (protocol 2, no
# heartbeat sound) leave the build's configuration alone.
prog="$scratch/bin"
mkdir -p "$prog/configuration/dosdevices" "$scratch/work"
cp "$bin/velt-monitoring" "$prog/"
printf '[connection]\r\nport=COM1\r\nprotocol=2\r\n[sound]\r\nheartbeat=0\r\n' \
  >"$prog/configuration/VELTMonitoring.ini"
if [ "$publish" = 1 ]; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mosquitto -p "$port" >"$scratch/broker.txt" 2>&1 &   # loopback only without a configuration
  broker_pid=$!
  printf '[publish]\r\nenabled=1\r\nbroker=mqtt://127.0.0.1:%s\r\nmonitor=bench\r\nwaveform=1\r\n' \
    "$port" >>"$prog/configuration/VELTMonitoring.ini"
fi
[ "$recording" = off ] && printf '[recording]\r\nenabled=0\r\n' >>"$prog/configuration/VELTMonitoring.ini"
"$bin/oximeter-sim" --protocol 2 --map "$prog/configuration/dosdevices/com1" \
  >"$scratch/sim.txt" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$prog/configuration/dosdevices/com1" ] && break; sleep 0.1; done

# The session script, run inside xvfb-run: mode callgrind or cpu.
cat >"$scratch/session.sh" <<'EOF'
#!/usr/bin/env bash
set -u
mode="$1" seconds="$2" prog="$3" scratch="$4" parts="$5"
# On the X server xvfb-run started, whatever platform the caller's shell names.
export QT_QPA_PLATFORM=xcb
log="$scratch/work/fTxtLog.txt"
records() { [ -f "$log" ] && wc -l <"$log" || echo 0; }
command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & }
cd "$scratch/work"
rm -f fTxtLog*.txt
if [ "$mode" = callgrind ]; then
  valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$scratch/callgrind.out" \
    "$prog/velt-monitoring" >"$scratch/callgrind-stdout.txt" 2>"$scratch/callgrind-stderr.txt" &
else
  "$prog/velt-monitoring" >/dev/null 2>"$scratch/cpu-stderr.txt" &
fi
app=$!
# Start-up is over when records arrive steadily.
for _ in $(seq 600); do [ "$(records)" -gt 100 ] && break; sleep 0.2; done
sleep 2
if [ "$(records)" -le 100 ]; then echo "no records arrived" >&2; kill $app; exit 1; fi
if [ "$mode" = callgrind ]; then
  callgrind_control -i on $app >/dev/null
  r0=$(records); sleep "$seconds"; r1=$(records)
  callgrind_control -d $app >/dev/null
  echo "records $((r1 - r0))"
elif [ "$mode" = syscalls ]; then
  # Every thread's calls, each thread's in a file of its own (-ff): the receive thread
  # is the one that reads the port.
  strace -f -ff -qq -o "$scratch/strace" -p $app 2>/dev/null &
  tracer=$!
  sleep 1
  r0=$(records); sleep "$seconds"; r1=$(records)
  kill -INT $tracer; wait $tracer 2>/dev/null
  echo "records $((r1 - r0))"
else
  # Run time and task switches of every thread, exact, from the scheduler's counts.
  sched() { cat /proc/$app/task/*/schedstat 2>/dev/null | awk '{ns += $1; n += $3} END {printf "%.0f %.0f\n", ns, n}'; }
  slice=$(( seconds / parts )); [ "$slice" -ge 1 ] || slice=1
  # Each thread's own counts over the whole run as well: tid, name, run time, switches,
  # and of those the ones it went to sleep for itself (its wake-ups; the rest are
  # preemptions, which follow the machine's load rather than the program), and its time
  # in the kernel (clock ticks).
  threads() { for t in /proc/$app/task/*; do
      printf '%s %s %s %s %s\n' "${t##*/}" "$(tr ' ' _ <"$t/comm")" "$(cut -d' ' -f1,3 "$t/schedstat")" \
        "$(sed -n 's/^voluntary_ctxt_switches:[[:space:]]*//p' "$t/status")" \
        "$(sed 's/.*) //' "$t/stat" | cut -d' ' -f13)"
    done 2>/dev/null | sort; }
  threads >"$scratch/threads0"; t_start=$(date +%s.%N); r_start=$(records)
  for _ in $(seq "$parts"); do
    t0=$(date +%s.%N); read -r ns0 n0 <<<"$(sched)"; r0=$(records)
    sleep "$slice"
    t1=$(date +%s.%N); read -r ns1 n1 <<<"$(sched)"; r1=$(records)
    awk -v ns="$((ns1 - ns0))" -v n="$((n1 - n0))" -v r="$((r1 - r0))" -v a="$t0" -v b="$t1" \
      'BEGIN { printf "interval %d %.2f %.2f\n", r, ns / 1e7 / (b - a), (r > 0 ? n / r : 0) }'
  done
  threads >"$scratch/threads1"; t_end=$(date +%s.%N); r_end=$(records)
  awk -v r="$((r_end - r_start))" -v a="$t_start" -v b="$t_end" 'BEGIN { printf "rate %.2f\n", r / (b - a) }'
  join "$scratch/threads0" "$scratch/threads1" |
    awk -v app="$app" -v r="$((r_end - r_start))" -v a="$t_start" -v b="$t_end" -v hz="$(getconf CLK_TCK)" \
      '$8 - $3 > 0 { printf "thread %d %s%s %.2f %.2f %.2f %.2f\n", $1, $2, ($1 == app ? "(GUI)" : ""),
                                ($8 - $3) / 1e7 / (b - a), (r > 0 ? ($9 - $4) / r : 0),
                                (r > 0 ? ($10 - $5) / r : 0), ($11 - $6) * 100 / hz / (b - a) }'
fi
kill $app 2>/dev/null; wait $app 2>/dev/null
exit 0
EOF
chmod +x "$scratch/session.sh"

run_session() {
  xvfb-run -a -s "-screen 0 1280x800x24" "$scratch/session.sh" "$1" "$seconds" "$prog" "$scratch" "$parts"
}

if [ "$do_callgrind" = 1 ]; then
  out="$(run_session callgrind)"
  records=$(sed -n 's/^records //p' <<<"$out")
  dump=$(ls "$scratch"/callgrind.out.* 2>/dev/null | head -1)
  [ -n "$dump" ] || { echo "callgrind wrote no dump" >&2; exit 1; }
  instructions=$(sed -n 's/^summary: //p; s/^totals: //p' "$dump" | head -1 | awk '{print $1}')
  echo "callgrind: $records records in ${seconds} s, $instructions instructions"
  awk -v i="$instructions" -v r="$records" \
    'BEGIN { if (r > 0) printf "instructions per record: %.0f\n", i / r }'
  if [ "$annotate" -gt 0 ] && command -v callgrind_annotate >/dev/null; then
    callgrind_annotate --inclusive=yes "$dump" 2>/dev/null |
      sed -n '/^Ir/,$p' | sed -n "1,$((annotate + 2))p"
  fi
fi
if [ "$do_syscalls" = 1 ]; then
  command -v strace >/dev/null || { echo "missing strace" >&2; exit 1; }
  out="$(run_session syscalls)"
  records=$(sed -n 's/^records //p' <<<"$out")
  total=$(cat "$scratch"/strace.* | grep -vc -e '^+++' -e '^---' -e 'resumed>')
  receive=0
  for f in "$scratch"/strace.*; do
    # The receive thread is the one that reads the port after waiting on it.
    if grep -q -e '^ppoll' "$f" && grep -q -e '^epoll_wait' "$f"; then
      receive=$(grep -vc -e '^+++' -e '^---' -e 'resumed>' "$f")
    fi
  done
  awk -v t="$total" -v rx="$receive" -v r="$records" -v s="$seconds" \
    'BEGIN { if (r > 0) printf "system calls: %d records in %d s, %.1f per record (all threads), %.1f per record (receive thread)\n", r, s, t / r, rx / r }'
fi
if [ "$do_cpu" = 1 ]; then
  out="$(run_session cpu)"
  # The host's load changes from second to second, on virtual machines by several
  # times: the quietest part shows what the program costs, the median what it met.
  parts_out="$(sed -n 's/^interval //p' <<<"$out")"
  [ -n "$parts_out" ] || { echo "the plain run measured nothing" >&2; exit 1; }
  awk '{ r += $1; printf "  part %d: %d records, CPU %.2f %%, %.2f task switches per record\n", NR, $1, $2, $3 }
       END { printf "plain run: %d records in %d s", r, NR * '"$(( seconds / parts > 0 ? seconds / parts : 1 ))"' }' \
    <<<"$parts_out"
  cut -d' ' -f2 <<<"$parts_out" | sort -g |
    awk '{ v[NR] = $1 } END { printf ", CPU share %.2f %% of one core in the quietest part, %.2f %% median\n", v[1], v[int((NR + 1) / 2)] }'
  sed -n 's/^thread //p' <<<"$out" |
    awk '{ printf "  thread %d %s: CPU %.2f %% (%.2f %% in the kernel), %.2f task switches per record (%.2f wake-ups)\n", $1, $2, $3, $6, $4, $5 }'
  # The floor: each thread's wake-ups a second, as bare wake-ups and nothing else.
  rate=$(sed -n 's/^rate //p' <<<"$out")
  rates=$(sed -n 's/^thread //p' <<<"$out" | awk -v rps="$rate" '$5 * rps >= 0.5 { printf "%.2f ", $5 * rps }')
  if [ -x "$bin/wake_floor" ] && [ -n "$rates" ]; then
    # shellcheck disable=SC2086
    "$bin/wake_floor" $rates &
    floor_pid=$!
    sleep 1
    slice=$(( seconds / parts > 0 ? seconds / parts : 1 ))
    for _ in $(seq "$parts"); do
      ns0=$(awk '{ s += $1 } END { printf "%.0f", s }' /proc/$floor_pid/task/*/schedstat); t0=$(date +%s.%N)
      sleep "$slice"
      ns1=$(awk '{ s += $1 } END { printf "%.0f", s }' /proc/$floor_pid/task/*/schedstat); t1=$(date +%s.%N)
      awk -v ns="$((ns1 - ns0))" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f\n", ns / 1e7 / (b - a) }'
    done | sort -g | awk -v r="$rates" '{ v[NR] = $1 } END {
      printf "floor: bare wake-ups at the same rates (%s a second): CPU %.2f %% median, %.2f %% in the quietest part\n", r, v[int((NR + 1) / 2)], v[1] }'
    kill "$floor_pid"; wait "$floor_pid" 2>/dev/null || true
  fi
  echo "(load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores)"
fi
