# Sourced by the Wine scripts: the Wine of one architecture, chosen by
# TOLVAR_WINE_ARCH (win32, the default, win64, or arm64 in the aarch64
# guest), as the architecture's description says (cmake/<arch>.arch; read
# by arch_row, below). Sets every fact of that description as a variable
# of its key's name: $arch, the SDK's name for the architecture (x86, x64
# or arm64), $wine_runs, $guest_machine and the others. Exports WINEARCH
# and sets $wine, the loader to start programs with: Debian's /usr/bin/wine
# starts the 32-bit loader and its preloader; Debian 12 has no wine64 on
# the PATH, so 64-bit programs go to /usr/lib/wine/wine64, which is also
# WINELOADER. One wineserver serves both (Debian's picks the 64-bit
# server), always with the caller's prefix.
#
# Run as a program, it reads descriptions and starts no Wine:
#   arch.sh KEY VALUE   the description whose KEY is VALUE, as shell
#                       assignments (eval them), or status 2 and why
#   arch.sh KEY         KEY's value in every description, one a line
# The descriptions are in $TOLVAR_ARCH_DIR, else in cmake/ two folders up
# from the script that runs (this one, or the kit's script that sources
# it): the source tree and the SDK hold them at the same place.

arch_dir=${TOLVAR_ARCH_DIR:-$(dirname "$0")/../../cmake}

