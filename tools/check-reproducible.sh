#!/bin/sh
# Builds the SDK twice from this tree, in two folders of different names and
# depths and at different times, and compares the sha256 of every file the
# SDK zip holds, and of the zip itself. Exit status 0 when all are equal.
#   tools/check-reproducible.sh [--against ZIP] [work folder]
#                                               (default build/reproducible)
# --against ZIP takes a zip already built from this tree at this commit in
# another folder (the test command gives the main build's, packed just
# before) as the first build, so that only the second is made here. The
# zip's entries carry the commit's time: one packed before the last commit
# differs in that alone.
# Only the SDK's files are built (TOLVAR_WINDOWS_TARGET=sdk_files), not the
# tests. A customer verifies a release the same way: build its commit with
# this script's two steps and compare the sums with the release's.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
first_zip=""
if [ "${1:-}" = --against ]; then
    [ $# -ge 2 ] && [ -f "$2" ] || { echo "check-reproducible: --against needs a zip that exists" >&2; exit 2; }
    first_zip=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
    shift 2
fi
work=${1:-${TOLVAR_BUILD_DIR:-$root/build}/reproducible}
# Both builds take their times from the commit, as a release build does.
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

# build <folder>: copies the tree's files (those git tracks or would track)
# to <folder>/tolvarsdk, builds the SDK zip there and writes the sums of its
# files to <folder>.sha256.
build() {
    src=$1/tolvarsdk
    mkdir -p "$src"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar cf -) |
        tar xf - -C "$src"
    started=$(date +%s)
    log=$1.log
    { cmake -S "$src" -B "$src/build" -G Ninja -DTOLVAR_WINDOWS_TARGET=sdk_files &&
        cmake --build "$src/build" --target sdk_package; } >"$log" 2>&1 ||
        { tail -n 40 "$log"; echo "check-reproducible: the build in $1 failed (log: $log)"; exit 1; }
    sums "$(ls "$src"/build/package/*.zip)" "$1"
    echo "check-reproducible: built in $1 in $(($(date +%s) - started)) s: $(wc -l <"$1.sha256") files"
}

# sums <zip> <folder>: the sums of the zip's files and of the zip itself,
# in <folder>.sha256.
sums() {
    mkdir "$2/unpacked"
    (cd "$2/unpacked" && cmake -E tar xf "$1")
    (cd "$2/unpacked" && find . -type f | LC_ALL=C sort | xargs sha256sum) >"$2.sha256"
    (cd "$(dirname "$1")" && sha256sum "$(basename "$1")") >>"$2.sha256"
}

rm -rf "$work"
mkdir -p "$work"
# Absolute from here on: the steps below read it from other folders.
work=$(cd "$work" && pwd)
if [ -n "$first_zip" ]; then
    mkdir "$work/one"
    sums "$first_zip" "$work/one"
    echo "check-reproducible: the first build is $first_zip: $(wc -l <"$work/one.sha256") files"
else
    build "$work/one"
fi
build "$work/second/build-two"
if ! diff "$work/one.sha256" "$work/second/build-two.sha256"; then
    echo "check-reproducible: the two builds differ (above: < first, > second)"
    exit 1
fi
# The reference's pages are many: counted, not listed.
grep -v '/doc/' "$work/one.sha256"
echo "check-reproducible: and $(grep -c '/doc/' "$work/one.sha256") pages of doc/, all in $work/one.sha256"
echo "check-reproducible: both builds gave the same $(wc -l <"$work/one.sha256") files"
