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
#
# In the QEMU guest the build tree is a 9p share, and a program there whose
# image has a section longer than one 9p read would load corrupted: Wine's
# server opens every file O_NONBLOCK, the guest's kernel (Linux 6.1, 9p
# without a cache) answers a read on such a descriptor with one 9p message
# (at most 0x7c000 bytes at msize 512000), and Wine's loader reads a section
# whose file offset is not page-aligned with a single pread whose count it
# never checks, so the rest of the section stays zero. Go's linker writes
# such sections (file alignment 0x200) over a megabyte long; Go's runtime
# then finds its own tables cut short ("minpc or maxpc invalid"). A program
# on 9p that is longer than one read, or has a DLL beside it that is,
# therefore runs from a copy, with the programs and DLLs beside it, in a
# private folder on the guest's own disk.
set -eu
: "${TOLVAR_WINEPREFIX:?}"
. "$(dirname "$0")/arch.sh"
nine_p_read_limit=507904
program=${1:?run.sh: no program to run}
shift
name=$program
copy=
# The mount table names the share's type; statfs() on 9p reports the host's.
if [ "${TOLVAR_IN_GUEST:-}" = 1 ] && [ -f "$program" ] &&
    [ "$(df --output=fstype "$program" | tail -n 1)" = 9p ] &&
    { [ "$(stat -c %s "$program")" -gt "$nine_p_read_limit" ] ||
        [ -n "$(find "$(dirname "$program")" -maxdepth 1 -type f -iname '*.dll' \
            -size +"$nine_p_read_limit"c)" ]; }; then
    copy=$(mktemp -d "${TMPDIR:-/tmp}/tolvar-run.XXXXXX")
    trap 'rm -rf "$copy"' EXIT
    # Regular files only: find does not follow links.
    find "$(dirname "$program")" -maxdepth 1 -type f \( -iname '*.exe' -o -iname '*.dll' \) \
        -exec cp -p -- {} "$copy/" \;
    program=$copy/${program##*/}
    if [ ! -f "$program" ]; then
        echo "run.sh: $name is not a regular file, so it cannot run from a copy off the 9p share" >&2
        exit 1
    fi
fi
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all,err+module}"
limit=$(wine_limit "${TOLVAR_WINE_TIMEOUT:-120}")
if ! server_running; then
    echo "run.sh: no Wine server runs for $WINEPREFIX: its session has ended or never started (session.sh start begins it)" >&2
    exit 1
fi
# The services inherit the first Wine process's pipes; start them apart
# unless the session has them already.
if ! services_running; then
    wine_step "starting the session's services" timeout "$(wine_limit 60)" "$wine" cmd /c exit
fi
status=0
timeout "$limit" "$wine" "$program" "$@" || status=$?
case $status in
0) ;;
124)
    echo "run.sh: $name ran past its limit of $limit s; restarting the Wine session" >&2
    end_session || true
    wine_step "keeping a new Wine server up" timeout "$(wine_limit 10)" "$wineserver" -p || true
    wine_step_keep=$WINEPREFIX/services.log
    wine_step "starting the new session's services" timeout "$(wine_limit 60)" "$wine" cmd /c exit || true
    wine_step_keep=
    ;;
*)
    echo "run.sh: $name exited with status $status" >&2
    ;;
esac
exit "$status"
