/* Talking to the driver stand-in from a test program: raw requests on a
 * drive device. Its test interface and handshake rule are the SDK's calls
 * for customers' tests (tolvarvx_testing.h), which the tests use as they
 * are. */
#ifndef TOLVARVX_STAND_IN_CLIENT_H
#define TOLVARVX_STAND_IN_CLIENT_H

#include <windows.h>

#include "tolvarvx_testing.h"

#define STAND_IN_READ GENERIC_READ
#define STAND_IN_READ_WRITE (GENERIC_READ | GENERIC_WRITE)

/* \\.\TOLVARVX<index> opened with `access`; INVALID_HANDLE_VALUE on failure. */
HANDLE stand_in_open(unsigned index, DWORD access);

/* One DeviceIoControl. Returns 0 or the Win32 error; `*returned` gets the
 * bytes returned (left as the caller set it when the request fails, as
 * Windows does). */
DWORD stand_in_control(HANDLE device, DWORD code, const void* in, DWORD inLength, void* out,
                       DWORD outLength, DWORD* returned);
/* The same on a handle of its own, opened read-write and closed again. */
DWORD stand_in_request(unsigned index, DWORD code, const void* in, DWORD inLength, void* out,
                       DWORD outLength, DWORD* returned);

/* GET_CHALLENGE, then the response of the handshake rule for `secret`. */
DWORD stand_in_response(unsigned index, const void* secret, DWORD secretLength,
                        BYTE response[TOLVAR_RESPONSE_SIZE]);
/* The default secret of device `index`; returns its length. */
DWORD stand_in_default_secret(unsigned index, BYTE* out, DWORD capacity);

/* Starts the stand-in's service again after it died (net.exe start
 * TOLVARVX): the fresh devices know no drive. Returns net.exe's exit code,
 * or 0xFFFFFFFF when it did not end within 30 s. */
DWORD stand_in_restart(void);

/* A valid OpenRequest: letter, flag, ASCII paths widened to UTF-16. */
void stand_in_open_request(TolvarOpenRequest* request, char letter, DWORD backupBeforeWrite,
                           const char* backup, const char* data);

#endif
