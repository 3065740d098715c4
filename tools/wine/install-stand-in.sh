#!/bin/sh
# Installs the driver stand-in into this run's Wine prefix the way the product
# installs the Drive driver: the file in system32\drivers and the service key
# with ErrorControl, Start and Type (REG_DWORD 1) and nothing else, no image
# path. Wine's services.exe then loads it at the next session start.
# Called by session.sh start with TOLVAR_WINEPREFIX and TOLVAR_BIN_DIR set,
# before the session's services run.
set -eu
: "${TOLVAR_WINEPREFIX:?}" "${TOLVAR_BIN_DIR:?}"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

driver="$TOLVAR_BIN_DIR/TOLVARVX.sys"
if [ ! -f "$driver" ]; then
    echo "install-stand-in: $driver is not built" >&2
    exit 1
fi
cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/TOLVARVX.sys"

key='HKLM\SYSTEM\CurrentControlSet\Services\TOLVARVX'
for value in ErrorControl Start Type; do
    timeout 60 wine reg add "$key" /v "$value" /t REG_DWORD /d 1 /f </dev/null >/dev/null 2>&1
done

# services.exe reads the key only when it starts, and `wine reg` has just
# started this prefix's services without it: end that session so the next
# one loads the driver.
timeout 30 wineserver -k 2>/dev/null || true
timeout 30 wineserver -w 2>/dev/null || true
