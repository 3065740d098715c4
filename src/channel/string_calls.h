// The system calls that take or make a string, in one character width. The
// A exports name everything in the ANSI code page (CHAR), the W exports in
// UTF-16 (WCHAR): one sequence written over StringCalls<Char> serves both,
// and each export makes only the calls of its own width.
#pragma once

#include "platform.h"
#include "tolvar_driver_contract.h"

namespace tolvar {

template <typename Char>
struct StringCalls;

template <>
struct StringCalls<CHAR> {
    static constexpr const CHAR* kDeviceNameFormat = TOLVAR_DEVICE_NAME_FORMAT_A;
    static constexpr const CHAR* kVolumePathFormat = "\\\\.\\%c:";

    static int Length(LPCSTR text) { return lstrlenA(text); }
    static void CopyAtMost(LPSTR to, LPCSTR from, int capacity) { lstrcpynA(to, from, capacity); }
    static void FormatIndex(LPSTR to, LPCSTR format, UINT index) { wsprintfA(to, format, index); }
    // wsprintfA's %c takes an int; only the letter's byte is meant.
    static void FormatLetter(LPSTR to, LPCSTR format, CHAR letter) {
        wsprintfA(to, format, static_cast<unsigned char>(letter));
    }
    static HANDLE OpenExisting(LPCSTR path, DWORD access, DWORD flags) {
        return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    }
    static void CreateFolder(LPCSTR path) { SHCreateDirectoryExA(nullptr, path, nullptr); }
    // In a double-byte code page a trail byte can be 0x5C ('\'): in
    // Shift-JIS the katakana SO is 0x83 0x5C. True when the character at
    // `at` takes two bytes, so that its trail byte is never read as a
    // separator.
    static bool IsDoubleByte(const CHAR* at) {
        return IsDBCSLeadByte(static_cast<BYTE>(at[0])) && at[1] != '\0';
    }
};

template <>
struct StringCalls<WCHAR> {
    static constexpr const WCHAR* kDeviceNameFormat = TOLVAR_WIDE(TOLVAR_DEVICE_NAME_FORMAT_A);
    static constexpr const WCHAR* kVolumePathFormat = TOLVAR_WIDE("\\\\.\\%c:");

    static int Length(LPCWSTR text) { return lstrlenW(text); }
    static void CopyAtMost(LPWSTR to, LPCWSTR from, int capacity) { lstrcpynW(to, from, capacity); }
    static void FormatIndex(LPWSTR to, LPCWSTR format, UINT index) { wsprintfW(to, format, index); }
    static void FormatLetter(LPWSTR to, LPCWSTR format, WCHAR letter) {
        wsprintfW(to, format, static_cast<unsigned>(letter));
    }
    static HANDLE OpenExisting(LPCWSTR path, DWORD access, DWORD flags) {
        return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    }
    static void CreateFolder(LPCWSTR path) { SHCreateDirectoryExW(nullptr, path, nullptr); }
    // A surrogate never equals '\' or '/': every unit can be read alone.
    static bool IsDoubleByte(const WCHAR*) { return false; }
};

}  // namespace tolvar
