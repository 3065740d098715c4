#include "channel/drive_channel.h"

#include "channel/device_names.h"

namespace tolvar {

OwnedHandle OpenDriveDevice(UINT index, DWORD access) {
    PathBuffer name;
    DriveDeviceName(index, name);
    return OwnedHandle(CreateFileA(name.text, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr));
}

DWORD SendDriveControl(UINT index, DWORD access, DriveRequest* requests, size_t count) {
    OwnedHandle device = OpenDriveDevice(index, access);
    if (!device.IsValid()) return GetLastError();
    for (size_t i = 0; i < count; ++i) {
        DriveRequest& request = requests[i];
        request.bytesReturned = 0;
        if (!DeviceIoControl(device.Get(), request.code, const_cast<void*>(request.input),
                             request.inputSize, request.output, request.outputSize,
                             &request.bytesReturned, nullptr))
            return GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD FlushPath(LPCSTR path) {
    OwnedHandle target(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target.IsValid()) return GetLastError();
    if (!FlushFileBuffers(target.Get())) return GetLastError();
    return ERROR_SUCCESS;
}

}  // namespace tolvar
