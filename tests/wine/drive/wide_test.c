/* TolvarOpenW and TolvarQueryW against the driver stand-in: a path with
 * characters that code page 1252 lacks reaches the driver unit for unit,
 * its folders exist on Wine's disk, and it comes back unchanged; what the
 * ANSI query makes of the same drive; every refusal and failure; the cut
 * of a reply path the driver did not terminate. */
#include "drive_helpers.h"

#define DEVICE 0
#define LETTER 'W'
#define WIDE_ROOT_W L"C:\\tolvar-tests\\wide"

/* C:\tolvar-tests\wide\Ωmega\данные-🗄.dat and ...\Ωmega\копия-🗄.bak:
 * Greek capital omega, Cyrillic, and U+1F5C4 as the pair D83D DDC4. */
#define FOLDER_W WIDE_ROOT_W L"\\\x03A9mega"
#define DATA_PATH_W FOLDER_W L"\\\x0434\x0430\x043D\x043D\x044B\x0435-\xD83D\xDDC4.dat"
#define BACKUP_PATH_W FOLDER_W L"\\\x043A\x043E\x043F\x0438\x044F-\xD83D\xDDC4.bak"

static TolvarvxJournal journal;

/* Every byte not set is 0xEE, so that anything read by mistake shows. */
static void make_wide_record(TolvarDriveInfoW* info, WCHAR letter, BOOL backupBeforeWrite,
                             const WCHAR* backup, const WCHAR* data)
{
    memset(info, 0xEE, sizeof *info);
    info->DriveLetter = letter;
    info->BackupBeforeWrite = backupBeforeWrite;
    wcscpy(info->BackupFile, backup);
    wcscpy(info->DataFile, data);
}

static BOOL wide_folder_exists(const WCHAR* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static BOOL same_path(const WCHAR* field, const WCHAR* expected)
{
    return !memcmp(field, expected, (wcslen(expected) + 1) * sizeof(WCHAR));
}

static void test_round_trip(void)
{
    TolvarDriveInfoW info, back;
    TolvarDriveInfo ansi;
    TolvarOpenRequest expected;
    TolvarQueryReply raw;
    DWORD returned = 0;

    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    make_wide_record(&info, LETTER, TRUE, BACKUP_PATH_W, DATA_PATH_W);
    ok(TolvarOpenW(&info, DEVICE) == 0, "open failed\n");

    /* The request is the record's letter, flag and paths, unit for unit,
     * with zeros where the record has its reserved word and after each
     * terminator. */
    memset(&expected, 0, sizeof expected);
    expected.DriveLetter = LETTER;
    expected.BackupBeforeWrite = TRUE;
    memcpy(expected.BackupFile, BACKUP_PATH_W, sizeof BACKUP_PATH_W);
    memcpy(expected.DataFile, DATA_PATH_W, sizeof DATA_PATH_W);
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0 && journal.LastOpenValid &&
           !memcmp(journal.LastOpenRequest, &expected, sizeof expected),
       "the driver received other bytes than the record's\n");
    ok(journal.Recorded == 2 && journal.Entries[0].Kind == TOLVARVX_KIND_FLUSH,
       "%u requests, the first of kind %u: the volume was not flushed first\n", journal.Recorded,
       journal.Entries[0].Kind);
    ok(wide_folder_exists(FOLDER_W), "no folder \\tolvar-tests\\wide\\(omega)mega\n");
    ok(GetFileAttributesW(DATA_PATH_W) == INVALID_FILE_ATTRIBUTES,
       "something where the data file belongs\n");

    memset(&back, 0x5A, sizeof back);
    ok(TolvarQueryW(&back, DEVICE) == 0, "query failed\n");
    ok(back.DriveLetter == LETTER && back.Reserved == 0x5A5A && back.BackupBeforeWrite == TRUE,
       "letter %#x reserved %#x flag %d\n", back.DriveLetter, back.Reserved, back.BackupBeforeWrite);
    ok(same_path(back.DataFile, DATA_PATH_W), "data path came back as other units\n");
    ok(same_path(back.BackupFile, BACKUP_PATH_W), "backup path came back as other units\n");
    ok(stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, &raw, sizeof raw, &returned) == 0 &&
           !memcmp(back.DeviceDetails, raw.DeviceDetails, sizeof raw.DeviceDetails),
       "details differ from the driver's\n");
    /* 40 units: the pair counts two. */
    const TolvarvxDeviceDetails* details = (const TolvarvxDeviceDetails*)back.DeviceDetails;
    ok(details->DataPathLength == 40, "the driver holds %u units\n", details->DataPathLength);

    /* The ANSI query of the same drive gives the system's conversion in the
     * ANSI code page, character for character: exactly what
     * WideCharToMultiByte gives for the whole path. Wine, code page 1252:
     * the omega becomes 'O' by Wine's best-fit table for 1252, the
     * Cyrillic letters have no such fit and become '?', and the pair
     * becomes "??", one default character for each of its halves.
     * (Windows maps a whole pair to a single default character, which the
     * library, converting the pair in one call, would pass on as "?"; not
     * measured here.) */
    char converted[MAX_PATH];
    int length = WideCharToMultiByte(CP_ACP, 0, DATA_PATH_W, -1, converted, sizeof converted,
                                     NULL, NULL);
    memset(&ansi, 0xA5, sizeof ansi);
    ok(TolvarQuery(&ansi, DEVICE) == 0, "ANSI query failed\n");
    ok(length > 0 && !strcmp(ansi.DataFile, converted), "ANSI data path %s, the system gives %s\n",
       ansi.DataFile, converted);
    ok(wine_only(!strcmp(ansi.DataFile, TEST_ROOT "\\wide\\Omega\\?\?\?\?\?\?-\?\?.dat")),
       "ANSI data path %s\n", ansi.DataFile);
    ok((BYTE)ansi.DataFile[strlen(ansi.DataFile) + 1] == 0xA5, "bytes after the terminator written\n");
}

