#!/bin/sh
# Runs one Windows program under this build's Wine session, with a time limit:
# TOLVAR_WINE_TIMEOUT seconds (default 120) times TOLVAR_WINE_TIME_SCALE
# (default 1; the launcher sets it for the slower guest). A program that
# runs past it is killed and its session restarted, so that nothing it left
# there (drive letters, open drives, a stuck driver) meets the next test.
# TOLVAR_WINE_ARCH (win32 or win64) picks the Wine (see arch.sh).
# The session must be up: a program run without it would start a session
# of its own, without the stand-in's state the tests before it left, and
# end it when it exits, so the failure would show up tests later.
# Program output stays as the test wrote it, with Wine's loader errors (a
# DLL that cannot be found or loaded otherwise exits 53 without a word).
set -eu
: "${TOLVAR_WINEPREFIX:?}"
. "$(dirname "$0")/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all,err+module}"
limit=$(wine_limit "${TOLVAR_WINE_TIMEOUT:-120}")
if ! server_running; then
    echo "run.sh: no Wine server runs for $WINEPREFIX: its session has ended or never started (session.sh start begins it)" >&2
    exit 1
fi
# The services inherit the first Wine process's pipes; start them apart.
wine_step "starting the session's services" timeout "$(wine_limit 60)" "$wine" cmd /c exit
status=0
timeout "$limit" "$wine" "$@" || status=$?
case $status in
0) ;;
124)
    echo "run.sh: $1 ran past its limit of $limit s; restarting the Wine session" >&2
    end_session || true
    wine_step "keeping a new Wine server up" timeout "$(wine_limit 10)" wineserver -p || true
    wine_step "starting the new session's services" timeout "$(wine_limit 60)" "$wine" cmd /c exit || true
    ;;
*)
    echo "run.sh: $1 exited with status $status" >&2
    ;;
esac
exit "$status"
