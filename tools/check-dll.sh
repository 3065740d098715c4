#!/bin/sh
# Checks a built DLL against the export list:
#   check-dll.sh <arch> <machine> <stdcall decoration> tolvarsdk.dll tolvarsdk.def <folder with the import libraries> <version>
# <machine> and <stdcall decoration> (yes or no) are the architecture's
# pe_machine_name and stdcall_decoration (cmake/<arch>.arch).
# tolvarsdk.def is the decorated list (include/). The DLL is built for the
# machine named; every export of the list is in it at its ordinal under
# its plain name, nothing else is exported; it imports only Windows system
# DLLs, no C run-time (msvcrt.dll, api-ms-win-crt-*) among them; it is at
# most 16 KiB; its version resource names <version> (a.b.c.d); and both
# import libraries hold the symbols a caller of that architecture links
# against: _Name@N and __imp__Name@N where stdcall names are decorated
# (x86), else Name and __imp_Name (x64 and ARM64: one convention, no
# decoration). LLVM's tools read every architecture alike.
set -eu
[ $# = 7 ] || { echo "usage: check-dll.sh <arch> <machine> <stdcall decoration> <dll> <def> <libdir> <version>" >&2; exit 2; }
arch=$1 machine=$2 stdcall_decoration=$3 dll=$4 def=$5 libdir=$6 version=$7
size_goal=16384
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

table=$(llvm-readobj --file-headers --coff-exports --coff-imports "$dll")
built_for=$(echo "$table" | sed -n 's/^[[:space:]]*Machine: \([A-Z0-9_]*\) .*/\1/p')
check "$dll is built for $built_for, not $machine" test "$built_for" = "$machine"

size=$(wc -c <"$dll")
echo "$dll: $size bytes"
check "$size bytes, more than $size_goal" test "$size" -le "$size_goal"

# "ordinal name" pairs as exported. lld (ARM64) starts the table at ordinal
# 0 and leaves that slot empty (address 0), which Windows and Wine take as
# no export at all; only slots with an address count.
exported=$(echo "$table" | sed -n '/^Export {/,/^}/p' |
    sed -n 's/^[[:space:]]*Ordinal: \([0-9]*\)$/\1/p; s/^[[:space:]]*Name: \(.*\)$/\1/p;
            s/^[[:space:]]*RVA: \(0x[0-9A-F]*\)$/\1/p' |
    paste - - - | awk -F'\t' '$3 != "0x0" { print $1, $2 }' | sort -n)
expected=$(sed -n 's/^[[:space:]]*\([A-Za-z]*\)@[0-9]*[[:space:]]*@\([0-9]*\).*/\2 \1/p' "$def" | sort -n)
check "exports $(echo $exported) are $(echo $expected)" test "$exported" = "$expected"
# The ordinals run from 1 without a gap: a caller that imports by ordinal
# relies on each number naming one export for good.
ordinals=$(echo "$expected" | cut -d' ' -f1 | tr '\n' ' ')
check "ordinals $ordinals run from 1" test "$ordinals" = "$(seq -s' ' 1 "$(echo "$expected" | wc -l)") "

# System DLLs that every Windows has; no C run-time, which the library
# does without (msvcrt.dll is Windows' own, but not the library's to use).
allowed="KERNEL32.dll USER32.dll ADVAPI32.dll SHELL32.dll SHLWAPI.dll"
imports=$(echo "$table" | sed -n '/^Import {/,/^}/s/^[[:space:]]*Name: //p')
check "imports something" test -n "$imports"
for imported in $imports; do
    check "imports $imported" sh -c "echo ' $allowed ' | grep -qi ' $imported '"
done

# The version resource: its fixed part's file version and the strings a
# caller reads back with VerQueryValue.
read_version=$(/usr/bin/python3 - "$dll" <<'PYTHON'
import sys, pefile
pe = pefile.PE(sys.argv[1], fast_load=True)
pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
fixed = pe.VS_FIXEDFILEINFO[0]
numbers = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
           fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
strings = {}
for info in pe.FileInfo[0]:
    for table in getattr(info, "StringTable", []):
        strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
print("%d.%d.%d.%d %s %s" % (numbers + (strings.get("OriginalFilename"),
                                         strings.get("FileVersion", "").replace(" ", ""))))
PYTHON
) || read_version="unreadable"
check "version resource '$read_version' is $version" \
    test "$read_version" = "$version tolvarsdk.dll $(echo "$version" | tr . ,)"

missing=$(mktemp)
for lib in libtolvarsdk.dll.a tolvarsdk.lib; do
    symbols=$(llvm-nm "$libdir/$lib") || symbols=""
    sed -n 's/^[[:space:]]*\([A-Za-z]*\)\(@[0-9]*\)[[:space:]]*@[0-9]*.*/\1 \2/p' "$def" |
    while read -r name decoration; do
        if [ "$stdcall_decoration" = yes ]; then
            code=_$name$decoration slot=__imp__$name$decoration
        else
            code=$name slot=__imp_$name
        fi
        # llvm-nm marks the address slot of a short import object (the
        # form lib.exe writes) T, and a long-form one's I.
        echo "$symbols" | grep -q " T $code\$" || echo "$lib lacks $code"
        echo "$symbols" | grep -Eq " [TI] $slot\$" || echo "$lib lacks $slot"
    done >"$missing"
    check "$lib symbols: $(cat "$missing")" test ! -s "$missing"
done
rm -f "$missing"

echo "dll shape ($arch): $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
