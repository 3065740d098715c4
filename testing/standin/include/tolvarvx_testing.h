/** \file
 * Calls for test programs that drive the driver stand-in TOLVARVX.sys
 * through its test interface (tolvarvx_test.h), one call per test control,
 * and compute its handshake response.
 *
 * Header-only plain C for MinGW and MSVC (2015 or later, for snprintf),
 * x86, x64 and ARM64, which C++ compiles too: every function is static, so any
 * number of a program's files may include it. It needs <windows.h> and
 * bcrypt (the CMake target tolvarsdk::testing links it; MSVC links it from
 * here too).
 *
 * Each call takes the index n of the drive device `\\.\TOLVARVX<n>` (the
 * stand-in makes 0 to 3), opens the device for the one request, closes it
 * again and returns 0 or a Win32 error code: that of the open (2 when no
 * stand-in is loaded), or the stand-in's refusal as Windows converts it
 * (87 for a request the stand-in refuses, see tolvarvx_test.h). */
#ifndef TOLVARVX_TESTING_H
#define TOLVARVX_TESTING_H

#include <windows.h>
#include <bcrypt.h>
#include <stdio.h>
#include <string.h>

#include "tolvarvx_test.h"

#ifdef _MSC_VER
#pragma comment(lib, "bcrypt.lib")
#endif

/** Every call is static, so that any number of a program's files may include this header. */
#define TOLVARVX_TESTING_API static __inline

/** What TolvarClose returns under Wine after the driver has closed the
 * drive: ERROR_BAD_DEV_TYPE (66), where Windows returns 0. The driver
 * completes the close request and accepts the FSCTL_DISMOUNT_VOLUME that
 * follows it; Wine's ntdll then tries to unmount the Unix device behind the
 * handle, which a driver's device does not have, and fails the call. So a
 * test under Wine expects this value where the close succeeded (the drive
 * is closed; no unlock is sent after the dismount, and closing the handle
 * ends the lock). */
#define TOLVARVX_WINE_CLOSE_RESULT ERROR_BAD_DEV_TYPE

/** What TolvarReload returns under Wine for a drive whose letter was made
 * with TolvarAddDriveLetter: ERROR_NO_VOLUME_ID (1173). Wine's mount
 * manager knows only its own volumes, not a letter defined for a driver's
 * device, so the reload's volume-name lookup
 * (GetVolumeNameForVolumeMountPointA) fails after both flushes: nothing is
 * dismounted or reloaded, and the event "[Reload] Failed to get volume
 * name." is reported. On Windows the lookup succeeds for a volume that the
 * mount manager knows, and the reload goes on. A drive in BackupBeforeWrite
 * mode is refused earlier, with ERROR_SHARING_VIOLATION (32), under Wine
 * and Windows alike. */
#define TOLVARVX_WINE_RELOAD_RESULT ERROR_NO_VOLUME_ID

/** The device `\\.\TOLVARVX<index>`, opened for reading and writing;
 * INVALID_HANDLE_VALUE with the last error set on failure. */
