#!/bin/sh
# The cost of a call: builds bench.exe, runs it under a Wine session of its
# own against the driver stand-in, and prints the table with the DLL's size,
# its imports and (x86, x64) which imports each export can reach.
#
#   tools/bench.sh [build-dir] [rounds] [calls-per-side-and-round]
#   TOLVAR_WINE_ARCH=win64 tools/bench.sh ...    the x64 DLL under 64-bit Wine
#   TOLVAR_WINE_ARCH=arm64 tools/bench.sh ...    the ARM64 DLL under ARM Wine
#
# build-dir is a host build (its windows/<arch> subfolder is used) or a
# Windows build of the architecture TOLVAR_WINE_ARCH names (win32, the
# default, win64 or arm64); default build. Defaults: 15 rounds of 400 calls
# per side.
#
# 32-bit Wine runs where the test run's does (testing/wine/way.sh), ARM64
# Wine always in the emulated aarch64 guest; a guest is booted for the run
# alone (state in <Windows build>/guest-bench) and powered off after it.
# There a call costs about ten times more, so only the ratios count, and
# fewer calls give them (15 rounds of 200 took 10 minutes in either guest).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
# The architecture's Wine, and its description's facts (cmake/<arch>.arch).
export TOLVAR_ARCH_DIR="${TOLVAR_ARCH_DIR:-$(cd "$here/.." && pwd)/cmake}"
. "$here/../testing/wine/arch.sh"

# The Wine side, where this Wine runs: a session, the program, the end.
if [ "${1:-}" = --in-session ]; then
    shift
    echo "Wine side: $(nproc) processors, $(uname -sm), $("$wine" --version 2>/dev/null || echo wine) ($WINEARCH); load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo
    "$here/../testing/wine/session.sh" start
    trap '"$here/../testing/wine/session.sh" remove' EXIT
    status=0
    output=$(mktemp)
    TOLVAR_WINE_TIMEOUT=1800 "$here/../testing/wine/run.sh" "$TOLVAR_BIN_DIR/bench.exe" "$@" >"$output" || status=$?
    tr -d '\r' <"$output"
    rm -f "$output"
    echo
    echo "Wine side's load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
    exit $status
fi

build=${1:-$here/../build}
rounds=${2:-15}
calls=${3:-400}
if [ -d "$build/windows/$arch" ]; then win=$(cd "$build/windows/$arch" && pwd); else win=$(cd "$build" && pwd); fi

cmake --build "$win" --target bench tolvarsdk tolvarvx_sys >/dev/null

export TOLVAR_WINEPREFIX="$win/wineprefix-bench" TOLVAR_BIN_DIR="$win/bin" WINEPATH="$win/bin"
case $wine_runs in
guest) way=guest ;;
host) way=native ;;
*)
    . "$here/../testing/wine/way.sh"
    tolvar_wine_way
    way=$wine_way
    ;;
esac
echo "# tolvarsdk ($arch): the cost of a call"
echo
echo "Host: $(nproc) cores, $(uname -sr), load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
if [ "$way" = guest ]; then
    echo "Wine runs in an emulated guest (QEMU): compare ratios only."
    echo
    export TOLVAR_WINE_TIME_SCALE="${TOLVAR_WINE_TIME_SCALE:-10}"
    /usr/bin/python3 "$here/../testing/guest/runner.py" --arch "$guest_machine" run --dir "$win/guest-bench" \
        --limit 14400 -- "$here/bench.sh" --in-session "$rounds" "$calls" || status=$?
else
    echo
    # Seeded from the test run's template when there is one.
    template="$TOLVAR_WINEPREFIX.template"
    if [ ! -d "$template" ] && [ -d "$win/wineprefix.template" ]; then
        rm -rf "$template.tmp"
        cp -a "$win/wineprefix.template" "$template.tmp"
        mv "$template.tmp" "$template"
    fi
    "$here/bench.sh" --in-session "$rounds" "$calls" || status=$?
fi
echo
echo "Host's load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
# The DLL is stripped: link the same objects once more without -s, only to
# name the functions on the call chains (dll_calls.py checks that the two
# images match). The link command is the build's own. An architecture
# without a disassembler for the walk (objdump: ARM64) has no walk.
symbols=$(mktemp -d)
link=$(cd "$win" && ninja -t commands bin/tolvarsdk.dll | tail -1 | sed -e 's/^: && //' -e 's/ && cd .*//' \
    -e 's/ -s / /' -e "s| -o bin/tolvarsdk.dll | -o $symbols/tolvarsdk.dll |" \
    -e "s|--out-implib,[^ ]*|--out-implib,$symbols/unused.a|")
if [ -z "$objdump" ]; then
    /usr/bin/python3 "$here/../bench/dll_calls.py" "$win/bin/tolvarsdk.dll" || true
elif (cd "$win" && sh -c "$link") >/dev/null 2>&1; then
    /usr/bin/python3 "$here/../bench/dll_calls.py" "$win/bin/tolvarsdk.dll" --objdump "$objdump" \
        --symbols "$symbols/tolvarsdk.dll" || true
else
    /usr/bin/python3 "$here/../bench/dll_calls.py" "$win/bin/tolvarsdk.dll" --objdump "$objdump" || true
fi
rm -rf "$symbols"
exit $status
