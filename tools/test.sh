#!/bin/sh
# Builds everything and runs every test: the host unit tests, and the real
# DLL under Wine against the driver stand-in.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOLVAR_BUILD_DIR:-$root/build}
"$root/tools/setup.sh"
cmake -S "$root" -B "$build" -G Ninja
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