# arch_row KEY VALUE: sets, as above, the facts of the description whose
# KEY is VALUE; fails, saying which there are, when none is. Shell
# built-ins alone: the scripts that source this run many times a test, in
# the emulated guests too, where every process started costs.
arch_row() {
    for arch_row_file in "$arch_dir"/*.arch; do
        [ -f "$arch_row_file" ] || continue
        arch_row_found=no
        while IFS= read -r arch_row_line; do
            [ "$arch_row_line" != "$1=$2" ] || { arch_row_found=yes; break; }
        done <"$arch_row_file"
        [ "$arch_row_found" = yes ] || continue
        while IFS= read -r arch_row_line; do
            case ${arch_row_line%%=*} in
            "$arch_row_line" | "" | *[!a-z0-9_]*) ;;
            *) eval "${arch_row_line%%=*}=\${arch_row_line#*=}" ;;
            esac
        done <"$arch_row_file"
        return 0
    done
    arch_row_values=$(arch_values "$1" | tr '\n' ' ')
    echo "${0##*/}: $1 is one of ${arch_row_values% }, not '$2' (the architectures described in $arch_dir)" >&2
    return 2
}
# arch_row_assignments FILE: the description's facts as shell assignments.
arch_row_assignments() {
    sed -n "s/'/'\\\\''/g; s/^\([a-z0-9_]*\)=\(.*\)\$/\1='\2'/p" "$1"
}
# arch_values KEY: KEY's value in every description, one a line.
arch_values() {
    cat "$arch_dir"/*.arch 2>/dev/null | sed -n "s/^$1=//p"
}

case "$0" in
*arch.sh)
    set -eu
    if [ $# = 1 ]; then
        arch_values "$1"
        exit 0
    fi
    [ $# = 2 ] || { echo "usage: arch.sh KEY [VALUE]" >&2; exit 2; }
    arch_row "$1" "$2"
    arch_row_assignments "$arch_row_file"
    exit 0
    ;;
esac

arch_row wine_arch "${TOLVAR_WINE_ARCH:-win32}" || { echo "(TOLVAR_WINE_ARCH chooses)" >&2; exit 2; }
WINEARCH=$winearch
# The first of the loaders found, else the last as written.
for wine in $wine_loader; do
    ! command -v "$wine" >/dev/null || { wine=$(command -v "$wine"); break; }
done
export WINEARCH
if [ "$wine_preloader" = no ]; then
    export WINELOADER="$wine"
    # Debian's 64-bit Wine has no preloader, the small program that reserves
    # the addresses Wine must own (its shared user data at 0x7ffe0000 among
    # them) before anything else is mapped. Its loader is linked at
    # 0x7d000000 and the kernel starts the heap at a random place up to
    # 1 GiB above it, so now and then the heap sits on those addresses and
    # the process dies at once: "failed to map the shared user data:
    # c0000018". Without address randomization the heap follows the loader
    # and never reaches them. The script starts again under that
    # personality, which every process it starts inherits: a script that
    # sources this before it starts the others spares them starting again.
    read -r personality </proc/self/personality
    if [ $((0x$personality & 0x40000)) = 0 ]; then
        exec setarch --addr-no-randomize /bin/sh "$0" "$@"
    fi
fi
# Mono's and Gecko's installers would stop a new prefix to ask; the menu
# builder, which every session's start runs, would write desktop menu
# entries for nobody.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
# Wine maps file names and the Unix command line by the Unix locale's
# character set: in the C locale a name outside ASCII cannot be made. The
# tests' paths need a UTF-8 locale; Wine's ANSI code page stays 1252.
export LC_ALL=C.UTF-8
# The server itself rather than Debian's /usr/bin/wineserver, a script that
# only picks it: a session's start and end ask the server several times.
for wineserver in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32 wineserver; do
    [ ! -x "$wineserver" ] || break
done

# wine_limit SECONDS: a time limit for one Wine command, stretched by
# TOLVAR_WINE_TIME_SCALE where Wine runs slower (the launcher sets 10 in the
# emulated guest, where a session's first process alone takes a minute).
wine_limit() {
    echo $(($1 * ${TOLVAR_WINE_TIME_SCALE:-1}))
}

# wine_step WHAT COMMAND [ARG...]: one step of the machinery, quiet when it
# works. Its output goes to a file, not a pipe (a first Wine process leaves
# the session's services holding whatever it was given, and a pipe would
# never close); when it fails, the step, its status and all it printed go
# to standard error, with Wine's error messages (TOLVAR_STEP_WINEDEBUG
# chooses others).
# Where wine_step_keep names a file, the output goes there (appended) and
# is kept: a session's services inherit the output of the step that starts
# them, so their messages land there for as long as they run.
wine_step() {
    wine_step_what=$1
    shift
    wine_step_log=${wine_step_keep:-}
    if [ -z "$wine_step_log" ]; then
        wine_step_log=$(mktemp "${TMPDIR:-/tmp}/tolvar-step.XXXXXX") || return 1
    fi
    wine_step_status=0
    WINEDEBUG=${TOLVAR_STEP_WINEDEBUG:-fixme-all} "$@" </dev/null >>"$wine_step_log" 2>&1 || wine_step_status=$?
    if [ "$wine_step_status" != 0 ]; then
        echo "${0##*/}: $wine_step_what failed with status $wine_step_status: $*" >&2
        if [ -s "$wine_step_log" ]; then
            tr -d '\r' <"$wine_step_log" | sed 's/^/    | /' >&2
        else
            echo "    (it printed nothing)" >&2
        fi
    fi
    [ -n "${wine_step_keep:-}" ] || rm -f "$wine_step_log"
    return "$wine_step_status"
}

# end_session: ends this prefix's session and waits until its server is
# gone. `wineserver -k` exits 1 without a word when no server runs, which
# is no failure and leaves nothing to wait for; whatever it says is shown.
# (It starts no process, so its output may go through a pipe.)
end_session() {
    end_session_status=0
    end_session_said=$(timeout "$(wine_limit 30)" "$wineserver" -k </dev/null 2>&1) || end_session_status=$?
    if [ -n "$end_session_said" ]; then
        echo "${0##*/}: wineserver -k for $WINEPREFIX said:" >&2
        printf '%s\n' "$end_session_said" | sed 's/^/    | /' >&2
    fi
    [ "$end_session_status" != 1 ] || [ -n "$end_session_said" ] || return 0
    wine_step "waiting for the Wine server of $WINEPREFIX to end" timeout "$(wine_limit 30)" "$wineserver" -w
}

