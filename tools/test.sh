#!/bin/sh
# Builds everything and runs every test:
#  1. the host unit tests again under AddressSanitizer and UBSan;
#  2. the fuzz targets, each for a short bounded run (TOLVAR_FUZZ_SECONDS,
#     default 25 s per target; tools/fuzz.sh alone for a long run);
#  3. the main build's ctest: the host unit tests, and the real DLL under
#     Wine against the driver stand-in, the x86 build in a 32-bit prefix and
#     the x64 build in a 64-bit one (x86.* and x64.* tests).
# Extra arguments go to the main build's ctest (e.g. -R wine).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOLVAR_BUILD_DIR:-$root/build}
"$root/tools/setup.sh"

cmake -S "$root" -B "$build/sanitized" -G Ninja -DTOLVAR_SANITIZE=ON -DTOLVAR_WINDOWS=OFF
cmake --build "$build/sanitized"
ctest --test-dir "$build/sanitized" --output-on-failure -j2

TOLVAR_FUZZ_BUILD_DIR="$build/fuzz" "$root/tools/fuzz.sh" "${TOLVAR_FUZZ_SECONDS:-25}"

cmake -S "$root" -B "$build" -G Ninja
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
