#!/bin/sh
# Builds everything and runs every test:
#  1. the host unit tests, built and run under AddressSanitizer and UBSan;
#  2. the fuzz targets, each for a short bounded run (TOLVAR_FUZZ_SECONDS,
#     default 25 s per target; tools/fuzz.sh alone for a long run);
#  3. the main build, then the SDK built once more in another folder and
#     every shipped file compared with the main build's
#     (tools/check-reproducible.sh);
#  4. the main build's ctest (the host unit tests ran in the sanitized
#     build, and the main build leaves them out): the real DLL under
#     Wine against the driver stand-in, the x86 build in a 32-bit prefix and
#     the x64 build in a 64-bit one (x86.* and x64.* tests), and the SDK
#     zip's consumer and sample for each architecture (x86.sdk.consumer,
#     x64.sdk.consumer); and, where the ARM64 build is there, its Wine tests
#     in 64-bit ARM Wine in an emulated aarch64 guest (arm64.* tests).
# Extra arguments go to the main build's ctest (e.g. -R wine).
#
# 32-bit Wine runs on the host where it can, else in a QEMU guest
# (TOLVAR_WINE_VM=1 forces the guest, 0 forbids it; testing/wine/way.sh).
# The guests are booted before the main ctest and stopped whenever this
# script ends.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOLVAR_BUILD_DIR:-$root/build}
. "$root/testing/wine/way.sh"
tolvar_wine_way
export TOLVAR_WINE_WAY="$wine_way"
. "$root/tools/stage.sh"
mkdir -p "$build"
log="$build/test.log"
: >"$log"
# stage <what> <command...>: runs one stage, its output shown as it comes
# (and kept in build/test.log), a line every 30 s in which it printed
# nothing, and says how long it took.
stage() {
    what=$1
    shift
    started=$(date +%s)
    status=0
    run_stage test "$what" yes "$log" "$@" || status=$?
    if [ "$status" != 0 ]; then
        echo "test: $what failed with status $status after $(($(date +%s) - started)) s"
        exit "$status"
    fi
    echo "test: $what took $(($(date +%s) - started)) s"
}

stage "installing what is missing" "$root/tools/setup.sh"

stage "configuring the sanitized build" cmake -S "$root" -B "$build/sanitized" -G Ninja -DTOLVAR_SANITIZE=ON -DTOLVAR_WINDOWS=OFF
stage "the sanitized build" cmake --build "$build/sanitized"
stage "the sanitized tests" ctest --test-dir "$build/sanitized" --output-on-failure -j2

stage "fuzzing" env TOLVAR_FUZZ_BUILD_DIR="$build/fuzz" "$root/tools/fuzz.sh" "${TOLVAR_FUZZ_SECONDS:-25}"

stage "configuring the main build" cmake -S "$root" -B "$build" -G Ninja -DTOLVAR_HOST_TESTS=OFF
stage "the main build" cmake --build "$build"
stage "the reproducibility check" "$root/tools/check-reproducible.sh" \
    --against "$(ls "$build"/package/*.zip)" "$build/reproducible"

guest="/usr/bin/python3 $root/testing/guest/runner.py"
guests=""
stop_guests() {
    for state in $guests; do
        $guest stop --dir "$state" || true
    done
}
trap stop_guests EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# The guests this run boots: that of each architecture whose Wine runs only
# in one, where its build has its Wine layer, and that of each whose Wine
# runs in one where this host cannot execute 32-bit code (way.sh). Each is
# named by its description's guest_folder in the build, and by its
# guest_variable for the SDK consumers' tests, which run in it too.
arch_sh=$root/testing/wine/arch.sh
boots=""
for arch in $("$arch_sh" arch); do
    eval "$("$arch_sh" arch "$arch")"
    case $wine_runs in
    guest)
        grep -rqs --include=CTestTestfile.cmake "$arch\.wine\.session\.start" "$build/windows/$arch" ||
            continue
        why="its Wine runs only there"
        ;;
    host-or-guest)
        if [ "$wine_way" != guest ]; then
            echo "test: the $arch Wine layer runs on this host: $wine_way_why"
            continue
        fi
        why=$wine_way_why
        ;;
    *)
        continue
        ;;
    esac
    echo "test: the $arch Wine layer runs in the $guest_machine QEMU guest: $why"
    boots="$boots $guest_machine:$guest_folder:$guest_variable"
done
# Two emulated guests on fewer than four host processors: one processor
# each. Every emulated processor is a host thread; with two each, the
# guests' four threads crowd the host's cores and every Wine process start
# waits on them (see BENCHMARKS.md).
if [ "$(echo $boots | wc -w)" -ge 2 ] && [ "$(nproc)" -lt 4 ]; then
    export TOLVAR_GUEST_CPUS="${TOLVAR_GUEST_CPUS:-1}"
fi
# boot_guest MACHINE FOLDER VARIABLE: boots the guest, stopped when this
# script ends, not after the agent's usual five idle minutes: its Wine
# session must outlive the other layers' long tests.
boot_guest() {
    export "$3=$build/$2"
    guests="$guests $build/$2"
    stage "the $1 guest's boot" env TOLVAR_GUEST_IDLE=7200 $guest --arch "$1" start --dir "$build/$2"
}
for boot in $boots; do
    boot_guest $(echo "$boot" | tr : ' ')
done
# Three at a time: each Wine session's chain of tests (the run's and the
# stress tests', per architecture) waits on one process at a time, and in
# the guest keeps one emulated processor busy; the third runs the rest.
stage "the main ctest" ctest --test-dir "$build" --output-on-failure -j3 "$@"
