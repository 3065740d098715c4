#!/usr/bin/python3
"""What tolvarsdk.dll is made of, read from the file: its size, its import
table, and which imports each export can reach.

Reachability is worked out on the disassembly (i686-w64-mingw32-objdump -d,
or x86_64-w64-mingw32-objdump -d for the x64 DLL, whose addresses relative
to the instruction pointer are read as the absolute ones objdump names):
from an export's entry, every instruction that control can get to by
falling through, jumping or calling a direct address; an instruction that
names an import's address slot (a call through it, or a load of it into a
register for a later `call *%reg`) counts as reaching that import. That
over-approximates, which is the safe side for "reaches no allocator". An
indirect call or jump whose target is not an import slot is listed as
unresolved, so nothing is hidden behind one.

Without --objdump (an ARM64 DLL: the walk reads x86 and x64 disassembly
only) the DLL gets its size and import table alone.

With --symbols, an unstripped link of the same objects names the functions
on each chain (used only when its exports and code size match the DLL's).

usage: dll_calls.py tolvarsdk.dll
                    [--objdump i686-w64-mingw32-objdump | x86_64-w64-mingw32-objdump
                     [--symbols unstripped.dll]]
Needs Debian's python3-pefile (/usr/bin/python3).
"""
import argparse
import collections
import os
import re
import subprocess
import sys

import pefile

ALLOCATORS = {
    "HeapAlloc", "HeapReAlloc", "HeapCreate", "LocalAlloc", "LocalReAlloc", "GlobalAlloc",
    "GlobalReAlloc", "VirtualAlloc", "malloc", "calloc", "realloc", "_malloc_dbg", "_calloc_dbg",
    "_realloc_dbg", "_aligned_malloc", "_expand", "strdup", "_strdup", "_wcsdup",
    "??2@YAPAXI@Z", "??_U@YAPAXI@Z",  # operator new, new[] (MSVC names)
    "_Znwj", "_Znaj",  # operator new, new[] (GCC names, should they ever be imported)
}

# The headings' names; any other machine is named by its number.
MACHINES = {0x14c: "x86", 0x8664: "x64", 0xaa64: "ARM64"}
GOAL_KIB = 16

LINE = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
HEX = re.compile(r"0x([0-9a-f]+)")
# x64: "call *0x71ba(%rip)        # 0x36887a260" names the slot 0x36887a260.
RIP_RELATIVE = re.compile(r"-?0x[0-9a-f]+\(%rip\)(.*?)\s*#\s*(0x[0-9a-f]+).*$")


def read_pe(path):
    pe = pefile.PE(path)
    global IMAGE
    IMAGE = pe
    base = pe.OPTIONAL_HEADER.ImageBase
    exports = {}
    for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols:
        exports[symbol.name.decode()] = (symbol.ordinal, base + symbol.address)
    slots = {}  # IAT slot address -> "DLL!name"
    imports = collections.OrderedDict()
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        dll = entry.dll.decode()
        names = []
        for imp in entry.imports:
            name = imp.name.decode() if imp.name else "#%d" % imp.ordinal
            slots[imp.address] = "%s!%s" % (dll, name)
            names.append(name)
        imports[dll] = names
    return exports, imports, slots


def disassemble(path, objdump):
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], check=True,
                          capture_output=True, text=True).stdout
    code = collections.OrderedDict()
    for line in text.splitlines():
        match = LINE.match(line)
        if match:
            mnemonic = match.group(2)
            operands = RIP_RELATIVE.sub(r"\2\1", match.group(3).strip())
            code[int(match.group(1), 16)] = (mnemonic, operands)
    return code


REGISTER_CALL = re.compile(r"^\*(%[er]?[a-z0-9]{2,3})$")
POINTER_CALL = re.compile(r"^\*0x([0-9a-f]+)$")
JUMP_TABLE = re.compile(r"^\*0x([0-9a-f]+)\(,%e[a-z]{2},4\)$")
IMAGE = None


