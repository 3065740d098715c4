/* TolvarOpen and TolvarQuery against the driver stand-in: what the driver
 * receives, what comes back into the record, and the folders made on
 * Wine's disk. */
#include "drive_helpers.h"

#define DEVICE 1
#define LETTER 'T'

static TolvarvxJournal journal;

static void reset_device(void)
{
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
}

static void read_journal(void)
{
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0, "journal failed\n");
}

static void test_round_trip(void)
{
    TolvarDriveInfo info, back;
    TolvarOpenRequest expected;
    TolvarQueryReply raw;
    DWORD returned = 0;

    reset_device();
    make_record(&info, LETTER, TRUE, DRIVE_ROOT "\\round\\backups\\d1.bak",
                DRIVE_ROOT "\\round\\drives\\d1.dat");
    ok(TolvarOpen(&info, DEVICE) == 0, "open failed\n");

    /* The volume of the letter is flushed before the request is sent. */
    read_journal();
    ok(journal.Recorded == 2, "%u requests reached the driver\n", journal.Recorded);
    ok(journal.Entries[0].Kind == TOLVARVX_KIND_FLUSH && journal.Entries[0].Status == 0,
       "first request: kind %u\n", journal.Entries[0].Kind);
    ok(journal.Entries[1].Kind == TOLVARVX_KIND_CONTROL &&
           journal.Entries[1].Code == IOCTL_TOLVAR_OPEN &&
           journal.Entries[1].InputLength == 1048 && journal.Entries[1].OutputLength == 0 &&
           journal.Entries[1].Status == 0,
       "second request: code %#x, %u bytes in, status %#x\n", journal.Entries[1].Code,
       journal.Entries[1].InputLength, journal.Entries[1].Status);
    stand_in_open_request(&expected, LETTER, TRUE, DRIVE_ROOT "\\round\\backups\\d1.bak",
                          DRIVE_ROOT "\\round\\drives\\d1.dat");
    ok(journal.LastOpenValid && !memcmp(journal.LastOpenRequest, &expected, sizeof expected),
       "the driver received other bytes than the request's 1048\n");

    /* Both folders exist on Wine's disk, but not the files: the driver makes those. */
    ok(folder_exists(DRIVE_ROOT "\\round\\backups"), "no backup folder\n");
    ok(folder_exists(DRIVE_ROOT "\\round\\drives"), "no data folder\n");
    ok(!anything_at(DRIVE_ROOT "\\round\\drives\\d1.dat"), "something named d1.dat\n");

    /* A raw query gives the reference; the library's copy matches it. */
    ok(stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, &raw, sizeof raw, &returned) == 0 &&
           returned == sizeof raw,
       "raw query: %lu bytes\n", returned);
    memset(&back, 0xA5, sizeof back);
    ok(TolvarQuery(&back, DEVICE) == 0, "query failed\n");
    ok(back.DriveLetter == LETTER, "letter %#x\n", (BYTE)back.DriveLetter);
    ok(back.Alignment[0] == 0xA5 && back.Alignment[1] == 0xA5 && back.Alignment[2] == 0xA5,
       "alignment bytes written\n");
    ok(back.BackupBeforeWrite == TRUE, "flag %d\n", back.BackupBeforeWrite);
    ok(!strcmp(back.BackupFile, info.BackupFile), "backup %s\n", back.BackupFile);
    ok(!strcmp(back.DataFile, info.DataFile), "data %s\n", back.DataFile);
    ok(!memcmp(back.DeviceDetails, raw.DeviceDetails, sizeof back.DeviceDetails),
       "details differ from the driver's\n");
    const TolvarvxDeviceDetails* details = (const TolvarvxDeviceDetails*)back.DeviceDetails;
    ok(details->Magic == TOLVARVX_DETAILS_MAGIC && details->DeviceIndex == DEVICE &&
           details->OpenCount == 1 && details->FlushCount == 1 &&
           details->DataPathLength == strlen(info.DataFile),
       "details: magic %#x index %u opens %u flushes %u data length %u\n", details->Magic,
       details->DeviceIndex, details->OpenCount, details->FlushCount, details->DataPathLength);

    /* A second open of an open drive: the driver's STATUS_DEVICE_BUSY. */
    ok(TolvarOpen(&info, DEVICE) == ERROR_BUSY, "open of an open drive\n");
}

