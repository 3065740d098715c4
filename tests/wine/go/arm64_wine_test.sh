#!/bin/sh
# arm64.wine.go: the Go package's tests under Debian 12's ARM64 Wine 8.0,
# which starts no Go program.
#
# ARM64 Windows keeps a thread's TEB in x18 for the thread's whole life, and
# Go's windows/arm64 runtime reads it there after every system call (the
# last error, at TEB offset 0x68). This Wine's DLLs are Linux ELF code, for
# which x18 is a scratch register: seen with WINEDEBUG=+seh, the runtime's
# first system call, LoadLibraryA("kernel32.dll") in runtime.osinit,
# returns with x18 = 0, and the next instruction in runtime.asmstdcall
# faults reading address 0x68. So no test of the package runs. (The C
# programs are not touched by it: clang's code for them never reads x18.)
#
# The test states exactly that: the program writes nothing to its output,
# its first exception is an access violation inside runtime.asmstdcall, and
# it exits with status 1. A Wine that keeps x18 fails here, and the tests
# then run as on x64 (CMakeLists.txt).
#   arm64_wine_test.sh tolvarsdk_go.test.exe   (`go tool nm -n` of it in .nm)
set -u
program=${1:?usage: arm64_wine_test.sh tolvarsdk_go.test.exe}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAILED: $1"
    failures=$((failures + 1))
}

# Where runtime.asmstdcall lies: from its symbol to the next one.
range=$(awk '$3 == "runtime.asmstdcall.abi0" { start = $1; next }
             start != "" { print start, $1; exit }' "$program.nm")
[ -n "$range" ] || fail "no runtime.asmstdcall.abi0 in $program.nm"

status=0
WINEDEBUG=-all,warn+seh "$(dirname "$0")/../../../testing/wine/run.sh" "$program" -test.v \
    >"$scratch/out" 2>"$scratch/err" || status=$?
echo "exit status $status; standard output:"
sed 's/^/    | /' "$scratch/out"
echo "standard error, first lines:"
head -n 8 "$scratch/err" | sed 's/^/    | /'

[ "$status" = 1 ] || fail "the exit status is $status, not 1"
[ -s "$scratch/out" ] && fail "the program wrote to its output: it started"
first=$(grep -m1 'exception (code=' "$scratch/err")
case $first in
*"EXCEPTION_ACCESS_VIOLATION exception (code=c0000005) raised"*) ;;
*) fail "the first exception is not an access violation: ${first:-none}" ;;
esac
# The unwinder names where it stood: "... for <address>, LR ...".
at=$(sed -n 's/.*exception data not found in .* for \([0-9A-Fa-f]*\), LR.*/\1/p' "$scratch/err" | head -n 1)
if [ -n "$range" ] && [ -n "$at" ]; then
    set -- $range
    if [ $((0x$at)) -lt $((0x$1)) ] || [ $((0x$at)) -ge $((0x$2)) ]; then
        fail "the fault at $at is not inside runtime.asmstdcall ($1 to $2)"
    fi
else
    fail "no faulting address in Wine's exception report"
fi
echo "arm64.wine.go: $failures failed"
[ "$failures" -eq 0 ]
