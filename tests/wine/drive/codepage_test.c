/* The drive round trip in a double-byte ANSI code page (932, Shift-JIS,
 * set for this program alone by its manifest): non-ASCII paths reach the
 * driver as the right UTF-16 and come back byte for byte, and a reply path
 * whose ANSI form is longer than 259 bytes is cut at a whole character. */
#include "drive_helpers.h"

#define DEVICE 3
#define LETTER 'U'
#define CP_ROOT TEST_ROOT "\\cp932"
#define CP_ROOT_W L"C:\\tolvar-tests\\cp932"

/* Shift-JIS: 日本 (0x93FA 0x967B), ファイル (0x8374 0x8340 0x8343 0x838B),
 * あい (0x82A0 0x82A2). */
#define DATA_PATH CP_ROOT "\\\x93\xFA\x96\x7B\\\x83\x74\x83\x40\x83\x43\x83\x8B.dat"
#define DATA_PATH_W CP_ROOT_W L"\\\x65E5\x672C\\\x30D5\x30A1\x30A4\x30EB.dat"
#define BACKUP_PATH CP_ROOT "\\\x82\xA0\x82\xA2\\b.bak"
#define BACKUP_PATH_W CP_ROOT_W L"\\\x3042\x3044\\b.bak"

static TolvarvxJournal journal;

static int wide_field_is(const uint16_t* field, const WCHAR* expected)
{
    size_t length = wcslen(expected);
    return !memcmp(field, expected, (length + 1) * sizeof(WCHAR));
}

static void test_round_trip(void)
{
    TolvarDriveInfo info, back;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    make_record(&info, LETTER, TRUE, BACKUP_PATH, DATA_PATH);
    ok(TolvarOpen(&info, DEVICE) == 0, "open failed\n");

    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0 &&
           journal.LastOpenValid, "no open received\n");
    const TolvarOpenRequest* sent = (const TolvarOpenRequest*)journal.LastOpenRequest;
    ok(wide_field_is(sent->DataFile, DATA_PATH_W), "data path sent as other UTF-16\n");
    ok(wide_field_is(sent->BackupFile, BACKUP_PATH_W), "backup path sent as other UTF-16\n");

    /* The folders carry the same names seen from either side. */
    ok(folder_exists(CP_ROOT "\\\x93\xFA\x96\x7B"), "no data folder by its ANSI name\n");
    DWORD attributes = GetFileAttributesW(CP_ROOT_W L"\\\x65E5\x672C");
    ok(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY),
       "no data folder by its UTF-16 name\n");
    ok(GetFileAttributesW(CP_ROOT_W L"\\\x3042\x3044") != INVALID_FILE_ATTRIBUTES,
       "no backup folder\n");

    memset(&back, 0xA5, sizeof back);
    ok(TolvarQuery(&back, DEVICE) == 0, "query failed\n");
    ok(!strcmp(back.DataFile, DATA_PATH), "data path came back as %s\n", back.DataFile);
    ok(!strcmp(back.BackupFile, BACKUP_PATH), "backup path came back as %s\n", back.BackupFile);
    ok(back.DriveLetter == LETTER && back.BackupBeforeWrite == TRUE, "letter %#x flag %d\n",
       (BYTE)back.DriveLetter, back.BackupBeforeWrite);
}

/* The katakana SO is 0x83 0x5C in Shift-JIS: its trail byte is a backslash.
 * The folder of C:\...\cp932\SO\SO.dat is ...\SO, not a cut inside it. */
static void test_trail_byte_is_no_separator(void)
{
    TolvarDriveInfo info;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    make_record(&info, LETTER, FALSE, "", CP_ROOT "\\so\\\x83\x5C\\\x83\x5C.dat");
    ok(TolvarOpen(&info, DEVICE) == 0, "open failed\n");
    DWORD attributes = GetFileAttributesW(CP_ROOT_W L"\\so\\\x30BD");
    ok(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY),
       "no folder named SO\n");
    ok(GetFileAttributesW(CP_ROOT_W L"\\so\\\x30BD\\\x30BD.dat") == INVALID_FILE_ATTRIBUTES,
       "a folder where the data file belongs\n");
}

/* Opens the stand-in's drive with UTF-16 paths that no record can hold. */
static void open_raw(const WCHAR* backup, const WCHAR* data)
{
    TolvarOpenRequest request;
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    memset(&request, 0, sizeof request);
    request.DriveLetter = LETTER;
    request.BackupBeforeWrite = 1;
    memcpy(request.BackupFile, backup, (wcslen(backup) + 1) * sizeof(WCHAR));
    memcpy(request.DataFile, data, (wcslen(data) + 1) * sizeof(WCHAR));
    ok(stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned) == 0,
       "raw open failed\n");
}

