/*
 * tolvarsdk: user-mode access to the Drive driver's drive devices.
 *
 * tolvarsdk.dll is a 32-bit Windows library. Every export uses the stdcall
 * convention (WINAPI) under its plain name, keeps no state between calls and
 * returns only when its work is done. Link with libtolvarsdk.dll.a (MinGW)
 * or tolvarsdk.lib (MSVC), or resolve the exports at run time by name or
 * ordinal; each TOLVAR_*_FUNC type below is the export's exact signature.
 *
 * Results: every export but RegService returns 0 (ERROR_SUCCESS) or a Win32
 * error code:
 *   ERROR_INVALID_PARAMETER (87)   an argument was refused; nothing was opened
 *   ERROR_INSUFFICIENT_BUFFER (122) the driver returned fewer bytes than a
 *                                  reply's fixed size
 *   ERROR_BUSY (170)               the drive letter is already in use
 *   ERROR_SHARING_VIOLATION (32)   a reload was refused for a drive in
 *                                  BackupBeforeWrite mode
 *   any other value                GetLastError of the system call or driver
 *                                  request that failed, unchanged
 *
 * Drive devices are numbered: index n is the device \\.\TOLVARVX<n>. An
 * index for which no device exists fails when the device is opened.
 * All strings are ANSI, in the system's ANSI code page.
 */
#ifndef TOLVARSDK_H
#define TOLVARSDK_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Callers import the functions from the DLL; the DLL's own sources and
 * builds for other platforms see plain declarations. */
#if defined(_WIN32) && !defined(TOLVARSDK_BUILDING)
#define TOLVARSDK_IMPORT __declspec(dllimport)
#else
#define TOLVARSDK_IMPORT
#endif

/* ---- Drive lifecycle ---------------------------------------------------- */

/* TolvarFlush (ordinal 5): flushes drive device DriveIndex, opened
 * read-write. Returns 0, or the error of the open or of the flush. */
typedef DWORD(WINAPI TOLVAR_FLUSH_FUNC)(UINT DriveIndex);
TOLVARSDK_IMPORT TOLVAR_FLUSH_FUNC TolvarFlush;

#ifdef __cplusplus
}
#endif

#endif /* TOLVARSDK_H */
