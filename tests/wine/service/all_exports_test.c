/* A C program, built against the public header alone and linked with an
 * import library, calls all fourteen exports under Wine in the order of a
 * drive's life, and checks each result against the driver stand-in. It is
 * built twice: with libtolvarsdk.dll.a and with tolvarsdk.lib. */
#ifdef __cplusplus
#error "this program checks the header from C"
#endif

#include <string.h>

#include "stand_in_client.h"
#include "tolvarsdk.h"
#include "wine_test.h"

#define DEVICE 3
#define LETTER 'S'
#define DATA_FILE "C:\\tolvar-tests\\all-exports\\data.img"
#define SERVICE_KEY "SYSTEM\\CurrentControlSet\\Services\\TOLVARVX"

static void check_export(HMODULE module, const char *name, WORD ordinal, const void *imported)
{
    const void *byName = (const void *)GetProcAddress(module, name);
    const void *byOrdinal = (const void *)GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    ok(byName != NULL && byName == byOrdinal && byName == imported,
       "%s: by name %p, by ordinal %u %p, imported %p\n", name, byName, ordinal, byOrdinal, imported);
}

/* Each address is taken where it is passed: a table or a switch would be
 * folded into constants, which are the import library's jump stubs rather
 * than what the import table holds. */
#define CHECK_EXPORT(function, ordinal) check_export(module, #function, ordinal, (const void *)function)

static void test_exports_by_name_and_ordinal(void)
{
    HMODULE module = GetModuleHandleA("tolvarsdk.dll");
    ok(module != NULL, "tolvarsdk.dll is not loaded\n");
    CHECK_EXPORT(TolvarAddDriveLetter, 1);
    CHECK_EXPORT(TolvarAuthen, 2);
    CHECK_EXPORT(TolvarClose, 3);
    CHECK_EXPORT(TolvarDeauthen, 4);
    CHECK_EXPORT(TolvarFlush, 5);
    CHECK_EXPORT(TolvarGetChallenge, 6);
    CHECK_EXPORT(TolvarOpen, 7);
    CHECK_EXPORT(TolvarQuery, 8);
    CHECK_EXPORT(TolvarReload, 9);
    CHECK_EXPORT(TolvarRemoveDriveLetter, 10);
    CHECK_EXPORT(RegService, 11);
    CHECK_EXPORT(UnregService, 12);
    CHECK_EXPORT(TolvarOpenW, 13);
    CHECK_EXPORT(TolvarQueryW, 14);
}

/* The stand-in's requests since its reset, one letter each: C challenge,
 * A authen, D deauthen, O open, Q query, X close, M dismount, F flush. */
static const char *requests_seen(void)
{
    static TolvarvxJournal journal;
    static char text[TOLVARVX_JOURNAL_CAPACITY + 1];
    DWORD i;
    text[0] = 0;
    if (tolvarvx_read_journal(DEVICE, &journal, sizeof journal) != 0) return "(no journal)";
    for (i = 0; i < journal.Count; i++) {
        DWORD code = journal.Entries[i].Code;
        text[i] = journal.Entries[i].Kind == TOLVARVX_KIND_FLUSH   ? 'F'
                  : code == IOCTL_TOLVAR_GET_CHALLENGE           ? 'C'
                  : code == IOCTL_TOLVAR_AUTHEN                  ? 'A'
                  : code == IOCTL_TOLVAR_DEAUTHEN                ? 'D'
                  : code == IOCTL_TOLVAR_OPEN                    ? 'O'
                  : code == IOCTL_TOLVAR_QUERY                   ? 'Q'
                  : code == IOCTL_TOLVAR_CLOSE                   ? 'X'
                  : code == IOCTL_TOLVAR_RELOAD                  ? 'R'
                  : code == TOLVAR_FSCTL_DISMOUNT_VOLUME         ? 'M'
                                                                 : '?';
        text[i + 1] = 0;
    }
    return text;
}

static DWORD service_values(void)
{
    HKEY key;
    DWORD values = 0, subkeys = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    return subkeys ? 0 : values;
}

