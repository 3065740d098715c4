// The process's standard output: GetStdHandle and WriteFile on it, the
// library's one way to print. The text goes to file descriptor 1, where a
// test captures it. Neither call is journalled: the console is the test
// process's own, not a device or key whose use a test checks.
#include "state.h"

#include <unistd.h>

namespace {

// A value NewHandle never gives out.
HANDLE const kStandardOutput = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x0b));

}  // namespace

HANDLE WINAPI GetStdHandle(DWORD stdHandle) {
    if (stdHandle == STD_OUTPUT_HANDLE) return kStandardOutput;
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
    if (file != kStandardOutput || overlapped != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t written = write(1, buffer, bytesToWrite);
    if (written < 0) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    if (bytesWritten != nullptr) *bytesWritten = static_cast<DWORD>(written);
    return TRUE;
}