static void test_backup_not_sent_without_its_mode(void)
{
    TolvarDriveInfo info, back;
    reset_device();
    make_record(&info, LETTER, FALSE, DRIVE_ROOT "\\unsent\\backups\\d2.bak",
                DRIVE_ROOT "\\unsent\\drives\\d2.dat");
    ok(TolvarOpen(&info, DEVICE) == 0, "open failed\n");
    read_journal();
    int zero = 1;
    for (unsigned i = 8; i < 528; ++i)
        zero &= journal.LastOpenRequest[i] == 0;
    ok(zero, "backup field sent\n");
    /* The backup folder is made whatever the mode. */
    ok(folder_exists(DRIVE_ROOT "\\unsent\\backups"), "no backup folder\n");

    ok(TolvarQuery(&back, DEVICE) == 0, "query failed\n");
    ok(back.BackupBeforeWrite == 0 && back.BackupFile[0] == 0, "backup came back: %s\n",
       back.BackupFile);
    ok(!strcmp(back.DataFile, info.DataFile), "data %s\n", back.DataFile);
}

static void test_refused_records(void)
{
    TolvarDriveInfo info;
    reset_device();
    ok(TolvarOpen(NULL, DEVICE) == ERROR_INVALID_PARAMETER, "null record\n");
    make_record(&info, LETTER, FALSE, DRIVE_ROOT "\\refused\\b\\x.bak", "abc");
    ok(TolvarOpen(&info, DEVICE) == ERROR_INVALID_PARAMETER, "3-character data path\n");
    make_record(&info, LETTER, TRUE, "C:\\", DRIVE_ROOT "\\refused\\d\\x.dat");
    ok(TolvarOpen(&info, DEVICE) == ERROR_INVALID_PARAMETER, "3-character backup path\n");
    /* A data field with no terminator in its 260 bytes. */
    make_record(&info, LETTER, FALSE, DRIVE_ROOT "\\refused\\b\\x.bak", "");
    memset(info.DataFile, 'x', sizeof info.DataFile);
    memcpy(info.DataFile, DRIVE_ROOT "\\refused\\d\\", strlen(DRIVE_ROOT "\\refused\\d\\"));
    ok(TolvarOpen(&info, DEVICE) == ERROR_INVALID_PARAMETER, "unterminated data path\n");

    read_journal();
    ok(journal.Recorded == 0, "%u requests reached the driver\n", journal.Recorded);
    ok(!anything_at(DRIVE_ROOT "\\refused"), "a refused record made a folder\n");
}

static void test_folder_separators(void)
{
    TolvarDriveInfo info;
    reset_device();
    /* '/' separates as '\' does: the folder is slash, not d3.dat. */
    make_record(&info, LETTER, FALSE, "dat1", "C:/tolvar-tests/drive/slash/d3.dat");
    ok(TolvarOpen(&info, DEVICE) == 0, "open failed\n");
    ok(folder_exists(DRIVE_ROOT "\\slash"), "no folder slash\n");
    ok(!anything_at(DRIVE_ROOT "\\slash\\d3.dat"), "a folder where the data file belongs\n");
    /* A path with no separator after its first character names no folder. */
    ok(!anything_at("dat1"), "a folder dat1 in the current directory\n");

    /* Missing parents named with '/': Wine's SHCreateDirectoryExW walks
     * missing parents only at backslashes, so the library hands it the folder with
     * backslashes, and all three are made. */
    reset_device();
    make_record(&info, LETTER, FALSE, "", "C:/tolvar-tests/drive/nested/a/b/d4.dat");
    ok(TolvarOpen(&info, DEVICE) == 0, "open failed\n");
    ok(folder_exists(DRIVE_ROOT "\\nested\\a\\b"), "nested '/' folders not made\n");
    ok(!anything_at(DRIVE_ROOT "\\nested\\a\\b\\d4.dat"), "a folder where the data file belongs\n");
}

static void test_volume_flush_failures(void)
{
    TolvarDriveInfo info;
    reset_device();
    make_record(&info, LETTER, FALSE, "", DRIVE_ROOT "\\flush\\d5.dat");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_FLUSH, 0, STATUS_IO_DEVICE_ERROR_CODE, 0, 0, 0) == 0,
       "script failed\n");
    ok(TolvarOpen(&info, DEVICE) == ERROR_IO_DEVICE, "failed flush\n");
    read_journal();
    ok(count_entries(&journal, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_OPEN) == 0,
       "the open was sent after a failed flush\n");
    ok(folder_exists(DRIVE_ROOT "\\flush"), "folder made before the flush is gone\n");
}

