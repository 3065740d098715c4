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

static DWORD test_request(unsigned index, DWORD code, const void* in, DWORD inLength, void* out,
                          DWORD outLength)
{
    DWORD returned = 0;
    return stand_in_request(index, code, in, inLength, out, outLength, &returned);
}

DWORD stand_in_reset(unsigned index)
{
    return test_request(index, IOCTL_TOLVARVX_TEST_RESET, NULL, 0, NULL, 0);
}

DWORD stand_in_script(unsigned index, DWORD kind, DWORD code, DWORD status, DWORD information,
                      DWORD flags, BYTE fill)
{
    TolvarvxScript script = {kind, code, status, information, flags, fill};
    return test_request(index, IOCTL_TOLVARVX_TEST_SCRIPT, &script, sizeof script, NULL, 0);
}

DWORD stand_in_journal(unsigned index, TolvarvxJournal* journal)
{
    memset(journal, 0xCC, sizeof *journal);
    return test_request(index, IOCTL_TOLVARVX_TEST_JOURNAL, NULL, 0, journal, sizeof *journal);
}

DWORD stand_in_require_auth(unsigned index, DWORD required)
{
    return test_request(index, IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED, &required, sizeof required,
                        NULL, 0);
}

DWORD stand_in_set_secret(unsigned index, const void* secret, DWORD length)
{
    TolvarvxSecret value;
    memset(&value, 0, sizeof value);
    value.Length = length;
    memcpy(value.Bytes, secret, length < sizeof value.Bytes ? length : sizeof value.Bytes);
    return test_request(index, IOCTL_TOLVARVX_TEST_SET_SECRET, &value, sizeof value, NULL, 0);
}

DWORD stand_in_response(unsigned index, const void* secret, DWORD secretLength,
                        BYTE response[TOLVARVX_HANDSHAKE_BLOCK])
{
    BYTE challenge[TOLVAR_CHALLENGE_SIZE];
    DWORD returned = 0;
    DWORD error = stand_in_request(index, IOCTL_TOLVAR_GET_CHALLENGE, NULL, 0, challenge,
                                   sizeof challenge, &returned);
    if (error)
        return error;
    tolvarvx_handshake_response((const uint8_t*)secret, secretLength, challenge, response);
    return 0;
}

DWORD stand_in_default_secret(unsigned index, BYTE* out, DWORD capacity)
{
    return (DWORD)tolvarvx_default_secret(index, out, capacity);
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
