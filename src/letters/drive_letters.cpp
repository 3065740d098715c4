// Drive letters: an MS-DOS device name X: for a drive device, and its
// removal. No request reaches the driver; the add only probes the letter's
// volume to learn whether the letter is taken.
#include "channel/device_names.h"
#include "channel/owned_handle.h"
#include "tolvarsdk.h"

TOLVAR_ADD_DRIVE_LETTER_FUNC TolvarAddDriveLetter;
TOLVAR_REMOVE_DRIVE_LETTER_FUNC TolvarRemoveDriveLetter;

namespace {

// Only ASCII letters: CHAR is signed, so bytes 0x80-0xFF are compared as
// their unsigned values and refused, whatever the code page makes of them.
bool IsDriveLetter(CHAR letter) {
    unsigned char c = static_cast<unsigned char>(letter);
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The volume path \\.\X: begins with four characters before the device name X:.
constexpr int kDevicePrefixLength = 4;

}  // namespace

DWORD WINAPI TolvarAddDriveLetter(CHAR letter, UINT DriveIndex) {
    if (!IsDriveLetter(letter)) return ERROR_INVALID_PARAMETER;
    tolvar::PathBuffer volume;
    tolvar::VolumePath(letter, volume);
    // Only an open that succeeds marks the letter as taken; a refusal of any
    // kind (no such name, no access, a dead target) leaves it to be defined.
    tolvar::OwnedHandle probe(CreateFileA(volume.text, GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr));
    if (probe.IsValid()) return ERROR_BUSY;
    tolvar::PathBuffer target;
    tolvar::DriveKernelName(DriveIndex, target);
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, volume.text + kDevicePrefixLength, target.text))
        return GetLastError();
    return ERROR_SUCCESS;
}

DWORD WINAPI TolvarRemoveDriveLetter(CHAR letter) {
    if (!IsDriveLetter(letter)) return ERROR_INVALID_PARAMETER;
    CHAR deviceName[] = " :";
    deviceName[0] = letter;
    // No target and no exact match: the most recent definition goes,
    // whichever device it names.
    if (!DefineDosDeviceA(DDD_REMOVE_DEFINITION, deviceName, nullptr)) return GetLastError();
    return ERROR_SUCCESS;
}
