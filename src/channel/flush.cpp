// TolvarFlush: flushes a drive device's buffers to its files.
#include "channel/device_names.h"
#include "channel/drive_channel.h"
#include "tolvarsdk.h"

TOLVAR_FLUSH_FUNC TolvarFlush;

DWORD WINAPI TolvarFlush(UINT DriveIndex) {
    tolvar::PathBuffer device;
    tolvar::DriveDeviceName(DriveIndex, device);
    return tolvar::FlushPath(device.text);
}
