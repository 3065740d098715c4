/* Eight threads call the exports at once on the stand-in's four drive
 * devices. Each thread owns the requests whose outcome it scripts (a
 * device and a request code no other thread sends there), so every result
 * is known in advance whatever the interleaving; the statuses differ from
 * device to device and each query names its device, so an answer that
 * crossed over to another device or thread shows as a wrong value. At the
 * end each device's journal must hold exactly the requests the threads
 * sent it, its flush counter exactly the flushes they made, and the
 * process its handles of before. A wait with a time limit turns a
 * deadlock into a failure.
 *
 *   handshake threads 0-3, on device t: challenge and answer, a stale
 *     answer, a short scripted challenge, a scripted refusal of the answer,
 *     deauthen, queries of device t and of device t+2;
 *   drive threads 4-7, on device d = t-4: flushes (one scripted to fail),
 *     a reload, an open of the open drive, a scripted refusal of the close,
 *     a query of device d+1;
 *   every thread: a drive letter of its own added twice and removed twice,
 *     and a missing device.
 *
 * Device 3's drive is in BackupBeforeWrite mode, so its reload is refused
 * before it sends anything but the query. */
#include "stress_helpers.h"

#define THREADS 8u
#define DEVICES 4u
#define ROUNDS 250u
#define WAIT_LIMIT_MS time_limit_ms(90000u)

/* Letters of the drives (E: names device 0, ...), defined for the devices
 * by this program, and the letters each thread adds and removes. */
static const char drive_letters[DEVICES + 1] = "EFGH";
static const char thread_letters[THREADS + 1] = "NOPSUVWX";

/* The status each device's scripted failures complete with, and the Win32
 * error the caller sees. */
static const DWORD device_status[DEVICES] = {STATUS_IO_DEVICE_ERROR_CODE, STATUS_DEVICE_BUSY_CODE,
                                             STATUS_NOT_SUPPORTED_CODE,
                                             STATUS_MEDIA_WRITE_PROTECTED_CODE};
static const DWORD device_error[DEVICES] = {ERROR_IO_DEVICE, ERROR_BUSY, ERROR_NOT_SUPPORTED,
                                            ERROR_WRITE_PROTECT};

static char data_files[DEVICES][MAX_PATH];
static char backup_files[DEVICES][MAX_PATH];

static int has_backup(unsigned device) { return device == DEVICES - 1; }

static int query_names(const TolvarDriveInfo* info, unsigned device)
{
    return record_is(info, device, drive_letters[device], has_backup(device) ? TRUE : FALSE,
                     backup_files[device], data_files[device]);
}

typedef struct {
    unsigned index;
    stress_tally tally;
} thread_state;

static void letter_calls(thread_state* state, unsigned device)
{
    char letter = thread_letters[state->index];
    stress_tally* tally = &state->tally;
    expect_result(tally, "add the thread's letter", TolvarAddDriveLetter(letter, device), 0);
    expect_result(tally, "add it again", TolvarAddDriveLetter(letter, device), ERROR_BUSY);
    expect_result(tally, "remove it", TolvarRemoveDriveLetter(letter), 0);
    expect_result(tally, "remove it again", TolvarRemoveDriveLetter(letter), ERROR_FILE_NOT_FOUND);
}

static void query_call(stress_tally* tally, unsigned device)
{
    TolvarDriveInfo info;
    memset(&info, 0xEE, sizeof info);
    expect_result(tally, "query", TolvarQuery(&info, device), 0);
    expect_true(tally, "a query reply of another device", query_names(&info, device));
}