static void test_a_drives_life(void)
{
    BYTE challenge[16], response[16], secret[64];
    DWORD secretLength = stand_in_default_secret(DEVICE, secret, sizeof secret);
    TolvarDriveInfo info, described;
    TolvarDriveInfoW wide, describedWide;
    DWORD error;

    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    ok(tolvarvx_require_auth(DEVICE, 1) == 0, "requirement not set\n");

    error = TolvarAddDriveLetter(LETTER, DEVICE);
    ok(error == 0, "TolvarAddDriveLetter returned %lu\n", error);
    error = TolvarGetChallenge(challenge, DEVICE);
    ok(error == 0, "TolvarGetChallenge returned %lu\n", error);
    tolvarvx_compute_response(secret, secretLength, challenge, response);
    error = TolvarAuthen(response, DEVICE);
    ok(error == 0, "TolvarAuthen returned %lu\n", error);

    memset(&info, 0, sizeof info);
    info.DriveLetter = LETTER;
    strcpy(info.DataFile, DATA_FILE);
    error = TolvarOpen(&info, DEVICE);
    ok(error == 0, "TolvarOpen returned %lu\n", error);
    memset(&described, 0xEE, sizeof described);
    error = TolvarQuery(&described, DEVICE);
    ok(error == 0, "TolvarQuery returned %lu\n", error);
    ok(described.DriveLetter == LETTER && described.BackupBeforeWrite == 0 &&
           !strcmp(described.DataFile, DATA_FILE),
       "described as %c, %d, %s\n", described.DriveLetter, described.BackupBeforeWrite,
       described.DataFile);
    memset(&describedWide, 0xEE, sizeof describedWide);
    error = TolvarQueryW(&describedWide, DEVICE);
    ok(error == 0, "TolvarQueryW returned %lu\n", error);
    ok(describedWide.DriveLetter == LETTER && describedWide.Reserved == 0xEEEE &&
           !memcmp(describedWide.DataFile, L"" DATA_FILE, sizeof L"" DATA_FILE),
       "described as %#x, %#x\n", describedWide.DriveLetter, describedWide.Reserved);
    /* The UTF-16 open of the drive that is open already: the driver's busy. */
    memset(&wide, 0, sizeof wide);
    wide.DriveLetter = LETTER;
    memcpy(wide.DataFile, L"" DATA_FILE, sizeof L"" DATA_FILE);
    error = TolvarOpenW(&wide, DEVICE);
    ok(error == ERROR_BUSY, "TolvarOpenW returned %lu\n", error);
    error = TolvarFlush(DEVICE);
    ok(error == 0, "TolvarFlush returned %lu\n", error);

    /* Windows answers the volume-name lookup of a letter that DefineDosDevice
     * made for a driver's device with ERROR_INVALID_PARAMETER (87); Wine's
     * mount manager knows only its own volumes: ERROR_NO_VOLUME_ID. The
     * reload stops there, after its query and both flushes. */
    error = TolvarReload(DEVICE);
    ok(wine_only(error == ERROR_NO_VOLUME_ID), "TolvarReload returned %lu\n", error);

    /* Windows: 0. Wine turns the driver's successful dismount into
     * ERROR_BAD_DEV_TYPE, since no Unix device stands behind the handle. */
    error = TolvarClose(TRUE, DEVICE);
    ok(wine_only(error == ERROR_BAD_DEV_TYPE), "TolvarClose returned %lu\n", error);

    error = TolvarDeauthen(DEVICE);
    ok(error == 0, "TolvarDeauthen returned %lu\n", error);
    error = TolvarRemoveDriveLetter(LETTER);
    ok(error == 0, "TolvarRemoveDriveLetter returned %lu\n", error);
    error = TolvarRemoveDriveLetter(LETTER);
    ok(error == ERROR_FILE_NOT_FOUND, "a second TolvarRemoveDriveLetter returned %lu\n", error);

    /* challenge, authen; open: volume flush, open; query; UTF-16 query;
     * UTF-16 open: volume flush, open; flush; reload: query, drive flush,
     * volume flush; close: close, dismount; deauthen. */
    ok(!strcmp(requests_seen(), "CAFOQQFOFQFFXMD"), "the stand-in saw %s\n", requests_seen());
    ok(tolvarvx_require_auth(DEVICE, 0) == 0, "requirement not cleared\n");
}

static void test_service_key(void)
{
    LONG status = UnregService(NULL, NULL, NULL, 0);
    ok(status == ERROR_SUCCESS, "UnregService returned %ld\n", status);
    status = UnregService(NULL, NULL, NULL, 0);
    ok(status == ERROR_FILE_NOT_FOUND, "a second UnregService returned %ld\n", status);
    RegService(NULL, NULL, NULL, 0);
    ok(service_values() == 3, "RegService wrote %lu values\n", service_values());
}

START_TEST(all_exports)
{
    test_exports_by_name_and_ordinal();
    test_a_drives_life();
    test_service_key();
    TolvarRemoveDriveLetter(LETTER);
    tolvarvx_reset(DEVICE);
}
