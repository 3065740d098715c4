/* The DLL as a program meets it under Wine: loading, exports by name and
 * ordinal, the stdcall convention, the version resource, and TolvarFlush
 * against a device that does not exist. Linked through the import library. */
#include <windows.h>

#include "tolvarsdk.h"
#include "wine_test.h"

#if defined(__i386__)
/* Calls a one-argument function and returns how far the stack pointer moved
 * across the call: 0 when the callee popped its argument (stdcall). */
static int stack_drift_of_call(void *function, DWORD argument, DWORD *result) {
    DWORD before, after, value;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "pushl %[argument]\n\t"
                     "call *%[function]\n\t"
                     "movl %%esp, %%edi\n\t"
                     "movl %%esi, %%esp\n\t"
                     : "=a"(value), "=&S"(before), "=&D"(after)
                     : [function] "r"(function), [argument] "r"(argument)
                     : "ecx", "edx", "memory", "cc");
    *result = value;
    return (int)(before - after);
}
#endif

static void test_exports(HMODULE module) {
    FARPROC by_name = GetProcAddress(module, "TolvarFlush");
    FARPROC by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(5));
    ok(by_name != NULL, "TolvarFlush not exported by name\n");
    ok(by_name == by_ordinal, "by name %p, by ordinal 5 %p\n", by_name, by_ordinal);
    ok(by_name == (FARPROC)TolvarFlush, "import library resolves to %p, not %p\n",
       (FARPROC)TolvarFlush, by_name);
    SetLastError(0xdeadbeef);
    ok(GetProcAddress(module, "TolvarFlush@4") == NULL, "decorated name exported\n");
    ok(GetLastError() == ERROR_PROC_NOT_FOUND, "got error %lu\n", GetLastError());
    ok(GetProcAddress(module, "_TolvarFlush@4") == NULL, "decorated name exported\n");
}

/* A call through the address GetProcAddress gives. On x86 the export is
 * stdcall: it pops its own argument. x64 has one calling convention, where
 * the caller owns the stack, so there the call itself is the check. */
static void test_calling_convention(HMODULE module) {
    void *function = (void *)GetProcAddress(module, "TolvarFlush");
    DWORD result = 0;
    if (!function) return;
#if defined(__i386__)
    int drift = stack_drift_of_call(function, 99999, &result);
    ok(drift == 0, "stack pointer moved by %d bytes across TolvarFlush\n", drift);
#else
    result = ((TOLVAR_FLUSH_FUNC *)function)(99999);
#endif
    ok(result == ERROR_FILE_NOT_FOUND, "TolvarFlush(99999) through its address returned %lu\n",
       result);
}

static void test_missing_device(void) {
    DWORD error;
    SetLastError(0xdeadbeef);
    error = TolvarFlush(99999);
    /* No \\.\TOLVARVX99999: the open fails as it does on Windows. */
    ok(error == ERROR_FILE_NOT_FOUND, "TolvarFlush(99999) returned %lu\n", error);
    error = TolvarFlush(4294967295u);
    ok(error == ERROR_FILE_NOT_FOUND, "TolvarFlush(4294967295) returned %lu\n", error);
}

static const char *version_string(void *data, const char *name) {
    char path[128];
    char *value = NULL;
    UINT length = 0;
    wsprintfA(path, "\\StringFileInfo\\040904b0\\%s", name);
    if (!VerQueryValueA(data, path, (void **)&value, &length)) return "(missing)";
    return value;
}

static void test_version_resource(HMODULE module) {
    char path[MAX_PATH];
    static BYTE data[8192];
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    DWORD size;

    ok(GetModuleFileNameA(module, path, sizeof path) > 0, "no module path\n");
    size = GetFileVersionInfoSizeA(path, NULL);
    ok(size > 0 && size <= sizeof data, "version info size %lu\n", size);
    if (size == 0 || size > sizeof data) return;
    ok(GetFileVersionInfoA(path, 0, sizeof data, data), "GetFileVersionInfoA failed\n");
    ok(VerQueryValueA(data, "\\", (void **)&fixed, &length) && length == sizeof *fixed,
       "no fixed file info\n");
    if (!fixed) return;
    ok(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00030000,
       "file version %08lx.%08lx\n", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    ok(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00030000,
       "product version %08lx.%08lx\n", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    ok(fixed->dwFileType == VFT_DLL, "file type %lu\n", fixed->dwFileType);
    ok(fixed->dwFileFlags == VS_FF_SPECIALBUILD, "file flags %#lx\n", fixed->dwFileFlags);
    ok(!lstrcmpA(version_string(data, "SpecialBuild"), "070915"), "SpecialBuild %s\n",
       version_string(data, "SpecialBuild"));
    ok(!lstrcmpA(version_string(data, "Comments"), "ANSI Version"), "Comments %s\n",
       version_string(data, "Comments"));
    ok(!lstrcmpA(version_string(data, "FileVersion"), "1, 0, 3, 0"), "FileVersion %s\n",
       version_string(data, "FileVersion"));
    ok(!lstrcmpA(version_string(data, "ProductVersion"), "1, 0, 3, 0"), "ProductVersion %s\n",
       version_string(data, "ProductVersion"));
    ok(!lstrcmpA(version_string(data, "OriginalFilename"), "tolvarsdk.dll"),
       "OriginalFilename %s\n", version_string(data, "OriginalFilename"));
}

START_TEST(frame) {
    HMODULE module = LoadLibraryA("tolvarsdk.dll");
    ok(module != NULL, "tolvarsdk.dll did not load: %lu\n", GetLastError());
    if (!module) return;
    test_exports(module);
    test_calling_convention(module);
    test_missing_device();
    test_version_resource(module);
}
