/* Prints, one "name value" a line, the sizes, offsets and codes of the C
 * headers that the Go package and its tests declare again, as this
 * architecture's compiler sees them. The Go tests run it and compare. */
#include <stddef.h>
#include <stdio.h>

#include "tolvarsdk.h"
#include "tolvarvx_test.h"

#define SHOW(name, value) printf("%s %lu\n", name, (unsigned long)(value))
#define FIELD(type, field) SHOW(#type "." #field, offsetof(type, field))

int main(void)
{
    SHOW("TolvarDriveInfoW", sizeof(TolvarDriveInfoW));
    FIELD(TolvarDriveInfoW, DriveLetter);
    FIELD(TolvarDriveInfoW, Reserved);
    FIELD(TolvarDriveInfoW, BackupBeforeWrite);
    FIELD(TolvarDriveInfoW, BackupFile);
    FIELD(TolvarDriveInfoW, DataFile);
    FIELD(TolvarDriveInfoW, DeviceDetails);

    SHOW("TolvarvxScript", sizeof(TolvarvxScript));
    SHOW("TolvarvxJournalEntry", sizeof(TolvarvxJournalEntry));
    SHOW("TolvarvxJournal", sizeof(TolvarvxJournal));
    FIELD(TolvarvxJournal, Entries);
    FIELD(TolvarvxJournal, LastOpenRequest);
    SHOW("TOLVARVX_TEST_INTERFACE_VERSION", TOLVARVX_TEST_INTERFACE_VERSION);
    SHOW("IOCTL_TOLVARVX_TEST_RESET", IOCTL_TOLVARVX_TEST_RESET);
    SHOW("IOCTL_TOLVARVX_TEST_SCRIPT", IOCTL_TOLVARVX_TEST_SCRIPT);
    SHOW("IOCTL_TOLVARVX_TEST_JOURNAL", IOCTL_TOLVARVX_TEST_JOURNAL);
    SHOW("IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED", IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED);
    SHOW("IOCTL_TOLVARVX_TEST_VERSION", IOCTL_TOLVARVX_TEST_VERSION);
    SHOW("IOCTL_TOLVAR_OPEN", IOCTL_TOLVAR_OPEN);
    SHOW("IOCTL_TOLVAR_QUERY", IOCTL_TOLVAR_QUERY);
    SHOW("TOLVARVX_KIND_CONTROL", TOLVARVX_KIND_CONTROL);
    SHOW("TOLVARVX_STATUS_DEVICE_BUSY", TOLVARVX_STATUS_DEVICE_BUSY);
    return 0;
}