def code_pointer(address, code):
    """The code address stored at `address` in the image, or None."""
    base = IMAGE.OPTIONAL_HEADER.ImageBase
    try:
        if IMAGE.PE_TYPE == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
            value = IMAGE.get_qword_at_rva(address - base)
        else:
            value = IMAGE.get_dword_at_rva(address - base)
    except Exception:
        return None
    return value if value in code else None


def table_targets(address, code):
    """The entries of a jump table at `address`: consecutive code pointers."""
    targets = []
    while True:
        target = code_pointer(address + 4 * len(targets), code)
        if target is None:
            return targets
        targets.append(target)


def register_source(address, register, code, addresses, position, slots):
    """What `register` was loaded from before the indirect call at
    `address`: the import whose slot it was (a name), or the function whose
    address the image's data holds there (an address, as for a call through
    a function pointer). Scans back in address order to the nearest `ret`
    (the start of the function, as the compiler lays functions out). None
    when another write to the register comes first, or none is found."""
    index = position[address] - 1
    while index >= 0:
        mnemonic, operands = code[addresses[index]]
        if mnemonic.startswith("ret"):
            return None
        parts = operands.rsplit(",", 1)
        if len(parts) == 2 and parts[1] == register:
            value = HEX.match(parts[0]) if mnemonic == "mov" else None
            if value and int(value.group(1), 16) in slots:
                return slots[int(value.group(1), 16)]
            if value and operands.startswith("0x"):
                return code_pointer(int(value.group(1), 16), code)
            return None
        if mnemonic == "pop" and operands == register:
            return None
        index -= 1
    return None


def walk(entry, code, slots, namer=None):
    """Imports reachable from `entry`, the indirect transfers left
    unresolved, and those followed through a code pointer or jump table."""
    addresses = sorted(code)
    position = {a: i for i, a in enumerate(addresses)}
    following = {a: b for a, b in zip(addresses, addresses[1:])}
    reached, unresolved, followed = set(), set(), set()
    seen, pending = set(), [entry]
    origin = {entry: None}  # block start -> the transfer that led there
    first_reference = {}    # import -> the instruction that named it
    block = entry

    def enqueue(target, source):
        origin.setdefault(target, source)
        pending.append(target)

    while pending:
        address = pending.pop()
        block = address
        while address in code and address not in seen:
            seen.add(address)
            mnemonic, operands = code[address]
            named = [int(h, 16) for h in HEX.findall(operands)]
            for value in named:
                if value in slots:
                    reached.add(slots[value])
                    first_reference.setdefault(slots[value], (address, block))
            if mnemonic.startswith("j") or mnemonic.startswith("call"):
                if operands.startswith("*"):
                    register = REGISTER_CALL.match(operands)
                    source = register and register_source(address, register.group(1), code,
                                                           addresses, position, slots)
                    pointer = POINTER_CALL.match(operands)
                    table = JUMP_TABLE.match(operands)
                    if any(value in slots for value in named) or isinstance(source, str):
                        pass
                    elif source:
                        # A function pointer in the image's data, loaded
                        # into a register: followed as below.
                        enqueue(source, (address, block))
                        followed.add("%x: %s %s" % (address, mnemonic, operands))
                    elif pointer and code_pointer(int(pointer.group(1), 16), code):
                        # A function pointer in the image's data: followed
                        # to the function its initial value names.
                        enqueue(code_pointer(int(pointer.group(1), 16), code), (address, block))
                        followed.add("%x: %s %s" % (address, mnemonic, operands))
                    elif table and table_targets(int(table.group(1), 16), code):
                        # A switch's jump table: every entry followed.
                        for target in table_targets(int(table.group(1), 16), code):
                            enqueue(target, (address, block))
                        followed.add("%x: %s %s (%d entries)" % (
                            address, mnemonic, operands,
                            len(table_targets(int(table.group(1), 16), code))))
                    else:
                        unresolved.add("%x: %s %s" % (address, mnemonic, operands))
                elif named:
                    enqueue(named[0], (address, block))
                if mnemonic.startswith("jmp"):
                    break
            if mnemonic.startswith("ret") or mnemonic in ("hlt", "ud2"):
                break
            address = following.get(address)

    def chain(name):
        """The transfers from the entry to the first instruction naming `name`."""
        steps = []
        at = first_reference[name]
        while at is not None:
            steps.append("%x" % at[0] + (" (%s)" % namer(at[0]) if namer else ""))
            at = origin.get(at[1])
        return " <- ".join(steps)

    return reached, unresolved, followed, chain


