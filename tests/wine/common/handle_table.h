/* The system's handle table as a test program reads it to count its own
 * handles: GetProcessHandleCount returns 0 under Wine 8, while
 * NtQuerySystemInformation(SystemHandleInformation) lists every handle with
 * its owner's process id and its object type. */
#ifndef TOLVAR_HANDLE_TABLE_H
#define TOLVAR_HANDLE_TABLE_H

#include <windows.h>

/* One entry of SystemHandleInformation (class 16). */
typedef struct {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    PVOID Object;
    ULONG GrantedAccess;
} handle_table_entry;

/* Reads the table into a static buffer (no heap between counts; one thread
 * reads at a time) and returns its entries, *count of them; NULL when it
 * cannot be read. */
static const handle_table_entry* read_handle_table(ULONG* count)
{
    typedef LONG(WINAPI * query_function)(ULONG, PVOID, ULONG, PULONG);
    static ULONG table[1 << 18]; /* 1 MiB: room for some 43,000 entries */
    query_function query = (query_function)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                                                 "NtQuerySystemInformation");
    ULONG needed = 0;
    if (!query || query(16 /* SystemHandleInformation */, table, sizeof table, &needed) != 0)
        return NULL;
    *count = table[0];
    return (const handle_table_entry*)(table + 1);
}

#endif
