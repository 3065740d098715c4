/* TolvarClose against the driver stand-in, with and without force. Wine
 * answers the volume lock and unlock itself, and turns a successful
 * dismount of a driver's device into an error: each check states Wine's
 * value and what Windows gives. */
#include "drive_helpers.h"

#define DEVICE 2

static TolvarvxJournal journal;

/* The stand-in reset, then its drive opened by a raw request. */
static void open_drive(void)
{
    TolvarOpenRequest request;
    DWORD returned = 0;
    ok(tolvarvx_reset(DEVICE) == 0, "reset failed\n");
    stand_in_open_request(&request, 'C', FALSE, "", DRIVE_ROOT "\\close\\d.dat");
    ok(stand_in_request(DEVICE, IOCTL_TOLVAR_OPEN, &request, sizeof request, NULL, 0, &returned) == 0,
       "raw open failed\n");
}

/* The codes of the requests after the raw open, in order, as a string of
 * names, so a failure shows the whole sequence. */
static const char* requests_after_open(void)
{
    static char text[256];
    text[0] = 0;
    ok(tolvarvx_read_journal(DEVICE, &journal, sizeof journal) == 0, "journal failed\n");
    for (unsigned i = 0; i < journal.Count; ++i) {
        DWORD code = journal.Entries[i].Code;
        const char* name = code == IOCTL_TOLVAR_OPEN             ? NULL
                           : code == IOCTL_TOLVAR_CLOSE          ? "close "
                           : code == TOLVAR_FSCTL_DISMOUNT_VOLUME ? "dismount "
                           : code == TOLVAR_FSCTL_LOCK_VOLUME     ? "lock "
                           : code == TOLVAR_FSCTL_UNLOCK_VOLUME   ? "unlock "
                                                                  : "other ";
        if (name)
            strcat(text, name);
    }
    return text;
}

static int drive_is_open(void)
{
    TolvarQueryReply reply;
    DWORD returned = 0;
    return stand_in_request(DEVICE, IOCTL_TOLVAR_QUERY, NULL, 0, &reply, sizeof reply, &returned) == 0;
}

static void test_close_without_force(void)
{
    open_drive();
    /* Windows: 0, and the driver sees lock, close, dismount, unlock. Wine
     * answers the lock without the driver (a stub in ntdll), so the driver
     * sees the close and the dismount; after the driver's successful
     * dismount ntdll tries to unmount the Unix device behind the handle,
     * finds none, and fails the call with ERROR_BAD_DEV_TYPE, so no unlock
     * follows: the value the testing header names for a customer's tests. */
    DWORD error = TolvarClose(FALSE, DEVICE);
    ok(wine_only(error == TOLVARVX_WINE_CLOSE_RESULT), "close: %lu\n", error);
    const char* sent = requests_after_open();
    ok(wine_only(!strcmp(sent, "close dismount ")), "sent: %s\n", sent);
    ok(journal.Entries[journal.Count - 1].Status == 0, "the driver failed the dismount\n");
    ok(!drive_is_open(), "the drive is still open\n");
}

static void test_close_with_force(void)
{
    open_drive();
    /* Windows: 0 with close and dismount sent; Wine: ERROR_BAD_DEV_TYPE
     * after the driver's successful dismount, as above. */
    DWORD error = TolvarClose(TRUE, DEVICE);
    ok(wine_only(error == TOLVARVX_WINE_CLOSE_RESULT), "forced close: %lu\n", error);
    const char* sent = requests_after_open();
    ok(!strcmp(sent, "close dismount "), "sent: %s\n", sent);
    ok(!drive_is_open(), "the drive is still open\n");
}

static void test_failing_driver_close(void)
{
    /* The driver refuses the close of a closed drive (STATUS_DEVICE_NOT_READY):
     * its error comes back and no dismount follows, with or without force.
     * On Windows the lock before it also reaches the driver. */
    open_drive();
    ok(stand_in_request(DEVICE, IOCTL_TOLVAR_CLOSE, NULL, 0, NULL, 0, &(DWORD){0}) == 0,
       "raw close failed\n");
    ok(TolvarClose(FALSE, DEVICE) == ERROR_NOT_READY, "close of a closed drive\n");
    ok(TolvarClose(TRUE, DEVICE) == ERROR_NOT_READY, "forced close of a closed drive\n");
    const char* sent = requests_after_open();
    ok(wine_only(!strcmp(sent, "close close close ")), "sent: %s\n", sent);

    /* A busy drive stays open. */
    open_drive();
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, STATUS_DEVICE_BUSY_CODE, 0,
                       0, 0) == 0,
       "script failed\n");
    ok(TolvarClose(FALSE, DEVICE) == ERROR_BUSY, "close of a busy drive\n");
    sent = requests_after_open();
    ok(wine_only(!strcmp(sent, "close ")), "sent: %s\n", sent);
    ok(drive_is_open(), "a refused close closed the drive\n");
}

static void test_failing_dismount(void)
{
    /* The driver's own dismount error reaches the caller, as on Windows;
     * the drive is closed already and, without force, no unlock follows. */
    open_drive();
    ok(tolvarvx_script(DEVICE, TOLVARVX_KIND_CONTROL, TOLVAR_FSCTL_DISMOUNT_VOLUME,
                       STATUS_IO_DEVICE_ERROR_CODE, 0, 0, 0) == 0,
       "script failed\n");
    ok(TolvarClose(FALSE, DEVICE) == ERROR_IO_DEVICE, "failing dismount\n");
    const char* sent = requests_after_open();
    ok(wine_only(!strcmp(sent, "close dismount ")), "sent: %s\n", sent);
    ok(!drive_is_open(), "the drive is still open\n");
}

static void test_missing_device(void)
{
    /* No \\.\TOLVARVX77: the open's error, as Windows gives it. */
    DWORD error = TolvarClose(FALSE, 77);
    ok(error == ERROR_FILE_NOT_FOUND, "close of a missing device: %lu\n", error);
}

START_TEST(close)
{
    long handles = count_own_file_handles();
    ok(handles >= 0, "no handle count: %ld\n", handles);
    test_close_without_force();
    test_close_with_force();
    test_failing_driver_close();
    test_failing_dismount();
    test_missing_device();
    long after = count_own_file_handles();
    ok(after == handles, "%ld handles before, %ld after\n", handles, after);
    tolvarvx_reset(DEVICE);
}
