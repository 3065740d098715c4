/* No export leaves a handle behind: a thousand calls of each export, with
 * successes and failures mixed (scripted completions of the stand-in,
 * missing devices, refused arguments), leave this process's handle count
 * where it was. GetProcessHandleCount returns 0 under Wine 8, so the count
 * comes from the system's handle table (count_own_handles).
 *
 * Every call's result is checked too, so that the mix is what it claims
 * to be. Wine answers some calls differently from Windows; those checks
 * state Wine's value and say what Windows gives.
 *
 * Only stand-in devices are closed, and only letters this program defined
 * for them are flushed or reloaded. */
#include "stress_helpers.h"

#define CALLS 1000u
#define DEVICE 0u        /* an ordinary drive */
#define BACKUP_DEVICE 1u /* a drive in BackupBeforeWrite mode */
#define DRIVE_LETTER 'K' /* names DEVICE for the whole run */
#define SPARE_LETTER 'L' /* added and removed by the letter exports */
#define FREE_LETTER 'J'  /* never defined: names no volume */
#define OWN_LETTERS "JKL"
#define DATA_FILE STRESS_ROOT "\\leak\\data.img"
#define BACKUP_FILE STRESS_ROOT "\\leak\\backup.img"
#define SERVICE_KEY "SYSTEM\\CurrentControlSet\\Services\\TOLVARVX"

static void report(const stress_tally* tally, long before, long after)
{
    ok(tally->mismatches == 0, "%s: %u of %u results unexpected; first: %s\n", tally->name,
       tally->mismatches, tally->calls, tally->first);
    ok(tally->calls >= CALLS, "%s: only %u calls\n", tally->name, tally->calls);
    ok(before > 0 && after == before, "%s: %ld handles before %u calls, %ld after\n", tally->name,
       before, tally->calls, after);
    trace("%s: %u calls, handles %ld before and %ld after\n", tally->name, tally->calls, before,
          after);
}

static DWORD script(unsigned index, DWORD kind, DWORD code, DWORD status, DWORD information)
{
    return tolvarvx_script(index, kind, code, status, information, 0, 0x5A);
}

/* ---- One mixed call of each export, selected by i ---------------------- */

static void flush_call(stress_tally* tally, unsigned i)
{
    switch (i % 3) {
    case 0: expect_result(tally, "flush", TolvarFlush(DEVICE), 0); break;
    case 1:
        script(DEVICE, TOLVARVX_KIND_FLUSH, 0, STATUS_IO_DEVICE_ERROR_CODE, 0);
        expect_result(tally, "failing flush", TolvarFlush(DEVICE), ERROR_IO_DEVICE);
        break;
    default: expect_result(tally, "flush of a missing device", TolvarFlush(MISSING_DEVICE), ERROR_FILE_NOT_FOUND);
    }
}

static void query_call(stress_tally* tally, unsigned i)
{
    TolvarDriveInfo info;
    memset(&info, 0xEE, sizeof info);
    switch (i % 4) {
    case 0:
        expect_result(tally, "query", TolvarQuery(&info, DEVICE), 0);
        expect_true(tally, "query: the record is not the drive's",
                    record_is(&info, DEVICE, DRIVE_LETTER, FALSE, "", DATA_FILE));
        break;
    case 1:
        script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0, TOLVAR_QUERY_REPLY_SIZE - 1);
        expect_result(tally, "short query reply", TolvarQuery(&info, DEVICE), ERROR_INSUFFICIENT_BUFFER);
        break;
    case 2: expect_result(tally, "query into no record", TolvarQuery(NULL, DEVICE), ERROR_INVALID_PARAMETER); break;
    default: expect_result(tally, "query of a missing device", TolvarQuery(&info, MISSING_DEVICE), ERROR_FILE_NOT_FOUND);
    }
}

static void challenge_call(stress_tally* tally, unsigned i)
{
    BYTE challenge[16];
    switch (i % 4) {
    case 0: expect_result(tally, "challenge", TolvarGetChallenge(challenge, DEVICE), 0); break;
    case 1:
        script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, 0, 15);
        expect_result(tally, "short challenge", TolvarGetChallenge(challenge, DEVICE), ERROR_INSUFFICIENT_BUFFER);
        break;
    case 2: expect_result(tally, "challenge into no buffer", TolvarGetChallenge(NULL, DEVICE), ERROR_INVALID_PARAMETER); break;
    default: expect_result(tally, "challenge of a missing device", TolvarGetChallenge(challenge, MISSING_DEVICE), ERROR_FILE_NOT_FOUND);
    }
}

