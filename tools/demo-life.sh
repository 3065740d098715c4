#!/bin/sh
# A drive's whole life under Wine with the installed tolvarctl.exe against
# the driver stand-in, in a Wine prefix of its own, made fresh from a
# template each run (tools/demo.sh runs this after building the SDK, on the
# host or whole in a QEMU guest):
#   demo-life.sh SDK STAND_IN
# SDK is the installed SDK, STAND_IN the driver stand-in's TOLVARVX.sys;
# TOLVAR_WINE_ARCH (win32, win64 or arm64) picks the architecture whose
# tolvarctl.exe and DLL are used. The prefix is $TOLVAR_WINEPREFIX, copied
# from the template wine/session.sh makes or finds ($TOLVAR_BASE_TEMPLATE
# when set: the guest has a 32-bit one ready; else one beside the prefix,
# made once).
# Every step prints its command, the tool's output and whether the result is
# the one expected under Wine; where Wine's result differs from what Windows
# gives, the tool's own note line says so, and the step checks that it does.
# Exit status: 0 when every step gave its expected result, else 1.
set -eu
: "${TOLVAR_WINEPREFIX:?}"
sdk=$1
stand_in=$2
export TOLVAR_ARCH_DIR="${TOLVAR_ARCH_DIR:-$(dirname "$0")/../cmake}"
. "$(dirname "$0")/../testing/wine/arch.sh"
bits=$((pointer_size * 8))
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH
template=${TOLVAR_BASE_TEMPLATE:-${TOLVAR_WINE_TEMPLATE:-$WINEPREFIX.template}}
scratch=$(mktemp -d)

