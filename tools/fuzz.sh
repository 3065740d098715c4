#!/bin/sh
# Fuzzes the library and the driver stand-in's core on the host: builds the
# libFuzzer targets with clang, AddressSanitizer and UBSan (in build/fuzz, or
# $TOLVAR_FUZZ_BUILD_DIR), runs each (or those $TOLVAR_FUZZ_TARGETS names)
# for the given number of seconds (default 20), or until it has run the
# given number of inputs if that comes first, starting from its seed corpus
# in tests/fuzz/corpus/<target>/, and prints how many inputs each ran in how
# long. Exits non-zero when a target found a fault; the input that shows it
# is kept as build/fuzz/findings/<target>-crash-<hash>.
#
#   tools/fuzz.sh                   # 20 s per target
#   tools/fuzz.sh 3600              # a long run: an hour per target
#   tools/fuzz.sh 1800 10000000     # 30 minutes or 10 million inputs, whichever comes first
#
# Inputs that reach new code collect in build/fuzz/corpus/<target>/ and are
# reused by the next run; the seeds in the repository stay as they are.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
runs=${2:-}  # no bound on the inputs unless given
build=${TOLVAR_FUZZ_BUILD_DIR:-$root/build/fuzz}
targets=${TOLVAR_FUZZ_TARGETS:-"open query_reload letters_handshake stand_in"}

# Optimised: the stand-in's string handling dominates an unoptimised run.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVAR_FUZZ=ON -DTOLVAR_SANITIZE=ON -DTOLVAR_WINDOWS=OFF \
  >/dev/null
for target in $targets; do
  cmake --build "$build" --target "${target}_fuzzer"
done

# The longest input each target reads (its header and its buffers).
max_len() {
  case $1 in
    open) echo 900 ;;
    query_reload) echo 2500 ;;
    letters_handshake) echo 100 ;;
    stand_in) echo 4096 ;;  # up to 64 requests, an open's 1048 bytes among them
  esac
}

mkdir -p "$build/findings"
# fuzz_target <target>: one bounded run; its summary line goes to
# findings/<target>.summary, and its status is the run's.
fuzz_target() {
  target=$1
  rm -f "$build/findings/$target.summary"
  corpus="$build/corpus/$target"
  log="$build/findings/$target.log"
  mkdir -p "$corpus"
  status=0
  started=$(date +%s)
  # No leak detection: the library has no heap, and the stand-in keeps its
  # journal and tables from one input to the next, which libFuzzer would
  # take for a leak and run every input twice to confirm.
  "$build/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" ${runs:+-runs="$runs"} \
    -max_len="$(max_len "$target")" -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" \
    "$corpus" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  elapsed=$(($(date +%s) - started))
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  if [ "$status" -ne 0 ]; then
    echo "$target: FOUND A FAULT after ${executed:-?} inputs (log: $log)" >"$build/findings/$target.summary"
    { echo "== $target: the end of its log"; tail -n 40 "$log"; } >&2
  else
    echo "$target: ${executed:-?} inputs in $elapsed s, nothing found ($coverage)" >"$build/findings/$target.summary"
  fi
  return "$status"
}

# One target per processor at a time: each run is single-threaded.
jobs=$(nproc)
failed=0
set -- $targets
while [ $# -gt 0 ]; do
  pids=""
  while [ $# -gt 0 ] && [ "$(echo $pids | wc -w)" -lt "$jobs" ]; do
    echo "== $1: $seconds s${runs:+ or $runs inputs}"
    fuzz_target "$1" &
    pids="$pids $!"
    shift
  done
  for pid in $pids; do
    wait "$pid" || failed=1
  done
done
echo
for target in $targets; do
  cat "$build/findings/$target.summary"
done
exit $failed
