/* The start of a program whose entry point is main (the Wine test
 * programs), on msvcrt.dll: the command line as words of the ANSI code
 * page, and msvcrt.dll's exit, which flushes the streams. */
#include <stdlib.h>

typedef struct {
    int newMode;
} StartupInfo;

int __cdecl __getmainargs(int* argc, char*** argv, char*** environment, int expandWildcards,
                          StartupInfo* startupInfo);

int main(int argc, char** argv);

void mainCRTStartup(void) {
    int argc = 0;
    char** argv = NULL;
    char** environment = NULL;
    StartupInfo startupInfo = {0};
    if (__getmainargs(&argc, &argv, &environment, 0, &startupInfo) < 0) exit(255);
    exit(main(argc, argv));
}
