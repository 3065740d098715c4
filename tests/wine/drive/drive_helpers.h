/* Shared by the drive programs: records, the bytes the driver should see,
 * test letters and test folders. Plain C, single header. */
#ifndef TOLVAR_DRIVE_HELPERS_H
#define TOLVAR_DRIVE_HELPERS_H

#include <string.h>

#include "handle_table.h"
#include "stand_in_client.h"
#include "tolvarvx_details.h"
#include "tolvarsdk.h"
#include "wine_test.h"

#define STATUS_SUCCESS_CODE 0x00000000u
#define STATUS_IO_DEVICE_ERROR_CODE 0xC0000185u
#define STATUS_DEVICE_BUSY_CODE 0x80000011u

/* Where the tests make folders: inside the Wine prefix's C: drive. */
#define TEST_ROOT "C:\\tolvar-tests"
#define DRIVE_ROOT TEST_ROOT "\\drive"

/* A record with every unset byte 0xEE, so that anything read by mistake shows. */
static void make_record(TolvarDriveInfo* info, char letter, BOOL backupBeforeWrite,
                        const char* backup, const char* data)
{
    memset(info, 0xEE, sizeof *info);
    info->DriveLetter = letter;
    info->BackupBeforeWrite = backupBeforeWrite;
    strcpy(info->BackupFile, backup);
    strcpy(info->DataFile, data);
}

/* Makes `letter`: name drive device `index` for the length of a test; the
 * volume flush of TolvarOpen then reaches the stand-in. A definition left by
 * an earlier run of this session is removed first (Wine does not stack
 * definitions: a second one fails with 183). */
static void define_test_letter(char letter, unsigned index)
{
    char name[3] = {letter, ':', 0};
    char target[64];
    wsprintfA(target, TOLVAR_KERNEL_NAME_FORMAT_A, index);
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, NULL);
    ok(DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target), "defining %s: error %lu\n", name,
       GetLastError());
}

static void remove_test_letter(char letter)
{
    char name[3] = {letter, ':', 0};
    ok(DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, NULL), "removing %s: error %lu\n", name,
       GetLastError());
}

static int folder_exists(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static int anything_at(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/* Removes a test folder with everything in it, so that each run starts
 * from folders that do not exist. Only for paths under TEST_ROOT. */
static void remove_tree(const char* path)
{
    char pattern[MAX_PATH], child[MAX_PATH];
    WIN32_FIND_DATAA found;
    if (strncmp(path, TEST_ROOT "\\", strlen(TEST_ROOT) + 1) != 0)
        return;
    wsprintfA(pattern, "%s\\*", path);
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, ".."))
                continue;
            wsprintfA(child, "%s\\%s", path, found.cFileName);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(child);
            else
                DeleteFileA(child);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path);
}

/* File objects (devices, volumes, files: all the library opens) that this
 * process holds, counted through the system's handle table, since
 * GetProcessHandleCount returns 0 under Wine 8. Other kinds are left out:
 * Wine's own DLLs open registry keys lazily (one appeared in the middle of
 * a run). The file type's number is learnt from a handle opened for it.
 * -1 when unknown. */
static long count_own_file_handles(void)
{
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    HANDLE probe = CreateFileA(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, 0, NULL);
    if (probe == INVALID_HANDLE_VALUE)
        return -1;
    ULONG entries = 0;
    const handle_table_entry* table = read_handle_table(&entries);
    long count = -1;
    int fileType = -1;
    for (ULONG i = 0; table && i < entries; ++i)
        if (table[i].OwnerPid == GetCurrentProcessId() &&
            table[i].HandleValue == (USHORT)(ULONG_PTR)probe)
            fileType = table[i].ObjectType;
    for (ULONG i = 0; fileType >= 0 && i < entries; ++i)
        count += table[i].OwnerPid == GetCurrentProcessId() && table[i].ObjectType == fileType;
    /* count started at -1: the probe is not counted */
    CloseHandle(probe);
    return count;
}

/* The drive's journal entries of kind `kind` and code `code`. */
static unsigned count_entries(const TolvarvxJournal* journal, DWORD kind, DWORD code)
{
    unsigned count = 0;
    for (unsigned i = 0; i < journal->Count; ++i)
        if (journal->Entries[i].Kind == kind && journal->Entries[i].Code == code)
            ++count;
    return count;
}

#endif
