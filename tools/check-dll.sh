#!/bin/sh
# Checks the built DLL against its export list:
#   check-dll.sh tolvarsdk.dll tolvarsdk.def <folder with the import libraries>
# Every export of the .def is in the DLL at its ordinal under its plain name,
# nothing else is exported, the DLL imports only Windows system DLLs, and
# both import libraries hold the decorated stdcall symbols.
set -eu
dll=$1 def=$2 libdir=$3
objdump=i686-w64-mingw32-objdump
nm=i686-w64-mingw32-nm
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

for lib in libtolvarsdk.dll.a tolvarsdk.lib; do
    symbols=$($nm "$libdir/$lib")
    sed -n 's/^[[:space:]]*\([A-Za-z]*@[0-9]*\)[[:space:]]*@[0-9]*.*/\1/p' "$def" | while read -r decorated; do
        echo "$symbols" | grep -q " T _$decorated\$" || echo "$lib lacks _$decorated"
        echo "$symbols" | grep -q " I __imp__$decorated\$" || echo "$lib lacks __imp__$decorated"
    done > /tmp/check-dll.$$
    check "$lib symbols: $(cat /tmp/check-dll.$$)" test ! -s /tmp/check-dll.$$
    rm -f /tmp/check-dll.$$
done

echo "dll shape: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
