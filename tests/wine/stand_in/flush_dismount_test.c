/* Flushes and volume requests on a drive device: what reaches the stand-in,
 * what it answers, and what the caller sees under Wine. The volume requests
 * go only to the stand-in's own device. */
#include <string.h>

#include "stand_in_client.h"
#include "wine_test.h"

#define DEVICE 2
#define STATUS_DEVICE_BUSY 0x80000011u

static TolvarvxJournal journal;

static const TolvarvxJournalEntry* last_entry(void)
{
    if (tolvarvx_read_journal(DEVICE, &journal, sizeof journal) != 0 || journal.Count == 0)
        return NULL;
    return &journal.Entries[journal.Count - 1];
}

static void test_flush(void)
{
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    HANDLE device = stand_in_open(DEVICE, STAND_IN_READ_WRITE);
    SetLastError(0xDEADBEEF);
    ok(FlushFileBuffers(device), "flush failed: %lu\n", GetLastError());
    const TolvarvxJournalEntry* entry = last_entry();
    ok(journal.Recorded == 1 && entry && entry->Kind == TOLVARVX_KIND_FLUSH && entry->Status == 0,
       "%u journaled, last kind %u\n", journal.Recorded, entry ? entry->Kind : 0);

    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_FLUSH, 0, STATUS_DEVICE_BUSY, 0, 0, 0) == 0,
       "script failed\n");
    SetLastError(0xDEADBEEF);
    BOOL flushed = FlushFileBuffers(device);
    ok(!flushed && GetLastError() == ERROR_BUSY, "scripted flush: %d, error %lu\n", flushed,
       GetLastError());
    entry = last_entry();
    ok(journal.Recorded == 2 && entry && entry->Flags == TOLVARVX_JOURNAL_SCRIPTED &&
           entry->Status == STATUS_DEVICE_BUSY,
       "%u journaled\n", journal.Recorded);
    CloseHandle(device);

    /* Windows refuses to flush through a read-only handle (error 5) before
     * the driver sees it; Wine passes the flush to the driver. */
    device = stand_in_open(DEVICE, STAND_IN_READ);
    SetLastError(0xDEADBEEF);
    flushed = FlushFileBuffers(device);
    ok(wine_only(flushed), "read-only flush: %d, error %lu\n", flushed, GetLastError());
    ok(wine_only(last_entry() && journal.Recorded == 3), "%u journaled\n", journal.Recorded);
    CloseHandle(device);
}

static void test_dismount(void)
{
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    HANDLE device = stand_in_open(DEVICE, STAND_IN_READ_WRITE);

    /* Windows: TRUE. Wine delivers the request to the driver, and after the
     * driver's success tries to unmount the Unix device behind the handle;
     * a driver's device has none, so the caller gets FALSE with
     * ERROR_BAD_DEV_TYPE. */
    SetLastError(0xDEADBEEF);
    BOOL dismounted = DeviceIoControl(device, TOLVAR_FSCTL_DISMOUNT_VOLUME, NULL, 0, NULL, 0,
                                      &returned, NULL);
    ok(wine_only(!dismounted && GetLastError() == ERROR_BAD_DEV_TYPE),
       "dismount: %d, error %lu\n", dismounted, GetLastError());
    const TolvarvxJournalEntry* entry = last_entry();
    ok(entry && entry->Kind == TOLVARVX_KIND_CONTROL && entry->Code == TOLVAR_FSCTL_DISMOUNT_VOLUME &&
           entry->Status == 0,
       "dismount not journaled as answered\n");

    /* A failing driver's error reaches the caller as on Windows. */
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, TOLVAR_FSCTL_DISMOUNT_VOLUME, STATUS_DEVICE_BUSY,
                       0, 0, 0) == 0,
       "script failed\n");
    SetLastError(0xDEADBEEF);
    dismounted = DeviceIoControl(device, TOLVAR_FSCTL_DISMOUNT_VOLUME, NULL, 0, NULL, 0, &returned, NULL);
    ok(!dismounted && GetLastError() == ERROR_BUSY, "scripted dismount: %d, error %lu\n", dismounted,
       GetLastError());
    ok(last_entry() && journal.Recorded == 2, "%u journaled\n", journal.Recorded);
    CloseHandle(device);
}

static void test_lock_and_unlock(void)
{
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    HANDLE device = stand_in_open(DEVICE, STAND_IN_READ_WRITE);
    /* Wine's ntdll answers both itself with success; on Windows they reach
     * the driver (as file-system controls) and would be journaled. */
    BOOL locked = DeviceIoControl(device, TOLVAR_FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0, &returned, NULL);
    ok(locked, "lock: error %lu\n", GetLastError());
    BOOL unlocked = DeviceIoControl(device, TOLVAR_FSCTL_UNLOCK_VOLUME, NULL, 0, NULL, 0, &returned, NULL);
    ok(unlocked, "unlock: error %lu\n", GetLastError());
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0, "journal failed\n");
    ok(wine_only(journal.Recorded == 0), "%u lock requests reached the driver\n", journal.Recorded);
    CloseHandle(device);
}

START_TEST(flush_dismount)
{
    test_flush();
    test_dismount();
    test_lock_and_unlock();
    tolvarvx_reset(DEVICE);
}