static void test_letter_with_its_top_bit_set(void)
{
    /* The letter byte 0xC4 (A-umlaut in code page 1252) names the device
     * here: the driver receives the word 0xFFC4 (sign-extended) and the
     * query keeps its low byte. */
    TolvarDriveInfo info, back;
    const char letter = (char)0xC4;
    reset_device();
    define_test_letter(letter, DEVICE);
    make_record(&info, letter, FALSE, "", DRIVE_ROOT "\\umlaut\\d8.dat");
    ok(TolvarOpen(&info, DEVICE) == 0, "open failed\n");
    read_journal();
    ok(journal.Entries[0].Kind == TOLVARVX_KIND_FLUSH, "the letter's volume was not flushed\n");
    ok(journal.LastOpenRequest[0] == 0xC4 && journal.LastOpenRequest[1] == 0xFF,
       "letter word %02x%02x\n", journal.LastOpenRequest[1], journal.LastOpenRequest[0]);
    ok(TolvarQuery(&back, DEVICE) == 0 && back.DriveLetter == letter, "letter %#x\n",
       (BYTE)back.DriveLetter);
    remove_test_letter(letter);
}

static void test_query_failures(void)
{
    TolvarDriveInfo info, back, before;
    reset_device();
    memset(&back, 0x3C, sizeof back);
    before = back;

    ok(TolvarQuery(NULL, DEVICE) == ERROR_INVALID_PARAMETER, "null record\n");
    ok(TolvarQuery(&back, DEVICE) == ERROR_NOT_READY, "query of a closed drive\n");
    read_journal();
    ok(journal.Recorded == 1, "%u requests reached the driver\n", journal.Recorded);

    make_record(&info, LETTER, FALSE, "", DRIVE_ROOT "\\query\\d6.dat");
    ok(TolvarOpen(&info, DEVICE) == 0, "open failed\n");
    /* 1351 bytes of 0xAB: one short of the reply. */
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0, 1351, 0, 0xAB) == 0,
       "script failed\n");
    ok(TolvarQuery(&back, DEVICE) == ERROR_INSUFFICIENT_BUFFER, "short reply\n");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY,
                       STATUS_IO_DEVICE_ERROR_CODE, 0, 0, 0) == 0,
       "script failed\n");
    ok(TolvarQuery(&back, DEVICE) == ERROR_IO_DEVICE, "failed reply\n");
    ok(!memcmp(&back, &before, sizeof back), "a failed query wrote the record\n");

    /* A whole scripted reply of 0xAB: no terminator in either path, yet
     * each field ends within its 260 bytes. In code page 1252 U+ABAB has no
     * character, so each unit becomes '?'. */
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0, 1352, 0, 0xAB) == 0,
       "script failed\n");
    ok(TolvarQuery(&back, DEVICE) == 0, "whole scripted reply\n");
    ok(strlen(back.BackupFile) == 259 && back.BackupFile[0] == '?', "backup: %u bytes, %#x\n",
       (unsigned)strnlen(back.BackupFile, 260), (BYTE)back.BackupFile[0]);
    ok(strlen(back.DataFile) == 259 && back.DeviceDetails[0] == 0xAB, "data: %u bytes\n",
       (unsigned)strnlen(back.DataFile, 260));
    ok(back.DriveLetter == (CHAR)0xAB && back.BackupBeforeWrite == (BOOL)0xABABABAB,
       "letter %#x flag %#x\n", (BYTE)back.DriveLetter, back.BackupBeforeWrite);
}

START_TEST(open_query)
{
    trace("ANSI code page %u\n", GetACP());
    remove_tree(DRIVE_ROOT);
    ok(!anything_at(DRIVE_ROOT), "%s left from an earlier run\n", DRIVE_ROOT);
    define_test_letter(LETTER, DEVICE);
    long handles = count_own_file_handles();
    ok(handles >= 0, "no handle count: %ld\n", handles);
    test_round_trip();
    test_backup_not_sent_without_its_mode();
    test_refused_records();
    test_folder_separators();
    test_volume_flush_failures();
    test_letter_with_its_top_bit_set();
    test_query_failures();
    remove_test_letter(LETTER);

    /* With the letter gone, the volume flush fails at its open and
     * nothing reaches the driver. */
    TolvarDriveInfo info;
    reset_device();
    make_record(&info, LETTER, FALSE, "", DRIVE_ROOT "\\noletter\\d7.dat");
    DWORD error = TolvarOpen(&info, DEVICE);
    ok(error == ERROR_FILE_NOT_FOUND, "open with an undefined letter: %lu\n", error);
    read_journal();
    ok(journal.Recorded == 0, "%u requests reached the driver\n", journal.Recorded);
    tolvarvx_reset(DEVICE);

    /* Every path above, failures included, closed what it opened. */
    long after = count_own_file_handles();
    ok(after == handles, "%ld handles before, %ld after\n", handles, after);
}
