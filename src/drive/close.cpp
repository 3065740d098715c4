// TolvarClose: closes a drive and dismounts the file system on it.
#include "channel/drive_channel.h"
#include "tolvarsdk.h"

TOLVAR_CLOSE_FUNC TolvarClose;

DWORD WINAPI TolvarClose(BOOL force, UINT DriveIndex) {
    // All on one handle. Without force the volume is locked around the
    // driver's close and the dismount; after a failure nothing more is
    // sent, and closing the handle ends a lock that was taken.
    tolvar::DriveRequest requests[4];
    size_t count = 0;
    if (!force) requests[count++] = tolvar::BareRequest(TOLVAR_FSCTL_LOCK_VOLUME);
    requests[count++] = tolvar::BareRequest(IOCTL_TOLVAR_CLOSE);
    requests[count++] = tolvar::BareRequest(TOLVAR_FSCTL_DISMOUNT_VOLUME);
    if (!force) requests[count++] = tolvar::BareRequest(TOLVAR_FSCTL_UNLOCK_VOLUME);
    return tolvar::SendDriveControl(DriveIndex, tolvar::kReadWriteAccess, requests, count);
}
