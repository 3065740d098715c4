#include "channel/drive_channel.h"

#include "channel/device_names.h"
#include "channel/string_calls.h"

namespace tolvar {

template <typename Char>
OwnedHandle OpenDriveDevice(UINT index, DWORD access) {
    BasicPathBuffer<Char> name;
    DriveDeviceName(index, name);
    return OwnedHandle(StringCalls<Char>::OpenExisting(name.text, access, FILE_FLAG_NO_BUFFERING));
}

template <typename Char>
DWORD SendDriveControl(UINT index, DWORD access, DriveRequest* requests, size_t count) {
    OwnedHandle device = OpenDriveDevice<Char>(index, access);
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

template <typename Char>
DWORD FlushPath(const Char* path) {
    OwnedHandle target(StringCalls<Char>::OpenExisting(path, GENERIC_READ | GENERIC_WRITE,
                                                       FILE_ATTRIBUTE_NORMAL));
    if (!target.IsValid()) return GetLastError();
    if (!FlushFileBuffers(target.Get())) return GetLastError();
    return ERROR_SUCCESS;
}

template DWORD SendDriveControl<CHAR>(UINT, DWORD, DriveRequest*, size_t);
template DWORD SendDriveControl<WCHAR>(UINT, DWORD, DriveRequest*, size_t);
template DWORD FlushPath(const CHAR*);
template DWORD FlushPath(const WCHAR*);

}  // namespace tolvar