# fresh_prefix TEMPLATE: makes $WINEPREFIX anew as the template is (its
# session must have ended). Where TOLVAR_PREFIX_OVERLAYS names a folder (the
# emulated guest's agent sets it, and run-test.sh where the kit runs as
# root), the prefix is the template seen through an overlay, whose writable
# half is a folder there of the prefix's own: what a test writes lands
# there, the template stays as it is, and a session's start copies nothing
# (the template's 600 MB took 10 s in the guest, and each test held a copy
# on the host's disk). Where the overlay cannot be mounted (no overlay in
# the kernel, no right to mount, a filesystem it cannot write on, or a
# template path its options cannot carry: a comma, colon or backslash), the
# template is copied, sharing its blocks where the filesystem can (reflink).
# Nothing is hard-linked: Wine and the programs under test rewrite some
# files in place (WritePrivateProfileString truncates and rewrites win.ini),
# which through a link would change the template.
fresh_prefix() {
    remove_prefix || return 1
    if prefix_overlay && case $1 in *[,:\\]*) false ;; esac; then
        if mkdir -p "$overlay/upper" "$overlay/work" "$WINEPREFIX" 2>/dev/null &&
            mount -t overlay tolvar-prefix \
                -o "lowerdir=$1,upperdir=$overlay/upper,workdir=$overlay/work" \
                "$WINEPREFIX" 2>/dev/null; then
            return 0
        fi
        rm -rf "$overlay" 2>/dev/null || true
        rmdir "$WINEPREFIX" 2>/dev/null || true
    fi
    mkdir -p "$(dirname "$WINEPREFIX")"
    cp -a --reflink=auto "$1" "$WINEPREFIX"
}

# remove_prefix: removes $WINEPREFIX, and its overlay if it has one (its
# session must have ended). A prefix mounted by a run that set another
# TOLVAR_PREFIX_OVERLAYS, or none, is unmounted all the same: removing
# the folders under a mounted overlay would only hide the template's files.
remove_prefix() {
    remove_prefix_wait=$(($(wine_limit 30) * 10))
    while [ -d "$WINEPREFIX" ] && mountpoint -q "$WINEPREFIX"; do
        umount "$WINEPREFIX" 2>/dev/null && continue
        # The session's end kills its processes and returns as its server
        # exits; the kernel may still be tearing the last of them down
        # (seconds in an emulated guest), and until then the overlay is
        # busy. Past the limit, umount says why.
        if [ "$remove_prefix_wait" -le 0 ]; then
            umount "$WINEPREFIX" || return 1
        fi
        remove_prefix_wait=$((remove_prefix_wait - 1))
        sleep 0.1
    done
    if prefix_overlay && [ -e "$overlay" ]; then
        rm -rf "$overlay"
    fi
    if [ -e "$WINEPREFIX" ] || [ -L "$WINEPREFIX" ]; then
        rm -rf "$WINEPREFIX"
    fi
}

# unmount_prefix: makes an overlay $WINEPREFIX a folder of its own, a copy
# of all it shows, so that it may be kept with no mount left behind (its
# session must have ended).
unmount_prefix() {
    mountpoint -q "$WINEPREFIX" || return 0
    rm -rf "$WINEPREFIX.copy"
    cp -a "$WINEPREFIX" "$WINEPREFIX.copy" || return 1
    remove_prefix || return 1
    mv "$WINEPREFIX.copy" "$WINEPREFIX"
}

# prefix_overlay: sets $overlay, the folder of $WINEPREFIX's overlay, named
# by a hash of its path (worked out once for each prefix); fails where
# prefixes have none.
prefix_overlay() {
    [ -n "${TOLVAR_PREFIX_OVERLAYS:-}" ] || return 1
    if [ "${overlay_of:-}" != "$WINEPREFIX" ]; then
        overlay_hash=$(printf %s "$WINEPREFIX" | sha256sum | cut -c1-16) || return 1
        overlay_of=$WINEPREFIX
    fi
    overlay=$TOLVAR_PREFIX_OVERLAYS/$overlay_hash
}

# server_running: whether this prefix's Wine server is up (`-k0` sends it
# signal 0, which only asks).
server_running() {
    timeout "$(wine_limit 10)" "$wineserver" -k0 </dev/null
}

# services_running: whether this prefix's session has its services up: a
# services.exe of this user whose WINEPREFIX is this prefix. Read from the
# process table, since asking Wine would start a process (seconds each in an
# emulated guest).
services_running() {
    for services_pid in $(pgrep -u "$(id -u)" -f '\\services\.exe$'); do
        tr '\0' '\n' <"/proc/$services_pid/environ" 2>/dev/null |
            grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}
