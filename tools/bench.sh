#!/bin/sh
# The cost of a call: builds bench.exe, runs it under a Wine session of its
# own against the driver stand-in, and prints the table with the DLL's size,
# its imports and which imports each export can reach.
#
#   tools/bench.sh [build-dir] [rounds] [calls-per-side-and-round]
#   TOLVAR_WINE_ARCH=win64 tools/bench.sh ...    the x64 DLL under 64-bit Wine
#
# build-dir is a host build (its windows/x86 or windows/x64 subfolder is
# used) or a Windows build of the architecture TOLVAR_WINE_ARCH names
# (win32, the default, or win64); default build. Defaults: 15 rounds of 400
# calls per side.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rounds=${2:-15}
calls=${3:-400}
. "$here/../testing/wine/arch.sh"
if [ "$arch" = x64 ]; then prefix=x86_64-w64-mingw32; else prefix=i686-w64-mingw32; fi
if [ -d "$build/windows/$arch" ]; then win=$(cd "$build/windows/$arch" && pwd); else win=$(cd "$build" && pwd); fi

cmake --build "$win" --target bench tolvarsdk tolvarvx_sys >/dev/null

# A prefix of its own beside the test run's, seeded from that run's template
# when there is one; the session ends when the script does.
export TOLVAR_WINEPREFIX="$win/wineprefix-bench" TOLVAR_BIN_DIR="$win/bin" WINEPATH="$win/bin"
template="$TOLVAR_WINEPREFIX.template"
if [ ! -d "$template" ] && [ -d "$win/wineprefix.template" ]; then
    rm -rf "$template.tmp"
    cp -a "$win/wineprefix.template" "$template.tmp"
    mv "$template.tmp" "$template"
fi
"$here/../testing/wine/session.sh" start
trap '"$here/../testing/wine/session.sh" stop' EXIT

echo "# tolvarsdk ($arch): the cost of a call"
echo
echo "Machine: $(nproc) cores, $(uname -sr), $("$wine" --version 2>/dev/null || echo wine) ($WINEARCH); load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
status=0
output=$(mktemp)
TOLVAR_WINE_TIMEOUT=1800 "$here/../testing/wine/run.sh" "$win/bin/bench.exe" "$rounds" "$calls" >"$output" || status=$?
tr -d '\r' <"$output"
rm -f "$output"
echo
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
# The DLL is stripped: link the same objects once more without -s, only to
# name the functions on the call chains (dll_calls.py checks that the two
# images match). The link command is the build's own.
symbols=$(mktemp -d)
link=$(cd "$win" && ninja -t commands bin/tolvarsdk.dll | tail -1 | sed -e 's/^: && //' -e 's/ && cd .*//' \
    -e 's/ -s / /' -e "s| -o bin/tolvarsdk.dll | -o $symbols/tolvarsdk.dll |" \
    -e "s|--out-implib,[^ ]*|--out-implib,$symbols/unused.a|")
if (cd "$win" && sh -c "$link") >/dev/null 2>&1; then
    /usr/bin/python3 "$here/../bench/dll_calls.py" "$win/bin/tolvarsdk.dll" --objdump $prefix-objdump \
        --symbols "$symbols/tolvarsdk.dll" || true
else
    /usr/bin/python3 "$here/../bench/dll_calls.py" "$win/bin/tolvarsdk.dll" --objdump $prefix-objdump || true
fi
rm -rf "$symbols"
exit $status