finish() {
    end_session || true
    rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

# A new session: the services start (and load the drivers of their keys)
# apart from this script's pipes, and the server stays up between commands
# so that drive letters live until the end.
start_session() {
    wine_step "keeping the Wine server up" timeout "$(wine_limit 10)" "$wineserver" -p
    wine_step "starting the session's services" timeout "$(wine_limit 60)" "$wine" cmd /c exit
}

steps=0 failures=0
number() { steps=$((steps + 1)); printf '\n%2d. %s\n' "$steps" "$1"; }
show() { tr -d '\r' <"$1" | sed 's/^/    | /'; }
verdict() { # verdict <as expected?> <text>
    if [ "$1" = yes ]; then
        echo "    => $2"
    else
        echo "    => UNEXPECTED: $2"
        failures=$((failures + 1))
    fi
}

# step <title> <expected> <wine> <tolvarctl arguments...>
# expected: 0 for success, or the Win32 error the tool must report (exit 1).
# wine: "wine" when that error is Wine's own, Windows giving another result;
# the tool must then say so ("tolvarctl: note: under Wine, ...").
step() {
    title=$1 expected=$2 wine_result=$3
    shift 3
    number "$title"
    printf '    $ tolvarctl %s\n' "$*"
    status=0
    timeout "$(wine_limit 60)" "$wine" "$sdk/bin/$arch/tolvarctl.exe" "$@" >"$scratch/out" 2>&1 </dev/null || status=$?
    show "$scratch/out"
    if [ "$expected" = 0 ]; then
        if [ "$status" = 0 ]; then verdict yes "success"; else verdict no "exit $status, expected success"; fi
    elif [ "$status" != 1 ] || ! tr -d '\r' <"$scratch/out" | grep -q "returned error $expected: "; then
        verdict no "exit $status, expected exit 1 with error $expected"
    elif [ -z "$wine_result" ]; then
        verdict yes "error $expected, as expected"
    elif tr -d '\r' <"$scratch/out" | grep -q '^tolvarctl: note: under Wine, '; then
        verdict yes "error $expected, as expected under Wine, which the tool's note explains"
    else
        verdict no "error $expected without the tool's note on Wine's result"
    fi
}

# step_shell <title> <expected status> <shown command> <command...>: a step
# that is not tolvarctl.
step_shell() {
    title=$1 expected=$2
    number "$title"
    printf '    $ %s\n' "$3"
    shift 3
    status=0
    "$@" >"$scratch/out" 2>&1 </dev/null || status=$?
    show "$scratch/out"
    if [ "$status" = "$expected" ]; then verdict yes "exit $status, as expected"; else verdict no "exit $status, expected $expected"; fi
}

# The service key as `reg query` prints it; fails unless it holds exactly
# ErrorControl, Start and Type, each REG_DWORD 0x1.
read_service_key() {
    timeout "$(wine_limit 60)" "$wine" reg query "$service_key" </dev/null | tr -d '\r' | grep -v '^$' >"$scratch/key"
    cat "$scratch/key"
    test "$(grep -c '^    ' "$scratch/key")" = 3 &&
        test "$(grep -c -E '^    (ErrorControl|Start|Type) +REG_DWORD +0x1$' "$scratch/key")" = 3
}
register_service() {
    (cd "$sdk/bin/$arch" && timeout "$(wine_limit 60)" "$wine" rundll32 tolvarsdk.dll,RegService)
}

service_key='HKLM\SYSTEM\CurrentControlSet\Services\TOLVARVX'

echo
echo "A drive's whole life under $bits-bit Wine with the $arch SDK ($TOLVAR_WINEPREFIX)"
end_session
[ -d "$template" ] || echo "Making a $bits-bit Wine prefix (once)..."
"$(dirname "$0")/../testing/wine/session.sh" template
rm -rf "$WINEPREFIX"
cp -a "$template" "$WINEPREFIX"

number "the driver stand-in's file goes to system32\\drivers (as a driver's installer puts it)"
cp "$stand_in" "$WINEPREFIX/drive_c/windows/system32/drivers/TOLVARVX.sys"
printf '    $ %s\n' 'cp TOLVARVX.sys C:\windows\system32\drivers\'
verdict yes "copied"

start_session
step_shell "the service key, written by tolvarsdk.dll's RegService through rundll32" 0 \
    "wine rundll32 tolvarsdk.dll,RegService" register_service
step_shell "the key holds ErrorControl, Start and Type (REG_DWORD 1) and nothing else" 0 \
    "wine reg query $service_key" read_service_key

number "a new session: Wine's services read the key and load the stand-in"
end_session
start_session
printf '    $ %s\n' "wineserver -k; wineserver -p; wine cmd /c exit"
verdict yes "session started"

step "the stand-in answers on \\\\.\\TOLVARVX0" 0 "" flush 0
step "drive letter T for drive 0 (before the open, which flushes T:'s volume)" 0 "" letter add T 0
step "open drive 0 with a data file and a backup file (BackupBeforeWrite)" 0 "" \
    open 0 --data 'C:\tolvar-demo\drive0.img' --backup 'C:\tolvar-demo\drive0.bak' --letter T
step "query drive 0" 0 "" query 0
step "query drive 0 for scripts" 0 "" query 0 --json
step "flush drive 0" 0 "" flush 0
step "the handshake: a challenge" 0 "" challenge 0
step "the handshake: a fresh challenge answered with the stand-in's secret" 0 "" \
    authen 0 --secret tolvar-stand-in-secret-0
step "reload drive 0" 32 "" reload 0
echo "    (by design, as on Windows: a BackupBeforeWrite drive is never reloaded)"
step "close drive 0" 66 wine close 0
step "drive 0 is closed" 21 "" query 0
step "remove drive letter T" 0 "" letter remove T

echo
echo "A drive without a backup file, which reload accepts:"
step "drive letter U for drive 1" 0 "" letter add U 1
unicode_path='C:\tolvar-demo\Ωmega\данные.img'
step "open drive 1 with a data file only, named outside the ANSI code page" 0 "" \
    open 1 --data "$unicode_path" --letter U
step "query drive 1" 0 "" query 1
if tr -d '\r' <"$scratch/out" | grep -qxF "  data file:       $unicode_path"; then
    verdict yes "the path came back exactly (printed as UTF-8)"
else
    verdict no "the path came back otherwise"
fi
step "reload drive 1" 1173 wine reload 1
step "close drive 1 without the volume lock" 66 wine close 1 --force
step "remove drive letter U" 0 "" letter remove U

step "remove the service key (UnregService)" 0 "" service remove
step_shell "the key is gone" 1 "wine reg query $service_key" timeout "$(wine_limit 60)" "$wine" reg query "$service_key"

number "a new session without the key: Wine loads no stand-in"
end_session
start_session
printf '    $ %s\n' "wineserver -k; wineserver -p; wine cmd /c exit"
verdict yes "session started"
step "no device \\\\.\\TOLVARVX0 any more" 2 "" flush 0

echo
if [ "$failures" -eq 0 ]; then
    echo "demo: all $steps steps gave the results expected under Wine"
    exit 0
fi
echo "demo: $failures of $steps steps gave unexpected results"
exit 1