static void test_refusals_and_failures(void)
{
    TolvarDriveInfoW info, back, before;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");

    /* Refusals (every one is in the host tests): nothing reaches the driver. */
    ok(TolvarOpenW(NULL, DEVICE) == ERROR_INVALID_PARAMETER, "null record\n");
    make_wide_record(&info, LETTER, TRUE, L"C:\\", DATA_PATH_W);
    ok(TolvarOpenW(&info, DEVICE) == ERROR_INVALID_PARAMETER, "3-unit backup path\n");
    make_wide_record(&info, LETTER, FALSE, L"", L"");
    for (int i = 0; i < 260; ++i)
        info.DataFile[i] = 0x0434;
    ok(TolvarOpenW(&info, DEVICE) == ERROR_INVALID_PARAMETER, "unterminated data path\n");
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0 && journal.Recorded == 0,
       "%u requests reached the driver\n", journal.Recorded);

    memset(&back, 0x3C, sizeof back);
    before = back;
    ok(TolvarQueryW(NULL, DEVICE) == ERROR_INVALID_PARAMETER, "null record\n");
    ok(TolvarQueryW(&back, DEVICE) == ERROR_NOT_READY, "query of a closed drive\n");
    ok(TolvarQueryW(&back, 99) == ERROR_FILE_NOT_FOUND, "query of a missing device\n");
    make_wide_record(&info, LETTER, FALSE, L"", DATA_PATH_W);
    ok(TolvarOpenW(&info, DEVICE) == 0, "open failed\n");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0, 1351, 0, 0xAB) == 0,
       "script failed\n");
    ok(TolvarQueryW(&back, DEVICE) == ERROR_INSUFFICIENT_BUFFER, "short reply\n");
    ok(!memcmp(&back, &before, sizeof back), "a failed query wrote the record\n");
}

/* A whole scripted reply of 0xAB: no terminator in either path. Each keeps
 * its first 259 units, U+ABAB (no surrogate), and gets its terminator in
 * the 260th; the letter keeps all 16 bits, Reserved stays the record's. */
static void test_unterminated_reply(void)
{
    TolvarDriveInfoW back;
    BOOL kept = TRUE;
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0, 1352, 0, 0xAB) == 0,
       "script failed\n");
    memset(&back, 0x3C, sizeof back);
    ok(TolvarQueryW(&back, DEVICE) == 0, "whole scripted reply\n");
    for (int i = 0; i < 259; ++i)
        kept &= back.DataFile[i] == 0xABAB && back.BackupFile[i] == 0xABAB;
    ok(kept && back.DataFile[259] == 0 && back.BackupFile[259] == 0,
       "the paths were not cut to 259 units\n");
    ok(back.DriveLetter == 0xABAB && back.Reserved == 0x3C3C && back.BackupBeforeWrite == (BOOL)0xABABABAB &&
           back.DeviceDetails[0] == 0xAB && back.DeviceDetails[303] == 0xAB,
       "letter %#x reserved %#x flag %#x\n", back.DriveLetter, back.Reserved, back.BackupBeforeWrite);
}

START_TEST(wide)
{
    trace("ANSI code page %u\n", GetACP());
    remove_tree(TEST_ROOT "\\wide");
    define_test_letter(LETTER, DEVICE);
    long handles = count_own_file_handles();
    test_round_trip();
    test_refusals_and_failures();
    test_unterminated_reply();
    remove_test_letter(LETTER);
    tolvarvx_reset(DEVICE);
    long after = count_own_file_handles();
    ok(after == handles, "%ld handles before, %ld after\n", handles, after);
}
