/* Open, close, reload and query: the drive's state.
 *
 * The stand-in records the paths it is opened on and never creates, reads
 * or writes those files; "reload" only counts.
 *
 * State errors: OPEN of an open drive gives STATUS_DEVICE_BUSY (Win32 170);
 * CLOSE, RELOAD and QUERY of a closed drive give STATUS_DEVICE_NOT_READY
 * (Win32 21). An OpenRequest whose path is not terminated within its 260
 * characters, or whose data path is empty, gives STATUS_INVALID_PARAMETER. */
#include "../include/tolvarvx_details.h"
#include "bytes.h"
#include "device_internal.h"

/* Characters before the terminator, or TOLVAR_PATH_CHARS if there is none. */
static uint32_t path_length(const uint16_t* path)
{
    uint32_t length = 0;
    while (length < TOLVAR_PATH_CHARS && path[length] != 0)
        ++length;
    return length;
}

tolvarvx_status tolvarvx_drive_open(tolvarvx_device* device, const uint8_t* in)
{
    TolvarOpenRequest request;
    tolvarvx_copy(&request, in, sizeof request);
    uint32_t dataLength = path_length(request.DataFile);
    if (dataLength == 0 || dataLength == TOLVAR_PATH_CHARS ||
        path_length(request.BackupFile) == TOLVAR_PATH_CHARS)
        return TOLVARVX_STATUS_INVALID_PARAMETER;
    if (device->isOpen)
        return TOLVARVX_STATUS_DEVICE_BUSY;

    /* Keep only what the drive is: the letter word, the flag and the paths
     * up to their terminators. */
    tolvarvx_fill(&device->drive, 0, sizeof device->drive);
    device->drive.DriveLetter = request.DriveLetter;
    device->drive.BackupBeforeWrite = request.BackupBeforeWrite;
    tolvarvx_copy(device->drive.BackupFile, request.BackupFile,
                  path_length(request.BackupFile) * sizeof(uint16_t));
    tolvarvx_copy(device->drive.DataFile, request.DataFile, dataLength * sizeof(uint16_t));
    device->isOpen = 1;
    device->openCount += 1;
    return TOLVARVX_STATUS_SUCCESS;
}

void tolvarvx_drive_forget(tolvarvx_device* device)
{
    tolvarvx_fill(&device->drive, 0, sizeof device->drive);
    device->isOpen = 0;
}

tolvarvx_status tolvarvx_drive_close(tolvarvx_device* device)
{
    if (!device->isOpen)
        return TOLVARVX_STATUS_DEVICE_NOT_READY;
    tolvarvx_drive_forget(device);
    device->closeCount += 1;
    return TOLVARVX_STATUS_SUCCESS;
}

tolvarvx_status tolvarvx_drive_reload(tolvarvx_device* device)
{
    if (!device->isOpen)
        return TOLVARVX_STATUS_DEVICE_NOT_READY;
    device->reloadCount += 1;
    return TOLVARVX_STATUS_SUCCESS;
}

tolvarvx_status tolvarvx_drive_query(tolvarvx_device* device, uint8_t* out, uint32_t* information)
{
    if (!device->isOpen)
        return TOLVARVX_STATUS_DEVICE_NOT_READY;
    TolvarvxDeviceDetails details;
    tolvarvx_fill(&details, 0, sizeof details);
    details.Magic = TOLVARVX_DETAILS_MAGIC;
    details.Version = TOLVARVX_DETAILS_VERSION;
    details.DeviceIndex = device->index;
    details.OpenCount = device->openCount;
    details.CloseCount = device->closeCount;
    details.ReloadCount = device->reloadCount;
    details.FlushCount = device->flushCount;
    details.DataPathLength = path_length(device->drive.DataFile);
    details.BackupPathLength = path_length(device->drive.BackupFile);
    details.Authenticated = device->authenticated;
    details.AuthRequired = device->authRequired;
    details.DismountCount = device->dismountCount;

    tolvarvx_copy(out, &device->drive, sizeof device->drive);
    tolvarvx_copy(out + TOLVAR_OPEN_REQUEST_SIZE, &details, sizeof details);
    *information = TOLVAR_QUERY_REPLY_SIZE;
    return TOLVARVX_STATUS_SUCCESS;
}
