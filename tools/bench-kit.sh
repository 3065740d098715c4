#!/bin/sh
# The test kit at a customer's scale: a consumer project with N one-call
# tests, built against an SDK zip and run with `ctest -j2` through
# tolvarsdk_add_wine_test, 64-bit Wine on the host.
#
#   tools/bench-kit.sh [SDK zip] [N] [scratch dir]
#
# Defaults: build/package/*.zip, 20 tests, build/bench-kit. Prints, with the
# load average before and after:
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
# them all (tools/reap.py).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
zip=${1:-$(ls "$root"/build/package/tolvarsdk-*-windows.zip)}
count=${2:-20}
scratch=${3:-$root/build/bench-kit}
zip=$(cd "$(dirname "$zip")" && pwd)/${zip##*/}

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
cmake -S "$scratch/project" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -Dtolvarsdk_DIR="$sdk/lib/cmake/tolvarsdk" >"$scratch/configure.log" 2>&1 ||
    { cat "$scratch/configure.log"; exit 1; }
cmake --build "$build" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }

kit=$build/tolvarsdk-wine/x64
ctest_run() {
    env -u WINEPATH -u TOLVAR_WINEPREFIX -u TOLVAR_BIN_DIR -u TOLVAR_WINE_ARCH \
        /usr/bin/python3 "$here/reap.py" ctest --test-dir "$build" "$@"
}

echo "# The kit at scale: $count tests, x64, $(nproc) processors, $(uname -sr)"
echo "SDK: $zip"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "## The template step"
ctest_run -R '^tolvarsdk\.wine\.template\.x64$' >"$scratch/template.log" 2>&1 ||
    { cat "$scratch/template.log"; exit 1; }
grep '^reap:' "$scratch/template.log"
echo "template on disk: $(du -sxm "$kit/template" | cut -f1) MB"
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
ctest_run -j2 -E '^tolvarsdk\.wine\.template' >"$scratch/tests.log" 2>&1 || status=$?
kill "$sampler"
wait "$sampler" 2>/dev/null || true
grep -E '^reap:|tests passed|tests failed' "$scratch/tests.log"
[ "$status" = 0 ] || { cat "$scratch/tests.log"; echo "the tests failed"; }
awk -v n="$count" '/^reap: processor/ { print "processor time per test: " $3 / n " s" }
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
echo "the kit's folder after the run: $(du -sxm "$kit" | cut -f1) MB ($(du -sxm "$kit/template" | cut -f1) MB of it the template)"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
