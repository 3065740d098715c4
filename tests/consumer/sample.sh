#!/bin/sh
# The SDK's sample as a customer starts with it: unpacked from the SDK zip,
# built from the zip's samples/ with one architecture's toolchain, and its
# own tests run under Wine against the SDK's driver stand-in:
#   sample.sh x86|x64|arm64 <toolchain file> <scratch dir> <SDK zip> [<library dir>...]
# Debian has no C run-time for ARM64 programs; an ARM64 customer's toolchain
# (Visual Studio, llvm-mingw) brings one. The ARM64 build's own programs
# start on msvcrt.dll through a start library and import libraries of
# their own, which the library dirs hold, and the sample links the same way.
set -eu
arch=$1 toolchain=$2 scratch=$3 zip=$4
shift 4
runtime=""
for dir in "$@"; do runtime="$runtime -L$dir"; done
fail() { echo "sample.sh: $*"; exit 1; }

rm -rf "$scratch"
mkdir -p "$scratch/unpacked"
(cd "$scratch/unpacked" && cmake -E tar xf "$zip")
sdk=$(ls -d "$scratch"/unpacked/tolvarsdk-*)
set -- -DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dtolvarsdk_DIR="$sdk/lib/cmake/tolvarsdk"
if [ -n "$runtime" ]; then
    # msvcrt.dll's own printf, not mingw-w64's (which is not here either).
    set -- "$@" -DCMAKE_C_FLAGS=-D__USE_MINGW_ANSI_STDIO=0 \
        -DCMAKE_C_STANDARD_LIBRARIES="-lmsvcrt_program -lmsvcrt -lkernel32" \
        "-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -nostdlib -nostartfiles -Wl,--entry,mainCRTStartup -Wl,--subsystem,console$runtime"
fi
cmake -S "$sdk/samples" -B "$scratch/build" -G Ninja "$@" >"$scratch/build.log" 2>&1 &&
    cmake --build "$scratch/build" >>"$scratch/build.log" 2>&1 ||
    { cat "$scratch/build.log"; fail "the sample does not build for $arch from the zip"; }
grep -q "drive_sample" "$scratch/build/CTestTestfile.cmake" ||
    fail "the sample's project has no tests under the kit"
echo "sample built for $arch: $(ls "$scratch/build"/*.exe)"
# Nothing of this build's own Wine environment: the SDK's harness sets up
# its own.
env -u WINEPATH -u TOLVAR_WINEPREFIX -u TOLVAR_BIN_DIR -u TOLVAR_WINE_ARCH \
    ctest --test-dir "$scratch/build" --output-on-failure
