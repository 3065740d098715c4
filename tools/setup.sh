#!/bin/sh
# Installs what the build and the tests need on Debian, if it is missing:
# the i386 architecture, mingw-w64 for 32-bit and 64-bit Windows, Wine with
# its 32-bit and 64-bit parts, CMake, Ninja, GoogleTest, clang (for the
# fuzzers) and pefile.
set -eu
packages="cmake ninja-build g++ googletest libgtest-dev libgmock-dev clang libclang-rt-14-dev
g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-win32
binutils-mingw-w64-x86-64 wine wine32:i386 wine64 python3-pefile zip"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    $sudo dpkg --add-architecture i386
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
fi
