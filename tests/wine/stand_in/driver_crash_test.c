/* A driver that faults in the middle of a request. Windows stops the machine
 * (a bug check); Wine loses only the winedevice.exe that hosts the driver.
 * These checks state what callers get under Wine and that the stand-in
 * comes back when its service is started again. */
#include <string.h>

#include "stand_in_client.h"
#include "time_limit.h"
#include "wine_test.h"

#define DEVICE 1

static void test_fault_fails_callers(void)
{
    DWORD magic = TOLVARVX_CRASH_MAGIC, returned = 0, error;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    HANDLE before = stand_in_open(0, STAND_IN_READ_WRITE);
    ok(before != INVALID_HANDLE_VALUE, "open failed: %lu\n", GetLastError());

    /* Any other input is refused rather than obeyed. */
    DWORD wrong = magic ^ 1;
    error = stand_in_request(DEVICE, IOCTL_TOLVARVX_TEST_CRASH, &wrong, sizeof wrong, NULL, 0, &returned);
    ok(error == ERROR_INVALID_PARAMETER, "crash without the magic: error %lu\n", error);

    DWORD started = GetTickCount();
    error = stand_in_request(DEVICE, IOCTL_TOLVARVX_TEST_CRASH, &magic, sizeof magic, NULL, 0, &returned);
    DWORD elapsed = GetTickCount() - started;
    /* The pending request fails with STATUS_ACCESS_DENIED when its host dies. */
    ok(error == ERROR_ACCESS_DENIED, "request during the fault: error %lu\n", error);
    ok(elapsed < time_limit_ms(10000), "the caller waited %lu ms\n", elapsed);

    /* The links stay, their devices are gone. */
    HANDLE after = stand_in_open(0, STAND_IN_READ_WRITE);
    ok(after == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND,
       "open after the fault: handle %p, error %lu\n", after, GetLastError());
    BYTE challenge[16];
    error = stand_in_control(before, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, challenge, 16, &returned);
    ok(error == ERROR_ACCESS_DENIED, "request on a handle opened before the fault: error %lu\n", error);
    CloseHandle(before);
}

static void test_service_restart_brings_fresh_devices(void)
{
    static TolvarvxJournal journal;
    DWORD exitCode = stand_in_restart();
    ok(exitCode == 0, "net start TOLVARVX: exit code %lu\n", exitCode);
    for (unsigned index = 0; index < 4; ++index) {
        HANDLE device = stand_in_open(index, STAND_IN_READ_WRITE);
        ok(device != INVALID_HANDLE_VALUE, "TOLVARVX%u after the restart: error %lu\n", index,
           GetLastError());
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
    }
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0 && journal.Recorded == 0,
       "the new instance has a journal of %u requests\n", journal.Recorded);
}

START_TEST(driver_crash)
{
    test_fault_fails_callers();
    test_service_restart_brings_fresh_devices();
}
