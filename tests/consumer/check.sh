#!/bin/sh
# Builds the consumer project against the SDK exactly as a customer gets it
# and runs its tests under Wine, for one architecture:
#   check.sh x86|x64 <windows build dir> <scratch dir> <SDK zip>
# 1. installs the build alone into <scratch>/installed (cmake --install): it
#    writes its own architecture's folders and the shared files, nothing else;
# 2. unpacks the SDK zip (x86, x64 and arm64) into <scratch>/unpacked: it
#    holds the three architectures' files, and this build's files unchanged;
# 3. configures tests/consumer against the one-architecture tree with the
#    other architecture's toolchain, with the ARM64 toolchain, and against
#    that tree without its testing part: find_package must refuse all three
#    and say why; and with the ARM64 toolchain against the zip, which must
#    give bin/arm64;
# 4. configures and builds tests/consumer against the unpacked zip through
#    find_package(tolvarsdk COMPONENTS testing) with this architecture's
#    toolchain (its program once more by clang and lld-link against
#    tolvarsdk.lib) (the SDK's sample is built and run by sample.sh);
# 5. runs the consumer's own ctest: its programs under Wine, each in a
#    session with the SDK's driver stand-in, through tolvarsdk_add_wine_test;
# 6. with `arm64` last: builds the ARM64 project of step 3 and runs its
#    test, in the aarch64 guest (the test run's, which TOLVAR_ARM64_GUEST_DIR
#    names, else one of its own, powered off at the end).
set -eu
arch=$1 build=$2 scratch=$3 zip=$4 with_arm64=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
case $arch in
x86) other=x64 toolchain=$root/cmake/mingw-i686.cmake other_toolchain=$root/cmake/mingw-x86_64.cmake ;;
x64) other=x86 toolchain=$root/cmake/mingw-x86_64.cmake other_toolchain=$root/cmake/mingw-i686.cmake ;;
*) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
fail() { echo "$*"; exit 1; }

# The files of one architecture, and those both share.
arch_files() {
    for file in bin/$1/tolvarsdk.dll bin/$1/tolvarctl.exe lib/$1/libtolvarsdk.dll.a \
        lib/$1/tolvarsdk.lib lib/$1/tolvarsdk.def lib/cmake/tolvarsdk/tolvarsdk-$1.cmake \
        testing/$1/TOLVARVX.sys; do
        echo "./$file"
    done
}
shared_files() {
    for file in README.md LICENSE include/tolvarsdk.h include/tolvar_driver_contract.h \
        lib/cmake/tolvarsdk/tolvarsdkConfig.cmake lib/cmake/tolvarsdk/tolvarsdkConfigVersion.cmake \
        lib/cmake/tolvarsdk/tolvarsdkTesting.cmake testing/include/tolvarvx_test.h \
        testing/include/tolvarvx_details.h testing/include/tolvarvx_testing.h \
        testing/wine/arch.sh testing/wine/install-stand-in.sh testing/wine/run-test.sh \
        testing/wine/run.sh testing/wine/session.sh testing/wine/launch.sh testing/wine/way.sh \
        testing/run-windows-program.sh \
        testing/guest/runner.py testing/guest/files.py testing/guest/images.py \
        testing/guest/keeper.py testing/guest/lifecycle.py testing/guest/machines.py \
        testing/guest/qemu.py testing/guest/wire.py testing/guest/agent.py \
        testing/guest/build-image.sh testing/guest/init testing/guest/packages \
        testing/guest/x86.machine testing/guest/arm64.machine samples/CMakeLists.txt \
        samples/drive_sample.c go/go.mod go/tolvarsdk.go go/record.go go/errors.go go/library.go \
        cmake/x86.arch cmake/x64.arch cmake/arm64.arch; do
        echo "./$file"
    done
}

# The files of a tree but the API reference's pages (doc/), which Doxygen
# names.
tree_files() {
    (cd "$1" && find . -type f | grep -v '^\./doc/' | sort)
}

rm -rf "$scratch"
mkdir -p "$scratch/unpacked"
if [ "$with_arm64" = arm64 ] && [ -z "${TOLVAR_ARM64_GUEST_DIR:-}" ]; then
    export TOLVAR_ARM64_GUEST_DIR="$scratch/arm64-guest"
    trap '/usr/bin/python3 "$root/testing/guest/runner.py" --arch arm64 stop --dir "$TOLVAR_ARM64_GUEST_DIR"' EXIT
fi
cmake --install "$build" --prefix "$scratch/installed" >/dev/null
tree_files "$scratch/installed" >"$scratch/installed.txt"
{ arch_files "$arch"; shared_files; } | sort >"$scratch/expected-installed.txt"
echo "Installed for $arch:"
cat "$scratch/installed.txt"
diff "$scratch/expected-installed.txt" "$scratch/installed.txt" ||
    fail "installing $arch wrote other files than its own and the shared ones"

(cd "$scratch/unpacked" && cmake -E tar xf "$zip")
sdk=$(ls -d "$scratch"/unpacked/tolvarsdk-*)
tree_files "$sdk" >"$scratch/unpacked.txt"
{ arch_files x86; arch_files x64; arch_files arm64; shared_files; } | sort >"$scratch/expected-zip.txt"
diff "$scratch/expected-zip.txt" "$scratch/unpacked.txt" ||
    fail "the zip holds other files than the three architectures'"
