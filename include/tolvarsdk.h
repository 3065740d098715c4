/**
 * \file
 * \brief tolvarsdk: user-mode access to the Drive driver's drive devices.
 *
 * tolvarsdk.dll is a Windows library built for x86 (32-bit), x64 and ARM64:
 * three DLLs of the same name, the same exports at the same ordinals, and
 * the same record layout. Every export is WINAPI under its plain name (on
 * x86 the stdcall convention; x64 and ARM64 have a single one), keeps no
 * state between calls and returns only when its work is done. Link with the
 * architecture's libtolvarsdk.dll.a (MinGW) or tolvarsdk.lib (MSVC-style
 * linkers), or resolve the exports at run time by name or ordinal; each
 * TOLVAR_*_FUNC type below is the export's exact signature, for the pointer
 * that GetProcAddress returns.
 *
 * Results: every export but RegService returns 0 (ERROR_SUCCESS) or a Win32
 * error code:
 * - ERROR_INVALID_PARAMETER (87): an argument was refused; nothing was opened
 * - ERROR_INSUFFICIENT_BUFFER (122): the driver returned fewer bytes than a
 *   reply's fixed size
 * - ERROR_BUSY (170): the drive letter is already in use
 * - ERROR_SHARING_VIOLATION (32): a reload was refused for a drive in
 *   BackupBeforeWrite mode
 * - any other value: GetLastError of the system call or driver request that
 *   failed, unchanged
 *
 * Drive devices are numbered: index n is the device `\\.\TOLVARVX<n>`. An
 * index for which no device exists fails when the device is opened.
 * Strings are ANSI, in the system's ANSI code page, except in the W forms
 * TolvarOpenW and TolvarQueryW, which take and give UTF-16 paths as the
 * driver holds them: use those for a path with a character that the ANSI
 * code page lacks.
 *
 * Under Wine, and so under the SDK's test kit, TolvarClose and TolvarReload
 * give other results than on Windows: see \ref kit_and_windows.
 */
#ifndef TOLVARSDK_H
#define TOLVARSDK_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Callers import the functions from the DLL; the DLL's own sources and
 * builds for other platforms see plain declarations. */
#if defined(_WIN32) && !defined(TOLVARSDK_BUILDING)
#define TOLVARSDK_IMPORT __declspec(dllimport)
#else
#define TOLVARSDK_IMPORT
#endif

/* ---- The drive record --------------------------------------------------- */

/** Describes a drive: read by TolvarOpen (its first four fields), filled by
 * TolvarQuery (all five). 832 bytes; owned by the caller, who passes it for
 * the length of one call. Paths are NUL-terminated ANSI strings of at most
 * 259 characters. */
typedef struct TolvarDriveInfo {
    CHAR DriveLetter;          /**< letter of the drive's volume ('A'-'Z', 'a'-'z') */
    BYTE Alignment[3];         /**< never read or written by the library */
    BOOL BackupBeforeWrite;    /**< nonzero: the drive backs up before it writes */
    CHAR BackupFile[260];      /**< backup file; used only in BackupBeforeWrite mode */
    CHAR DataFile[260];        /**< data file; always required */
    BYTE DeviceDetails[304];   /**< the driver's own description, opaque */
} TolvarDriveInfo;

/** \cond LAYOUT_CHECKS */
typedef char TolvarDriveInfoHas832Bytes[sizeof(TolvarDriveInfo) == 832 ? 1 : -1];
/** \endcond */

/* ---- Drive lifecycle ---------------------------------------------------- */

/* Each export has a type, for the pointer GetProcAddress returns, and a
 * prototype, for callers and the reference. The end of this header declares
 * each export once more through its type, so that every program that
 * includes it checks the two against each other. */

