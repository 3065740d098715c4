/* A driver that dies in the middle of requests. Four threads call
 * exports on a stand-in device without pause; the stand-in is then made
 * to fault on purpose. Windows would stop the machine (a bug check); Wine
 * loses only the winedevice.exe that hosts the driver, and this program
 * states what the library's callers get then:
 *   - the calls whose request was waiting in the dying driver return
 *     ERROR_ACCESS_DENIED (5): Wine completes a request whose host process
 *     ended with STATUS_ACCESS_DENIED;
 *   - every later call returns the open's error, ERROR_PATH_NOT_FOUND (3):
 *     the \\.\TOLVARVX<n> links stay but their devices are gone;
 *   - nothing hangs, and no handle is left behind;
 * and that the calls succeed again once the driver's service is started
 * again.
 *
 * The program faults the stand-in of its own Wine session (see
 * CMakeLists.txt), so the other tests never meet a dead driver. */
#include "stress_helpers.h"

#define DEVICE 1u
#define DRIVE_LETTER 'K'
#define SPARE_LETTER 'L'
#define DATA_FILE STRESS_ROOT "\\death\\data.img"
#define THREADS 4u
#define CALLS_BEFORE_FAULT 50u     /* each thread's successes before the fault */
#define OPEN_ERRORS_TO_STOP 20u    /* each thread's run of open errors after it */
#define WAIT_LIMIT_MS time_limit_ms(30000u)

/* A thread's results, run-length encoded in call order. */
#define MAX_RUNS 16u
typedef struct {
    DWORD code;
    unsigned count;
} result_run;

typedef struct {
    unsigned index;
    volatile LONG successes;
    volatile LONG openErrorsInARow;
    unsigned runCount;
    int overflow;
    result_run runs[MAX_RUNS];
} hammer_state;

static volatile LONG stop_hammering;

static const char* const export_names[THREADS] = {"TolvarFlush", "TolvarQuery", "TolvarGetChallenge",
                                                  "TolvarDeauthen"};

static DWORD call_export(unsigned which)
{
    TolvarDriveInfo info;
    BYTE challenge[16];
    switch (which) {
    case 0: return TolvarFlush(DEVICE);
    case 1: return TolvarQuery(&info, DEVICE);
    case 2: return TolvarGetChallenge(challenge, DEVICE);
    default: return TolvarDeauthen(DEVICE);
    }
}

static void record(hammer_state* state, DWORD code)
{
    if (state->runCount && state->runs[state->runCount - 1].code == code) {
        state->runs[state->runCount - 1].count++;
    } else if (state->runCount < MAX_RUNS) {
        state->runs[state->runCount].code = code;
        state->runs[state->runCount++].count = 1;
    } else {
        state->overflow = 1;
    }
    if (code == 0)
        InterlockedIncrement(&state->successes);
    if (code == ERROR_PATH_NOT_FOUND)
        InterlockedIncrement(&state->openErrorsInARow);
    else
        InterlockedExchange(&state->openErrorsInARow, 0);
}

static DWORD WINAPI hammer(void* parameter)
{
    hammer_state* state = (hammer_state*)parameter;
    while (!stop_hammering)
        record(state, call_export(state->index));
    return 0;
}

static int all_reached(hammer_state* states, int successes, LONG goal)
{
    for (unsigned i = 0; i < THREADS; ++i)
        if ((successes ? states[i].successes : states[i].openErrorsInARow) < goal)
            return 0;
    return 1;
}

/* Waits until every thread has `goal` successes (or, with successes 0,
 * that many open errors in a row); 0 when the limit passed first. */
static int wait_until(hammer_state* states, int successes, LONG goal)
{
    DWORD started = GetTickCount();
    while (!all_reached(states, successes, goal)) {
        if (GetTickCount() - started > WAIT_LIMIT_MS)
            return 0;
        Sleep(1);
    }
    return 1;
}

static const char* describe(const hammer_state* state)
{
    static char text[512];
    int length = 0;
    for (unsigned i = 0; i < state->runCount && length < 400; ++i)
        length += sprintf(text + length, "%lu x%u ", state->runs[i].code, state->runs[i].count);
    return text;
}

static void test_fault_in_the_middle_of_calls(void)
{
    static hammer_state states[THREADS];
    HANDLE threads[THREADS];
    DWORD magic = TOLVARVX_CRASH_MAGIC, returned = 0;

    for (unsigned i = 0; i < THREADS; ++i) {
        states[i].index = i;
        threads[i] = CreateThread(NULL, 0, hammer, &states[i], 0, NULL);
        ok(threads[i] != NULL, "thread %u not started: %lu\n", i, GetLastError());
    }
    ok(wait_until(states, 1, CALLS_BEFORE_FAULT), "the calls did not succeed before the fault\n");

    DWORD started = GetTickCount();
    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVARVX_TEST_CRASH, &magic, sizeof magic, NULL, 0, &returned);
    ok(error == ERROR_ACCESS_DENIED, "the faulting request itself: %lu\n", error);
    ok(wait_until(states, 0, OPEN_ERRORS_TO_STOP), "the calls did not settle on the open's error\n");
    trace("from the fault until every thread had %u open errors in a row: %lu ms\n",
          OPEN_ERRORS_TO_STOP, GetTickCount() - started);

    InterlockedExchange(&stop_hammering, 1);
    DWORD waited = WaitForMultipleObjects(THREADS, threads, TRUE, WAIT_LIMIT_MS);
    if (!(ok(waited == WAIT_OBJECT_0, "the calls hang after the fault: %lu\n", waited))) {
        fprintf(stdout, "driver_death: a call hangs, ending the process\n");
        ExitProcess(2);
    }
    for (unsigned i = 0; i < THREADS; ++i)
        CloseHandle(threads[i]);

    /* Each thread: successes, then at most the calls caught by the fault
     * (5), then the open's error (3) for good. */
    unsigned caught = 0;
    for (unsigned i = 0; i < THREADS; ++i) {
        const hammer_state* state = &states[i];
        unsigned run = 0;
        ok(!state->overflow, "%s: too many changes of result: %s\n", export_names[i], describe(state));
        if (run < state->runCount && state->runs[run].code == 0)
            ++run;
        if (run < state->runCount && state->runs[run].code == ERROR_ACCESS_DENIED)
            caught += state->runs[run++].count;
        ok(run + 1 == state->runCount && state->runs[run].code == ERROR_PATH_NOT_FOUND,
           "%s: results out of order: %s\n", export_names[i], describe(state));
        trace("%s: %s\n", export_names[i], describe(state));
    }
    /* The fault catches at least one call in the middle of its request:
     * the faulting driver's host takes a while to die, and the four
     * threads keep sending meanwhile. */
    ok(caught > 0, "no call was caught in the middle of a request by the fault\n");
}

