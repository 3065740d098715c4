#!/bin/sh
# The main job: installs what is missing, builds the SDK and lays it out in
# an install folder (bin/, lib/, include/), then shows its export table.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOLVAR_BUILD_DIR:-$root/build}
"$root/tools/setup.sh"
cmake -S "$root" -B "$build" -G Ninja
cmake --build "$build"
cmake --install "$build/windows" --prefix "$build/sdk"
echo "SDK laid out in $build/sdk:"
(cd "$build/sdk" && find . -type f | sort)
echo "Exports of tolvarsdk.dll:"
i686-w64-mingw32-objdump -p "$build/sdk/bin/tolvarsdk.dll" |
    sed -n '/^Export Address Table/,/^$/p;/\[Ordinal\/Name Pointer\] Table/,/^$/p'
