/* tolvarctl's start on ARM64, where no mingw-w64 C run-time exists to link:
 * msvcrt.dll, Windows' own C library, is used as a DLL (it initializes
 * itself), and the few pieces mingw-w64's headers expect of their static
 * run-time are made here on msvcrt.dll's exports. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

typedef struct {
    int newMode;
} StartupInfo;

int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expandWildcards,
                           StartupInfo* startupInfo);

int wmain(int argc, wchar_t** argv);

/* stdin, stdout and stderr: mingw-w64's headers name them through
 * __acrt_iob_func, which msvcrt.dll does not have; it has __iob_func. */
static FILE* __cdecl StandardStream(unsigned index) { return &__iob_func()[index]; }
FILE* (__cdecl* __imp___acrt_iob_func)(unsigned) = StandardStream;

/* vsnprintf as C99 has it (the length the whole text needs, the output
 * always terminated), which the headers name __ms_vsnprintf. msvcrt.dll's
 * _vsnprintf returns -1 and leaves no terminator when the text is cut. */
int __cdecl __ms_vsnprintf(char* out, size_t capacity, const char* format, va_list arguments) {
    va_list measured;
    va_copy(measured, arguments);
    int length = _vscprintf(format, measured);
    va_end(measured);
    if (capacity == 0) return length;
    _vsnprintf(out, capacity - 1, format, arguments);
    out[capacity - 1] = '\0';
    return length;
}

void wmainCRTStartup(void) {
    int argc = 0;
    wchar_t** argv = NULL;
    wchar_t** environment = NULL;
    StartupInfo startupInfo = {0};
    if (__wgetmainargs(&argc, &argv, &environment, 0, &startupInfo) < 0) exit(255);
    exit(wmain(argc, argv));
}