static void authen_call(stress_tally* tally, unsigned i, const stress_secret* secret)
{
    BYTE challenge[16], response[16] = {0};
    switch (i % 4) {
    case 0:
        /* The stand-in's challenge comes through the library; its answer is
         * made here by the stand-in's rule. */
        TolvarGetChallenge(challenge, DEVICE);
        tolvarvx_compute_response(secret->bytes, secret->length, challenge, response);
        expect_result(tally, "authen", TolvarAuthen(response, DEVICE), 0);
        break;
    case 1:
        /* The challenge was consumed: the same answer again is refused. */
        expect_result(tally, "stale authen", TolvarAuthen(response, DEVICE), ERROR_ACCESS_DENIED);
        break;
    case 2: expect_result(tally, "authen of no response", TolvarAuthen(NULL, DEVICE), ERROR_INVALID_PARAMETER); break;
    default: expect_result(tally, "authen of a missing device", TolvarAuthen(response, MISSING_DEVICE), ERROR_FILE_NOT_FOUND);
    }
}

static void deauthen_call(stress_tally* tally, unsigned i)
{
    switch (i % 3) {
    case 0: expect_result(tally, "deauthen", TolvarDeauthen(DEVICE), 0); break;
    case 1:
        script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_DEAUTHEN, STATUS_DEVICE_BUSY_CODE, 0);
        expect_result(tally, "failing deauthen", TolvarDeauthen(DEVICE), ERROR_BUSY);
        break;
    default: expect_result(tally, "deauthen of a missing device", TolvarDeauthen(MISSING_DEVICE), ERROR_FILE_NOT_FOUND);
    }
}

/* Starts with DEVICE's drive closed and leaves it closed every 6 calls. */
static void open_call(stress_tally* tally, unsigned i)
{
    TolvarDriveInfo info;
    DWORD returned = 0;
    memset(&info, 0, sizeof info);
    info.DriveLetter = DRIVE_LETTER;
    strcpy(info.DataFile, DATA_FILE);
    switch (i % 6) {
    case 0: expect_result(tally, "open", TolvarOpen(&info, DEVICE), 0); break;
    case 1: expect_result(tally, "open of an open drive", TolvarOpen(&info, DEVICE), ERROR_BUSY); break;
    case 2: expect_result(tally, "open of no record", TolvarOpen(NULL, DEVICE), ERROR_INVALID_PARAMETER); break;
    case 3:
        /* The letter's volume is flushed first: a letter that names
         * nothing fails there and the device is never opened. */
        info.DriveLetter = FREE_LETTER;
        expect_result(tally, "open with a letter that names nothing", TolvarOpen(&info, DEVICE), ERROR_FILE_NOT_FOUND);
        break;
    case 4:
        expect_result(tally, "open of a missing device", TolvarOpen(&info, MISSING_DEVICE), ERROR_FILE_NOT_FOUND);
        break;
    default:
        strcpy(info.DataFile, "C:\\");
        expect_result(tally, "open of a 3-character path", TolvarOpen(&info, DEVICE), ERROR_INVALID_PARAMETER);
        stand_in_request(DEVICE, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    }
}

/* Starts with DEVICE's drive closed and leaves it closed every 5 calls. */
static void close_call(stress_tally* tally, unsigned i)
{
    TolvarOpenRequest request;
    DWORD returned = 0;
    stand_in_open_request(&request, DRIVE_LETTER, FALSE, "", DATA_FILE);
    switch (i % 5) {
    case 0:
        stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
        /* Windows: 0. Wine answers the lock itself; after the stand-in's
         * successful dismount ntdll looks for the Unix device behind the
         * handle, finds none, and fails with ERROR_BAD_DEV_TYPE. */
        expect_result(tally, "close", TolvarClose(FALSE, DEVICE), wine_only(ERROR_BAD_DEV_TYPE));
        break;
    case 1: expect_result(tally, "forced close of a closed drive", TolvarClose(TRUE, DEVICE), ERROR_NOT_READY); break;
    case 2:
        stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
        script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, STATUS_DEVICE_BUSY_CODE, 0);
        expect_result(tally, "close of a busy drive", TolvarClose(FALSE, DEVICE), ERROR_BUSY);
        break;
    case 3:
        /* The drive stayed open; as in case 0 on Wine. */
        expect_result(tally, "forced close", TolvarClose(TRUE, DEVICE), wine_only(ERROR_BAD_DEV_TYPE));
        break;
    default: expect_result(tally, "close of a missing device", TolvarClose(FALSE, MISSING_DEVICE), ERROR_FILE_NOT_FOUND);
    }
}

