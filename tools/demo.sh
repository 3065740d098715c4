#!/bin/sh
# The main job: installs what is missing, builds the SDK, lays it out in
# build/sdk (one line per stage, the tools' output in build/demo.log), and
# then shows a drive's whole life under Wine with tolvarctl
# against the driver stand-in, in a Wine prefix of its own
# (build/demo-prefix-x86; tools/demo-life.sh). Every step prints its
# command, the tool's output and whether the result is the one expected
# under Wine; where Wine's result differs from what Windows gives, one line
# says so.
# The x86 SDK under 32-bit Wine by default; TOLVAR_WINE_ARCH=win64 shows
# the x64 SDK under 64-bit Wine (build/demo-prefix-x64). Where the host
# cannot execute 32-bit code (or TOLVAR_WINE_VM=1), the x86 life runs whole
# in one run of a QEMU guest, its output shown as it comes.
# Exit status: 0 when every step gave its expected result, else 1.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOLVAR_BUILD_DIR:-$root/build}
# Which way 32-bit Wine runs here needs nothing installed; Wine itself is
# looked up only once setup has installed it.
. "$root/testing/wine/way.sh"
tolvar_wine_way
export TOLVAR_WINE_WAY="$wine_way"
. "$root/tools/stage.sh"

# Each stage prints one line with its time, and a line every 30 s while it
# runs; what the tools say goes to the log, whose end is shown, with its
# path, when a stage fails.
mkdir -p "$build"
log="$build/demo.log"
: >"$log"
stage() { # stage <what> <command...>
    what=$1
    shift
    started=$(date +%s)
    echo "demo: $what ..."
    if ! run_stage demo "$what" no "$log" "$@"; then
        echo "demo: $what failed after $(($(date +%s) - started)) s. The end of its output:"
        tail -n 30 "$log"
        echo "demo: the whole output is in $log"
        exit 1
    fi
    echo "demo: $what took $(($(date +%s) - started)) s"
}
stage "installing what is missing (tools/setup.sh)" "$root/tools/setup.sh"
export TOLVAR_ARCH_DIR="$root/cmake"
. "$root/testing/wine/arch.sh"
stage "configuring the build in $build" cmake -S "$root" -B "$build" -G Ninja
stage "building the SDK for x86, x64 and ARM64, its test programs and the zip" cmake --build "$build"
rm -rf "$build/sdk"
stage "laying out the SDK in $build/sdk" cmake --install "$build" --prefix "$build/sdk"
echo "demo: SDK zip: $(ls "$build"/package/*.zip); build output: $log"

export TOLVAR_WINEPREFIX="$build/demo-prefix-$arch"
# The driver stand-in is the one the SDK ships for tests.
set -- "$root/tools/demo-life.sh" "$build/sdk" "$build/sdk/testing/$arch/TOLVARVX.sys"
# Where the architecture's Wine runs (its description's wine_runs).
case $wine_runs in
host) wine_way=native ;;
guest) wine_way=guest wine_way_why="$arch Wine runs only there" ;;
esac
if [ "$wine_way" = guest ]; then
    echo "demo: the drive's life runs in a QEMU guest: $wine_way_why"
    stage "building the guest's image, unless it is cached" \
        /usr/bin/python3 "$root/testing/guest/runner.py" --arch "$guest_machine" image
    exec /usr/bin/python3 "$root/testing/guest/runner.py" --arch "$guest_machine" run \
        --dir "$build/$guest_folder" --limit 1800 -- "$@"
fi
exec "$@"
