#!/bin/sh
# One Wine session for a whole test run.
#   session.sh start   make or reuse the prefix, install the driver
#                      stand-in, keep the wine server up, start the services
#   session.sh stop    end this prefix's session and wait for it
# The prefix is $TOLVAR_WINEPREFIX, 32-bit or 64-bit as TOLVAR_WINE_ARCH says
# (see arch.sh). A fresh prefix is copied from a template kept beside it, so
# only the first run pays for wineboot; where a ready template exists
# elsewhere ($TOLVAR_BASE_TEMPLATE: the guest bakes a 32-bit one into its
# image), that one is used and no run pays.
set -eu
: "${TOLVAR_WINEPREFIX:?}"
here=$(dirname "$0")
. "$here/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Wine maps file names and the Unix command line by the Unix locale's
# character set: in the C locale a name outside ASCII cannot be made. The
# tests' paths need a UTF-8 locale; Wine's ANSI code page stays 1252.
export LC_ALL=C.UTF-8
template=${TOLVAR_BASE_TEMPLATE:-$WINEPREFIX.template}

case "$1" in
start)
    if [ ! -d "$template" ]; then
        rm -rf "$template.tmp"
        WINEPREFIX="$template.tmp" timeout 120 "$wine" wineboot -i >/dev/null 2>&1
        WINEPREFIX="$template.tmp" timeout 60 wineserver -w
        mv "$template.tmp" "$template"
    fi
    timeout 30 wineserver -k 2>/dev/null || true
    timeout 30 wineserver -w 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    cp -a "$template" "$WINEPREFIX"
    if [ -x "$here/install-stand-in.sh" ]; then
        "$here/install-stand-in.sh"
    fi
    timeout 10 wineserver -p </dev/null >/dev/null 2>&1
    # Start the services detached from the caller's pipes, so that CTest does
    # not wait on them.
    timeout 60 "$wine" cmd /c exit </dev/null >/dev/null 2>&1
    ;;
stop)
    timeout 30 wineserver -k 2>/dev/null || true
    timeout 30 wineserver -w 2>/dev/null || true
    ;;
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