static void reload_call(stress_tally* tally, unsigned i)
{
    switch (i % 4) {
    case 0:
        /* Windows would go on to dismount the letter's volume. Wine's mount
         * manager knows only its own volumes: the volume-name lookup of a
         * letter defined for a driver's device fails with
         * ERROR_NO_VOLUME_ID, before any dismount. */
        expect_result(tally, "reload", TolvarReload(DEVICE), wine_only(ERROR_NO_VOLUME_ID));
        break;
    case 1:
        expect_result(tally, "reload of a BackupBeforeWrite drive", TolvarReload(BACKUP_DEVICE),
                      ERROR_SHARING_VIOLATION);
        break;
    case 2:
        script(DEVICE, TOLVARVX_KIND_FLUSH, 0, STATUS_IO_DEVICE_ERROR_CODE, 0);
        expect_result(tally, "reload with a failing flush", TolvarReload(DEVICE), ERROR_IO_DEVICE);
        break;
    default: expect_result(tally, "reload of a missing device", TolvarReload(MISSING_DEVICE), ERROR_FILE_NOT_FOUND);
    }
}

/* Each round adds and removes three times: free, taken, refused. */
static void letter_round(stress_tally* add, stress_tally* remove)
{
    expect_result(add, "add a free letter", TolvarAddDriveLetter(SPARE_LETTER, DEVICE), 0);
    /* The probe now opens the stand-in's device through the letter. */
    expect_result(add, "add a taken letter", TolvarAddDriveLetter(SPARE_LETTER, DEVICE), ERROR_BUSY);
    expect_result(add, "add '['", TolvarAddDriveLetter('[', DEVICE), ERROR_INVALID_PARAMETER);
    expect_result(remove, "remove the letter", TolvarRemoveDriveLetter(SPARE_LETTER), 0);
    expect_result(remove, "remove it again", TolvarRemoveDriveLetter(SPARE_LETTER), ERROR_FILE_NOT_FOUND);
    expect_result(remove, "remove '@'", TolvarRemoveDriveLetter('@'), ERROR_INVALID_PARAMETER);
}

/* The three values of the service key; 0 when the key is missing. */
static int service_key_values(DWORD values[3])
{
    static const char* const names[3] = {"ErrorControl", "Start", "Type"};
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_READ, &key) != 0)
        return 0;
    for (int i = 0; i < 3; ++i) {
        DWORD size = sizeof values[i], type = 0;
        values[i] = 0xFFFFFFFF;
        if (RegQueryValueExA(key, names[i], NULL, &type, (BYTE*)&values[i], &size) != 0 || type != REG_DWORD)
            values[i] = 0xFFFFFFFF;
    }
    RegCloseKey(key);
    return 1;
}

/* Each round: delete a present key, delete a missing one, write it back. */
static void service_round(stress_tally* reg, stress_tally* unreg)
{
    DWORD values[3];
    expect_result(unreg, "delete the key", (DWORD)UnregService(0, 0, 0, 0), 0);
    expect_result(unreg, "delete a missing key", (DWORD)UnregService(0, 0, 0, 0), ERROR_FILE_NOT_FOUND);
    RegService(0, 0, 0, 0);
    reg->calls++;
    expect_true(reg, "the key is not back with its three values",
                service_key_values(values) && values[0] == 1 && values[1] == 1 && values[2] == 1);
}

/* ---- The runs ------------------------------------------------------------ */

