// How a call reaches a drive device: open it, send one or more requests on
// that one handle, close it. The first failure's GetLastError is the result,
// read before the handle is closed.
#pragma once

#include <stddef.h>

#include "channel/owned_handle.h"
#include "platform.h"
#include "tolvar_driver_contract.h"

namespace tolvar {

// The access a request needs: read-only for the challenge and the query,
// read-write for every other request.
constexpr DWORD kReadOnlyAccess = GENERIC_READ;
constexpr DWORD kReadWriteAccess = GENERIC_READ | GENERIC_WRITE;

// Opens \\.\TOLVARVX<index> with the given access, naming the device in
// the width Char (CreateFileA or CreateFileW). On failure the handle is
// invalid and GetLastError holds the reason.
template <typename Char>
OwnedHandle OpenDriveDevice(UINT index, DWORD access);

// One synchronous control request; bytesReturned is filled in on success.
struct DriveRequest {
    DWORD code;
    const void* input;
    DWORD inputSize;
    void* output;
    DWORD outputSize;
    DWORD bytesReturned;
};

// Opens the device, sends the requests in order on one handle and stops at
// the first failure. Returns 0 or the failing open's or request's error.
// The W exports name the device in UTF-16 (Char = WCHAR).
template <typename Char = CHAR>
DWORD SendDriveControl(UINT index, DWORD access, DriveRequest* requests, size_t count);

template <typename Char = CHAR>
DWORD SendDriveControl(UINT index, DWORD access, DriveRequest& request) {
    return SendDriveControl<Char>(index, access, &request, 1);
}

// A request with no buffers.
inline DriveRequest BareRequest(DWORD code) { return DriveRequest{code, nullptr, 0, nullptr, 0, 0}; }

// Opens a path read-write and flushes it: a volume (\\.\X:) or a drive
// device. Returns 0 or the open's or the flush's error.
template <typename Char>
DWORD FlushPath(const Char* path);

}  // namespace tolvar