/* Eight requests on device t, one on device t+2. */
static void handshake_round(thread_state* state, const stress_secret* secret)
{
    unsigned device = state->index;
    stress_tally* tally = &state->tally;
    BYTE challenge[17], response[16];

    memset(challenge, 0x11, sizeof challenge);
    expect_result(tally, "challenge", TolvarGetChallenge(challenge, device), 0);
    tolvarvx_compute_response(secret->bytes, secret->length, challenge, response);
    expect_result(tally, "answer", TolvarAuthen(response, device), 0);
    expect_result(tally, "stale answer", TolvarAuthen(response, device), ERROR_ACCESS_DENIED);

    /* The scripted short reply carries the device's own fill byte. */
    BYTE fill = (BYTE)(0xA0 + device);
    tolvarvx_script(device, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, 0, 15, 0, fill);
    memset(challenge, 0x11, sizeof challenge);
    expect_result(tally, "short challenge", TolvarGetChallenge(challenge, device),
                  ERROR_INSUFFICIENT_BUFFER);
    int filled = 1;
    for (unsigned i = 0; i < 15; ++i)
        filled &= challenge[i] == fill;
    expect_true(tally, "short challenge: another device's bytes, or past the 15",
                filled && challenge[15] == 0x11 && challenge[16] == 0x11);

    tolvarvx_script(device, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_AUTHEN, device_status[device], 0, 0, 0);
    expect_result(tally, "challenge before a refused answer", TolvarGetChallenge(challenge, device), 0);
    tolvarvx_compute_response(secret->bytes, secret->length, challenge, response);
    expect_result(tally, "scripted refusal of the answer", TolvarAuthen(response, device),
                  device_error[device]);
    expect_result(tally, "deauthen", TolvarDeauthen(device), 0);

    query_call(tally, device);
    query_call(tally, (device + 2) % DEVICES);
}

/* On device d: eight requests (six on device 3), and one on device d+1. */
static void drive_round(thread_state* state, unsigned round)
{
    unsigned device = state->index - DEVICES;
    stress_tally* tally = &state->tally;

    expect_result(tally, "flush", TolvarFlush(device), 0);
    tolvarvx_script(device, TOLVARVX_KIND_FLUSH, 0, device_status[device], 0, 0, 0);
    expect_result(tally, "scripted flush failure", TolvarFlush(device), device_error[device]);

    /* Windows would go on to dismount the letter's volume; Wine's mount
     * manager does not know a volume behind a letter defined for a
     * driver's device, and the lookup fails with ERROR_NO_VOLUME_ID. */
    expect_result(tally, "reload", TolvarReload(device),
                  has_backup(device) ? ERROR_SHARING_VIOLATION : wine_only(ERROR_NO_VOLUME_ID));

    TolvarDriveInfo info;
    memset(&info, 0, sizeof info);
    info.DriveLetter = drive_letters[device];
    strcpy(info.DataFile, data_files[device]);
    expect_result(tally, "open of the open drive", TolvarOpen(&info, device), ERROR_BUSY);

    /* Wine answers the lock without the driver, so the close is the first
     * request the stand-in sees (on Windows the lock comes before it). */
    tolvarvx_script(device, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, device_status[device], 0, 0, 0);
    expect_result(tally, "scripted close failure", TolvarClose(round & 1, device), device_error[device]);

    query_call(tally, (device + 1) % DEVICES);
}

static DWORD WINAPI thread_main(void* parameter)
{
    thread_state* state = (thread_state*)parameter;
    stress_secret secret = default_secret(state->index % DEVICES);
    for (unsigned round = 0; round < ROUNDS; ++round) {
        if (state->index < DEVICES)
            handshake_round(state, &secret);
        else
            drive_round(state, round);
        letter_calls(state, state->index % DEVICES);
        expect_result(&state->tally, "flush of a missing device",
                      TolvarFlush(MISSING_DEVICE + state->index), ERROR_FILE_NOT_FOUND);
    }
    return 0;
}

/* What each device must have counted once every thread is done. */
static void check_devices(void)
{
    for (unsigned device = 0; device < DEVICES; ++device) {
        static TolvarvxJournal journal;
        unsigned ownRequests = has_backup(device) ? 6 : 8;
        /* The set-up's open; then each round eight from its handshake
         * thread, one query from handshake thread device+2, its drive
         * thread's, one query from drive thread device-1. On Windows the
         * lock of every other close (those without force) would reach the
         * driver too; Wine answers it itself. */
        DWORD expectedRequests = wine_only(1 + ROUNDS * (8 + 1 + ownRequests + 1));
        /* Carried-out flushes: the plain one, the reload's two (device
         * and volume; none when the reload is refused), the open's volume
         * flush. The scripted one does not count. */
        DWORD expectedFlushes = ROUNDS * (has_backup(device) ? 2 : 4);

        ok(tolvarvx_read_journal(device, &journal, sizeof journal) == 0,
           "journal of device %u not read\n", device);
        ok(journal.Recorded == expectedRequests, "device %u: %lu requests, expected %lu\n", device,
           journal.Recorded, expectedRequests);

        TolvarDriveInfo info;
        ok(TolvarQuery(&info, device) == 0, "final query of device %u failed\n", device);
        TolvarvxDeviceDetails details = details_of(&info);
        ok(query_names(&info, device), "device %u: the drive changed\n", device);
        ok(details.FlushCount == expectedFlushes, "device %u: %lu flushes, expected %lu\n", device,
           details.FlushCount, expectedFlushes);
        ok(details.OpenCount == 1 && details.CloseCount == 0 && details.ReloadCount == 0 &&
               details.DismountCount == 0,
           "device %u: opened %lu, closed %lu, reloaded %lu, dismounted %lu times\n", device,
           details.OpenCount, details.CloseCount, details.ReloadCount, details.DismountCount);
    }
}