def symbol_namer(dll, unstripped, nm):
    """A function naming an address of `dll` by the nearest symbol before it
    in `unstripped`, or None when the two images do not match."""
    def layout(pe):
        text = [x for x in pe.sections if x.Name.rstrip(b"\0") == b".text"][0]
        exports = sorted((x.ordinal, x.address) for x in pe.DIRECTORY_ENTRY_EXPORT.symbols)
        return text.Misc_VirtualSize, exports
    mine, other = pefile.PE(dll), pefile.PE(unstripped)
    if layout(mine) != layout(other):
        return None
    base, other_base = mine.OPTIONAL_HEADER.ImageBase, other.OPTIONAL_HEADER.ImageBase
    symbols = []
    listing = subprocess.run([nm, unstripped], check=True, capture_output=True, text=True).stdout
    for line in listing.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "tT" and parts[2] != ".text":
            name = parts[2].split("$", 1)[1] if parts[2].startswith(".text$") else parts[2]
            symbols.append((int(parts[0], 16) - other_base, name))
    symbols.sort()

    def name(address):
        rva, found = address - base, "?"
        for start, symbol in symbols:
            if start > rva:
                break
            found = symbol
        return found
    return name


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dll")
    parser.add_argument("--objdump")
    parser.add_argument("--symbols")
    args = parser.parse_args()
    namer = None
    if args.symbols and args.objdump:
        namer = symbol_namer(args.dll, args.symbols, args.objdump.replace("objdump", "nm"))
        if not namer:
            print("(%s does not match the DLL: no function names)\n" % args.symbols)

    exports, imports, slots = read_pe(args.dll)
    size = os.path.getsize(args.dll)
    machine = MACHINES.get(IMAGE.FILE_HEADER.Machine, "PE machine 0x%x" % IMAGE.FILE_HEADER.Machine)
    print("## tolvarsdk.dll (%s)\n" % machine)
    print("Size: %d bytes (%.1f KiB; goal at most %d KiB: %s)\n"
          % (size, size / 1024.0, GOAL_KIB, "met" if size <= GOAL_KIB * 1024 else "NOT met"))
    print("Imports (all from DLLs that ship with Windows):\n")
    for dll, names in imports.items():
        print("- %s: %s" % (dll, ", ".join(names)))
    imported_allocators = sorted("%s!%s" % (dll, n) for dll, names in imports.items()
                                 for n in names if n in ALLOCATORS)
    print("\nHeap allocators imported: %s\n" % (", ".join(imported_allocators) or "none"))
    if not args.objdump:
        # The walk reads x86 and x64 disassembly only; without an allocator
        # among the imports no export can reach one anyway.
        print("Reachability per export: worked out on the x86 and x64 code only.\n")
        return 1 if imported_allocators else 0

    code = disassemble(args.dll, args.objdump)
    print("| Export | Ordinal | Imports it can reach | Allocators reached | Unresolved indirect transfers |")
    print("|---|---|---|---|---|")
    any_allocator = False
    notes = []
    for name, (ordinal, entry) in sorted(exports.items(), key=lambda item: item[1][0]):
        reached, unresolved, followed, chain = walk(entry, code, slots, namer)
        notes.extend("%s: followed %s" % (name, f) for f in sorted(followed))
        allocators = sorted(r for r in reached if r.split("!")[1] in ALLOCATORS)
        notes.extend("%s reaches %s by %s" % (name, a, chain(a)) for a in allocators)
        any_allocator |= bool(allocators)
        short = sorted(r.split("!")[1] for r in reached)
        print("| %s | %d | %s | %s | %s |" % (name, ordinal, ", ".join(short) or "-",
                                             ", ".join(allocators) or "none",
                                             "; ".join(sorted(unresolved)) or "none"))
    print()
    for note in notes:
        print("- " + note)
    print()
    return 1 if any_allocator else 0


if __name__ == "__main__":
    sys.exit(main())