static void test_later_calls_fail_at_the_open(void)
{
    TolvarDriveInfo info;
    BYTE block[16] = {0};
    memset(&info, 0, sizeof info);
    info.DriveLetter = DRIVE_LETTER;
    strcpy(info.DataFile, DATA_FILE);

    /* The drive exports fail where they open the device. */
    ok(TolvarFlush(DEVICE) == ERROR_PATH_NOT_FOUND, "flush\n");
    ok(TolvarQuery(&info, DEVICE) == ERROR_PATH_NOT_FOUND, "query\n");
    ok(TolvarGetChallenge(block, DEVICE) == ERROR_PATH_NOT_FOUND, "challenge\n");
    ok(TolvarAuthen(block, DEVICE) == ERROR_PATH_NOT_FOUND, "authen\n");
    ok(TolvarDeauthen(DEVICE) == ERROR_PATH_NOT_FOUND, "deauthen\n");
    ok(TolvarClose(TRUE, DEVICE) == ERROR_PATH_NOT_FOUND, "close\n");
    ok(TolvarReload(DEVICE) == ERROR_PATH_NOT_FOUND, "reload\n");
    /* TolvarOpen flushes the letter's volume first: K: names the dead
     * device, and that open fails the same way. */
    ok(TolvarOpen(&info, DEVICE) == ERROR_PATH_NOT_FOUND, "open\n");
    /* The other devices of the driver died with it. */
    ok(TolvarFlush(0) == ERROR_PATH_NOT_FOUND, "flush of device 0\n");
    /* A letter's probe that fails means a free letter: the letter is
     * defined although its device is gone. */
    ok(TolvarAddDriveLetter(SPARE_LETTER, DEVICE) == 0, "add a letter for the dead device\n");
    ok(TolvarRemoveDriveLetter(SPARE_LETTER) == 0, "remove it\n");
}

static void test_restart_brings_the_calls_back(void)
{
    /* The driver's service is started again, as the stand-in's own crash
     * test does it; the fresh devices know no drive. */
    DWORD exitCode = stand_in_restart();
    ok(exitCode == 0, "net start TOLVARVX: exit code %lu\n", exitCode);

    TolvarDriveInfo info;
    BYTE challenge[16];
    ok(TolvarFlush(DEVICE) == 0, "flush after the restart\n");
    ok(TolvarGetChallenge(challenge, DEVICE) == 0, "challenge after the restart\n");
    ok(TolvarQuery(&info, DEVICE) == ERROR_NOT_READY, "query of the fresh device's closed drive\n");
    ok(open_stand_in_drive(DEVICE, DRIVE_LETTER, FALSE, "", DATA_FILE) == 0, "drive not opened again\n");
    ok(TolvarQuery(&info, DEVICE) == 0 && record_is(&info, DEVICE, DRIVE_LETTER, FALSE, "", DATA_FILE),
       "query after the restart\n");
}

START_TEST(driver_death)
{
    TolvarDriveInfo info;
    if (!require_free_letters("KL"))
        return;
    ok(open_stand_in_drive(DEVICE, DRIVE_LETTER, FALSE, "", DATA_FILE) == 0, "drive not opened\n");
    ok(define_stand_in_letter(DRIVE_LETTER, DEVICE), "K: not defined: %lu\n", GetLastError());
    ok(TolvarQuery(&info, DEVICE) == 0, "the drive does not answer before the fault\n");
    /* Each call family once before the handle count: the first TolvarOpen
     * leaves a registry key open for good (Wine's SHCreateDirectoryExA). */
    ok(TolvarOpen(&info, DEVICE) == ERROR_BUSY, "open of the open drive\n");
    /* Windows would dismount K:; under Wine the volume-name lookup fails. */
    ok(TolvarReload(DEVICE) == wine_only(ERROR_NO_VOLUME_ID), "reload before the fault\n");
    long handlesBefore = count_own_handles();

    test_fault_in_the_middle_of_calls();
    test_later_calls_fail_at_the_open();
    long handlesAfter = count_own_handles();
    ok(handlesBefore > 0 && handlesAfter == handlesBefore,
       "%ld handles before the fault, %ld after the failed calls\n", handlesBefore, handlesAfter);

    test_restart_brings_the_calls_back();
    remove_letter(DRIVE_LETTER);
    tolvarvx_reset(DEVICE);
}