/** The exact type of TolvarOpen. */
typedef DWORD WINAPI TOLVAR_OPEN_FUNC(const TolvarDriveInfo *info, UINT DriveIndex);
/** TolvarOpen (ordinal 7): opens drive device DriveIndex onto info->DataFile
 * (and info->BackupFile when info->BackupBeforeWrite is nonzero). Creates
 * the folders of both paths first (failures ignored; `\` and `/` both
 * separate folders, and a path with no separator after its first character
 * names no folder) and flushes the volume of info->DriveLetter; the record
 * is only read.
 * \param info the drive record; its first four fields are read
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0; 87 for a null info, a DataFile (or, in BackupBeforeWrite mode,
 *   a BackupFile) shorter than 4 characters or not terminated within its 260
 *   bytes; else the error of the volume flush, of opening the device or of
 *   the driver's open. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarOpen(const TolvarDriveInfo *info, UINT DriveIndex);

/** The exact type of TolvarQuery. */
typedef DWORD WINAPI TOLVAR_QUERY_FUNC(TolvarDriveInfo *info, UINT DriveIndex);
/** TolvarQuery (ordinal 8): fills all five fields of *info with the drive's
 * description (Alignment is left as it was). Paths are converted to the ANSI
 * code page; one whose ANSI form would need more than 259 bytes is cut after
 * the last whole character that fits, and always terminated. On any failure
 * the record is left untouched.
 * \param info the record to fill
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0; 87 for a null info; 122 when the driver returned a short reply;
 *   else the error of the open or of the request. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarQuery(TolvarDriveInfo *info, UINT DriveIndex);

/** The exact type of TolvarClose. */
typedef DWORD WINAPI TOLVAR_CLOSE_FUNC(BOOL force, UINT DriveIndex);
/** TolvarClose (ordinal 3): closes the drive and dismounts its file system.
 * With force 0 the volume is locked first and unlocked after the dismount;
 * with force nonzero no lock is taken. Stops at the first failing request.
 * \param force 0: lock the volume before the dismount and unlock it after;
 *   nonzero: take no lock
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0 or the error of the open or of the failing request (after a
 *   successful close, a failing unlock's error is still returned).
 * \remark Under Wine, TolvarClose returns ERROR_BAD_DEV_TYPE (66) where
 *   Windows returns 0: after the driver has closed the drive and accepted
 *   the dismount, Wine looks for a Unix device to unmount behind the handle
 *   and finds none (\ref kit_and_windows). */
TOLVARSDK_IMPORT DWORD WINAPI TolvarClose(BOOL force, UINT DriveIndex);

/** The exact type of TolvarFlush. */
typedef DWORD WINAPI TOLVAR_FLUSH_FUNC(UINT DriveIndex);
/** TolvarFlush (ordinal 5): flushes drive device DriveIndex, opened
 * read-write.
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0, or the error of the open or of the flush. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarFlush(UINT DriveIndex);

/** The exact type of TolvarReload. */
typedef DWORD WINAPI TOLVAR_RELOAD_FUNC(UINT DriveIndex);
/** TolvarReload (ordinal 9): dismounts the volume of the drive's letter and
 * has the driver reload the drive, holding the volume open meanwhile. In
 * order: queries the drive (as TolvarQuery); refuses a drive in
 * BackupBeforeWrite mode; flushes the drive device, then the volume `\\.\X:`
 * of the drive's letter; checks that `X:\` is a volume mount point; opens
 * that volume and dismounts it (no lock is taken); sends the driver's
 * reload; closes the volume only after the reload has returned.
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0; 32 for a drive in BackupBeforeWrite mode; else the error of the
 *   step that failed (122 for a short query reply). Each failure is also
 *   written to the Windows event log under the source "Tolvar service" as an
 *   error entry whose identifier is the returned code and whose one string
 *   begins "[Reload] ". When the entry cannot be written, the library prints
 *   "Could not register the event source." or "Could not report the event."
 *   (no line break) to standard output; the result is unchanged.
 * \remark Under Wine, a drive whose letter was given with
 *   TolvarAddDriveLetter fails at the volume-name step with
 *   ERROR_NO_VOLUME_ID (1173): Wine's mount manager knows only its own
 *   volumes. Neither the dismount nor the driver's reload is sent
 *   (\ref kit_and_windows). */
TOLVARSDK_IMPORT DWORD WINAPI TolvarReload(UINT DriveIndex);

/* ---- Drive lifecycle in UTF-16 ----------------------------------------- */

/** The drive record in UTF-16: the layout of the driver's own reply, 1352
 * bytes. Read by TolvarOpenW (letter, flag and paths), filled by TolvarQueryW
 * (all but Reserved). Paths are NUL-terminated UTF-16 strings of at most 259
 * code units (a character outside the Basic Multilingual Plane takes two). */
typedef struct TolvarDriveInfoW {
    WCHAR DriveLetter;         /**< letter of the drive's volume (L'A'-L'Z', L'a'-L'z') */
    WORD Reserved;             /**< never read or written by the library */
    BOOL BackupBeforeWrite;    /**< nonzero: the drive backs up before it writes */
    WCHAR BackupFile[260];     /**< backup file; used only in BackupBeforeWrite mode */
    WCHAR DataFile[260];       /**< data file; always required */
    BYTE DeviceDetails[304];   /**< the driver's own description, opaque */
} TolvarDriveInfoW;

