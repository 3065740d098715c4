/* Every code with input and output sizes around every boundary, through
 * Wine to the kernel driver: each request completes, reaches the journal
 * (or, for the test interface, is answered unjournaled) and leaves the
 * driver alive. */
#include <string.h>

#include "stand_in_client.h"
#include "wine_test.h"

#define DEVICE 3

static const DWORD journaledCodes[] = {
    IOCTL_TOLVAR_OPEN, IOCTL_TOLVAR_CLOSE, IOCTL_TOLVAR_RELOAD, IOCTL_TOLVAR_GET_CHALLENGE,
    IOCTL_TOLVAR_AUTHEN, IOCTL_TOLVAR_DEAUTHEN, IOCTL_TOLVAR_QUERY, TOLVAR_FSCTL_DISMOUNT_VOLUME,
    IOCTL_TOLVAR_QUERY | 3, /* METHOD_NEITHER: the driver touches no buffer */
    0x8000FFFCu,
};
static const DWORD testCodes[] = {
    IOCTL_TOLVARVX_TEST_SCRIPT, IOCTL_TOLVARVX_TEST_JOURNAL, IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED,
    IOCTL_TOLVARVX_TEST_SET_SECRET,
};
static const DWORD sizes[] = {0, 1, 15, 16, 17, 1047, 1048, 1049, 1351, 1352, 1353,
                              sizeof(TolvarvxJournal), 65536};
#define COUNT(array) (sizeof(array) / sizeof(array)[0])

static BYTE in[65536];
static BYTE out[65536];
static TolvarvxJournal journal;

static void sweep(HANDLE device, DWORD code, DWORD* completed)
{
    for (unsigned i = 0; i < COUNT(sizes); ++i)
        for (unsigned o = 0; o < COUNT(sizes); ++o) {
            DWORD returned = 0;
            DWORD error = stand_in_control(device, code, in, sizes[i], out, sizes[o], &returned);
            if (error == 0 && returned > sizes[o])
                ok(0, "code %08lx: %lu bytes returned into %lu\n", code, returned, sizes[o]);
            ++*completed;
        }
}

static void test_every_size_completes(void)
{
    TolvarOpenRequest request;
    DWORD completed = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    stand_in_open_request(&request, 'S', 1, "C:\\stand-in\\s.bak", "C:\\stand-in\\s.img");
    memset(in, 0x53, sizeof in);
    memcpy(in, &request, sizeof request);

    HANDLE device = stand_in_open(DEVICE, STAND_IN_READ_WRITE);
    DWORD started = GetTickCount();
    for (unsigned c = 0; c < COUNT(journaledCodes); ++c)
        sweep(device, journaledCodes[c], &completed);
    for (unsigned c = 0; c < COUNT(testCodes); ++c)
        sweep(device, testCodes[c], &completed);
    trace("%lu requests in %lu ms\n", completed, GetTickCount() - started);
    CloseHandle(device);

    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0,
       "journal failed: the driver did not survive\n");
    DWORD expected = COUNT(journaledCodes) * COUNT(sizes) * COUNT(sizes);
    ok(journal.Recorded == expected, "%u requests journaled, expected %lu\n", journal.Recorded, expected);
    const TolvarvxJournalEntry* last = &journal.Entries[journal.Count - 1];
    ok(last->Code == 0x8000FFFCu && last->InputLength == 65536 && last->OutputLength == 65536 &&
           last->Status == 0xC0000010u,
       "last entry: code %08x, %u in, %u out, status %08x\n", last->Code, last->InputLength,
       last->OutputLength, last->Status);
}

/* The stand-in's codes are all METHOD_BUFFERED; the same function with
 * METHOD_NEITHER is another code, refused without touching its buffers. */
static void test_method_neither_is_unknown(void)
{
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    DWORD error = stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY | 3, in, 16, out, 16, &returned);
    ok(error == ERROR_INVALID_FUNCTION, "METHOD_NEITHER query: error %lu\n", error);
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0 &&
           journal.Count == 1, "journal failed\n");
    ok(journal.Entries[0].Code == (IOCTL_TOLVAR_QUERY | 3) && journal.Entries[0].InputLength == 16 &&
           journal.Entries[0].OutputLength == 16 && journal.Entries[0].Status == 0xC0000010u,
       "entry: code %08x, %u in, %u out, status %08x\n", journal.Entries[0].Code,
       journal.Entries[0].InputLength, journal.Entries[0].OutputLength, journal.Entries[0].Status);
}

START_TEST(request_sweep)
{
    test_every_size_completes();
    test_method_neither_is_unknown();
    tolvarvx_reset(DEVICE);
}
