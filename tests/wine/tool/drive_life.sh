#!/bin/sh
# tolvarctl.exe against the driver stand-in, for an architecture whose test
# programs cannot be built (ARM64 has no C run-time to link them against):
# a drive opened, queried, flushed and closed through the real DLL, each
# command's exit status and output compared whole.
#   drive_life.sh TOLVARCTL
# Runs in the layer's Wine session (run.sh), as one command, so that in the
# emulated guest it costs one connection. Messages go through printf: the
# paths' backslashes must reach the reader as they are.
set -eu
tool=$1
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../../testing/wine/run.sh
failures=0
out=$(mktemp "${TMPDIR:-/tmp}/tolvar-drive-life.XXXXXX")
trap 'rm -f "$out"' EXIT

# expect STATUS EXPECTED-OUTPUT ARGS...: one run of the tool.
expect() {
    expected_status=$1 expected=$2
    shift 2
    status=0
    "$run" "$tool" "$@" >"$out" 2>&1 || status=$?
    said=$(tr -d '\r' <"$out")
    if [ "$status" != "$expected_status" ] || [ "$said" != "$expected" ]; then
        printf 'FAIL: tolvarctl %s: exit %s (expected %s); it said:\n' "$*" "$status" "$expected_status"
        printf '%s\n' "$said" | sed 's/^/    | /'
        echo "  expected:"
        printf '%s\n' "$expected" | sed 's/^/    | /'
        failures=$((failures + 1))
    else
        printf 'ok: tolvarctl %s\n' "$*"
    fi
}

expect 0 'drive 2 opened on C:\tolvar-arm64\data.img' open 2 --data 'C:\tolvar-arm64\data.img'
expect 0 'drive 2 flushed' flush 2
# The record's first lines: what the drive was opened with, as the driver
# keeps it; the device details that follow are the stand-in's own.
status=0
"$run" "$tool" query 2 >"$out" 2>&1 || status=$?
said=$(tr -d '\r' <"$out" | sed -n 1,4p)
expected='drive 2 (\\.\TOLVARVX2)
  letter:          (none)
  mode:            normal (0)
  data file:       C:\tolvar-arm64\data.img'
if [ "$status" != 0 ] || [ "$said" != "$expected" ]; then
    echo "FAIL: tolvarctl query 2: exit $status; it said:"
    tr -d '\r' <"$out" | sed 's/^/    | /'
    echo "  expected it to begin:"
    printf '%s\n' "$expected" | sed 's/^/    | /'
    failures=$((failures + 1))
else
    echo "ok: tolvarctl query 2"
fi
expect 0 'drive 2 closed' close 2
echo "$failures failure(s)"
[ "$failures" = 0 ]
