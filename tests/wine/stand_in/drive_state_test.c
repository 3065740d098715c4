/* A drive's state through real requests: open, query, reload, close, and
 * the errors of requests that do not fit the state. */
#include <string.h>

#include "stand_in_client.h"
#include "tolvarvx_details.h"
#include "wine_test.h"

#define DEVICE 3

static TolvarQueryReply reply;
static TolvarvxJournal journal;

static DWORD send_request(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                  DWORD* returned)
{
    *returned = 0xDEADBEEF;
    return stand_in_request(DEVICE, code, in, inLength, out, outLength, returned);
}

static TolvarvxDeviceDetails query_details(void)
{
    TolvarvxDeviceDetails details;
    DWORD returned;
    memset(&reply, 0xAB, sizeof reply);
    DWORD error = send_request(IOCTL_TOLVAR_QUERY, NULL, 0, &reply, sizeof reply, &returned);
    ok(error == 0 && returned == sizeof reply, "query: error %lu, %lu bytes\n", error, returned);
    memcpy(&details, reply.DeviceDetails, sizeof details);
    return details;
}

static void test_closed_drive(void)
{
    DWORD returned;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    /* STATUS_DEVICE_NOT_READY for each request that needs an open drive. */
    ok(send_request(IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned) == ERROR_NOT_READY, "close\n");
    ok(send_request(IOCTL_TOLVAR_RELOAD, NULL, 0, NULL, 0, &returned) == ERROR_NOT_READY, "reload\n");
    DWORD error = send_request(IOCTL_TOLVAR_QUERY, NULL, 0, &reply, sizeof reply, &returned);
    ok(error == ERROR_NOT_READY, "query of a closed drive: error %lu\n", error);
    /* Wine leaves the count as it was when the request fails. */
    ok(returned == 0xDEADBEEF, "query of a closed drive: count %lu\n", returned);
}

static void test_open_query_close(void)
{
    TolvarOpenRequest request;
    DWORD returned;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    stand_in_open_request(&request, 'T', 1, "C:\\stand-in\\t.bak", "C:\\stand-in\\t.img");
    request.DriveLetter = 0xFFD4; /* a top-bit letter, sign-extended */
    ok(send_request(IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned) == 0, "open failed\n");

    TolvarvxDeviceDetails details = query_details();
    ok(!memcmp(&reply.Drive, &request, sizeof request), "reply does not echo the open request\n");
    ok(details.Magic == TOLVARVX_DETAILS_MAGIC && details.Version == TOLVARVX_DETAILS_VERSION,
       "details: magic %08x version %u\n", details.Magic, details.Version);
    ok(details.DeviceIndex == DEVICE, "details: index %u\n", details.DeviceIndex);
    ok(details.OpenCount == 1 && details.CloseCount == 0, "details: %u opens, %u closes\n",
       details.OpenCount, details.CloseCount);
    ok(details.DataPathLength == strlen("C:\\stand-in\\t.img") &&
           details.BackupPathLength == strlen("C:\\stand-in\\t.bak"),
       "details: path lengths %u and %u\n", details.DataPathLength, details.BackupPathLength);

    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0, "journal failed\n");
    ok(journal.LastOpenValid == 1 && !memcmp(journal.LastOpenRequest, &request, sizeof request),
       "the journal's open request differs from the one sent\n");

    /* STATUS_DEVICE_BUSY for a second open; the first stays. */
    TolvarOpenRequest other;
    stand_in_open_request(&other, 'U', 0, "", "C:\\stand-in\\u.img");
    DWORD error = send_request(IOCTL_TOLVAR_OPEN, &other, sizeof other, NULL, 0, &returned);
    ok(error == ERROR_BUSY, "open of an open drive: error %lu\n", error);
    ok(send_request(IOCTL_TOLVAR_RELOAD, NULL, 0, NULL, 0, &returned) == 0, "reload failed\n");
    details = query_details();
    ok(reply.Drive.DriveLetter == 0xFFD4, "letter word %04x\n", reply.Drive.DriveLetter);
    ok(details.ReloadCount == 1 && details.OpenCount == 1, "%u reloads, %u opens\n",
       details.ReloadCount, details.OpenCount);

    ok(send_request(IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned) == 0, "close failed\n");
    error = send_request(IOCTL_TOLVAR_QUERY, NULL, 0, &reply, sizeof reply, &returned);
    ok(error == ERROR_NOT_READY, "query after close: error %lu\n", error);
    ok(send_request(IOCTL_TOLVAR_OPEN, &other, sizeof other, NULL, 0, &returned) == 0, "reopen failed\n");
    details = query_details();
    ok(reply.Drive.DriveLetter == 'U' && details.OpenCount == 2 && details.CloseCount == 1,
       "after reopen: letter %04x, %u opens, %u closes\n", reply.Drive.DriveLetter,
       details.OpenCount, details.CloseCount);
}

static void test_malformed_open(void)
{
    TolvarOpenRequest request;
    DWORD returned;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    stand_in_open_request(&request, 'V', 0, "", "");
    DWORD error = send_request(IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
    ok(error == ERROR_INVALID_PARAMETER, "empty data path: error %lu\n", error);
    stand_in_open_request(&request, 'V', 0, "", "x");
    for (unsigned i = 0; i < TOLVAR_PATH_CHARS; ++i)
        request.DataFile[i] = 'x';
    error = send_request(IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
    ok(error == ERROR_INVALID_PARAMETER, "unterminated data path: error %lu\n", error);
    error = send_request(IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_NOT_READY, "the drive opened anyway: close gave %lu\n", error);
}

/* The state belongs to the device: each request above used a handle of its
 * own, and devices do not share state. */
static void test_devices_are_separate(void)
{
    TolvarOpenRequest request;
    DWORD returned;
    ok(tolvarvx_reset(DEVICE) == 0 && tolvarvx_reset(DEVICE - 1) == 0, "reset failed\n");
    stand_in_open_request(&request, 'W', 0, "", "C:\\stand-in\\w.img");
    ok(send_request(IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned) == 0, "open failed\n");
    DWORD error = stand_in_request(DEVICE - 1, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_NOT_READY, "the neighbour device is open: close gave %lu\n", error);
}

START_TEST(drive_state)
{
    test_closed_drive();
    test_open_query_close();
    test_malformed_open();
    test_devices_are_separate();
    tolvarvx_reset(DEVICE);
}
