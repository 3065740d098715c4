/* Scripted completions as a caller sees them through Wine. */
#include <string.h>

#include "stand_in_client.h"
#include "wine_test.h"

#define DEVICE 0
#define STATUS_DEVICE_BUSY 0x80000011u
#define CUSTOMER_STATUS 0xE0001234u

static BYTE buffer[2048];
static TolvarvxJournal journal;

static void test_short_query_reply(void)
{
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0, 1351, 0, 0x5A) == 0,
       "script failed\n");
    memset(buffer, 0, sizeof buffer);
    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, buffer,
                                   TOLVAR_QUERY_REPLY_SIZE, &returned);
    ok(error == 0, "scripted query: error %lu\n", error);
    ok(returned == 1351, "scripted query: %lu bytes returned\n", returned);
    ok(buffer[0] == 0x5A && buffer[1350] == 0x5A && buffer[1351] == 0,
       "reply bytes %02x %02x %02x\n", buffer[0], buffer[1350], buffer[1351]);
    /* Used up: the drive is closed, so the real query fails. */
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, buffer, TOLVAR_QUERY_REPLY_SIZE,
                             &returned);
    ok(error == ERROR_NOT_READY, "second query: error %lu\n", error);
}

static void test_short_challenge(void)
{
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, 0, 15, 0, 0x3C) == 0,
       "script failed\n");
    memset(buffer, 0, sizeof buffer);
    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, buffer, 16, &returned);
    ok(error == 0 && returned == 15, "scripted challenge: error %lu, %lu bytes\n", error, returned);
    ok(buffer[14] == 0x3C && buffer[15] == 0, "challenge bytes %02x %02x\n", buffer[14], buffer[15]);
}

static void test_failures_pass_through(void)
{
    TolvarOpenRequest request;
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    stand_in_open_request(&request, 'X', 0, "", "C:\\stand-in\\x.img");
    ok(stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned) == 0,
       "open failed\n");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, STATUS_DEVICE_BUSY, 0, 0, 0) == 0,
       "script failed\n");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, CUSTOMER_STATUS, 0, 0, 0) == 0,
       "script failed\n");
    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == ERROR_BUSY, "scripted busy close: error %lu\n", error);
    /* A customer status (bit 29) reaches the caller unchanged. */
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == CUSTOMER_STATUS, "scripted customer status: error %08lx\n", error);
    /* Neither close was carried out. */
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &returned);
    ok(error == 0, "real close: error %lu\n", error);

    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0, "journal failed\n");
    ok(journal.Count == 4, "%u journaled\n", journal.Count);
    ok(journal.Entries[1].Status == STATUS_DEVICE_BUSY &&
           journal.Entries[1].Flags == TOLVARVX_JOURNAL_SCRIPTED,
       "entry 2: status %08x flags %u\n", journal.Entries[1].Status, journal.Entries[1].Flags);
    ok(journal.Entries[3].Status == 0 && journal.Entries[3].Flags == 0,
       "entry 4: status %08x flags %u\n", journal.Entries[3].Status, journal.Entries[3].Flags);
}

static void test_perform_then_override(void)
{
    TolvarOpenRequest request;
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    /* The query of a closed drive writes nothing: every byte the script
     * counts is its fill byte, none what the kernel's buffer held. */
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0, TOLVAR_QUERY_REPLY_SIZE,
                       TOLVARVX_SCRIPT_PERFORM, 0x6B) == 0,
       "script failed\n");
    memset(buffer, 0xCC, sizeof buffer);
    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, buffer,
                                   TOLVAR_QUERY_REPLY_SIZE, &returned);
    DWORD filled = 0;
    while (filled < TOLVAR_QUERY_REPLY_SIZE && buffer[filled] == 0x6B)
        ++filled;
    ok(error == 0 && returned == TOLVAR_QUERY_REPLY_SIZE && filled == TOLVAR_QUERY_REPLY_SIZE,
       "performed query of a closed drive: error %lu, %lu bytes, the first %lu filled\n", error,
       returned, filled);

    stand_in_open_request(&request, 'Y', 0, "", "C:\\stand-in\\y.img");
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_OPEN, 0xC0000185u /* IO_DEVICE_ERROR */,
                       0, TOLVARVX_SCRIPT_PERFORM, 0) == 0,
       "script failed\n");
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned);
    ok(error == ERROR_IO_DEVICE, "open performed then failed: error %lu\n", error);
    error = stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, buffer, TOLVAR_QUERY_REPLY_SIZE,
                             &returned);
    ok(error == 0 && ((TolvarQueryReply*)buffer)->Drive.DriveLetter == 'Y',
       "the drive was not opened: error %lu\n", error);
}

static void test_queue_limits(void)
{
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    for (unsigned i = 0; i < TOLVARVX_SCRIPT_CAPACITY; ++i)
        ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_FLUSH, 0, 0, 0, 0, 0) == 0, "script %u failed\n", i);
    DWORD error = tolvarvx_script(DEVICE, TOLVARVX_KIND_FLUSH, 0, 0, 0, 0, 0);
    ok(error == ERROR_NO_SYSTEM_RESOURCES, "script past the capacity: error %lu\n", error);
    error = tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVARVX_TEST_RESET, 0, 0, 0, 0);
    ok(error == ERROR_INVALID_PARAMETER, "script of a test code: error %lu\n", error);
    error = tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, 0x12345678u, 0, 0, 0, 0);
    ok(error == ERROR_INVALID_PARAMETER, "script of a code the stand-in does not answer: error %lu\n",
       error);
    error = tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, TOLVARVX_STATUS_PENDING,
                            0, 0, 0);
    ok(error == ERROR_INVALID_PARAMETER, "script of STATUS_PENDING: error %lu\n", error);
}

START_TEST(scripted_completions)
{
    test_short_query_reply();
    test_short_challenge();
    test_failures_pass_through();
    test_perform_then_override();
    test_queue_limits();
    tolvarvx_reset(DEVICE);
}
