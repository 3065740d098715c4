/* Drive letters through tolvarsdk.dll under Wine. Only Q: and R:, which
 * the prefix leaves free, are defined. Of Wine's own drives only C: is
 * used, for a probe that opens it (read-only, nothing sent). Z: is left
 * alone: Wine refuses to open the volume of / (error 5), so the library
 * would go on to define the letter. */
#include <string.h>

#include "stand_in_client.h"
#include "tolvarsdk.h"
#include "wine_test.h"

static const char vault[] = "\\Device\\TolvarVault\\TOLVARVX";

/* Takes every definition of the letter away, so a test starts clean. */
static void undefine(char letter)
{
    int i;
    for (i = 0; i < 8 && TolvarRemoveDriveLetter(letter) == 0; i++) {}
}

/* The current target of X:, or "" with the error in *error. */
static const char *target_of(char letter, DWORD *length, DWORD *error)
{
    static char target[512];
    char name[3] = {letter, ':', 0};
    memset(target, 0x7F, sizeof target);
    SetLastError(0xdeadbeef);
    *length = QueryDosDeviceA(name, target, sizeof target);
    *error = *length ? 0 : GetLastError();
    if (!*length) target[0] = 0;
    return target;
}

static int is_target(char letter, unsigned index)
{
    char expected[64];
    DWORD length, error;
    const char *target = target_of(letter, &length, &error);
    wsprintfA(expected, "%s%u", vault, index);
    return !strcmp(target, expected);
}

/* Opens \\.\X: read-write and flushes it: one request the driver sees. */
static DWORD flush_letter(char letter)
{
    char path[8] = "\\\\.\\ :";
    HANDLE volume;
    DWORD error = 0;
    path[4] = letter;
    SetLastError(0xdeadbeef);
    volume = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         NULL, OPEN_EXISTING, 0, NULL);
    if (volume == INVALID_HANDLE_VALUE) return GetLastError();
    if (!FlushFileBuffers(volume)) error = GetLastError();
    CloseHandle(volume);
    return error;
}

static int flushes_seen(unsigned index)
{
    static TolvarvxJournal journal;
    DWORD i;
    int flushes = 0;
    if (tolvarvx_read_journal(index, &journal, sizeof journal) != 0) return -1;
    for (i = 0; i < journal.Count; i++) flushes += journal.Entries[i].Kind == TOLVARVX_KIND_FLUSH;
    return flushes;
}

static void test_letter_reaches_the_driver(void)
{
    DWORD error, length;
    const char *target;
    ok(tolvarvx_reset(2) == 0 && tolvarvx_reset(3) == 0, "reset failed\n");

    error = TolvarAddDriveLetter('Q', 2);
    ok(error == 0, "TolvarAddDriveLetter('Q', 2) returned %lu\n", error);
    target = target_of('Q', &length, &error);
    ok(!strcmp(target, "\\Device\\TolvarVault\\TOLVARVX2"), "Q: names %s (error %lu)\n", target, error);
    /* The target, its terminator and the list's terminator. */
    ok(length == sizeof "\\Device\\TolvarVault\\TOLVARVX2" + 1, "QueryDosDeviceA stored %lu\n", length);

    error = flush_letter('Q');
    ok(error == 0, "flush through \\\\.\\Q: returned %lu\n", error);
    ok(flushes_seen(2) == 1, "device 2 saw %d flushes\n", flushes_seen(2));
    ok(flushes_seen(3) == 0, "device 3 saw %d flushes\n", flushes_seen(3));

    /* Taken now: the probe opens the stand-in's device behind Q:. */
    error = TolvarAddDriveLetter('Q', 3);
    ok(error == ERROR_BUSY, "TolvarAddDriveLetter('Q', 3) on a taken letter returned %lu\n", error);
    ok(is_target('Q', 2), "Q: no longer names device 2\n");
    /* The probe sends nothing to the device. */
    ok(flushes_seen(2) == 1, "device 2 saw %d flushes\n", flushes_seen(2));
}

static void test_case_is_kept_and_either_case_removes(void)
{
    DWORD error;
    ok(tolvarvx_reset(1) == 0, "reset failed\n");
    error = TolvarAddDriveLetter('r', 1);
    ok(error == 0, "TolvarAddDriveLetter('r', 1) returned %lu\n", error);
    ok(is_target('R', 1), "R: does not name device 1\n");
    ok(flush_letter('r') == 0 && flushes_seen(1) == 1, "\\\\.\\r: does not reach device 1\n");
    error = TolvarRemoveDriveLetter('R');
    ok(error == 0, "TolvarRemoveDriveLetter('R') returned %lu\n", error);
}

