#!/bin/sh
# Runs one Wine command of a test run, whole, on the side that can run it:
#   launch.sh CMD [ARGS...]
# 64-bit Wine (TOLVAR_WINE_ARCH=win64) runs on every x86-64 host, so it
# always runs here. 32-bit Wine runs here too when the host executes 32-bit
# code, and otherwise in the build's guest (testing/guest/runner.py; state in
# TOLVAR_GUEST_DIR), which is booted if none runs. The way is
# TOLVAR_WINE_WAY (native or guest, set once by tools/test.sh), or else the
# host is probed (testing/wine/way.sh). A script that runs many Wine commands
# goes through here as one command, so all of them run on one side.
#
# 64-bit ARM Wine (TOLVAR_WINE_ARCH=arm64) always runs in the build's
# aarch64 guest (runner.py --arch arm64), whose state folder must be another
# than the 32-bit guest's.
#
# In the guest, Wine is 20 to 90 times slower (TCG on a loaded 2-core host:
# a new Wine process takes about 2 s, a request to the driver stand-in
# milliseconds; in the aarch64 guest 3 to 13 s and 12 to 36 ms):
# TOLVAR_WINE_TIME_SCALE (default 10 there, 1 here) stretches the scripts'
# own limits for it.
#
# Each of these is a fact of the architecture's description (arch.sh reads
# it): where its Wine runs (wine_runs) and in which guest (guest_machine).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
# The command's own scripts find the descriptions here too, wherever they are.
export TOLVAR_ARCH_DIR="${TOLVAR_ARCH_DIR:-$(cd "$here/../.." && pwd)/cmake}"
row=$("$here/arch.sh" wine_arch "${TOLVAR_WINE_ARCH:-win32}") || exit 2
eval "$row"
case $wine_runs in
host)
    way=native
    ;;
guest)
    way=guest
    ;;
host-or-guest)
    way=${TOLVAR_WINE_WAY:-}
    if [ -z "$way" ]; then
        . "$here/way.sh"
        tolvar_wine_way
        way=$wine_way
    fi
    ;;
*)
    echo "launch.sh: the $arch description's wine_runs is host, guest or host-or-guest, not '$wine_runs'" >&2
    exit 2
    ;;
esac
case $way in
native)
    exec "$@"
    ;;
guest)
    : "${TOLVAR_GUEST_DIR:?launch.sh: no $guest_machine guest state folder (TOLVAR_GUEST_DIR)}"
    export TOLVAR_WINE_TIME_SCALE="${TOLVAR_WINE_TIME_SCALE:-10}"
    exec /usr/bin/python3 "$here/../guest/runner.py" exec --arch "$guest_machine" --dir "$TOLVAR_GUEST_DIR" -- "$@"
    ;;
*)
    echo "launch.sh: TOLVAR_WINE_WAY must be native or guest, not '$way'" >&2
    exit 2
    ;;
esac
