#include "stand_in_client.h"

#include <stdio.h>
#include <string.h>

#include "time_limit.h"

HANDLE stand_in_open(unsigned index, DWORD access)
{
    char name[32];
    snprintf(name, sizeof name, TOLVAR_DEVICE_NAME_FORMAT_A, index);
    return CreateFileA(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

DWORD stand_in_control(HANDLE device, DWORD code, const void* in, DWORD inLength, void* out,
                       DWORD outLength, DWORD* returned)
{
    SetLastError(0xDEADBEEF);
    if (DeviceIoControl(device, code, (void*)in, inLength, out, outLength, returned, NULL))
        return 0;
    return GetLastError();
}

DWORD stand_in_request(unsigned index, DWORD code, const void* in, DWORD inLength, void* out,
                       DWORD outLength, DWORD* returned)
{
    HANDLE device = stand_in_open(index, STAND_IN_READ_WRITE);
    if (device == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD error = stand_in_control(device, code, in, inLength, out, outLength, returned);
    CloseHandle(device);
    return error;
}

DWORD stand_in_response(unsigned index, const void* secret, DWORD secretLength,
                        BYTE response[TOLVAR_RESPONSE_SIZE])
{
    BYTE challenge[TOLVAR_CHALLENGE_SIZE];
    DWORD returned = 0;
    DWORD error = stand_in_request(index, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, challenge,
                                   sizeof challenge, &returned);
    if (error)
        return error;
    return tolvarvx_compute_response(secret, secretLength, challenge, response);
}

DWORD stand_in_default_secret(unsigned index, BYTE* out, DWORD capacity)
{
    char secret[TOLVARVX_SECRET_MAX + 1];
    int length = snprintf(secret, sizeof secret, TOLVARVX_DEFAULT_SECRET_PREFIX "%u", index);
    if (length < 0 || (DWORD)length > capacity)
        return 0;
    memcpy(out, secret, (size_t)length);
    return (DWORD)length;
}

void stand_in_open_request(TolvarOpenRequest* request, char letter, DWORD backupBeforeWrite,
                           const char* backup, const char* data)
{
    memset(request, 0, sizeof *request);
    request->DriveLetter = (uint16_t)(int16_t)letter;
    request->BackupBeforeWrite = backupBeforeWrite;
    for (unsigned i = 0; backup[i] && i + 1 < TOLVAR_PATH_CHARS; ++i)
        request->BackupFile[i] = (unsigned char)backup[i];
    for (unsigned i = 0; data[i] && i + 1 < TOLVAR_PATH_CHARS; ++i)
        request->DataFile[i] = (unsigned char)data[i];
}

DWORD stand_in_restart(void)
{
    char commandLine[] = "net.exe start TOLVARVX";
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    DWORD exitCode = 0xFFFFFFFF;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return GetLastError();
    if (WaitForSingleObject(process.hProcess, time_limit_ms(30000)) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}
