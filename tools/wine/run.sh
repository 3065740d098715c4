#!/bin/sh
# Runs one Windows program under this build's Wine session, with a time limit:
# TOLVAR_WINE_TIMEOUT seconds (default 120) times TOLVAR_WINE_TIME_SCALE
# (default 1; the launcher sets it for the slower guest). A program that
# runs past it is killed and its session restarted, so that nothing it left
# there (drive letters, open drives, a stuck driver) meets the next test.
# TOLVAR_WINE_ARCH (win32 or win64) picks the Wine (see arch.sh).
set -eu
: "${TOLVAR_WINEPREFIX:?}"
. "$(dirname "$0")/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all}"
limit=$((${TOLVAR_WINE_TIMEOUT:-120} * ${TOLVAR_WINE_TIME_SCALE:-1}))
# The services inherit the first Wine process's pipes; start them apart.
timeout 60 "$wine" cmd /c exit </dev/null >/dev/null 2>&1
status=0
timeout "$limit" "$wine" "$@" || status=$?
if [ "$status" = 124 ]; then
    echo "run.sh: $1 ran past its limit of $limit s; restarting the Wine session" >&2
    timeout 30 wineserver -k 2>/dev/null || true
    timeout 30 wineserver -w 2>/dev/null || true
    timeout 10 wineserver -p </dev/null >/dev/null 2>&1 || true
    timeout 60 "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
exit "$status"
