# Sourced by the Wine scripts: the Wine of one architecture, chosen by
# TOLVAR_WINE_ARCH (win32, the default, or win64). Exports WINEARCH and
# WINELOADER and sets $wine, the loader to start programs with: Debian's
# /usr/bin/wine starts the 32-bit loader, and Debian 12 has no wine64 on the
# PATH, so 64-bit programs go to /usr/lib/wine/wine64. One wineserver serves
# both (Debian's picks the 64-bit server), always with the caller's prefix.
# Sets $arch, the SDK's name for the architecture (x86 or x64).
case "${TOLVAR_WINE_ARCH:-win32}" in
win32)
    WINEARCH=win32 arch=x86
    wine=$(command -v wine)
    ;;
win64)
    WINEARCH=win64 arch=x64
    wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
    ;;
*)
    echo "TOLVAR_WINE_ARCH must be win32 or win64, not '$TOLVAR_WINE_ARCH'" >&2
    exit 2
    ;;
esac
export WINEARCH
if [ "$WINEARCH" = win64 ]; then
    export WINELOADER="$wine"
fi
# Mono's and Gecko's installers would stop a new prefix to ask.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Wine maps file names and the Unix command line by the Unix locale's
# character set: in the C locale a name outside ASCII cannot be made. The
# tests' paths need a UTF-8 locale; Wine's ANSI code page stays 1252.
export LC_ALL=C.UTF-8
