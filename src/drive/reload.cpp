// TolvarReload: dismounts the volume of a drive's letter and has the driver
// reload the drive, holding that volume open until the reload has returned.
#include "channel/device_names.h"
#include "channel/drive_channel.h"
#include "channel/event_log.h"
#include "tolvarsdk.h"

TOLVAR_RELOAD_FUNC TolvarReload;

namespace tolvar {

namespace {

// Opens the volume \\.\X: and dismounts it, without locking it first. The
// handle from the open is stored in *volume whatever happens
// (INVALID_HANDLE_VALUE when the open failed) and never closed here: the
// caller keeps it open across the driver's reload.
DWORD DismountVolume(CHAR letter, HANDLE* volume) {
    CHAR path[] = "\\\\.\\ :";
    static_assert(sizeof path == 7, "\\\\.\\X: and its terminator");
    path[4] = letter;
    *volume = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (*volume == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD bytesReturned = 0;
    if (!DeviceIoControl(*volume, TOLVAR_FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
                         &bytesReturned, nullptr))
        return GetLastError();
    return ERROR_SUCCESS;
}

// The driver's own reload of drive device index.
DWORD LowerReload(UINT index) {
    DriveRequest request = BareRequest(IOCTL_TOLVAR_RELOAD);
    return SendDriveControl(index, kReadWriteAccess, request);
}

// Every failure of a reload is written to the event log, with the code the
// call returns as the entry's identifier.
DWORD ReloadFailed(DWORD error, LPCSTR message) {
    ReportErrorEvent(kEventSourceName, error, message);
    return error;
}

}  // namespace

}  // namespace tolvar

DWORD WINAPI TolvarReload(UINT DriveIndex) {
    using namespace tolvar;
    TolvarDriveInfo drive;
    if (DWORD error = TolvarQuery(&drive, DriveIndex))
        return ReloadFailed(error, "[Reload] Failed to query device information.");
    if (drive.BackupBeforeWrite)
        return ReloadFailed(ERROR_SHARING_VIOLATION, "[Reload] Meet BackupBeforeWrite device.");
    if (DWORD error = TolvarFlush(DriveIndex))
        return ReloadFailed(error, "[Reload] Failed to flush MP.");

    PathBuffer volumePath;
    VolumePath(drive.DriveLetter, volumePath);
    if (DWORD error = FlushPath(volumePath.text))
        return ReloadFailed(error, "[Reload] Failed to flush SP.");

    // The name itself is not used: the lookup only proves that the letter
    // is the mount point of a volume before that volume is dismounted.
    CHAR root[] = " :\\";
    static_assert(sizeof root == 4, "X:\\ and its terminator");
    root[0] = drive.DriveLetter;
    CHAR volumeName[MAX_PATH];
    if (!GetVolumeNameForVolumeMountPointA(root, volumeName, MAX_PATH))
        return ReloadFailed(GetLastError(), "[Reload] Failed to get volume name.");

    // Declared here so that it is closed last, after the report of a
    // failure and after the driver's reload, successful or not.
    OwnedHandle volume;
    if (DWORD error = DismountVolume(drive.DriveLetter, volume.Receive()))
        return ReloadFailed(error, "[Reload] Failed to dismount.");
    if (DWORD error = LowerReload(DriveIndex))
        return ReloadFailed(error, "[Reload] Failed to perform lower reload.");
    return ERROR_SUCCESS;
}
