// The access handshake: the driver's challenge out, the caller's response
// in, and giving the access up again. Both blocks pass through unchanged;
// the handshake's state lives in the driver, not in any handle.
#include "channel/drive_channel.h"
#include "tolvarsdk.h"

TOLVAR_GET_CHALLENGE_FUNC TolvarGetChallenge;
TOLVAR_AUTHEN_FUNC TolvarAuthen;
TOLVAR_DEAUTHEN_FUNC TolvarDeauthen;

DWORD WINAPI TolvarGetChallenge(BYTE* challenge, UINT DriveIndex) {
    if (challenge == nullptr) return ERROR_INVALID_PARAMETER;
    // The caller's buffer is the request's output buffer: a short reply
    // leaves in it exactly the bytes that came.
    tolvar::DriveRequest request{IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, challenge,
                                 TOLVAR_CHALLENGE_SIZE, 0};
    DWORD error = tolvar::SendDriveControl(DriveIndex, tolvar::kReadOnlyAccess, request);
    if (error != ERROR_SUCCESS) return error;
    if (request.bytesReturned < TOLVAR_CHALLENGE_SIZE) return ERROR_INSUFFICIENT_BUFFER;
    return ERROR_SUCCESS;
}

DWORD WINAPI TolvarAuthen(const BYTE* response, UINT DriveIndex) {
    if (response == nullptr) return ERROR_INVALID_PARAMETER;
    tolvar::DriveRequest request{IOCTL_TOLVAR_AUTHEN, response, TOLVAR_RESPONSE_SIZE, nullptr, 0, 0};
    return tolvar::SendDriveControl(DriveIndex, tolvar::kReadWriteAccess, request);
}

DWORD WINAPI TolvarDeauthen(UINT DriveIndex) {
    tolvar::DriveRequest request = tolvar::BareRequest(IOCTL_TOLVAR_DEAUTHEN);
    return tolvar::SendDriveControl(DriveIndex, tolvar::kReadWriteAccess, request);
}