/* Every export once, one thread at a time, before the first handle count:
 * the first TolvarOpen leaves a registry key open for good (Wine's
 * SHCreateDirectoryExA opens it once and keeps it), and other call
 * families may do the same the first time. The set-up resets the devices
 * afterwards. */
static void warm_up(void)
{
    BYTE block[16] = {0};
    TolvarDriveInfo info;
    memset(&info, 0, sizeof info);
    info.DriveLetter = drive_letters[0];
    strcpy(info.DataFile, STRESS_ROOT "\\concurrency\\warm-up.img");
    TolvarOpen(&info, MISSING_DEVICE);
    TolvarQuery(&info, MISSING_DEVICE);
    TolvarFlush(MISSING_DEVICE);
    TolvarReload(MISSING_DEVICE);
    TolvarClose(FALSE, MISSING_DEVICE);
    TolvarGetChallenge(block, MISSING_DEVICE);
    TolvarAuthen(block, MISSING_DEVICE);
    TolvarDeauthen(MISSING_DEVICE);
    TolvarAddDriveLetter(thread_letters[0], MISSING_DEVICE);
    TolvarRemoveDriveLetter(thread_letters[0]);
}

START_TEST(concurrency)
{
    static thread_state states[THREADS];
    HANDLE threads[THREADS];
    char letters[DEVICES + THREADS + 1];

    strcpy(letters, drive_letters);
    strcat(letters, thread_letters);
    if (!require_free_letters(letters))
        return;
    warm_up();
    for (unsigned device = 0; device < DEVICES; ++device) {
        sprintf(data_files[device], STRESS_ROOT "\\concurrency\\drive%u.img", device);
        strcpy(backup_files[device], has_backup(device) ? STRESS_ROOT "\\concurrency\\backup3.img" : "");
        ok(open_stand_in_drive(device, drive_letters[device], has_backup(device),
                               backup_files[device], data_files[device]) == 0,
           "drive %u not opened\n", device);
        ok(define_stand_in_letter(drive_letters[device], device), "%c: not defined: %lu\n",
           drive_letters[device], GetLastError());
    }

    long handlesBefore = count_own_handles();
    DWORD started = GetTickCount();
    for (unsigned i = 0; i < THREADS; ++i) {
        states[i].index = i;
        states[i].tally.name = "thread";
        threads[i] = CreateThread(NULL, 0, thread_main, &states[i], 0, NULL);
        ok(threads[i] != NULL, "thread %u not started: %lu\n", i, GetLastError());
    }
    DWORD waited = WaitForMultipleObjects(THREADS, threads, TRUE, WAIT_LIMIT_MS);
    if (!(ok(waited == WAIT_OBJECT_0, "the threads did not end within %lu ms: %lu\n", WAIT_LIMIT_MS,
             waited))) {
        /* A deadlocked thread would keep the process alive: end it here. */
        fprintf(stdout, "concurrency: deadlock, ending the process\n");
        ExitProcess(2);
    }
    trace("%u threads x %u rounds in %lu ms\n", THREADS, ROUNDS, GetTickCount() - started);
    for (unsigned i = 0; i < THREADS; ++i)
        CloseHandle(threads[i]);

    unsigned calls = 0;
    for (unsigned i = 0; i < THREADS; ++i) {
        const stress_tally* tally = &states[i].tally;
        calls += tally->calls;
        ok(tally->mismatches == 0, "thread %u: %u of %u results unexpected; first: %s\n", i,
           tally->mismatches, tally->calls, tally->first);
    }
    long handlesAfter = count_own_handles();
    ok(handlesBefore > 0 && handlesAfter == handlesBefore, "%ld handles before the threads, %ld after\n",
       handlesBefore, handlesAfter);
    trace("%u export calls checked; handles %ld before, %ld after\n", calls, handlesBefore, handlesAfter);

    check_devices();

    for (unsigned device = 0; device < DEVICES; ++device) {
        remove_letter(drive_letters[device]);
        tolvarvx_reset(device);
    }
}
