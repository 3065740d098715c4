// Volumes: GetVolumeNameForVolumeMountPointA on a drive letter's root.
//
// Windows' errors, as Wine's conformance tests pin them down
// (dlls/kernel32/tests/volume.c): a root without its trailing backslash
// gives ERROR_INVALID_NAME; an undefined letter ERROR_FILE_NOT_FOUND; a
// letter defined with DefineDosDevice for a device that is not a volume
// of the mount manager ERROR_INVALID_PARAMETER (Wine 8 gives
// ERROR_NO_VOLUME_ID instead); a buffer too small for the name and its
// terminator ERROR_FILENAME_EXCED_RANGE; a folder that is no mount point
// ERROR_NOT_A_REPARSE_POINT.
#include <hostwin32/volumes.h>

#include <cctype>
#include <cstring>

#include "state.h"

using namespace hostwin32;

namespace {

bool IsDriveRoot(const std::string& path) {
    return path.size() == 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
           path[1] == ':' && path[2] == '\\';
}

// The device a letter names, or nullptr.
DeviceOptions* DeviceOfLetter(char letter) {
    State& state = TheState();
    auto link = state.dosNames.find(Upper(std::string(1, letter) + ":"));
    if (link == state.dosNames.end() || link->second.empty()) return nullptr;
    auto device = state.devices.find(Upper(link->second.back()));
    return device == state.devices.end() ? nullptr : &device->second;
}

// 0 with the name, or the Win32 error of the lookup.
DWORD LookUpVolumeName(LPCSTR mountPoint, std::string& name) {
    if (mountPoint == nullptr) return ERROR_INVALID_PARAMETER;
    std::string path = mountPoint;
    if (path.empty() || path.back() != '\\') return ERROR_INVALID_NAME;
    if (!IsDriveRoot(path)) return ERROR_NOT_A_REPARSE_POINT;
    DeviceOptions* device = DeviceOfLetter(path[0]);
    if (device == nullptr) return ERROR_FILE_NOT_FOUND;
    if (device->volumeName.empty()) return ERROR_INVALID_PARAMETER;
    name = device->volumeName;
    return ERROR_SUCCESS;
}

}  // namespace

namespace hostwin32 {

std::string VolumeNameOf(char letter) {
    DeviceOptions* device = DeviceOfLetter(letter);
    return device ? device->volumeName : "";
}

ControlHandler FailingRequest(DWORD code, DWORD error) {
    return [code, error](const DeviceRequest& request) {
        return request.code == code ? DeviceReply::Failure(error) : DeviceReply::Success();
    };
}

}  // namespace hostwin32

extern "C" BOOL WINAPI GetVolumeNameForVolumeMountPointA(LPCSTR volumeMountPoint,
                                                         LPSTR volumeName, DWORD bufferLength) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    std::vector<std::string> arguments{Quote(volumeMountPoint), Pointer(volumeName),
                                       Dec(bufferLength)};
    BOOL ok = FALSE;
    std::string name;
    if (TakeFault("GetVolumeNameForVolumeMountPointA")) {
    } else if (DWORD error = LookUpVolumeName(volumeMountPoint, name)) {
        SetLastError(error);
    } else if (volumeName == nullptr || bufferLength < name.size() + 1) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    } else {
        std::memcpy(volumeName, name.c_str(), name.size() + 1);
        SetLastError(ERROR_SUCCESS);
        ok = TRUE;
    }
    Record("GetVolumeNameForVolumeMountPointA", std::move(arguments), ok ? "TRUE" : "FALSE");
    return ok;
}
