#!/bin/sh
# Installs the driver stand-in into this run's Wine prefix the way the product
# installs the Drive driver: the file in system32\drivers and the service key
# with ErrorControl, Start and Type (REG_DWORD 1) and nothing else, no image
# path, written by tolvarsdk.dll's RegService. Wine's services.exe then loads
# it at the next session start.
# Called by session.sh start, with TOLVAR_WINEPREFIX naming the template
# with the stand-in it makes once (a copy of the template), and
# TOLVAR_BIN_DIR (the folder of tolvarsdk.dll); the stand-in is
# TOLVAR_STAND_IN, by default TOLVARVX.sys in the same folder.
set -eu
: "${TOLVAR_WINEPREFIX:?}" "${TOLVAR_BIN_DIR:?}"
. "$(dirname "$0")/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all}"

driver="${TOLVAR_STAND_IN:-$TOLVAR_BIN_DIR/TOLVARVX.sys}"
if [ ! -f "$driver" ]; then
    echo "install-stand-in: $driver is not built" >&2
    exit 1
fi
cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/TOLVARVX.sys"

# The key is written by the library's own RegService, as a customer's
# installer writes it: `rundll32 tolvarsdk.dll,RegService`. RegService
# reports nothing, so the key is read back.
if [ ! -f "$TOLVAR_BIN_DIR/tolvarsdk.dll" ]; then
    echo "install-stand-in: $TOLVAR_BIN_DIR/tolvarsdk.dll is not built" >&2
    exit 1
fi
# One session for both commands, kept up between them: a second command
# that starts while the first one's server is winding down can fail with it.
# Wine's rundll32 exits 0 even when it cannot load the DLL, so its words are
# kept for the read-back to show; both go to files, not pipes.
# Writing a key needs none of the session's services, which would only be
# stopped again: this session runs without services.exe (wineboot says it
# could not start it, and goes on), so no device host, Plug and Play, RPC or
# svchost starts for it. Without them each command runs wineboot again, and
# still the first costs far less (in the emulated guest on a busy host, 7 s
# instead of 25 s).
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;services.exe=d"
wine_step "keeping the Wine server up" timeout "$(wine_limit 10)" "$wineserver" -p
said=$(mktemp "${TMPDIR:-/tmp}/tolvar-regservice.XXXXXX")
answer=$(mktemp "${TMPDIR:-/tmp}/tolvar-reg.XXXXXX")
trap 'rm -f "$said" "$answer"' EXIT
status=0
(cd "$TOLVAR_BIN_DIR" && WINEDEBUG=fixme-all timeout "$(wine_limit 60)" "$wine" rundll32 tolvarsdk.dll,RegService \
    </dev/null >"$said" 2>&1) || status=$?
key='HKLM\SYSTEM\CurrentControlSet\Services\TOLVARVX'
read_status=0
timeout "$(wine_limit 60)" "$wine" reg query "$key" </dev/null >"$answer" 2>&1 || read_status=$?
values=$(tr -d '\r' <"$answer" |
    sed -n 's/^ *\([A-Za-z]*\) *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2 \3/p')
expected="ErrorControl REG_DWORD 0x1
Start REG_DWORD 0x1
Type REG_DWORD 0x1"
if [ "$status" != 0 ] || [ "$read_status" != 0 ] || [ "$values" != "$expected" ]; then
    echo "install-stand-in: rundll32 tolvarsdk.dll,RegService exited $status; it said:" >&2
    tr -d '\r' <"$said" | sed 's/^/    | /' >&2
    echo "install-stand-in: reg query $key exited $read_status; it said:" >&2
    tr -d '\r' <"$answer" | sed 's/^/    | /' >&2
    echo "install-stand-in: expected" $expected >&2
    exit 1
fi

# services.exe reads the key only when it starts: the next session, with
# its services, loads the driver.
end_session
