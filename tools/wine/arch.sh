# Sourced by the Wine scripts: the Wine of one architecture, chosen by
# TOLVAR_WINE_ARCH (win32, the default, or win64). Exports WINEARCH and
# WINELOADER and sets $wine, the loader to start programs with: Debian's
# /usr/bin/wine starts the 32-bit loader, and Debian 12 has no wine64 on the
# PATH, so 64-bit programs go to /usr/lib/wine/wine64. One wineserver serves
# both (Debian's picks the 64-bit server), always with the caller's prefix.
case "${TOLVAR_WINE_ARCH:-win32}" in
win32)
    WINEARCH=win32
    wine=$(command -v wine)
    ;;
win64)
    WINEARCH=win64
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
