#!/bin/sh
# The test kit at a customer's scale: a consumer project with N one-call
# tests, built against an SDK zip and run with `ctest -j2` through
# tolvarsdk_add_wine_test.
#
#   tools/bench-kit.sh [SDK zip] [N] [scratch dir] [x64|x86|arm64]
#
# Defaults: build/package/*.zip, 20 tests, build/bench-kit, x64 (64-bit
# Wine on the host). x86 runs where the kit runs it: on the host where it
# executes 32-bit code, else in the project's QEMU guest, and ARM64 always
# in its aarch64 guest; the guest is booted by the template step and
# powered off at the end. ARM64 programs link this build's run-time layer
# (build/, as tests/consumer/sample.sh does). Prints, with the load average
# before and after:
# - the template step (ctest's fixture) alone: wall time and processor time;
# - the N tests at -j2: wall time, processor time per test, the largest
#   disk use of one test's folders while it ran (du -x, sampled each second:
#   an overlay's merged view is another filesystem and is not counted, its
#   writable half is), the largest rise of the disk's use (df) over the run,
#   and what the kit's folder holds after it;
# - every process of the run still alive when ctest ended (none, unless
#   something outlived its test).
# Processor time is that of every process the run started, daemons
# included: the run's processes are measured from a subreaper that reaps
# them all (tools/reap.py), and a guest's QEMU, which outlives the run, by
# what its process used while the tests ran. A test's folders in a guest
# are on the guest's disk, whose writes QEMU keeps in a deleted file on
# the host: there only the rise of the host disk's use is seen.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
zip=${1:-$(ls "$root"/build/package/tolvarsdk-*-windows.zip)}
count=${2:-20}
scratch=${3:-$root/build/bench-kit}
arch=${4:-x64}
zip=$(cd "$(dirname "$zip")" && pwd)/${zip##*/}
# The architecture's description (cmake/<arch>.arch): its toolchain, its C
# run-time, its guest.
row=$("$root/testing/wine/arch.sh" arch "$arch") || exit 2
eval "$row"

rm -rf "$scratch"
mkdir -p "$scratch/sdk" "$scratch/project"
(cd "$scratch/sdk" && cmake -E tar xf "$zip")
sdk=$(ls -d "$scratch"/sdk/tolvarsdk-*)

# One program, one call of the library per test: TolvarFlush of a drive
# that is not open answers at once from the stand-in. Any answer passes;
# what is measured is the kit around the call.
cat >"$scratch/project/call.c" <<'EOF'
#include <stdio.h>
#include <windows.h>
#include <tolvarsdk.h>
int main(void)
{
    printf("TolvarFlush(0) = %lu\n", (unsigned long)TolvarFlush(0));
    return 0;
}
EOF
{
    echo 'cmake_minimum_required(VERSION 3.20)'
    echo 'project(kit_scale LANGUAGES C)'
    echo 'enable_testing()'
    echo 'find_package(tolvarsdk 1.0 REQUIRED CONFIG COMPONENTS testing)'
    echo 'add_executable(call call.c)'
    echo 'target_link_libraries(call PRIVATE tolvarsdk::tolvarsdk)'
    echo 'target_link_options(call PRIVATE -static)'
    i=1
    while [ "$i" -le "$count" ]; do
        echo "tolvarsdk_add_wine_test(NAME call.$i COMMAND call)"
        i=$((i + 1))
    done
} >"$scratch/project/CMakeLists.txt"

build=$scratch/build
set -- -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain"
if [ "$c_runtime" != mingw-w64 ]; then
    # As tests/consumer/sample.sh links the sample: on the build's layer.
    set -- "$@" -DCMAKE_C_FLAGS=-D__USE_MINGW_ANSI_STDIO=0 \
        -DCMAKE_C_STANDARD_LIBRARIES="-lmsvcrt_program -lmsvcrt -lkernel32" \
        "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -nostdlib -nostartfiles -Wl,--entry,mainCRTStartup -Wl,--subsystem,console -L$root/build/windows/$arch/$c_runtime -L$root/build/windows/$arch/system-imports"
fi
cmake -S "$scratch/project" -B "$build" -G Ninja "$@" \
    -DCMAKE_BUILD_TYPE=Release -Dtolvarsdk_DIR="$sdk/lib/cmake/tolvarsdk" >"$scratch/configure.log" 2>&1 ||
    { cat "$scratch/configure.log"; exit 1; }
cmake --build "$build" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }

