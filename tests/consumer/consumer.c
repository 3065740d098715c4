/* A customer's first program: links tolvarsdk through the package's
 * imported target and calls each of the fourteen exports once, with
 * arguments whose result needs no drive device: refused arguments and a
 * device that does not exist. The service key, which the test session's
 * stand-in was installed with, is deleted and written back.
 * The same source is linked twice: by GNU ld against libtolvarsdk.dll.a,
 * and the MSVC way, by lld-link with /safeseh against tolvarsdk.lib.
 * Exits 0 when each result is the documented one. */
#include <stdio.h>
#include <string.h>

#include <tolvarsdk.h>

#define MISSING_DEVICE 99999u /* no \\.\TOLVARVX99999 */

static int failures;

/* CALL(export call): on x86 the call is made between two reads of the stack
 * pointer. A caller and a DLL that disagree on who pops the arguments (a
 * header or import library that lost stdcall) leave it moved, which
 * otherwise shows only as a crash some calls later. */
#if defined(__i386__)
#define CALL(call)                                                                     \
    __extension__({                                                                    \
        unsigned long esp_before_, esp_after_;                                         \
        __asm__ volatile("movl %%esp, %0" : "=r"(esp_before_)::"memory");             \
        DWORD result_ = (DWORD)(call);                                                 \
        __asm__ volatile("movl %%esp, %0" : "=r"(esp_after_)::"memory");              \
        stack_moved(#call, (long)(esp_after_ - esp_before_));                          \
        result_;                                                                       \
    })
static void stack_moved(const char *call, long by) {
    if (by != 0) {
        printf("  %s moved ESP by %ld bytes\n", call, by);
        failures++;
    }
}
#else
#define CALL(call) ((DWORD)(call))
#endif

static void expect(const char *call, DWORD result, DWORD expected) {
    printf("%s = %lu\n", call, (unsigned long)result);
    if (result != expected) {
        printf("  expected %lu\n", (unsigned long)expected);
        failures++;
    }
}

static int service_key_exists(void) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\TOLVARVX", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

int main(void) {
    TolvarDriveInfo info;
    BYTE challenge[16], response[16] = {0};
    printf("consumer: %u-bit\n", (unsigned)(8 * sizeof(void *)));

    /* The device's open fails with the system's error. */
    memset(&info, 0x5A, sizeof info);
    expect("TolvarQuery(&info, 99999)", CALL(TolvarQuery(&info, MISSING_DEVICE)), ERROR_FILE_NOT_FOUND);
    expect("record bytes kept", info.DataFile[0] == 0x5A && info.DeviceDetails[303] == 0x5A, 1);
    expect("TolvarFlush(99999)", CALL(TolvarFlush(MISSING_DEVICE)), ERROR_FILE_NOT_FOUND);
    expect("TolvarClose(FALSE, 99999)", CALL(TolvarClose(FALSE, MISSING_DEVICE)), ERROR_FILE_NOT_FOUND);
    expect("TolvarReload(99999)", CALL(TolvarReload(MISSING_DEVICE)), ERROR_FILE_NOT_FOUND);
    expect("TolvarGetChallenge(challenge, 99999)", CALL(TolvarGetChallenge(challenge, MISSING_DEVICE)),
           ERROR_FILE_NOT_FOUND);
    expect("TolvarAuthen(response, 99999)", CALL(TolvarAuthen(response, MISSING_DEVICE)), ERROR_FILE_NOT_FOUND);
    expect("TolvarDeauthen(99999)", CALL(TolvarDeauthen(MISSING_DEVICE)), ERROR_FILE_NOT_FOUND);

    /* Refused before anything is opened. */
    memset(&info, 0, sizeof info);
    expect("TolvarOpen(&info with no data file, 0)", CALL(TolvarOpen(&info, 0)), ERROR_INVALID_PARAMETER);
    expect("TolvarQuery(NULL, 0)", CALL(TolvarQuery(NULL, 0)), ERROR_INVALID_PARAMETER);
    /* The UTF-16 forms: the same results, the same untouched record. */
    TolvarDriveInfoW wide;
    memset(&wide, 0x5A, sizeof wide);
    expect("TolvarQueryW(&wide, 99999)", CALL(TolvarQueryW(&wide, 99999)), ERROR_FILE_NOT_FOUND);
    expect("record bytes kept", wide.DataFile[0] == 0x5A5A && wide.DeviceDetails[303] == 0x5A, 1);
    expect("TolvarOpenW(NULL, 0)", CALL(TolvarOpenW(NULL, 0)), ERROR_INVALID_PARAMETER);
    expect("TolvarAddDriveLetter('1', 0)", CALL(TolvarAddDriveLetter('1', 0)), ERROR_INVALID_PARAMETER);
    expect("TolvarRemoveDriveLetter('1')", CALL(TolvarRemoveDriveLetter('1')), ERROR_INVALID_PARAMETER);

    /* The service key: written, deleted, gone, and written back. */
    (void)CALL((RegService(NULL, NULL, NULL, 0), 0));
    expect("service key after RegService", service_key_exists(), 1);
    expect("UnregService", CALL(UnregService(NULL, NULL, NULL, 0)), ERROR_SUCCESS);
    expect("UnregService without a key", CALL(UnregService(NULL, NULL, NULL, 0)), ERROR_FILE_NOT_FOUND);
    (void)CALL((RegService(NULL, NULL, NULL, 0), 0));
    expect("service key written back", service_key_exists(), 1);

    printf("consumer: %d failures\n", failures);
    return failures ? 1 : 0;
}
