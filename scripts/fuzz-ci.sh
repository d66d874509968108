#!/usr/bin/env bash
# Builds the fuzz preset (clang; coverage, AddressSanitizer and UBSan in every
# library) and runs every fuzz target for FUZZ_SECONDS (20) seconds on its
# committed corpus and dictionary. A finding
# fails the run and prints the input that caused it, in hex: commit that input to
# the target's corpus together with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
jobs=$(nproc)
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

start=$(date +%s)
cmake --preset fuzz -DVELT_BUILD_BENCH=OFF -DVELT_WERROR=$werror >/dev/null
cmake --build --preset fuzz -j "$jobs" --target velt_fuzzers
built=$(date +%s)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A quarantine of 8 MB still holds every block an input frees (well under 1 MB),
# so a use after free within an input is caught; the default 256 MB makes every
# allocation touch fresh pages and halves the speed of the targets that allocate.
export ASAN_OPTIONS=quarantine_size_mb=8:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# run_one NAME BINARY CORPUS [DICT]: new inputs go to a scratch directory, so the
# committed corpus only changes by hand.
run_one() {
  local name=$1 binary=$2 corpus=$3 dict=${4:-}
  local dir="$work/$name"
  mkdir -p "$dir/new"
  local args=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
              -artifact_prefix="$dir/")
  [ -n "$dict" ] && args+=(-dict="$dict")
  local rc=0
  "$binary" "${args[@]}" "$dir/new" "$corpus" >"$dir/log" 2>&1 || rc=$?
  echo "$rc" >"$dir/rc"
}

# The targets that run the program's heavier paths run alone: two fuzzers at once on a
# two-core machine take about a third off each one's rate. The light ones share the
# cores, two at a time on two cores.
alone=" link_receive_path_fuzz processing_interpret_fuzzer recordings_replay_fuzz profile_fuzz "
while read -r name binary corpus dict; do
  [ -n "$name" ] || continue
  case "$alone" in *" $name "*) run_one "$name" "$binary" "$corpus" "$dict" ;; esac
done <build/fuzz/fuzz-targets.txt
while read -r name binary corpus dict; do
  [ -n "$name" ] || continue
  case "$alone" in *" $name "*) continue ;; esac
  run_one "$name" "$binary" "$corpus" "$dict" &
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
done <build/fuzz/fuzz-targets.txt
wait

failed=0
while read -r name binary corpus dict; do
  [ -n "$name" ] || continue
  dir="$work/$name"
  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$dir/log")
  reach=$(grep -E '^#[0-9]+' "$dir/log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
  if [ "$(cat "$dir/rc")" = 0 ]; then
    rate=$(( ${execs:-0} / seconds ))
    note=""
    [ "$rate" -lt 10000 ] && note=" (below 10,000/s)"
    echo "fuzz $name: ${execs:-?} runs in ${seconds} s (${rate}/s)$note, $reach"
    continue
  fi
  failed=1
  echo "*** fuzz $name FAILED (exit $(cat "$dir/rc")):"
  # The report from its first line on, or the end of the output when there is none.
  report=$(sed -n '/==[0-9]*==.*ERROR\|runtime error\|Timeout\|out-of-memory/,$p' "$dir/log" | head -n 120)
  if [ -n "$report" ]; then echo "$report"; else tail -n 40 "$dir/log"; fi
  for input in "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* "$dir"/slow-unit-*; do
    [ -f "$input" ] || continue
    echo "*** input $(basename "$input") ($(stat -c %s "$input") bytes), for $corpus:"
    od -An -tx1 -v "$input"
  done
done <build/fuzz/fuzz-targets.txt
echo "fuzz step: build $((built - start)) s, fuzzing $(( $(date +%s) - built )) s"
exit "$failed"
