/* The system's handle table as a test program reads it to count its own
 * handles: GetProcessHandleCount returns 0 under Wine 8, while
 * NtQuerySystemInformation(SystemHandleInformation) lists every handle with
 * its owner's process id and its object type. */
#ifndef TOLVAR_HANDLE_TABLE_H
#define TOLVAR_HANDLE_TABLE_H

#include <stddef.h>
#include <windows.h>

/* One entry of SystemHandleInformation (class 16): 16 bytes on x86, 24 on
 * x64, where the object's address is 8 bytes and aligned to 8. */
typedef struct {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    PVOID Object;
    ULONG GrantedAccess;
} handle_table_entry;

/* The table: a count, then the entries, which start at offset 4 on x86 and
 * at offset 8 on x64 (the entries' alignment). */
typedef struct {
    ULONG Count;
    handle_table_entry Entries[1];
} handle_table;

_Static_assert(offsetof(handle_table_entry, Object) == 8, "entry layout");
_Static_assert(sizeof(handle_table_entry) == (sizeof(void*) == 8 ? 24 : 16), "entry size");
_Static_assert(offsetof(handle_table, Entries) == sizeof(void*), "table layout");

/* Reads the table into a static buffer (no heap between counts; one thread
 * reads at a time) and returns its entries, *count of them; NULL when it
 * cannot be read. */
static const handle_table_entry* read_handle_table(ULONG* count)
{
    typedef LONG(WINAPI * query_function)(ULONG, PVOID, ULONG, PULONG);
    /* 1 MiB: room for some 43,000 entries on x64, 65,000 on x86 */
    static union {
        handle_table table;
        BYTE bytes[1 << 20];
    } buffer;
    query_function query = (query_function)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                                 "NtQuerySystemInformation");
    ULONG needed = 0;
    if (!query || query(16 /* SystemHandleInformation */, &buffer, sizeof buffer, &needed) != 0)
        return NULL;
    *count = buffer.table.Count;
    return buffer.table.Entries;
}

#endif