kit=$build/tolvarsdk-wine/$arch
ctest_run() {
    env -u WINEPATH -u TOLVAR_WINEPREFIX -u TOLVAR_BIN_DIR -u TOLVAR_WINE_ARCH \
        -u TOLVAR_GUEST_DIR -u TOLVAR_ARM64_GUEST_DIR \
        /usr/bin/python3 "$here/reap.py" ctest --test-dir "$build" "$@"
}
# The project's guest, where its tests run in one: its QEMU's processor
# time so far (its pid file in the guest's state folder, see testing/guest/runner.py).
# An architecture whose Wine always runs here has none.
guest_dir=""
[ -z "$guest_folder" ] || guest_dir=$(cd "$build" && pwd -P)/tolvarsdk-$guest_folder
guest_state=${XDG_CACHE_HOME:-$HOME/.cache}/tolvarsdk/state/$(printf %s "$guest_dir" | sha256sum | cut -c1-16)
guest_processor() {
    if [ -f "$guest_state/pid" ] && read -r qemu _ <"$guest_state/pid" && [ -r "/proc/$qemu/stat" ]; then
        # utime and stime, fields 14 and 15, after the command's name.
        sed 's/.*) //' "/proc/$qemu/stat" | awk -v hz="$(getconf CLK_TCK)" '{ printf "%.1f\n", ($12 + $13) / hz }'
    else
        echo 0
    fi
}
stop_guest() {
    if [ -f "$guest_state/pid" ]; then
        /usr/bin/python3 "$root/testing/guest/runner.py" stop --dir "$guest_dir" >/dev/null 2>&1 || true
    fi
}
trap stop_guest EXIT

echo "# The kit at scale: $count tests, $arch, $(nproc) processors, $(uname -sr)"
echo "SDK: $zip"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "## The template step"
ctest_run -R "^tolvarsdk\\.wine\\.template\\.$arch\$" >"$scratch/template.log" 2>&1 ||
    { cat "$scratch/template.log"; exit 1; }
grep '^reap:' "$scratch/template.log"
if [ -d "$kit/template" ]; then
    echo "template on disk: $(du -sxm "$kit/template" | cut -f1) MB"
else
    echo "template: in the guest (the guest's boot and its first session: processor $(guest_processor) s)"
fi
echo

# The sampler: each second, each test's folders and the disk's use. du
# starts above the prefixes and stays on its filesystem (-x), so an
# overlay's merged view, a mount, is not counted and its writable half
# (tests/.overlays/<hash of the prefix's path>) is.
samples=$scratch/samples
names=$scratch/overlay-names
i=1
while [ "$i" -le "$count" ]; do
    echo "$(printf %s "$kit/tests/call_$i" | sha256sum | cut -c1-16) call_$i"
    i=$((i + 1))
done >"$names"
used_before=$(df --output=used -B1M "$build" | tail -n 1)
(
    while :; do
        for folder in "$kit/tests" "$kit/tests/.overlays"; do
            if [ -d "$folder" ]; then
                du -xk -d1 "$folder" 2>/dev/null | sed 's/^/du /' || true
            fi
        done
        echo "df $(df --output=used -B1M "$build" | tail -n 1)"
        sleep 1
    done
) >"$samples" &
sampler=$!

echo "## $count tests at -j2"
status=0
guest_before=$(guest_processor)
ctest_run -j2 -E '^tolvarsdk\.wine\.template' >"$scratch/tests.log" 2>&1 || status=$?
guest_after=$(guest_processor)
kill "$sampler"
wait "$sampler" 2>/dev/null || true
grep -E '^reap:|tests passed|tests failed' "$scratch/tests.log"
[ "$status" = 0 ] || { cat "$scratch/tests.log"; echo "the tests failed"; }
echo "the guest's QEMU meanwhile: processor $(echo "$guest_after $guest_before" | awk '{ printf "%.1f", $1 - $2 }') s"
awk -v n="$count" -v guest="$(echo "$guest_after $guest_before" | awk '{ print $1 - $2 }')" '
    /^reap: processor/ { print "processor time per test: " ($3 + guest) / n " s" }
    /^reap: wall/ { print "wall time per test (two at a time): " $3 / n " s" }' "$scratch/tests.log"
# A test's folders: tests/call_1, tests/call_1.kept and its overlay's
# writable half.
awk -v before="$used_before" '
    FILENAME == names { test[$1] = $2; next }
    $1 == "du" {
        name = $3; sub(/.*\//, "", name)
        if (name == "tests" || name == ".overlays") next
        if (name in test) name = test[name]
        sub(/\..*/, "", name)
        size[sample SUBSEP name] += $2 / 1024
    }
    $1 == "df" { sample++; if ($2 - before > rise) rise = $2 - before }
    END {
        for (key in size) { split(key, k, SUBSEP); if (size[key] > peak[k[2]]) peak[k[2]] = size[key] }
        for (name in peak) { tests++; sum += peak[name]; if (peak[name] > most) most = peak[name] }
        printf "disk of one running test: largest %.1f MB, mean of the tests%s %.1f MB (%d tests seen)\n",
            most, "\047", tests ? sum / tests : 0, tests
        printf "largest rise of the disk%ss use during the run: %d MB\n", "\047", rise
    }' names="$names" "$names" "$samples"
if [ -d "$kit/template" ]; then
    echo "the kit's folder after the run: $(du -sxm "$kit" | cut -f1) MB ($(du -sxm "$kit/template" | cut -f1) MB of it the template)"
else
    echo "the kit's folders: on the guest's disk (the rise above is what QEMU kept of its writes)"
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