static void test_reply_longer_than_the_field(void)
{
    WCHAR data[260], backup[260];
    TolvarDriveInfo back;
    TolvarQueryReply raw;
    DWORD returned = 0;
    char expected[260];

    /* C:\x and 200 hiragana: 404 bytes in code page 932. 4 + 127 * 2 = 258
     * bytes fit; the 128th character would put half of itself in byte 259. */
    wcscpy(data, L"C:\\x");
    for (int i = 0; i < 200; ++i)
        data[4 + i] = 0x3042;
    data[204] = 0;
    /* C:\ and 200 hiragana: 3 + 128 * 2 = 259 bytes fit exactly. */
    wcscpy(backup, L"C:\\");
    for (int i = 0; i < 200; ++i)
        backup[3 + i] = 0x3044;
    backup[203] = 0;
    open_raw(backup, data);

    memset(&back, 0xA5, sizeof back);
    ok(TolvarQuery(&back, DEVICE) == 0, "query failed\n");
    strcpy(expected, "C:\\x");
    for (int i = 0; i < 127; ++i)
        strcat(expected, "\x82\xA0");
    ok(strlen(expected) == 258 && !strcmp(back.DataFile, expected), "data: %u bytes\n",
       (unsigned)strnlen(back.DataFile, 260));
    ok((BYTE)back.DataFile[259] == 0xA5, "byte 259 of the data path written\n");
    strcpy(expected, "C:\\");
    for (int i = 0; i < 128; ++i)
        strcat(expected, "\x82\xA2");
    ok(strlen(expected) == 259 && !strcmp(back.BackupFile, expected), "backup: %u bytes\n",
       (unsigned)strnlen(back.BackupFile, 260));
    ok(stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, &raw, sizeof raw, &returned) == 0 &&
           !memcmp(back.DeviceDetails, raw.DeviceDetails, sizeof raw.DeviceDetails),
       "details differ from the driver's\n");
}

static void test_surrogate_pair_at_the_cut(void)
{
    WCHAR data[260], backup[8] = L"C:\\b";
    TolvarDriveInfo back;
    char piece[8];

    /* C:\, one hiragana, 253 x, then U+1F600 as a surrogate pair: 258 bytes
     * before the pair. */
    wcscpy(data, L"C:\\\x3042");
    for (int i = 0; i < 253; ++i)
        data[4 + i] = L'x';
    data[257] = 0xD83D;
    data[258] = 0xDE00;
    data[259] = 0;
    open_raw(backup, data);
    memset(&back, 0xA5, sizeof back);
    ok(TolvarQuery(&back, DEVICE) == 0, "query failed\n");

    /* Wine's code page 932 has no U+1F600 and gives '?' for each unit of
     * the pair: 2 bytes, which do not fit after 258, so the pair is left out
     * whole rather than split into one '?'. (Windows maps a whole pair to a
     * single default character, which would fit in byte 258; not measured
     * here.) */
    int pairBytes = WideCharToMultiByte(CP_ACP, 0, data + 257, 2, piece, sizeof piece, NULL, NULL);
    ok(wine_only(pairBytes == 2 && piece[0] == '?' && piece[1] == '?'), "the pair gives %d bytes\n",
       pairBytes);
    char expected[260] = "C:\\\x82\xA0";
    memset(expected + 5, 'x', 253);
    expected[258] = 0;
    ok(wine_only(!strcmp(back.DataFile, expected)), "data: %u bytes, last %#x\n",
       (unsigned)strnlen(back.DataFile, 260), (BYTE)back.DataFile[strnlen(back.DataFile, 260) - 1]);
    ok((BYTE)back.DataFile[259] == 0xA5, "byte 259 of the data path written\n");
}

START_TEST(codepage)
{
    UINT codePage = GetACP();
    ok(codePage == 932, "ANSI code page %u: the manifest did not apply\n", codePage);
    if (codePage != 932)
        return;
    remove_tree(CP_ROOT);
    define_test_letter(LETTER, DEVICE);
    long handles = count_own_file_handles();
    test_round_trip();
    test_reply_longer_than_the_field();
    test_surrogate_pair_at_the_cut();
    test_trail_byte_is_no_separator();
    remove_test_letter(LETTER);
    tolvarvx_reset(DEVICE);
    long after = count_own_file_handles();
    ok(after == handles, "%ld handles before, %ld after\n", handles, after);
}
