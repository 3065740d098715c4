#!/bin/sh
# Installs what the build and the tests need on Debian, if it is missing:
# mingw-w64 for 32-bit and 64-bit Windows, CMake, Ninja, GoogleTest, clang
# (for the fuzzers, the MSVC-style consumer and the ARM64 build), lld and
# llvm (lld, lld-link, llvm-windres and llvm-dlltool: tolvarsdk.lib, that
# consumer and the ARM64 build), Doxygen (the API reference), zip, pefile,
# Go (the Go package) and Wine with its 64-bit part; and for 32-bit Wine
# either its i386 part (on a host that executes 32-bit code) or what builds
# and boots the QEMU guest that runs it (testing/wine/way.sh says which);
# and on an x86-64 host what builds and boots the aarch64 guest that runs
# 64-bit ARM Wine (qemu-user with binfmt_misc for the image's arm64
# programs, qemu-system-aarch64).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
packages="cmake ninja-build g++ googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev
g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-win32
binutils-mingw-w64-x86-64 wine wine64 python3 python3-pefile zip lld llvm doxygen golang-go"
way=${TOLVAR_WINE_WAY:-}
if [ -z "$way" ]; then
    . "$here/../testing/wine/way.sh"
    tolvar_wine_way
    way=$wine_way
fi
if [ "$way" = guest ]; then
    packages="$packages qemu-system-x86 debootstrap e2fsprogs cpio"
else
    packages="$packages wine32:i386"
fi
if [ "$(uname -m)" = x86_64 ]; then
    packages="$packages qemu-system-arm qemu-user-static binfmt-support debootstrap e2fsprogs cpio"
fi
packages=$(printf '%s\n' $packages | sort -u)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
if [ -z "$missing" ]; then
    exit 0
fi
echo "setup: installing$missing"
# Only a host that runs 32-bit Wine itself needs Debian's i386 packages; the
# guest's are fetched when its image is built.
if [ "$way" != guest ]; then
    $sudo dpkg --add-architecture i386
fi
# Debian's mirror is briefly inconsistent while it syncs ("File has
# unexpected size ... Mirror sync in progress?"): apt then fails the update.
# Say so and stop, rather than install from a half-read index.
if ! $sudo apt-get update -qq; then
    echo "setup: apt-get update failed (above); Debian's mirror may be mid-sync: run $0 again in a few minutes. Nothing was installed." >&2
    exit 1
fi
if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing; then
    echo "setup: apt-get install of$missing failed (above); run $0 again once the cause is fixed" >&2
    exit 1
fi
