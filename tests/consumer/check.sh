#!/bin/sh
# Builds the consumer project against the SDK exactly as a customer gets it
# and runs it under Wine:
#   check.sh <windows build dir> <scratch dir> <toolchain file>
# 1. installs the build into <scratch>/installed (cmake --install);
# 2. unpacks the build's SDK zip into <scratch>/unpacked and checks that it
#    holds the same files;
# 3. configures and builds tests/consumer against the unpacked tree through
#    find_package(tolvarsdk), with the same toolchain;
# 4. runs the program under the test session's Wine (through the launcher,
#    which may run it in the build's guest).
set -eu
build=$1 scratch=$2 toolchain=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

rm -rf "$scratch"
mkdir -p "$scratch/unpacked"
cmake --install "$build" --prefix "$scratch/installed" >/dev/null
zip=$(ls "$build"/package/tolvarsdk-*-win32.zip)
(cd "$scratch/unpacked" && cmake -E tar xf "$zip")
sdk=$(ls -d "$scratch"/unpacked/tolvarsdk-*-win32)
(cd "$scratch/installed" && find . -type f | sort) >"$scratch/installed.txt"
(cd "$sdk" && find . -type f | sort) >"$scratch/unpacked.txt"
echo "SDK files:"
cat "$scratch/installed.txt"
for expected in ./bin/tolvarsdk.dll ./bin/tolvarctl.exe ./lib/libtolvarsdk.dll.a \
    ./lib/tolvarsdk.lib ./lib/tolvarsdk.def ./include/tolvarsdk.h \
    ./lib/cmake/tolvarsdk/tolvarsdkConfig.cmake ./lib/cmake/tolvarsdk/tolvarsdkConfigVersion.cmake; do
    grep -qx "$expected" "$scratch/installed.txt" || { echo "missing from the SDK: $expected"; exit 1; }
done
if ! diff "$scratch/installed.txt" "$scratch/unpacked.txt"; then
    echo "the zip and the installed tree differ"
    exit 1
fi

# The toolchain file only searches the mingw root for packages, so the SDK
# is named directly, as a customer of a cross build does.
cmake -S "$here" -B "$scratch/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -Dtolvarsdk_DIR="$sdk/lib/cmake/tolvarsdk" >"$scratch/configure.log" 2>&1 ||
    { cat "$scratch/configure.log"; exit 1; }
cmake --build "$scratch/build" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
test -f "$scratch/build/tolvarsdk.dll" || { echo "tolvarsdk.dll was not copied beside the program"; exit 1; }
# Without WINEPATH, so the DLL that loads is the one copied from the SDK.
exec env -u WINEPATH "$root/tools/wine/launch.sh" "$root/tools/wine/run.sh" "$scratch/build/consumer.exe"
