#!/bin/sh
# Runs one Windows program under Wine against the SDK's driver stand-in, in
# a session of its own, from any language or build system:
#   testing/run-windows-program.sh PROGRAM [ARGS...]
# The program's own PE header says its architecture (x86, x64 or ARM64, as
# the SDK's cmake/<arch>.arch name their machines), and so which of the
# SDK's tolvarsdk.dll, stand-in and Wine it gets; where this host cannot run
# that Wine, the program runs in the kit's QEMU guest. It
# exits with the program's status (124 past TOLVAR_WINE_TIMEOUT seconds,
# default 120), and is a `go test` runner as it stands:
#   GOOS=windows GOARCH=amd64 go test -exec /path/to/sdk/testing/run-windows-program.sh ./...
#
# Each run gets a fresh prefix made from a template that the first run of
# an architecture makes (one at a time, under a lock) and later runs share:
# a program sees exactly what a new prefix with the stand-in installed
# holds, whatever ran before it. They live in $TOLVAR_KIT_DIR (default
# ${XDG_CACHE_HOME:-~/.cache}/tolvarsdk/wine). A guest, where one is
# needed, is named by TOLVAR_GUEST_DIR and sees TOLVAR_GUEST_SHARE
# read-only; by default the folder that holds the program, which must then
# hold everything the program reads.
#
# TOLVAR_BIN_DIR (the folder of tolvarsdk.dll) and TOLVAR_STAND_IN
# (TOLVARVX.sys) default to this SDK's own for the program's architecture;
# the DLL is also put in the prefix's system32, so that a program finds it
# from any folder, by any search order (a Go program's included).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 0 ]; then
    echo "usage: $0 PROGRAM [ARGS...]" >&2
    exit 2
fi
fail() {
    echo "run-windows-program: $*" >&2
    exit 2
}
[ -f "$1" ] || fail "no program $1"
program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift

# A PE file: "MZ", the offset of "PE\0\0" at 0x3c, the machine right after.
bytes() {
    od -An -v -tu1 -j "$2" -N "$3" "$1" | tr -s ' \n' '  '
}
# A function's own positional parameters hold the bytes.
little_endian_16() {
    set -- $(bytes "$1" "$2" 2) 0 0
    echo $(($1 + $2 * 256))
}
little_endian_32() {
    set -- $(bytes "$1" "$2" 4) 0 0 0 0
    echo $(($1 + $2 * 256 + $3 * 65536 + $4 * 16777216))
}
[ "$(bytes "$program" 0 2)" = " 77 90 " ] || fail "$program is not a Windows program (no MZ header)"
pe=$(little_endian_32 "$program" 60)
[ "$(bytes "$program" "$pe" 4)" = " 80 69 0 0 " ] || fail "$program is not a Windows program (no PE header)"
# The architecture whose description names that machine (wine/arch.sh).
machine=$(printf '0x%x' "$(little_endian_16 "$program" $((pe + 4)))")
row=$("$here/wine/arch.sh" pe_machine "$machine") ||
    fail "$program is for a machine the SDK does not build for (PE machine $machine)"
eval "$row"

sdk=$(cd "$here/.." && pwd)
export TOLVAR_WINE_ARCH="$wine_arch"
export TOLVAR_BIN_DIR="${TOLVAR_BIN_DIR:-$sdk/bin/$arch}"
export TOLVAR_STAND_IN="${TOLVAR_STAND_IN:-$sdk/testing/$arch/TOLVARVX.sys}"
[ -f "$TOLVAR_BIN_DIR/tolvarsdk.dll" ] || fail "no tolvarsdk.dll for $arch in $TOLVAR_BIN_DIR"
[ -f "$TOLVAR_STAND_IN" ] || fail "no driver stand-in for $arch: $TOLVAR_STAND_IN"
# A program that loads tolvarsdk.dll by name finds it whether or not it
# sits beside it.
export TOLVAR_DLL_IN_SYSTEM32=1
export TOLVAR_GUEST_SHARE="${TOLVAR_GUEST_SHARE:-$(dirname "$program")}"
if [ -z "${TOLVAR_GUEST_DIR:-}" ]; then
    export TOLVAR_GUEST_DIR="$TOLVAR_GUEST_SHARE/tolvarsdk-guest-$arch"
fi

kit=${TOLVAR_KIT_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tolvarsdk/wine}/$arch
mkdir -p "$kit/prefixes"
chmod 700 "$kit"
export TOLVAR_WINE_TEMPLATE="$kit/template"
# The template is made once, by whichever run comes first; the others wait.
TOLVAR_WINEPREFIX="$kit/template-session" flock "$kit/template.lock" \
    "$here/wine/launch.sh" "$here/wine/session.sh" template >&2 ||
    fail "no prefix template for $arch in $kit"
TOLVAR_WINEPREFIX=$(mktemp -d "$kit/prefixes/run.XXXXXX")
export TOLVAR_WINEPREFIX
status=0
"$here/wine/launch.sh" "$here/wine/run-test.sh" "$program" "$@" || status=$?
# A prefix that lived in the guest leaves its empty name here.
rmdir "$TOLVAR_WINEPREFIX" 2>/dev/null || true
exit "$status"