TOLVARVX_TESTING_API HANDLE tolvarvx_open_device(unsigned index)
{
    char name[32];
    snprintf(name, sizeof name, TOLVAR_DEVICE_NAME_FORMAT_A, index);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

/** One request on a handle of its own. `*returned` gets the bytes returned
 * (0 after a failure). */
TOLVARVX_TESTING_API DWORD tolvarvx_send(unsigned index, DWORD code, void* in, DWORD inLength,
                                         void* out, DWORD outLength, DWORD* returned)
{
    DWORD error = 0;
    HANDLE device = tolvarvx_open_device(index);
    *returned = 0;
    if (device == INVALID_HANDLE_VALUE)
        return GetLastError();
    if (!DeviceIoControl(device, code, in, inLength, out, outLength, returned, NULL)) {
        error = GetLastError();
        *returned = 0;
    }
    CloseHandle(device);
    return error;
}

/** What an answer to the version request means (tolvarvx_check_version):
 * `error` and `returned` as tolvarvx_send gave them, `version` the value
 * read. */
TOLVARVX_TESTING_API DWORD tolvarvx_judge_version(unsigned index, DWORD error, DWORD returned,
                                                  uint32_t version, char* message, size_t size)
{
    DWORD result;
    char text[320];
    if (error == ERROR_INVALID_FUNCTION) {
        result = ERROR_UNKNOWN_REVISION;
        snprintf(text, sizeof text,
                 "the driver stand-in at \\\\.\\TOLVARVX%u predates the versioned test interface "
                 "(it answered the version request with error 1); this program was built for "
                 "test interface version %u",
                 index, (unsigned)TOLVARVX_TEST_INTERFACE_VERSION);
    } else if (error) {
        result = error;
        snprintf(text, sizeof text,
                 "no answer from a driver stand-in at \\\\.\\TOLVARVX%u to the version request: "
                 "error %lu",
                 index, (unsigned long)error);
    } else if (returned != sizeof version) {
        result = ERROR_INVALID_DATA;
        snprintf(text, sizeof text,
                 "the driver stand-in at \\\\.\\TOLVARVX%u answered the version request with %lu "
                 "bytes, not %u",
                 index, (unsigned long)returned, (unsigned)sizeof version);
    } else if (version != TOLVARVX_TEST_INTERFACE_VERSION) {
        result = ERROR_REVISION_MISMATCH;
        snprintf(text, sizeof text,
                 "the driver stand-in's test interface is version %lu, and this program was built "
                 "for version %u: use the stand-in and the testing headers of one tolvarsdk",
                 (unsigned long)version, (unsigned)TOLVARVX_TEST_INTERFACE_VERSION);
    } else {
        result = 0;
        snprintf(text, sizeof text, "driver stand-in test interface version %u",
                 (unsigned)TOLVARVX_TEST_INTERFACE_VERSION);
    }
    if (message && size) {
        size_t length = strlen(text);
        if (length >= size)
            length = size - 1;
        memcpy(message, text, length);
        message[length] = '\0';
    }
    return result;
}

/** Refuses a stand-in whose test interface is not the one this program was
 * built with. Returns
 *   0                        the same version;
 *   ERROR_REVISION_MISMATCH  (1306) another version;
 *   ERROR_UNKNOWN_REVISION   (1305) a stand-in older than the versioned
 *                            interface (it answers the version request
 *                            with error 1, an unknown request);
 *   ERROR_INVALID_DATA       (13) an answer of the wrong size;
 *   any other                the open's or the request's own error (2: no
 *                            stand-in is loaded).
 * `message` (`size` bytes, may be NULL with size 0) gets one terminated
 * line that says which, naming both versions where there are two; it is
 * cut to fit. */
TOLVARVX_TESTING_API DWORD tolvarvx_check_version(unsigned index, char* message, size_t size)
{
    uint32_t version = 0;
    DWORD returned = 0;
    DWORD error = tolvarvx_send(index, IOCTL_TOLVARVX_TEST_VERSION, NULL, 0, &version,
                                sizeof version, &returned);
    return tolvarvx_judge_version(index, error, returned, version, message, size);
}

/** The drive closed, journal and scripts empty, counters zero,
 * authentication not required, the default secret back. */
TOLVARVX_TESTING_API DWORD tolvarvx_reset(unsigned index)
{
    DWORD returned;
    return tolvarvx_send(index, IOCTL_TOLVARVX_TEST_RESET, NULL, 0, NULL, 0, &returned);
}

/** Queues one scripted completion (TolvarvxScript in tolvarvx_test.h): the
 * next request of `kind` and `code` completes with `status` and
 * `information` bytes. Refused with 87 for a kind, code, flag or fill byte
 * the stand-in does not take (a code it does not answer, a fill above 255);
 * 1450 when TOLVARVX_SCRIPT_CAPACITY scripts wait already. */
TOLVARVX_TESTING_API DWORD tolvarvx_script(unsigned index, uint32_t kind, uint32_t code,
                                           uint32_t status, uint32_t information, uint32_t flags,
                                           uint32_t fillByte)
{
    TolvarvxScript script;
    DWORD returned;
    script.Kind = kind;
    script.Code = code;
    script.Status = status;
    script.Information = information;
    script.Flags = flags;
    script.FillByte = fillByte;
    return tolvarvx_send(index, IOCTL_TOLVARVX_TEST_SCRIPT, &script, sizeof script, NULL, 0,
                         &returned);
}

/** Reads the journal into `journal`, a buffer of `size` bytes. A NULL
 * journal gives 87 and a size below sizeof(TolvarvxJournal) gives
 * ERROR_INSUFFICIENT_BUFFER (122), both without a request; otherwise the
 * result is the stand-in's, and 13 (ERROR_INVALID_DATA) when it returned
 * less than a whole journal. */
TOLVARVX_TESTING_API DWORD tolvarvx_read_journal(unsigned index, TolvarvxJournal* journal,
                                                 size_t size)
{
    DWORD returned;
    DWORD error;
    if (!journal)
        return ERROR_INVALID_PARAMETER;
    if (size < sizeof *journal)
        return ERROR_INSUFFICIENT_BUFFER;
    error = tolvarvx_send(index, IOCTL_TOLVARVX_TEST_JOURNAL, NULL, 0, journal, sizeof *journal,
                          &returned);
    if (!error && returned != sizeof *journal)
        return ERROR_INVALID_DATA;
    return error;
}

/** Whether OPEN, CLOSE, RELOAD and QUERY need a passed handshake. */
TOLVARVX_TESTING_API DWORD tolvarvx_require_auth(unsigned index, BOOL required)
{
    uint32_t value = required ? 1u : 0u;
    DWORD returned;
    return tolvarvx_send(index, IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED, &value, sizeof value, NULL, 0,
                         &returned);
}

/** The secret the handshake uses, 1 to TOLVARVX_SECRET_MAX bytes: the
 * stand-in refuses any other length with 87 (a NULL secret of nonzero
 * length gives 87 without a request). */
TOLVARVX_TESTING_API DWORD tolvarvx_set_secret(unsigned index, const void* secret, size_t length)
{
    TolvarvxSecret value;
    DWORD returned;
    DWORD error;
    if (!secret && length)
        return ERROR_INVALID_PARAMETER;
    memset(&value, 0, sizeof value);
    value.Length = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)length;
    if (secret)
        memcpy(value.Bytes, secret, length < sizeof value.Bytes ? length : sizeof value.Bytes);
    error = tolvarvx_send(index, IOCTL_TOLVARVX_TEST_SET_SECRET, &value, sizeof value, NULL, 0,
                          &returned);
    SecureZeroMemory(&value, sizeof value);
    return error;
}

