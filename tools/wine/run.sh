#!/bin/sh
# Runs one Windows program under this build's Wine session, with a time limit.
# TOLVAR_WINE_ARCH (win32 or win64) picks the Wine (see arch.sh).
set -eu
: "${TOLVAR_WINEPREFIX:?}"
. "$(dirname "$0")/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Wine maps file names and the Unix command line by the Unix locale's
# character set: in the C locale a name outside ASCII cannot be made. The
# tests' paths need a UTF-8 locale; Wine's ANSI code page stays 1252.
export LC_ALL=C.UTF-8
# The services inherit the first Wine process's pipes; start them apart.
timeout 60 "$wine" cmd /c exit </dev/null >/dev/null 2>&1
exec timeout "${TOLVAR_WINE_TIMEOUT:-120}" "$wine" "$@"
