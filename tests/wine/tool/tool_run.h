/* Running tolvarctl.exe as a child process, the way a script does: its
 * standard output and error go to files of their own, which are read back
 * with the CR of each line break dropped. */
#ifndef TOOL_RUN_H
#define TOOL_RUN_H

#include <windows.h>

typedef struct tool_run {
    DWORD exit_code;   /* 0xFFFFFFFF when the process did not run or end */
    char out[16384];   /* standard output */
    char err[4096];    /* standard error */
} tool_run;

/* Runs "tolvarctl.exe <arguments>" from the folder of this program and
 * waits for it (60 s at most). Returns FALSE when it could not be run.
 * run_tool takes the arguments in the ANSI code page, run_tool_w in UTF-16. */
BOOL run_tool(tool_run *run, const char *arguments);
BOOL run_tool_w(tool_run *run, const WCHAR *arguments);

#endif