/** \cond LAYOUT_CHECKS */
typedef char TolvarDriveInfoWHas1352Bytes[sizeof(TolvarDriveInfoW) == 1352 ? 1 : -1];
/** \endcond */

/** The exact type of TolvarOpenW. */
typedef DWORD WINAPI TOLVAR_OPEN_W_FUNC(const TolvarDriveInfoW *info, UINT DriveIndex);
/** TolvarOpenW (ordinal 13): TolvarOpen with a UTF-16 record. The same steps
 * in the same order, each through the system's UTF-16 calls: the folders of
 * both paths (failures ignored; `\` and `/` separate folders, and a path
 * with no separator after its first character names no folder), the flush of
 * the volume `\\.\X:` of info->DriveLetter, then the driver's open. The
 * paths reach the driver exactly as written, unit for unit, and the letter
 * as its 16 bits; the backup path is sent only in BackupBeforeWrite mode.
 * The record is only read.
 * \param info the UTF-16 drive record; letter, flag and paths are read
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0; 87 for a null info, a DataFile (or, in BackupBeforeWrite mode,
 *   a BackupFile) shorter than 4 code units or not terminated within its
 *   260; else the error of the volume flush, of opening the device or of the
 *   driver's open. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarOpenW(const TolvarDriveInfoW *info, UINT DriveIndex);

/** The exact type of TolvarQueryW. */
typedef DWORD WINAPI TOLVAR_QUERY_W_FUNC(TolvarDriveInfoW *info, UINT DriveIndex);
/** TolvarQueryW (ordinal 14): fills *info with the drive's description as
 * the driver gives it: the letter's 16 bits, the flag, both paths unit for
 * unit and DeviceDetails (Reserved is left as it was). Each path is copied
 * up to its terminator, and the units after it are left as they were; a path
 * the driver did not terminate within 260 units keeps its first 259 and gets
 * a terminator; 258 only when the 259th and 260th units are a surrogate
 * pair, which is never split. A high surrogate that no low one follows is
 * kept as a unit of its own, as TolvarQuery keeps it as a character of its
 * own. On any failure the record is left untouched.
 * \param info the UTF-16 record to fill
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0; 87 for a null info; 122 when the driver returned a short reply;
 *   else the error of the open or of the request. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarQueryW(TolvarDriveInfoW *info, UINT DriveIndex);

/* ---- Access handshake --------------------------------------------------- */

/** The exact type of TolvarGetChallenge. */
typedef DWORD WINAPI TOLVAR_GET_CHALLENGE_FUNC(BYTE *challenge, UINT DriveIndex);
/** TolvarGetChallenge (ordinal 6): writes the driver's 16-byte challenge
 * into challenge[0..15].
 * \param challenge a 16-byte buffer
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0; 87 for a null buffer; 122 when the driver returned fewer than
 *   16 bytes (the buffer holds what came); else the error of the open or of
 *   the request. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarGetChallenge(BYTE *challenge, UINT DriveIndex);

/** The exact type of TolvarAuthen. */
typedef DWORD WINAPI TOLVAR_AUTHEN_FUNC(const BYTE *response, UINT DriveIndex);
/** TolvarAuthen (ordinal 2): sends the caller's 16-byte response to the
 * latest challenge.
 * \param response the 16-byte response
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0 when the driver accepted it; 87 for a null pointer; else the
 *   error of the open or of the request. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarAuthen(const BYTE *response, UINT DriveIndex);

/** The exact type of TolvarDeauthen. */
typedef DWORD WINAPI TOLVAR_DEAUTHEN_FUNC(UINT DriveIndex);
/** TolvarDeauthen (ordinal 4): gives up the access gained with TolvarAuthen.
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0 or the error of the open or of the request. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarDeauthen(UINT DriveIndex);

/* ---- Drive letters ------------------------------------------------------ */

