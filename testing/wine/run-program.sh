#!/bin/sh
# Runs one Windows program under the kit, as a test of its own, from
# anything that runs programs: a shell, a Makefile, `go test -exec`.
#   run-program.sh PROGRAM [ARGS...]
# The program's architecture is read from its PE header (the Machine field:
# 0x14c x86, 0x8664 x64, 0xaa64 arm64); it then runs as run-test.sh runs a
# test (a fresh prefix from the template with the SDK's driver stand-in,
# bin/<arch> on its search path, its session ended after it, a record kept
# when it fails), through launch.sh (x86 and ARM64 may run in a QEMU guest:
# doc/testing.md). Exits with the program's status.
#
# Environment, all optional:
#   TOLVAR_KIT_DIR       where the templates and prefixes live, one folder
#                        per architecture (default
#                        ${XDG_CACHE_HOME:-~/.cache}/tolvarsdk/kit)
#   TOLVAR_WINE_TIMEOUT  the program's limit in seconds (120)
#   TOLVAR_EXIT_STATUS   the status that passes (0)
#   TOLVAR_GUEST_DIR, TOLVAR_GUEST_SHARE   the guest, for x86 where the host
#                        cannot execute it and for ARM64 (default: one in
#                        the kit's folder, sharing the program's folder)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
sdk=$(cd "$here/../.." && pwd)
if [ $# -eq 0 ] || [ ! -f "$1" ]; then
    echo "usage: $0 PROGRAM [ARGS...] (a Windows program's file)" >&2
    exit 2
fi
program=$(cd "$(dirname "$1")" && pwd)/${1##*/}
shift

# The PE header: its offset at 0x3c, then "PE\0\0" and the Machine field.
header=$(od -An -tu4 -j60 -N4 "$program" 2>/dev/null | tr -d ' ')
signature=$(od -An -tx1 -j"${header:-0}" -N4 "$program" 2>/dev/null | tr -d ' ')
machine=$(od -An -tx1 -j$((${header:-0} + 4)) -N2 "$program" 2>/dev/null | tr -d ' ')
case $signature:$machine in
50450000:4c01) arch=x86 wine_arch=win32 ;;
50450000:6486) arch=x64 wine_arch=win64 ;;
50450000:64aa) arch=arm64 wine_arch=arm64 ;;
50450000:*)
    echo "run-program: $program is for machine 0x$machine, which the kit does not run (x86, x64, arm64)" >&2
    exit 2
    ;;
*)
    echo "run-program: $program is no Windows program (no PE header)" >&2
    exit 2
    ;;
esac

kit=${TOLVAR_KIT_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tolvarsdk/kit}/$arch
mkdir -p "$kit/tests"
export TOLVAR_WINE_ARCH=$wine_arch TOLVAR_WINE_TEMPLATE=$kit/template \
    TOLVAR_BIN_DIR=$sdk/bin/$arch TOLVAR_STAND_IN=$sdk/testing/$arch/TOLVARVX.sys
export TOLVAR_GUEST_DIR="${TOLVAR_GUEST_DIR:-$kit/guest}"
export TOLVAR_GUEST_SHARE="${TOLVAR_GUEST_SHARE:-$(dirname "$program")}"

# The template is made once, by whichever run comes first; the others wait
# for it, since two runs must not both make it.
TOLVAR_WINEPREFIX=$kit/template-session flock "$kit/template.lock" \
    "$here/launch.sh" "$here/session.sh" template

# A prefix of this run's own, named by the program and this process.
name=$(printf %s "${program##*/}" | tr -c 'A-Za-z0-9_.-' _)-$$
export TOLVAR_WINEPREFIX="$kit/tests/$name"
exec "$here/launch.sh" "$here/run-test.sh" "$program" "$@"
