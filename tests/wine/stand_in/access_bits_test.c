/* Who may open the devices, and the access each code carries against the
 * access of the handle. The stand-in cannot see a handle's access: Wine
 * refuses a code whose access bits the handle lacks before the request
 * reaches the driver, as Windows' I/O manager does, so a refused request
 * leaves no journal entry. */
#include <string.h>

#include <windows.h>
#include <sddl.h>

#include "stand_in_client.h"
#include "wine_test.h"

#define DEVICE 2

static DWORD journal_count(void)
{
    static TolvarvxJournal journal;
    if (tolvarvx_read_journal(DEVICE, &journal, sizeof journal) != 0)
        return 0xFFFFFFFF;
    return journal.Recorded;
}

static void test_read_only_handle(void)
{
    const DWORD readWriteCodes[] = {IOCTL_TOLVAR_OPEN, IOCTL_TOLVAR_CLOSE, IOCTL_TOLVAR_RELOAD,
                                    IOCTL_TOLVAR_AUTHEN, IOCTL_TOLVAR_DEAUTHEN};
    static BYTE buffer[TOLVAR_QUERY_REPLY_SIZE];
    TolvarOpenRequest request;
    DWORD returned;

    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    stand_in_open_request(&request, 'R', 0, "", "C:\\stand-in\\access.img");
    HANDLE device = stand_in_open(DEVICE, STAND_IN_READ);
    ok(device != INVALID_HANDLE_VALUE, "read-only open: error %lu\n", GetLastError());

    for (unsigned i = 0; i < sizeof readWriteCodes / sizeof readWriteCodes[0]; ++i) {
        DWORD inLength = readWriteCodes[i] == IOCTL_TOLVAR_OPEN ? sizeof request
                         : readWriteCodes[i] == IOCTL_TOLVAR_AUTHEN ? TOLVAR_RESPONSE_SIZE : 0;
        DWORD error = stand_in_control(device, readWriteCodes[i], &request, inLength, NULL, 0,
                                       &returned);
        ok(error == ERROR_ACCESS_DENIED, "code %08lx on a read-only handle: error %lu\n",
           readWriteCodes[i], error);
    }
    ok(journal_count() == 0, "refused requests reached the driver: %lu journaled\n",
       journal_count());

    /* The read codes pass. */
    DWORD error = stand_in_control(device, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, buffer, 16, &returned);
    ok(error == 0 && returned == 16, "GET_CHALLENGE read-only: error %lu, %lu bytes\n", error, returned);
    ok(stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned) == 0,
       "open on a read-write handle failed\n");
    error = stand_in_control(device, IOCTL_TOLVAR_QUERY, NULL, 0, buffer, sizeof buffer, &returned);
    ok(error == 0 && returned == TOLVAR_QUERY_REPLY_SIZE, "QUERY read-only: error %lu, %lu bytes\n",
       error, returned);
    ok(journal_count() == 3, "%lu journaled, expected 3\n", journal_count());

    /* The test interface is FILE_ANY_ACCESS. */
    error = stand_in_control(device, IOCTL_TOLVARVX_TEST_RESET, NULL, 0, NULL, 0, &returned);
    ok(error == 0, "test reset on a read-only handle: error %lu\n", error);
    CloseHandle(device);
}

static void test_write_only_handle(void)
{
    BYTE challenge[16];
    DWORD returned;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    HANDLE device = stand_in_open(DEVICE, GENERIC_WRITE);
    ok(device != INVALID_HANDLE_VALUE, "write-only open: error %lu\n", GetLastError());
    /* Read-write codes need both bits, read codes the read bit. */
    DWORD error = stand_in_control(device, IOCTL_TOLVAR_DEAUTHEN, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_ACCESS_DENIED, "DEAUTHEN write-only: error %lu\n", error);
    error = stand_in_control(device, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, challenge, 16, &returned);
    ok(error == ERROR_ACCESS_DENIED, "GET_CHALLENGE write-only: error %lu\n", error);
    ok(journal_count() == 0, "%lu journaled\n", journal_count());
    CloseHandle(device);
}

static void test_read_write_handle(void)
{
    DWORD returned;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    HANDLE device = stand_in_open(DEVICE, STAND_IN_READ_WRITE);
    DWORD error = stand_in_control(device, IOCTL_TOLVAR_DEAUTHEN, NULL, 0, NULL, 0, &returned);
    ok(error == 0, "DEAUTHEN read-write: error %lu\n", error);
    error = stand_in_control(device, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_NOT_READY, "CLOSE of a closed drive: error %lu\n", error);
    ok(journal_count() == 2, "%lu journaled\n", journal_count());
    CloseHandle(device);
}

/* A user who is not an administrator: this thread impersonates the
 * process's token with the Administrators group made deny-only. The
 * stand-in's devices allow the system and administrators only
 * (D:P(A;;FA;;;SY)(A;;FA;;;BA)). Windows refuses this open with 5. Wine 8
 * does not check a device's security descriptor when a file is opened on
 * it: the open succeeds. The token itself is in force under Wine: an event
 * with the devices' DACL refuses it. */
static void test_non_administrator_open(void)
{
    HANDLE token = NULL, restricted = NULL;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof administrators;
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    PSECURITY_DESCRIPTOR descriptor = NULL;
    ok(CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &administratorsSize),
       "CreateWellKnownSid: error %lu\n", GetLastError());
    ok(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token),
       "OpenProcessToken: error %lu\n", GetLastError());
    ok(CreateRestrictedToken(token, 0, 1, &disable, 0, NULL, 0, NULL, &restricted),
       "CreateRestrictedToken: error %lu\n", GetLastError());
    ok(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;GA;;;SY)(A;;GA;;;BA)",
                                                            SDDL_REVISION_1, &descriptor, NULL),
       "descriptor: error %lu\n", GetLastError());
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE event = CreateEventA(&attributes, FALSE, FALSE, "tolvar_administrators_only");
    ok(event != NULL, "CreateEvent: error %lu\n", GetLastError());

    ok(ImpersonateLoggedOnUser(restricted), "ImpersonateLoggedOnUser: error %lu\n", GetLastError());
    SetLastError(0xDEADBEEF);
    HANDLE sameEvent = OpenEventA(EVENT_ALL_ACCESS, FALSE, "tolvar_administrators_only");
    DWORD eventError = GetLastError();
    SetLastError(0xDEADBEEF);
    HANDLE device = stand_in_open(DEVICE, STAND_IN_READ_WRITE);
    DWORD deviceError = GetLastError();
    RevertToSelf();

    ok(sameEvent == NULL && eventError == ERROR_ACCESS_DENIED,
       "the restricted token opened an administrators' event: error %lu\n", eventError);
    ok(wine_only(device != INVALID_HANDLE_VALUE),
       "non-administrator open: error %lu (Windows: 5; Wine 8 opens it)\n", deviceError);
    if (device != INVALID_HANDLE_VALUE)
        CloseHandle(device);
    device = stand_in_open(DEVICE, STAND_IN_READ_WRITE);
    ok(device != INVALID_HANDLE_VALUE, "administrator's open: error %lu\n", GetLastError());
    CloseHandle(device);
    CloseHandle(event);
    LocalFree(descriptor);
    CloseHandle(restricted);
    CloseHandle(token);
}

START_TEST(access_bits)
{
    test_non_administrator_open();
    test_read_only_handle();
    test_write_only_handle();
    test_read_write_handle();
    tolvarvx_reset(DEVICE);
}
