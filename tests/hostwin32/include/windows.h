/* Host Win32 stand-in: the part of the Win32 API that tolvarsdk calls, for
 * building the library natively on Linux. Types keep their Windows sizes
 * (DWORD and LONG 32 bits, WCHAR 16 bits); functions keep Windows' results
 * and error values. Each call is journalled and can be made to fail; see
 * <hostwin32/testing.h>. */
#ifndef HOSTWIN32_WINDOWS_H
#define HOSTWIN32_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CALLBACK
#define WINAPIV
#define CONST const
#define VOID void

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef unsigned int UINT;
typedef int INT;
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif
typedef void *HANDLE;
typedef void *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef DWORD *LPDWORD, *PDWORD;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef LONG LSTATUS;
typedef DWORD ACCESS_MASK, REGSAM;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef void *PSID;
typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED *LPOVERLAPPED;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

/* Error values. */
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_WRITE_FAULT 29L
#define ERROR_NOT_READY 21L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_BAD_DEV_TYPE 66L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_IO_DEVICE 1117L
#define ERROR_NO_VOLUME_ID 1173L
#define ERROR_INVALID_DATA 13L
#define ERROR_NOACCESS 998L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_NAME 123L
#define ERROR_NOT_A_REPARSE_POINT 4390L

/* Access rights, sharing, creation. */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u

/* Control codes. */
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 1
#define FILE_WRITE_ACCESS 2
#define FILE_DEVICE_FILE_SYSTEM 0x00000009
#define FSCTL_LOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_UNLOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* MS-DOS device names. */
#define DDD_RAW_TARGET_PATH 0x1u
#define DDD_REMOVE_DEFINITION 0x2u
#define DDD_EXACT_MATCH_ON_REMOVE 0x4u
#define DDD_NO_BROADCAST_SYSTEM 0x8u

/* Registry. */
#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_USERS ((HKEY)(uintptr_t)0x80000003u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_OPTION_VOLATILE 0x1u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

/* Event log. */
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

/* Standard handles. */
#define STD_OUTPUT_HANDLE ((DWORD)-11)

/* Code pages. */
#define CP_ACP 0u
#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x8u
#define WC_NO_BEST_FIT_CHARS 0x400u

/* kernel32 */
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                            DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                            LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL WINAPI FlushFileBuffers(HANDLE file);
HANDLE WINAPI GetStdHandle(DWORD stdHandle);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped);
BOOL WINAPI DefineDosDeviceA(DWORD flags, LPCSTR deviceName, LPCSTR targetPath);
DWORD WINAPI QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath, DWORD max);
BOOL WINAPI GetVolumeNameForVolumeMountPointA(LPCSTR volumeMountPoint, LPSTR volumeName,
                                              DWORD bufferLength);
int WINAPI lstrlenA(LPCSTR string);
LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int maxLength);
LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src);
int WINAPI lstrlenW(LPCWSTR string);
LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int maxLength);
UINT WINAPI GetACP(void);
BOOL WINAPI IsDBCSLeadByte(BYTE testChar);
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount,
                               LPWSTR wide, int wideCount);
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount,
                               LPSTR multiByte, int multiByteCount, LPCSTR defaultChar,
                               BOOL *usedDefaultChar);

/* user32 */
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...);
int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...);

/* advapi32 */
LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className,
                            DWORD options, REGSAM desired, LPSECURITY_ATTRIBUTES security,
                            PHKEY result, LPDWORD disposition);
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                           const BYTE *data, DWORD dataSize);
LONG WINAPI RegCloseKey(HKEY key);
HANDLE WINAPI RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName);
BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                         WORD numStrings, DWORD dataSize, LPCSTR *strings, LPVOID rawData);
BOOL WINAPI DeregisterEventSource(HANDLE eventLog);

/* shlwapi, shell32 */
DWORD WINAPI SHDeleteKeyA(HKEY key, LPCSTR subKey);
int WINAPI SHCreateDirectoryExA(HWND window, LPCSTR path, const SECURITY_ATTRIBUTES *security);
int WINAPI SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES *security);

#ifdef __cplusplus
}
#endif

#endif
