#include "tool_run.h"

#include <stdio.h>
#include <string.h>

#include "time_limit.h"

static HANDLE inheritable_file(const char *path)
{
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, NULL, TRUE};
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &attributes, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, NULL);
}

/* Reads what the child wrote, without the CRs of text-mode line breaks. */
static void read_back(HANDLE file, char *text, DWORD capacity)
{
    DWORD length = 0;
    SetFilePointer(file, 0, NULL, FILE_BEGIN);
    if (!ReadFile(file, text, capacity - 1, &length, NULL)) length = 0;
    DWORD kept = 0;
    for (DWORD i = 0; i < length; ++i)
        if (text[i] != '\r') text[kept++] = text[i];
    text[kept] = '\0';
}

BOOL run_tool_w(tool_run *run, const WCHAR *arguments)
{
    WCHAR folder[MAX_PATH], tool[MAX_PATH];
    static WCHAR command_line[4096];
    char out_path[MAX_PATH], err_path[MAX_PATH];
    memset(run, 0, sizeof *run);
    run->exit_code = 0xFFFFFFFF;

    DWORD length = GetModuleFileNameW(NULL, folder, MAX_PATH);
    while (length > 0 && folder[length - 1] != '\\') --length;
    folder[length] = 0;
    _snwprintf(tool, MAX_PATH, L"%lstolvarctl.exe", folder);
    _snwprintf(command_line, 4096, L"\"%ls\" %ls", tool, arguments);
    command_line[4095] = 0;

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    snprintf(out_path, sizeof out_path, "%stolvarctl-test-%lu.out", temp, GetCurrentProcessId());
    snprintf(err_path, sizeof err_path, "%stolvarctl-test-%lu.err", temp, GetCurrentProcessId());
    HANDLE out = inheritable_file(out_path);
    HANDLE err = inheritable_file(err_path);
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
    BOOL started = FALSE;
    if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE) {
        STARTUPINFOW startup;
        PROCESS_INFORMATION process;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        started = CreateProcessW(tool, command_line, NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                                 &process);
        if (started) {
            if (WaitForSingleObject(process.hProcess, time_limit_ms(60000)) == WAIT_OBJECT_0)
                GetExitCodeProcess(process.hProcess, &run->exit_code);
            else
                TerminateProcess(process.hProcess, 0xFFFFFFFF);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            read_back(out, run->out, sizeof run->out);
            read_back(err, run->err, sizeof run->err);
        }
    }
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    DeleteFileA(out_path);
    DeleteFileA(err_path);
    return started;
}

/* As CreateProcessA does: the ANSI command line read in the ANSI code page. */
BOOL run_tool(tool_run *run, const char *arguments)
{
    static WCHAR wide[4096];
    if (!MultiByteToWideChar(CP_ACP, 0, arguments, -1, wide, 4096)) return FALSE;
    return run_tool_w(run, wide);
}
