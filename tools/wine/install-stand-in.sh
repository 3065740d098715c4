#!/bin/sh
# Installs the driver stand-in into this run's Wine prefix the way the product
# installs the Drive driver: the file in system32\drivers and the service key
# with ErrorControl, Start and Type (REG_DWORD 1) and nothing else, no image
# path, written by tolvarsdk.dll's RegService. Wine's services.exe then loads
# it at the next session start.
# Called by session.sh start with TOLVAR_WINEPREFIX and TOLVAR_BIN_DIR (the
# folder of tolvarsdk.dll) set, before the session's services run; the
# stand-in is TOLVAR_STAND_IN, by default TOLVARVX.sys in the same folder.
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
(cd "$TOLVAR_BIN_DIR" &&
    timeout 60 "$wine" rundll32 tolvarsdk.dll,RegService </dev/null >/dev/null 2>&1)
key='HKLM\SYSTEM\CurrentControlSet\Services\TOLVARVX'
values=$(timeout 60 "$wine" reg query "$key" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *\([A-Za-z]*\) *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2 \3/p')
expected="ErrorControl REG_DWORD 0x1
Start REG_DWORD 0x1
Type REG_DWORD 0x1"
if [ "$values" != "$expected" ]; then
    echo "install-stand-in: RegService left the key with:" $values >&2
    exit 1
fi

# services.exe reads the key only when it starts, and `wine rundll32` has just
# started this prefix's services without it: end that session so the next
# one loads the driver.
timeout 30 wineserver -k 2>/dev/null || true
timeout 30 wineserver -w 2>/dev/null || true
