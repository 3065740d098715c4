#!/bin/sh
# Runs one Windows test program under Wine in a session of its own, with
# the driver stand-in installed the product's way:
#   run-test.sh PROGRAM [ARGS...]
# 1. a fresh prefix from the template with the stand-in installed
#    (session.sh start; that template is made once for the stand-in and
#    DLL): the stand-in's TOLVARVX.sys in system32\drivers, its service
#    key written by the tolvarsdk.dll's own `rundll32
#    tolvarsdk.dll,RegService`; then a new session, in which Wine's
#    services load the stand-in from that key;
# 2. the program, with the folder of tolvarsdk.dll on its search path and a
#    time limit (run.sh);
# 3. the session ended, whatever the program's result, and the prefix
#    removed. When the program failed, what explains it is kept in a small
#    folder beside the prefix, TOLVAR_WINEPREFIX.kept: output.txt (the
#    program's output, with Wine's loader errors), session.txt (what the
#    session's steps said), services.log (Wine's messages from the
#    session's services and the device host that runs the stand-in) and
#    the registry files the test changed; the whole prefix too when
#    TOLVAR_KEEP_PREFIX=1.
# Where the kit runs as root, the prefix is that template seen through an
# overlay (arch.sh, fresh_prefix), whose writable half lives in
# TOLVAR_PREFIX_OVERLAYS, by default the folder .overlays beside the
# prefix; elsewhere it is a copy of it.
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
# The Wine of TOLVAR_WINE_ARCH, with its process settings taken here once
# for the session's scripts below.
. "$here/arch.sh"
if [ -z "${TOLVAR_PREFIX_OVERLAYS:-}" ] && [ "$(id -u)" = 0 ]; then
    TOLVAR_PREFIX_OVERLAYS=$(dirname "$TOLVAR_WINEPREFIX")/.overlays
    export TOLVAR_PREFIX_OVERLAYS
fi
record=$TOLVAR_WINEPREFIX.kept
if [ -e "$record" ] || [ -L "$record" ]; then
    rm -rf "$record"
fi
mkdir -p "$record"

# shown FILE: the file's text on standard error (Wine writes CRLF).
shown() {
    if [ -s "$1" ]; then
        tr -d '\r' <"$1" >&2
    fi
}

# The session's steps write into the record, and what they said is shown
# at once; files, not pipes (a Wine process that outlives its step would
# hold a pipe open).
session_ended=
end_session() {
    [ -z "$session_ended" ] || return 0
    session_ended=yes
    "$here/session.sh" stop 2>"$record/stop.txt" || true
    shown "$record/stop.txt"
    cat "$record/stop.txt" >>"$record/session.txt"
    rm -f "$record/stop.txt"
}

# finish STATUS: however the test ends, its session is ended and its prefix
# removed; a failure keeps its record (and the whole prefix if asked).
finish() {
    end_session
    if [ "$1" = 0 ]; then
        "$here/session.sh" remove
        rm -rf "$record"
        return 0
    fi
    "$here/session.sh" record "$record" || true
    # In the emulated guest the record is on the guest's disk, out of the
    # host's reach: what the services said is shown here, as everywhere,
    # and the program's output was shown already.
    if [ -s "$record/services.log" ]; then
        echo "run-test: the session's services said:" >&2
        tr -d '\r' <"$record/services.log" | sed 's/^/    | /' >&2
    fi
    where=
    if [ "${TOLVAR_IN_GUEST:-}" = 1 ]; then
        where=" on the guest's disk (which the host cannot read, gone when the guest powers off; the output and the services' messages are above)"
    fi
    if [ "${TOLVAR_KEEP_PREFIX:-0}" = 1 ]; then
        "$here/session.sh" keep || true
        echo "run-test: kept$where: the record in $record, the whole Wine prefix in $TOLVAR_WINEPREFIX" >&2
    else
        "$here/session.sh" remove || true
        echo "run-test: kept$where in $record: $(cd "$record" && echo *) (TOLVAR_KEEP_PREFIX=1 keeps the whole Wine prefix too)" >&2
    fi
}
trap 'finish $?' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! "$here/session.sh" start 2>"$record/session.txt"; then
    shown "$record/session.txt"
    echo "run-test: no Wine session with the driver stand-in in $TOLVAR_WINEPREFIX" >&2
    exit 1
fi
shown "$record/session.txt"
status=0
WINEPATH="$TOLVAR_BIN_DIR" "$here/run.sh" "$@" >"$record/output.txt" 2>&1 || status=$?
# The program's output as it wrote it, once it has ended.
cat "$record/output.txt"
end_session
expected=${TOLVAR_EXIT_STATUS:-0}
if [ "$status" = "$expected" ] && [ "$expected" != 0 ]; then
    echo "run-test: $1 exited $status, as this test expects under Wine"
    status=0
elif [ "$status" = 0 ] && [ "$expected" != 0 ]; then
    echo "run-test: $1 exited 0, and this test expects $expected under Wine" >&2
    status=1
elif [ "$status" = 124 ]; then
    echo "run-test: $1 ran past its limit of $((${TOLVAR_WINE_TIMEOUT:-120} * ${TOLVAR_WINE_TIME_SCALE:-1})) s" >&2
fi
exit "$status"
