#!/bin/sh
# Checks a built DLL against the export list:
#   check-dll.sh x86|x64 tolvarsdk.dll tolvarsdk.def <folder with the import libraries>
# tolvarsdk.def is the decorated list (include/). The DLL is built for the
# architecture named; every export of the list is in it at its ordinal under
# its plain name, nothing else is exported, it imports only Windows system
# DLLs, and both import libraries hold the symbols a caller of that
# architecture links against: _Name@N and __imp__Name@N on x86 (stdcall),
# Name and __imp_Name on x64 (one convention, no decoration).
set -eu
arch=$1 dll=$2 def=$3 libdir=$4
case $arch in
x86) prefix=i686-w64-mingw32 machine=i386 ;;
x64) prefix=x86_64-w64-mingw32 machine=i386:x86-64 ;;
*) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
objdump=$prefix-objdump
nm=$prefix-nm
failures=0 checks=0
check() { # check <description> <command...>
    description=$1
    shift
    checks=$((checks + 1))
    if ! "$@"; then
        echo "FAILED: $description"
        failures=$((failures + 1))
    fi
}

built_for=$($objdump -f "$dll" | sed -n 's/^architecture: \([^,]*\),.*/\1/p')
check "$dll is built for $built_for, not $machine" test "$built_for" = "$machine"

table=$($objdump -p "$dll")
# "ordinal name" pairs as exported: base + index from the address table,
# names from the name table.
base=$(echo "$table" | sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\)/\1/p')
exported=$(echo "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n "s/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p" |
    while read -r index name; do echo "$((index + base)) $name"; done | sort -n)
expected=$(sed -n 's/^[[:space:]]*\([A-Za-z]*\)@[0-9]*[[:space:]]*@\([0-9]*\).*/\2 \1/p' "$def" | sort -n)
check "exports $(echo $exported) are $(echo $expected)" test "$exported" = "$expected"
# The ordinals run from 1 without a gap: a caller that imports by ordinal
# relies on each number naming one export for good.
ordinals=$(echo "$expected" | cut -d' ' -f1 | tr '\n' ' ')
check "ordinals $ordinals run from 1" test "$ordinals" = "$(seq -s' ' 1 "$(echo "$expected" | wc -l)") "

allowed="KERNEL32.dll USER32.dll ADVAPI32.dll SHELL32.dll SHLWAPI.dll msvcrt.dll"
for imported in $(echo "$table" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    check "imports $imported" sh -c "echo ' $allowed ' | grep -qi ' $imported '"
done

missing=$(mktemp)
for lib in libtolvarsdk.dll.a tolvarsdk.lib; do
    symbols=$($nm "$libdir/$lib")
    sed -n 's/^[[:space:]]*\([A-Za-z]*\)\(@[0-9]*\)[[:space:]]*@[0-9]*.*/\1 \2/p' "$def" |
    while read -r name decoration; do
        if [ "$arch" = x86 ]; then
            code=_$name$decoration slot=__imp__$name$decoration
        else
            code=$name slot=__imp_$name
        fi
        echo "$symbols" | grep -q " T $code\$" || echo "$lib lacks $code"
        echo "$symbols" | grep -q " I $slot\$" || echo "$lib lacks $slot"
    done >"$missing"
    check "$lib symbols: $(cat "$missing")" test ! -s "$missing"
done
rm -f "$missing"

echo "dll shape ($arch): $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