/** The exact type of TolvarAddDriveLetter. */
typedef DWORD WINAPI TOLVAR_ADD_DRIVE_LETTER_FUNC(CHAR letter, UINT DriveIndex);
/** TolvarAddDriveLetter (ordinal 1): makes letter name drive device
 * DriveIndex (letter 'A'-'Z' or 'a'-'z', case kept), defining the MS-DOS
 * device name "X:" for `\Device\TolvarVault\TOLVARVX<DriveIndex>`. The
 * letter counts as taken only when its volume `\\.\X:` opens for reading; a
 * failure of that open, whatever its reason, leaves the letter to be
 * defined. So a caller without the right to open a mounted volume (on
 * Windows, one that is not elevated) sees every letter as free: check the
 * letter first.
 * \param letter the drive letter, 'A'-'Z' or 'a'-'z'
 * \param DriveIndex n of the drive device `\\.\TOLVARVX<n>`
 * \return 0; 87 for any other letter; 170 when the letter is taken; else the
 *   error of DefineDosDevice. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarAddDriveLetter(CHAR letter, UINT DriveIndex);

/** The exact type of TolvarRemoveDriveLetter. */
typedef DWORD WINAPI TOLVAR_REMOVE_DRIVE_LETTER_FUNC(CHAR letter);
/** TolvarRemoveDriveLetter (ordinal 10): removes the most recent definition
 * of letter, whichever device it names.
 * \param letter the drive letter, 'A'-'Z' or 'a'-'z'
 * \return 0; 87 for a letter outside 'A'-'Z' and 'a'-'z'; else the error of
 *   DefineDosDevice. */
TOLVARSDK_IMPORT DWORD WINAPI TolvarRemoveDriveLetter(CHAR letter);

/* ---- The driver's service key ------------------------------------------- */

/** The exact type of RegService. */
typedef void WINAPI TOLVAR_REG_SERVICE_FUNC(HWND window, HINSTANCE instance, LPSTR commandLine,
                                            int showCommand);
/** RegService (ordinal 11): writes the key
 * `HKLM\SYSTEM\CurrentControlSet\Services\TOLVARVX` anew (ErrorControl,
 * Start and Type, each REG_DWORD 1, and nothing else), so that Windows loads
 * the driver at system start. The four arguments are ignored: the signature
 * is rundll32's, so `rundll32 tolvarsdk.dll,RegService` works. Reports
 * nothing; a caller that needs to know reads the key back.
 * \param window ignored
 * \param instance ignored
 * \param commandLine ignored
 * \param showCommand ignored */
TOLVARSDK_IMPORT void WINAPI RegService(HWND window, HINSTANCE instance, LPSTR commandLine,
                                        int showCommand);

/** The exact type of UnregService. */
typedef LONG WINAPI TOLVAR_UNREG_SERVICE_FUNC(HWND window, HINSTANCE instance, LPSTR commandLine,
                                              int showCommand);
/** UnregService (ordinal 12): deletes the service key with its subkeys.
 * Arguments ignored, as for RegService.
 * \param window ignored
 * \param instance ignored
 * \param commandLine ignored
 * \param showCommand ignored
 * \return The registry's status: 0, or e.g. ERROR_FILE_NOT_FOUND (2) when
 *   there is no key. */
TOLVARSDK_IMPORT LONG WINAPI UnregService(HWND window, HINSTANCE instance, LPSTR commandLine,
                                          int showCommand);

/** \cond TYPE_CHECKS */
/* Each export again through its type: a compiler refuses the pair where a
 * type and its prototype differ in result or parameters, and a C compiler
 * for x86 also where they differ in calling convention. */
TOLVARSDK_IMPORT TOLVAR_OPEN_FUNC TolvarOpen;
TOLVARSDK_IMPORT TOLVAR_QUERY_FUNC TolvarQuery;
TOLVARSDK_IMPORT TOLVAR_CLOSE_FUNC TolvarClose;
TOLVARSDK_IMPORT TOLVAR_FLUSH_FUNC TolvarFlush;
TOLVARSDK_IMPORT TOLVAR_RELOAD_FUNC TolvarReload;
TOLVARSDK_IMPORT TOLVAR_OPEN_W_FUNC TolvarOpenW;
TOLVARSDK_IMPORT TOLVAR_QUERY_W_FUNC TolvarQueryW;
TOLVARSDK_IMPORT TOLVAR_GET_CHALLENGE_FUNC TolvarGetChallenge;
TOLVARSDK_IMPORT TOLVAR_AUTHEN_FUNC TolvarAuthen;
TOLVARSDK_IMPORT TOLVAR_DEAUTHEN_FUNC TolvarDeauthen;
TOLVARSDK_IMPORT TOLVAR_ADD_DRIVE_LETTER_FUNC TolvarAddDriveLetter;
TOLVARSDK_IMPORT TOLVAR_REMOVE_DRIVE_LETTER_FUNC TolvarRemoveDriveLetter;
TOLVARSDK_IMPORT TOLVAR_REG_SERVICE_FUNC RegService;
TOLVARSDK_IMPORT TOLVAR_UNREG_SERVICE_FUNC UnregService;
/** \endcond */

#ifdef __cplusplus
}
#endif

#endif /* TOLVARSDK_H */
