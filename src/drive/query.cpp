// TolvarQuery and TolvarQueryW: read a drive's description from the driver
// into the caller's record, ANSI or UTF-16.
#include "channel/drive_channel.h"
#include "records/drive_records.h"
#include "tolvarsdk.h"

TOLVAR_QUERY_FUNC TolvarQuery;
TOLVAR_QUERY_W_FUNC TolvarQueryW;

namespace {

template <typename Record>
DWORD QueryDrive(Record* info, UINT DriveIndex) {
    using Char = tolvar::PathCharOf<Record>;
    if (info == nullptr) return ERROR_INVALID_PARAMETER;

    // The reply lands in a private buffer: a failed or short reply never
    // reaches the caller's record.
    TolvarQueryReply reply;
    tolvar::DriveRequest query{IOCTL_TOLVAR_QUERY, nullptr, 0, &reply, sizeof reply, 0};
    DWORD error = tolvar::SendDriveControl<Char>(DriveIndex, tolvar::kReadOnlyAccess, query);
    if (error != ERROR_SUCCESS) return error;
    if (query.bytesReturned < sizeof reply) return ERROR_INSUFFICIENT_BUFFER;

    tolvar::ReadQueryReply(reply, *info);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD WINAPI TolvarQuery(TolvarDriveInfo* info, UINT DriveIndex) {
    return QueryDrive(info, DriveIndex);
}

DWORD WINAPI TolvarQueryW(TolvarDriveInfoW* info, UINT DriveIndex) {
    return QueryDrive(info, DriveIndex);
}