static void set_up_drives(void)
{
    ok(open_stand_in_drive(DEVICE, DRIVE_LETTER, FALSE, "", DATA_FILE) == 0, "drive not opened\n");
    ok(open_stand_in_drive(BACKUP_DEVICE, DRIVE_LETTER, TRUE, BACKUP_FILE, DATA_FILE) == 0,
       "backup drive not opened\n");
}

/* One export (or a pair), CALLS times, between two handle counts. */
#define MEASURE(tally_name, body)                                                   \
    do {                                                                            \
        stress_tally tally = {tally_name, 0, 0, ""};                                \
        long before = count_own_handles();                                          \
        for (unsigned i = 0; i < CALLS; ++i) {                                      \
            body;                                                                   \
        }                                                                           \
        report(&tally, before, count_own_handles());                                \
    } while (0)

static void run_drive_exports(const stress_secret* secret)
{
    set_up_drives();
    MEASURE("TolvarFlush", flush_call(&tally, i));
    MEASURE("TolvarQuery", query_call(&tally, i));
    MEASURE("TolvarGetChallenge", challenge_call(&tally, i));
    MEASURE("TolvarAuthen", authen_call(&tally, i, secret));
    MEASURE("TolvarDeauthen", deauthen_call(&tally, i));
    MEASURE("TolvarReload", reload_call(&tally, i));
    tolvarvx_reset(DEVICE);
    MEASURE("TolvarOpen", open_call(&tally, i));
    tolvarvx_reset(DEVICE);
    MEASURE("TolvarClose", close_call(&tally, i));
}

static void run_letter_and_service_exports(void)
{
    stress_tally add = {"TolvarAddDriveLetter", 0, 0, ""};
    stress_tally remove = {"TolvarRemoveDriveLetter", 0, 0, ""};
    long before = count_own_handles();
    while (add.calls < CALLS)
        letter_round(&add, &remove);
    long after = count_own_handles();
    report(&add, before, after);
    report(&remove, before, after);

    stress_tally reg = {"RegService", 0, 0, ""};
    stress_tally unreg = {"UnregService", 0, 0, ""};
    before = count_own_handles();
    while (reg.calls < CALLS || unreg.calls < CALLS)
        service_round(&reg, &unreg);
    after = count_own_handles();
    report(&reg, before, after);
    report(&unreg, before, after);
}

/* A few calls of everything before the first count: Wine opens some
 * handles the first time a call family is used and keeps them (the first
 * TolvarOpen leaves a registry key open: Wine's SHCreateDirectoryExA opens
 * it once and keeps it). */
static void warm_up(const stress_secret* secret)
{
    stress_tally ignored = {"warm-up", 0, 0, ""};
    set_up_drives();
    for (unsigned i = 0; i < 12; ++i) {
        flush_call(&ignored, i);
        query_call(&ignored, i);
        challenge_call(&ignored, i);
        authen_call(&ignored, i, secret);
        deauthen_call(&ignored, i);
        reload_call(&ignored, i);
    }
    tolvarvx_reset(DEVICE);
    for (unsigned i = 0; i < 12; ++i)
        open_call(&ignored, i);
    tolvarvx_reset(DEVICE);
    for (unsigned i = 0; i < 10; ++i)
        close_call(&ignored, i);
    letter_round(&ignored, &ignored);
    service_round(&ignored, &ignored);
}

START_TEST(leaks)
{
    DWORD values[3];
    if (!require_free_letters(OWN_LETTERS))
        return;
    ok(service_key_values(values) && values[0] == 1 && values[1] == 1 && values[2] == 1,
       "the session's service key is not as installed\n");
    ok(define_stand_in_letter(DRIVE_LETTER, DEVICE), "%c: not defined: %lu\n", DRIVE_LETTER,
       GetLastError());
    stress_secret secret = default_secret(DEVICE);

    warm_up(&secret);
    run_drive_exports(&secret);
    run_letter_and_service_exports();

    /* RegService has just written the key back as the installer did. */
    ok(service_key_values(values) && values[0] == 1 && values[1] == 1 && values[2] == 1,
       "the service key is not restored\n");
    remove_letter(DRIVE_LETTER);
    remove_letter(SPARE_LETTER);
    tolvarvx_reset(DEVICE);
    tolvarvx_reset(BACKUP_DEVICE);
}