/** The Win32 error of a failed BCrypt call, by the system's own table. */
TOLVARVX_TESTING_API DWORD tolvarvx_error_of_status(NTSTATUS status)
{
    typedef ULONG(WINAPI * to_dos_error)(NTSTATUS);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    FARPROC proc = ntdll ? GetProcAddress(ntdll, "RtlNtStatusToDosError") : NULL;
    to_dos_error convert;
    if (!proc)
        return ERROR_GEN_FAILURE;
    memcpy(&convert, &proc, sizeof convert);
    return convert(status);
}

/** The stand-in's answer to `challenge` under `secret` (tolvarvx_test.h):
 * the first 16 bytes of HMAC-SHA256(key = secret, message = challenge),
 * computed by the system's BCrypt. Returns 0, 87 for a NULL pointer or a
 * secret longer than TOLVARVX_SECRET_MAX, or BCrypt's failure as a Win32
 * error; `response` is written only on success. */
TOLVARVX_TESTING_API DWORD tolvarvx_compute_response(const void* secret, size_t secretLength,
                                                     const uint8_t challenge[TOLVAR_CHALLENGE_SIZE],
                                                     uint8_t response[TOLVAR_RESPONSE_SIZE])
{
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    /* BCrypt takes writable buffers: the inputs are copied. */
    UCHAR key[TOLVARVX_SECRET_MAX];
    UCHAR message[TOLVAR_CHALLENGE_SIZE];
    UCHAR digest[32];
    NTSTATUS status;
    if ((!secret && secretLength) || !challenge || !response ||
        secretLength > TOLVARVX_SECRET_MAX)
        return ERROR_INVALID_PARAMETER;
    if (secretLength)
        memcpy(key, secret, secretLength);
    memcpy(message, challenge, sizeof message);
    status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL,
                                         BCRYPT_ALG_HANDLE_HMAC_FLAG);
    /* The hash object in memory BCrypt manages itself (Windows 7 and later). */
    if (BCRYPT_SUCCESS(status))
        status = BCryptCreateHash(algorithm, &hash, NULL, 0, key, (ULONG)secretLength, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptHashData(hash, message, sizeof message, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptFinishHash(hash, digest, sizeof digest, 0);
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    SecureZeroMemory(key, sizeof key);
    if (!BCRYPT_SUCCESS(status))
        return tolvarvx_error_of_status(status);
    memcpy(response, digest, TOLVAR_RESPONSE_SIZE);
    SecureZeroMemory(digest, sizeof digest);
    return 0;
}

#endif
