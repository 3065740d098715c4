#!/bin/sh
# Runs one Windows test program under Wine in a session of its own, with
# the driver stand-in installed the product's way:
#   run-test.sh PROGRAM [ARGS...]
# 1. a fresh prefix from the template (session.sh start): the stand-in's
#    TOLVARVX.sys in system32\drivers, its service key written by the
#    tolvarsdk.dll's own `rundll32 tolvarsdk.dll,RegService`, then a new
#    session, in which Wine's services load the stand-in from that key;
# 2. the program, with the folder of tolvarsdk.dll on its search path and a
#    time limit (run.sh);
# 3. the session ended, whatever the program's result; the prefix removed
#    when the program passed, kept for a look when it failed.
# The program passes when it exits with TOLVAR_EXIT_STATUS (0 unless set;
# another for a program that meets a result Wine gives where Windows
# succeeds). Exits 0 when it passed, else with the program's status (124
# when it ran past its limit, 1 for an expected failure that did not come).
#
# Environment: TOLVAR_WINEPREFIX (this test's prefix), TOLVAR_WINE_TEMPLATE,
# TOLVAR_WINE_ARCH, TOLVAR_BIN_DIR (the folder of tolvarsdk.dll),
# TOLVAR_STAND_IN (TOLVARVX.sys), TOLVAR_WINE_TIMEOUT (seconds for the
# program); tolvarsdk_add_wine_test sets them all.
set -eu
: "${TOLVAR_WINEPREFIX:?}" "${TOLVAR_BIN_DIR:?}"
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 0 ]; then
    echo "usage: $0 PROGRAM [ARGS...]" >&2
    exit 2
fi
# Where the kit runs as root, the prefix is the template seen through an
# overlay (arch.sh, fresh_prefix), whose writable half lives beside it.
if [ -z "${TOLVAR_PREFIX_OVERLAYS:-}" ] && [ "$(id -u)" = 0 ]; then
    TOLVAR_PREFIX_OVERLAYS=$(dirname "$TOLVAR_WINEPREFIX")/.overlays
    export TOLVAR_PREFIX_OVERLAYS
fi

end_session() {
    "$here/session.sh" stop || true
}
trap end_session EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! "$here/session.sh" start; then
    echo "run-test: no Wine session with the driver stand-in in $TOLVAR_WINEPREFIX" >&2
    exit 1
fi
status=0
WINEPATH="$TOLVAR_BIN_DIR" "$here/run.sh" "$@" || status=$?
end_session
trap - EXIT
expected=${TOLVAR_EXIT_STATUS:-0}
if [ "$status" = "$expected" ] && [ "$expected" != 0 ]; then
    echo "run-test: $1 exited $status, as this test expects under Wine"
    status=0
elif [ "$status" = 0 ] && [ "$expected" != 0 ]; then
    echo "run-test: $1 exited 0, and this test expects $expected under Wine" >&2
    status=1
fi
if [ "$status" = 0 ]; then
    "$here/session.sh" remove
else
    [ "$status" = 124 ] && echo "run-test: $1 ran past its limit of $((${TOLVAR_WINE_TIMEOUT:-120} * ${TOLVAR_WINE_TIME_SCALE:-1})) s" >&2
    echo "run-test: $1 exited $status; its Wine prefix is kept in $TOLVAR_WINEPREFIX" >&2
fi
exit "$status"