# The API reference: an index, and a page of its own for each export; the
# same from either build.
[ -f "$sdk/doc/index.html" ] || fail "the zip has no doc/index.html"
diff -r "$scratch/installed/doc" "$sdk/doc" >/dev/null || fail "doc/ differs between the zip and this $arch build"
for export in $(sed -n 's/^ *\([A-Za-z]*\)\(@[0-9]*\)\{0,1\} @[0-9]*$/\1/p' "$sdk/lib/$arch/tolvarsdk.def"); do
    grep -qlx "<title>tolvarsdk: $export</title>" "$sdk"/doc/*.html ||
        fail "the API reference has no page for $export"
done
# The shared files come from whichever install ran last: each architecture's
# test finds its own identical, so both builds write the same.
while read -r file; do
    cmp -s "$scratch/installed/$file" "$sdk/$file" || fail "$file differs between the zip and this $arch build"
done <"$scratch/installed.txt"

# refused <what> <name> <toolchain> <SDK tree> <message>: configuring the
# consumer project with the toolchain against the tree must fail and say
# the message.
refused() {
    what=$1 name=$2 with=$3 tree=$4 message=$5
    status=0
    cmake -S "$here" -B "$scratch/$name" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$with" \
        -Dtolvarsdk_DIR="$tree/lib/cmake/tolvarsdk" >"$scratch/$name.log" 2>&1 || status=$?
    if [ "$status" = 0 ] || ! tr -s ' \n' ' ' <"$scratch/$name.log" | grep -qF "$message"; then
        cat "$scratch/$name.log"
        fail "$what: configure exited $status, without \"$message\""
    fi
    echo "$what refused: $message ..."
}

# The tree with this architecture alone, asked for the other one.
refused "$other project against the $arch-only tree" wrong-arch "$other_toolchain" \
    "$scratch/installed" "this tolvarsdk ($scratch/installed) holds $arch, and the project builds for $other"

# An ARM64 toolchain's project is 64-bit too, and must get arm64, not x64:
# refused by this tree, given arm64 by the zip.
arm64_toolchain=$root/cmake/clang-aarch64.cmake
refused "arm64 project against the $arch-only tree" arm64-arch "$arm64_toolchain" \
    "$scratch/installed" "this tolvarsdk ($scratch/installed) holds $arch, and the project builds for arm64"
cmake -S "$here" -B "$scratch/arm64-zip" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$arm64_toolchain" \
    -Dtolvarsdk_DIR="$sdk/lib/cmake/tolvarsdk" >"$scratch/arm64-zip.log" 2>&1 ||
    { cat "$scratch/arm64-zip.log"; fail "an arm64 project against the zip does not configure"; }
grep -qF -- "-- tolvarsdk for arm64: $sdk/bin/arm64/tolvarsdk.dll" "$scratch/arm64-zip.log" ||
    { cat "$scratch/arm64-zip.log"; fail "an arm64 project against the zip does not get bin/arm64"; }
echo "arm64 project against the zip: tolvarsdk for arm64"

# The same tree without its testing part, asked for it.
cp -a "$scratch/installed" "$scratch/no-testing"
rm -rf "$scratch/no-testing/testing"
refused "component testing of the $arch tree without testing/" no-testing-build "$toolchain" \
    "$scratch/no-testing" "this tolvarsdk ($scratch/no-testing) has no component testing for $arch"

# The toolchain file only searches the mingw root for packages, so the SDK
# is named directly, as a customer of a cross build does.
cmake -S "$here" -B "$scratch/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -Dtolvarsdk_DIR="$sdk/lib/cmake/tolvarsdk" >"$scratch/configure.log" 2>&1 ||
    { cat "$scratch/configure.log"; exit 1; }
cmake --build "$scratch/build" >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log"; exit 1; }
cmp -s "$scratch/build/tolvarsdk.dll" "$sdk/bin/$arch/tolvarsdk.dll" ||
    fail "the $arch tolvarsdk.dll was not copied beside the program"
for script in "$sdk"/testing/wine/*.sh "$sdk"/testing/guest/runner.py \
    "$sdk"/testing/guest/build-image.sh "$sdk"/testing/guest/init; do
    [ -x "$script" ] || fail "$script is not executable in the unpacked zip"
done

# The consumer's tests, with nothing of this build's Wine environment: the
# SDK's harness sets up its own, from its wineboot on.
consumer_tests() {
    env -u WINEPATH -u TOLVAR_WINEPREFIX -u TOLVAR_BIN_DIR -u TOLVAR_WINE_ARCH \
        ctest --test-dir "$1" --output-on-failure
}
consumer_tests "$scratch/build"
if [ "$with_arm64" = arm64 ]; then
    cmake --build "$scratch/arm64-zip" >"$scratch/arm64-build.log" 2>&1 ||
        { cat "$scratch/arm64-build.log"; fail "the arm64 project does not build against the zip"; }
    consumer_tests "$scratch/arm64-zip"
fi
