#!/bin/sh
# Which way this host runs 32-bit Wine, printed as one line:
#   native: <why>   32-bit x86 programs execute here; Wine runs on the host
#   guest: <why>    they do not (or TOLVAR_WINE_VM=1): Wine runs in a
#                   throw-away Debian guest under QEMU (testing/guest/runner.py)
# TOLVAR_WINE_VM=1 forces the guest, TOLVAR_WINE_VM=0 forbids it: on a host
# that cannot execute 32-bit code that is an error (exit 1), never a quiet
# fallback. Sourced, it defines tolvar_wine_way instead, which sets
# $wine_way and $wine_way_why.
tolvar_wine_way() {
    # A 93-byte static i386 ELF that only calls exit(42): the exit status
    # proves that 32-bit code ran; ENOEXEC is "no IA-32 emulation here".
    # Wine itself is a poor probe: it fails for other reasons too.
    wine_way_probe=$(mktemp "${TMPDIR:-/tmp}/tolvar-i386-probe.XXXXXX") || return 1
    printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\061\333\263\052\061\300\100\315\200' >"$wine_way_probe"
    chmod 700 "$wine_way_probe"
    wine_way_status=0
    wine_way_error=$("$wine_way_probe" 2>&1) || wine_way_status=$?
    rm -f "$wine_way_probe"
    if [ "$wine_way_status" = 42 ]; then
        wine_way_runs32=yes
    else
        wine_way_runs32=no
        wine_way_error=$(printf '%s' "$wine_way_error" | sed -n 's/.*: //p' | tail -1)
        wine_way_error=${wine_way_error:-exit status $wine_way_status}
    fi
    case "${TOLVAR_WINE_VM:-}" in
    1)
        wine_way=guest
        wine_way_why="TOLVAR_WINE_VM=1 forces the guest"
        ;;
    0)
        wine_way=native
        wine_way_why="TOLVAR_WINE_VM=0 forbids the guest"
        if [ "$wine_way_runs32" = no ]; then
            echo "this host cannot execute 32-bit x86 code ($wine_way_error), and TOLVAR_WINE_VM=0 forbids the guest that would run 32-bit Wine" >&2
            return 1
        fi
        ;;
    "")
        if [ "$wine_way_runs32" = yes ]; then
            wine_way=native
            wine_way_why="this host executes 32-bit x86 code"
        else
            wine_way=guest
            wine_way_why="this host cannot execute 32-bit x86 code ($wine_way_error)"
        fi
        ;;
    *)
        echo "TOLVAR_WINE_VM must be 1 (force the guest), 0 (forbid it) or unset, not '$TOLVAR_WINE_VM'" >&2
        return 1
        ;;
    esac
}

case "$0" in
*way.sh)
    set -eu
    tolvar_wine_way
    echo "$wine_way: $wine_way_why"
    ;;
esac
