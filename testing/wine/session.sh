#!/bin/sh
# One Wine session for a whole test run.
#   session.sh template  make the prefix template if there is none
#   session.sh start     make a fresh prefix from the template (made first
#                        if need be) with the driver stand-in installed
#                        (that template made once for the stand-in and
#                        tolvarsdk.dll of $TOLVAR_BIN_DIR), keep the wine
#                        server up, start the services
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
usage() {
    echo "usage: $0 template|start|stop|remove|keep|record DIR" >&2
    exit 2
}
# The command is checked before anything else, so that a wrong or missing
# one gets the usage whatever the environment lacks.
case "${1:-}" in
template | start | stop | remove | keep | record) ;;
*) usage ;;
esac
: "${TOLVAR_WINEPREFIX:?}"
here=$(dirname "$0")
. "$here/arch.sh"
export WINEPREFIX="$TOLVAR_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all}"
template=${TOLVAR_BASE_TEMPLATE:-${TOLVAR_WINE_TEMPLATE:-$WINEPREFIX.template}}

# A prefix is made under the name <final>.tmp and renamed when complete.
# Making one runs Wine (wineboot -i, the stand-in's installation), which
# leaves a session running (services, a device host, the server) that would
# outlive the step and hold whatever it inherited (a test runner's open log
# among them): however the step ends, failed, timed out or stopped by a
# signal, abandon_partial <final> ends that session, waits for it and
# removes the half-made prefix.
abandon_partial() {
    (export WINEPREFIX="$1.tmp"; end_session) || true
    rm -rf "$1.tmp"
}
make_template() {
    if [ ! -d "$template" ]; then
        rm -rf "$template.tmp"
        mkdir -p "$(dirname "$template")"
        trap 'abandon_partial "$template"' EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
        (export WINEPREFIX="$template.tmp"
            wine_step "making the prefix template $template" timeout "$(wine_limit 120)" "$wine" wineboot -i &&
                end_session) || exit 1
        mv "$template.tmp" "$template"
        trap - EXIT INT TERM
    fi
}

# The template with the driver stand-in installed (install-stand-in.sh:
# the file, and the key tolvarsdk.dll's RegService writes), beside the
# template and named by a hash of the stand-in and the DLL, so that a new
# SDK gets one of its own. Installing takes a Wine session of its own,
# about half of what a test's start cost when every test did it; made
# once, it costs a test nothing. Sessions that start at once make it one
# after the other (a lock beside it), and the later ones find it made.
stand_in_template() {
    stand_in_template_sum=$(cat "${TOLVAR_STAND_IN:-$TOLVAR_BIN_DIR/TOLVARVX.sys}" \
        "$TOLVAR_BIN_DIR/tolvarsdk.dll" | sha256sum | cut -c1-16) || return 1
    echo "$template.stand-in-$stand_in_template_sum"
}
make_stand_in_template() {
    [ ! -d "$installed" ] || return 0
    exec 9>"$installed.lock"
    flock 9
    if [ ! -d "$installed" ]; then
        rm -rf "$installed.tmp"
        trap 'abandon_partial "$installed"' EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
        cp -a --reflink=auto "$template" "$installed.tmp"
        TOLVAR_WINEPREFIX="$installed.tmp" "$here/install-stand-in.sh"
        mv "$installed.tmp" "$installed"
        trap - EXIT INT TERM
    fi
    exec 9>&-
}

case "$1" in
template)
    make_template
    ;;
start)
    make_template
    end_session
    if [ -x "$here/install-stand-in.sh" ]; then
        installed=$(stand_in_template)
        make_stand_in_template
        fresh_prefix "$installed"
    else
        fresh_prefix "$template"
    fi
    # TOLVAR_DLL_IN_SYSTEM32=1 (run-windows-program.sh): tolvarsdk.dll in
    # system32 too, for a program that loads it by name from the safe
    # folders only (LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, as the Go package
    # does), which never include the search path, from a folder without
    # the DLL (a `go test` binary in Go's build cache).
    if [ "${TOLVAR_DLL_IN_SYSTEM32:-0}" = 1 ]; then
        cp "$TOLVAR_BIN_DIR/tolvarsdk.dll" "$WINEPREFIX/drive_c/windows/system32/tolvarsdk.dll"
    fi
    wine_step "keeping the Wine server up" timeout "$(wine_limit 10)" "$wineserver" -p
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
    # The prefix's own template: the one with the stand-in, where it has
    # one.
    installed=$template
    if [ -x "$here/install-stand-in.sh" ]; then
        stand_in=$(stand_in_template)
        [ ! -d "$stand_in" ] || installed=$stand_in
    fi
    for registry in system.reg user.reg userdef.reg; do
        if [ -f "$WINEPREFIX/$registry" ] && ! cmp -s "$WINEPREFIX/$registry" "$installed/$registry"; then
            cp "$WINEPREFIX/$registry" "$2/"
        fi
    done
    ;;
esac