static void test_wine_drives_are_busy(void)
{
    DWORD error, lengthBefore, lengthAfter, queryError;
    char before[512];
    lstrcpynA(before, target_of('C', &lengthBefore, &queryError), sizeof before);
    error = TolvarAddDriveLetter('C', 0);
    ok(error == ERROR_BUSY, "TolvarAddDriveLetter('C', 0) returned %lu\n", error);
    ok(!strcmp(before, target_of('C', &lengthAfter, &queryError)) && lengthBefore == lengthAfter,
       "C: changed from %s\n", before);
}

static void test_removal_and_reuse(void)
{
    DWORD error, length;
    ok(tolvarvx_reset(1) == 0, "reset failed\n");
    error = TolvarRemoveDriveLetter('Q');
    ok(error == 0, "TolvarRemoveDriveLetter('Q') returned %lu\n", error);
    target_of('Q', &length, &error);
    ok(length == 0 && error == ERROR_FILE_NOT_FOUND, "Q: after removal: %lu, error %lu\n", length, error);
    error = flush_letter('Q');
    ok(error == ERROR_FILE_NOT_FOUND, "opening \\\\.\\Q: after removal gave %lu\n", error);

    /* Nothing left to remove: the system's error, the same on Windows. */
    error = TolvarRemoveDriveLetter('Q');
    ok(error == ERROR_FILE_NOT_FOUND, "removing an undefined letter returned %lu\n", error);

    error = TolvarAddDriveLetter('q', 1);
    ok(error == 0, "re-using Q: for device 1 returned %lu\n", error);
    ok(is_target('Q', 1), "Q: does not name device 1\n");
    ok(flush_letter('Q') == 0 && flushes_seen(1) == 1, "\\\\.\\Q: does not reach device 1\n");
    ok(TolvarRemoveDriveLetter('q') == 0, "Q: not removed\n");
}

/* Windows keeps a stack of definitions per name; Wine keeps one. */
static void test_definitions_do_not_stack_under_wine(void)
{
    DWORD error, length;
    BOOL defined;
    undefine('Q');
    ok(TolvarAddDriveLetter('Q', 1) == 0, "Q: not defined\n");
    SetLastError(0xdeadbeef);
    defined = DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Q:", "\\Device\\TolvarVault\\TOLVARVX2");
    /* Windows pushes the new definition over the old (TRUE); Wine refuses
     * to replace an existing symbolic link: ERROR_ALREADY_EXISTS. */
    ok(wine_only(!defined && GetLastError() == ERROR_ALREADY_EXISTS),
       "defining Q: again gave %d, error %lu\n", defined, GetLastError());
    ok(is_target('Q', 1), "Q: no longer names device 1\n");
    undefine('Q');

    /* A letter that names a device that does not exist is free to the
     * probe, so the library defines it again. */
    error = TolvarAddDriveLetter('Q', 99999);
    ok(error == 0, "TolvarAddDriveLetter('Q', 99999) returned %lu\n", error);
    ok(is_target('Q', 99999), "Q: does not name device 99999\n");
    error = TolvarAddDriveLetter('Q', 1);
    /* Windows: 0, device 1 defined over the dead definition, which the next
     * removal uncovers again. Wine cannot replace a link whose target is
     * missing and reports ERROR_PATH_NOT_FOUND from looking it up. */
    ok(wine_only(error == ERROR_PATH_NOT_FOUND), "defining over a dead target returned %lu\n", error);
    ok(is_target('Q', 99999), "Q: no longer names device 99999\n");
    error = TolvarRemoveDriveLetter('Q');
    ok(error == 0, "TolvarRemoveDriveLetter('Q') returned %lu\n", error);
    target_of('Q', &length, &error);
    ok(length == 0 && error == ERROR_FILE_NOT_FOUND, "Q: after removal: %lu, error %lu\n", length, error);
}

static void test_invalid_letters(void)
{
    static const CHAR refused[] = {'1', '[', '@', '`', '{', 0, (CHAR)0x80, (CHAR)0xFF};
    unsigned i;
    for (i = 0; i < sizeof refused; i++) {
        DWORD added = TolvarAddDriveLetter(refused[i], 1);
        DWORD removed = TolvarRemoveDriveLetter(refused[i]);
        ok(added == ERROR_INVALID_PARAMETER && removed == ERROR_INVALID_PARAMETER,
           "letter %#x: add %lu, remove %lu\n", (BYTE)refused[i], added, removed);
    }
}

START_TEST(letters_mapping)
{
    undefine('Q');
    undefine('R');
    test_letter_reaches_the_driver();
    test_case_is_kept_and_either_case_removes();
    test_wine_drives_are_busy();
    test_removal_and_reuse();
    test_definitions_do_not_stack_under_wine();
    test_invalid_letters();
    undefine('Q');
    undefine('R');
    tolvarvx_reset(1);
    tolvarvx_reset(2);
    tolvarvx_reset(3);
}
