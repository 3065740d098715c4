/* The start of a program whose entry point is wmain (tolvarctl), on
 * msvcrt.dll: the command line as UTF-16 words, and msvcrt.dll's exit,
 * which flushes the streams. */
#include <stdlib.h>

typedef struct {
    int newMode;
} StartupInfo;

int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expandWildcards,
                           StartupInfo* startupInfo);

int wmain(int argc, wchar_t** argv);

void wmainCRTStartup(void) {
    int argc = 0;
    wchar_t** argv = NULL;
    wchar_t** environment = NULL;
    StartupInfo startupInfo = {0};
    if (__wgetmainargs(&argc, &argv, &environment, 0, &startupInfo) < 0) exit(255);
    exit(wmain(argc, argv));
}
