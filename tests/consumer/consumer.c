/* A customer's first program: links tolvarsdk through the package's
 * imported target and checks a few results that need no drive device.
 * Exits 0 when each result is the documented one. */
#include <stdio.h>
#include <string.h>

#include <tolvarsdk.h>

static int failures;

static void expect(const char *call, DWORD result, DWORD expected) {
    printf("%s = %lu\n", call, (unsigned long)result);
    if (result != expected) {
        printf("  expected %lu\n", (unsigned long)expected);
        failures++;
    }
}

int main(void) {
    TolvarDriveInfo info;
    memset(&info, 0x5A, sizeof info);
    /* No \\.\TOLVARVX99999: the device's open fails with the system's error. */
    expect("TolvarFlush(99999)", TolvarFlush(99999), ERROR_FILE_NOT_FOUND);
    expect("TolvarQuery(&info, 99999)", TolvarQuery(&info, 99999), ERROR_FILE_NOT_FOUND);
    /* A failed query leaves the record as it was. */
    expect("record bytes kept", info.DataFile[0] == 0x5A && info.DeviceDetails[303] == 0x5A, 1);
    expect("TolvarQuery(NULL, 0)", TolvarQuery(NULL, 0), ERROR_INVALID_PARAMETER);
    /* The UTF-16 forms: the same results, the same untouched record. */
    TolvarDriveInfoW wide;
    memset(&wide, 0x5A, sizeof wide);
    expect("TolvarQueryW(&wide, 99999)", TolvarQueryW(&wide, 99999), ERROR_FILE_NOT_FOUND);
    expect("record bytes kept", wide.DataFile[0] == 0x5A5A && wide.DeviceDetails[303] == 0x5A, 1);
    expect("TolvarOpenW(NULL, 0)", TolvarOpenW(NULL, 0), ERROR_INVALID_PARAMETER);
    expect("TolvarAddDriveLetter('1', 0)", TolvarAddDriveLetter('1', 0), ERROR_INVALID_PARAMETER);
    printf("consumer: %d failures\n", failures);
    return failures ? 1 : 0;
}
