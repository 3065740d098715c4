/* RegService and UnregService under Wine, in the test session: the key is
 * written anew with exactly three values whatever was under it, deleted
 * with its subkeys, and a missing key gives the registry's error. The
 * session's stand-in was installed through RegService; the key is left as
 * it was found. */
#include <string.h>

#include "tolvarsdk.h"
#include "wine_test.h"

#define SERVICE_KEY "SYSTEM\\CurrentControlSet\\Services\\TOLVARVX"

#if defined(__i386__)
/* Calls a four-argument function and returns how far the stack pointer
 * moved across the call: 0 when the callee popped its 16 bytes (stdcall). */
static int stack_drift_of_call4(void *function, DWORD a, DWORD b, DWORD c, DWORD d, DWORD *result)
{
    DWORD before, after, value;
    DWORD args[4] = {a, b, c, d};
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "pushl 12(%[args])\n\t"
                     "pushl 8(%[args])\n\t"
                     "pushl 4(%[args])\n\t"
                     "pushl (%[args])\n\t"
                     "call *%[function]\n\t"
                     "movl %%esp, %%edi\n\t"
                     "movl %%esi, %%esp\n\t"
                     : "=a"(value), "=&S"(before), "=&D"(after)
                     : [function] "r"(function), [args] "r"(args)
                     : "ecx", "edx", "memory", "cc");
    *result = value;
    return (int)(before - after);
}
#endif

/* Calls an entry as rundll32 calls it, with four arguments; on x86 also
 * checks that the callee popped them (stdcall). x64 has one calling
 * convention, where the caller owns the stack: there it is a plain call.
 * Returns what the entry left in the result register. */
static DWORD call_as_rundll32(TOLVAR_UNREG_SERVICE_FUNC *entry, const char *name, ULONG_PTR window,
                              ULONG_PTR instance, const char *commandLine, int showCommand)
{
#if defined(__i386__)
    DWORD result = 0;
    int drift = stack_drift_of_call4((void *)entry, window, instance, (DWORD)commandLine, showCommand,
                                     &result);
    ok(drift == 0, "the stack pointer moved by %d bytes across %s\n", drift, name);
    return result;
#else
    (void)name;
    return entry((HWND)window, (HINSTANCE)instance, (LPSTR)commandLine, showCommand);
#endif
}

/* The key's value names in the order the registry lists them, comma
 * separated, each as "name=type:value"; "" when there is no key. */
static const char *key_text(DWORD *subkeys)
{
    static char text[512];
    HKEY key;
    DWORD i;
    text[0] = 0;
    *subkeys = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return text;
    RegQueryInfoKeyA(key, NULL, NULL, NULL, subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
    for (i = 0;; i++) {
        char name[64], entry[96];
        DWORD nameLength = sizeof name, type = 0, value = 0, size = sizeof value;
        if (RegEnumValueA(key, i, name, &nameLength, NULL, &type, (BYTE *)&value, &size) != ERROR_SUCCESS)
            break;
        wsprintfA(entry, "%s%s=%lu:%lu/%lu", i ? "," : "", name, type, value, size);
        lstrcatA(text, entry);
    }
    RegCloseKey(key);
    return text;
}

static const char written[] = "ErrorControl=4:1/4,Start=4:1/4,Type=4:1/4";

static void test_registering_writes_three_values(void)
{
    DWORD subkeys;
    LONG status;

    status = UnregService(NULL, NULL, NULL, 0);
    ok(status == ERROR_SUCCESS, "UnregService of the session's key returned %ld\n", status);
    ok(!strcmp(key_text(&subkeys), ""), "the key is still there: %s\n", key_text(&subkeys));
    /* A missing key: the registry's own error, the same on Windows. */
    status = UnregService(NULL, NULL, NULL, 0);
    ok(status == ERROR_FILE_NOT_FOUND, "UnregService of a missing key returned %ld\n", status);

    /* Called as rundll32 calls it, with four arguments. RegService returns
     * nothing: what it left in the result register means nothing. */
    call_as_rundll32((TOLVAR_UNREG_SERVICE_FUNC *)(void *)RegService, "RegService", 0x1234, 0x5678,
                     "ignored", 5);
    ok(!strcmp(key_text(&subkeys), written) && subkeys == 0, "key %s, %lu subkeys\n",
       key_text(&subkeys), subkeys);

    status = call_as_rundll32(UnregService, "UnregService", 0, 0, NULL, 0);
    ok(status == ERROR_SUCCESS, "UnregService returned %ld\n", status);
    status = call_as_rundll32(UnregService, "UnregService", 1, 2, (const char *)3, 4);
    ok(status == ERROR_FILE_NOT_FOUND, "second UnregService returned %ld\n", status);
}

static void test_registering_again_removes_what_others_added(void)
{
    HKEY key, deeper;
    DWORD subkeys, three = 3;
    RegService(NULL, NULL, NULL, 0);
    ok(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) ==
           ERROR_SUCCESS, "key not opened\n");
    RegSetValueExA(key, "Start", 0, REG_DWORD, (BYTE *)&three, sizeof three);
    RegSetValueExA(key, "ImagePath", 0, REG_SZ, (BYTE *)"C:\\elsewhere.sys", 17);
    ok(RegCreateKeyExA(key, "Enum\\Deeper", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &deeper, NULL) ==
           ERROR_SUCCESS, "subkey not created\n");
    RegSetValueExA(deeper, "Count", 0, REG_DWORD, (BYTE *)&three, sizeof three);
    RegCloseKey(deeper);
    RegCloseKey(key);
    ok(strcmp(key_text(&subkeys), written) != 0 && subkeys == 1, "the additions did not land\n");

    RegService(NULL, NULL, NULL, 0);
    ok(!strcmp(key_text(&subkeys), written) && subkeys == 0, "after a second RegService: %s, %lu subkeys\n",
       key_text(&subkeys), subkeys);
}

START_TEST(service_registration)
{
    test_registering_writes_three_values();
    test_registering_again_removes_what_others_added();
    /* The session's key as the installer left it. */
    RegService(NULL, NULL, NULL, 0);
}
