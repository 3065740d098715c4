#!/bin/sh
# Proves the README's two commands from nothing: builds a pristine Debian 12
# root as a new user's machine has it (debootstrap minbase, plus git and
# ca-certificates), clones this repository's HEAD into it, and runs there,
# as root, first ./tools/demo.sh and then ./tools/test.sh, each timed.
#   tools/pristine-check.sh [--keep] [FOLDER]
# FOLDER (default: a new folder under /var/tmp) must not exist; it is made
# for the check and removed at the end unless --keep is given. The root
# gets /proc, /sys and /dev of this host; QEMU guests started inside run as
# the commands start them. Takes about an hour on a 2-core host.
# Every step prints its time; a failing step prints its output's end and
# where the whole is. Whatever the end, every process whose root is the
# check's root is ended and every mount is undone.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
keep=no
if [ "${1:-}" = --keep ]; then
    keep=yes
    shift
fi
[ "$(id -u)" -eq 0 ] || { echo "pristine-check: runs as root (debootstrap, chroot, mounts)" >&2; exit 2; }
if [ $# -gt 0 ]; then
    top=$1
    mkdir -m 700 "$top" || { echo "pristine-check: $top must be a new folder" >&2; exit 2; }
else
    top=$(mktemp -d /var/tmp/tolvar-pristine.XXXXXX)
fi
top=$(cd "$top" && pwd -P)
root=$top/root
log=$top/check.log
: >"$log"
commit=$(git -C "$here" rev-parse HEAD)
mounted=""
step_pid=""

# Processes whose root is the check's root: started by the commands inside
# it, and so this check's to end.
inside() {
    for link in /proc/[0-9]*/root; do
        [ "$(readlink "$link" 2>/dev/null)" = "$root" ] && { pid=${link#/proc/}; echo "${pid%/root}"; }
    done
    return 0
}
# descendants PID: every process below PID.
descendants() {
    for child in $(ps -o pid= --ppid "$1"); do
        echo "$child"
        descendants "$child"
    done
}
finish() {
    status=$?
    # A step still running: its processes, the time limit's in a group of
    # their own, are this shell's descendants.
    if [ -n "$step_pid" ]; then
        kill $(descendants $$) 2>/dev/null || true
    fi
    pids=$(inside)
    if [ -n "$pids" ]; then
        echo "pristine-check: ending what still runs inside: $(echo $pids)"
        kill $pids 2>/dev/null || true
        sleep 5
        pids=$(inside)
        [ -z "$pids" ] || kill -9 $pids 2>/dev/null || true
        sleep 1
    fi
    for point in $mounted; do
        umount -R "$point" 2>/dev/null || umount -lR "$point" || true
    done
    # Never remove a folder that still has the host's /dev or /proc below it.
    if grep -qF " $top/" /proc/self/mounts; then
        echo "pristine-check: mounts below $top are left (see /proc/self/mounts); it is not removed" >&2
        [ "$status" != 0 ] || status=1
    elif [ "$keep" = yes ] || [ "$status" != 0 ]; then
        echo "pristine-check: the root and its log stay in $top"
    else
        rm -rf --one-file-system "$top"
    fi
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# step <what> <limit in seconds> <show: yes|no> <command...>
step() {
    what=$1 limit=$2 show=$3
    shift 3
    echo "pristine-check: $what ..."
    started=$(date +%s)
    # In the background, its end looked for every second: a shell runs its
    # traps only between commands, so an interrupt ends the check at once
    # (finish ends the step's processes). The step writes its own status.
    echo 1 >"$top/status"
    if [ "$show" = yes ]; then
        { status=0; timeout --kill-after=30 "$limit" "$@" 2>&1 </dev/null || status=$?; echo "$status" >"$top/status"; } |
            tee -a "$log" &
    else
        { status=0; timeout --kill-after=30 "$limit" "$@" >>"$log" 2>&1 </dev/null || status=$?; echo "$status" >"$top/status"; } &
    fi
    step_pid=$!
    while kill -0 "$step_pid" 2>/dev/null; do
        sleep 1
    done
    step_pid=""
    status=$(cat "$top/status")
    took=$(($(date +%s) - started))
    if [ "$status" != 0 ]; then
        [ "$show" = yes ] || tail -n 40 "$log"
        [ "$status" = 124 ] && echo "pristine-check: $what ran past its limit of $limit s"
        echo "pristine-check: $what failed with status $status after $took s; the whole output is in $log"
        exit 1
    fi
    echo "pristine-check: $what took $took s"
    echo "$what: $took s" >>"$top/times"
}

command -v debootstrap >/dev/null || step "installing debootstrap on this host" 600 no \
    sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap'
step "debootstrap: a minimal Debian 12 with git and ca-certificates in $root" 1800 no \
    debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" http://deb.debian.org/debian
# The root is a mount point, as a machine's root is (the guest image's
# builder makes its root's mounts private, which needs one), with this
# host's /proc, /sys and /dev below it.
mount --bind "$root" "$root"
mounted=$root
for point in proc sys dev; do
    mount --rbind "/$point" "$root/$point"
    mount --make-rslave "$root/$point"
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The clone a new user makes: the committed tree at HEAD, nothing else.
step "cloning $commit" 600 no git clone --quiet --no-local "$here" "$root/root/tolvarsdk"
git -C "$root/root/tolvarsdk" checkout --quiet "$commit"
# As a new user's root shell: a plain environment, nothing of this one.
set -- chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb \
    sh -c
step "the first command, ./tools/demo.sh" 5400 yes "$@" 'cd /root/tolvarsdk && ./tools/demo.sh'
step "the second command, ./tools/test.sh" 5400 yes "$@" 'cd /root/tolvarsdk && ./tools/test.sh'
echo "pristine-check: both commands passed from nothing on $commit:"
sed 's/^/    /' "$top/times"
