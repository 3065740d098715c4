/* Shared by the stress programs: the process's handle count, letters the
 * programs define for the stand-in's devices, and drives opened on the
 * stand-in by raw requests. Plain C, single header. */
#ifndef TOLVAR_STRESS_HELPERS_H
#define TOLVAR_STRESS_HELPERS_H

#include <stdio.h>
#include <string.h>

#include "handle_table.h"
#include "time_limit.h"
#include "stand_in_client.h"
#include "tolvarvx_details.h"
#include "tolvarsdk.h"
#include "wine_test.h"

/* NTSTATUS values the programs script; the Win32 error each maps to. */
#define STATUS_IO_DEVICE_ERROR_CODE 0xC0000185u   /* 1117 ERROR_IO_DEVICE */
#define STATUS_DEVICE_BUSY_CODE 0x80000011u       /* 170 ERROR_BUSY */
#define STATUS_NOT_SUPPORTED_CODE 0xC00000BBu     /* 50 ERROR_NOT_SUPPORTED */
#define STATUS_MEDIA_WRITE_PROTECTED_CODE 0xC00000A2u /* 19 ERROR_WRITE_PROTECT */

/* An index with no device behind it: \\.\TOLVARVX77 does not exist. */
#define MISSING_DEVICE 77u

/* Where the programs let TolvarOpen make folders: inside the prefix's C:. */
#define STRESS_ROOT "C:\\tolvar-tests\\stress"

/* ---- Handles ------------------------------------------------------------ */

/* Handles this process holds, counted in the system's handle table; -1
 * when the table cannot be read. */
static long count_own_handles(void)
{
    ULONG entries = 0;
    const handle_table_entry* table = read_handle_table(&entries);
    if (!table)
        return -1;
    DWORD self = GetCurrentProcessId();
    long count = 0;
    for (ULONG i = 0; i < entries; ++i)
        count += table[i].OwnerPid == self;
    return count;
}

/* ---- Letters -------------------------------------------------------------- */

/* Whether `letter`: names anything in this session. */
static int letter_defined(char letter)
{
    char name[3] = {letter, ':', 0}, target[512];
    return QueryDosDeviceA(name, target, sizeof target) != 0;
}

/* Makes `letter`: name the stand-in's device `index`. The programs only
 * ever define letters that were free when they started (see
 * require_free_letters), so a lock or dismount sent through one of them
 * reaches the stand-in and nothing else. */
static int define_stand_in_letter(char letter, unsigned index)
{
    char name[3] = {letter, ':', 0}, target[64];
    wsprintfA(target, TOLVAR_KERNEL_NAME_FORMAT_A, index);
    return DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target);
}

static void remove_letter(char letter)
{
    char name[3] = {letter, ':', 0};
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, name, NULL);
}

/* Refuses to go on when any of `letters` names something: a real drive
 * must never be flushed, locked or dismounted through these programs. */
static int require_free_letters(const char* letters)
{
    for (const char* letter = letters; *letter; ++letter)
        if (!(ok(!letter_defined(*letter), "%c: is defined in this prefix; not running\n", *letter)))
            return 0;
    return 1;
}

/* ---- Drives on the stand-in -------------------------------------------- */

/* Resets device `index` and opens its drive by a raw request, so that the
 * library's calls meet a known drive. */
static DWORD open_stand_in_drive(unsigned index, char letter, DWORD backupBeforeWrite,
                                 const char* backup, const char* data)
{
    TolvarOpenRequest request;
    DWORD returned = 0, error = tolvarvx_reset(index);
    if (error)
        return error;
    stand_in_open_request(&request, letter, backupBeforeWrite, backup, data);
    return stand_in_request(index, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
}

/* The details block of a query reply, read from a filled record. */
static TolvarvxDeviceDetails details_of(const TolvarDriveInfo* info)
{
    TolvarvxDeviceDetails details;
    memcpy(&details, info->DeviceDetails, sizeof details);
    return details;
}

/* Whether a record filled by TolvarQuery describes the drive that
 * open_stand_in_drive opened on device `index`. */
static int record_is(const TolvarDriveInfo* info, unsigned index, char letter,
                     DWORD backupBeforeWrite, const char* backup, const char* data)
{
    TolvarvxDeviceDetails details = details_of(info);
    return info->DriveLetter == letter && info->BackupBeforeWrite == backupBeforeWrite &&
           !strcmp(info->BackupFile, backup) && !strcmp(info->DataFile, data) &&
           details.Magic == TOLVARVX_DETAILS_MAGIC && details.DeviceIndex == index;
}

/* The default handshake secret of device `index`. */
typedef struct {
    BYTE bytes[TOLVARVX_SECRET_MAX];
    DWORD length;
} stress_secret;

static stress_secret default_secret(unsigned index)
{
    stress_secret secret;
    secret.length = stand_in_default_secret(index, secret.bytes, sizeof secret.bytes);
    return secret;
}

/* ---- Expected results ----------------------------------------------------- */

/* Counts calls and mismatches of one kind of call; keeps the first
 * mismatch for the report. Not shared between threads. */
typedef struct {
    const char* name;
    unsigned calls;
    unsigned mismatches;
    char first[160];
} stress_tally;

static void expect_result(stress_tally* tally, const char* what, DWORD got, DWORD expected)
{
    tally->calls++;
    if (got == expected)
        return;
    if (tally->mismatches++ == 0)
        snprintf(tally->first, sizeof tally->first, "%s: %lu, expected %lu", what, got, expected);
}

static void expect_true(stress_tally* tally, const char* what, int condition)
{
    if (condition || tally->mismatches++)
        return;
    snprintf(tally->first, sizeof tally->first, "%s", what);
}

#endif
