#!/bin/sh
# One Wine session for a whole test run.
#   session.sh template  make the prefix template if there is none
#   session.sh start     make a fresh prefix from the template (made first
#                        if need be), install the driver stand-in, keep the
#                        wine server up, start the services
#   session.sh stop      end this prefix's session and wait for it
#   session.sh remove    the same, then remove the prefix
#   session.sh keep      the same, and the prefix kept as a folder of its
#                        own (an overlay's view copied, the overlay removed)
#   session.sh record DIR  copy what explains a failed run into DIR: the
#                        session's services' messages (services.log) and
#                        the registry files (system.reg, user.reg,
#                        userdef.reg) that differ from the template's
# The prefix is $TOLVAR_WINEPREFIX, 32-bit or 64-bit as TOLVAR_WINE_ARCH says
# (see arch.sh). The template is $TOLVAR_WINE_TEMPLATE, by default beside the
# prefix, so only the first run pays for wineboot; where a ready template
# exists elsewhere ($TOLVAR_BASE_TEMPLATE: the guest bakes a 32-bit one into
# its image), that one is used and no run pays. Two sessions that may start
# at once share a template only when it is made before either starts
# (`template` first).
set -eu
: "${TOLVAR_WINEPREFIX:?}"
here=$(dirname "$0")
. "$here/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all}"
template=${TOLVAR_BASE_TEMPLATE:-${TOLVAR_WINE_TEMPLATE:-$WINEPREFIX.template}}

# wineboot -i leaves a session running (services, a device host, the
# server), which would outlive the step and hold whatever it inherited (a
# test runner's open log among them): however the step ends, failed,
# timed out or stopped by a signal, that session is ended and waited for.
abandon_template() {
    (export WINEPREFIX="$template.tmp"; end_session) || true
    rm -rf "$template.tmp"
}
make_template() {
    if [ ! -d "$template" ]; then
        rm -rf "$template.tmp"
        mkdir -p "$(dirname "$template")"
        trap abandon_template EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
        (export WINEPREFIX="$template.tmp"
            wine_step "making the prefix template $template" timeout "$(wine_limit 120)" "$wine" wineboot -i &&
                end_session) || exit 1
        mv "$template.tmp" "$template"
        trap - EXIT INT TERM
    fi
}

case "$1" in
template)
    make_template
    ;;
start)
    make_template
    end_session
    fresh_prefix "$template"
    if [ -x "$here/install-stand-in.sh" ]; then
        "$here/install-stand-in.sh"
    fi
    wine_step "keeping the Wine server up" timeout "$(wine_limit 10)" wineserver -p
    # Start the services detached from the caller's pipes, so that CTest does
    # not wait on them. Their output (Wine's messages from services.exe, the
    # device host and the stand-in in it) goes to a file in the prefix, for
    # `record`.
    wine_step_keep=$WINEPREFIX/services.log
    wine_step "starting the session's services" timeout "$(wine_limit 60)" "$wine" cmd /c exit
    wine_step_keep=
    ;;
stop)
    end_session
    ;;
remove)
    end_session
    remove_prefix
    ;;
keep)
    end_session
    unmount_prefix
    ;;
record)
    : "${2:?session.sh record: no folder to copy into}"
    mkdir -p "$2"
    if [ -f "$WINEPREFIX/services.log" ]; then
        cp "$WINEPREFIX/services.log" "$2/"
    fi
    for registry in system.reg user.reg userdef.reg; do
        if [ -f "$WINEPREFIX/$registry" ] && ! cmp -s "$WINEPREFIX/$registry" "$template/$registry"; then
            cp "$WINEPREFIX/$registry" "$2/"
        fi
    done
    ;;
*)
    echo "usage: $0 template|start|stop|remove|keep|record DIR" >&2
    exit 2
    ;;
esac
