#include "channel/device_names.h"

#include "channel/drive_contract.h"

namespace tolvar {

void DriveDeviceName(UINT index, PathBuffer& name) {
    wsprintfA(name.text, TOLVAR_DEVICE_NAME_FORMAT_A, index);
}

void DriveKernelName(UINT index, PathBuffer& name) {
    wsprintfA(name.text, TOLVAR_KERNEL_NAME_FORMAT_A, index);
}

void VolumePath(CHAR letter, PathBuffer& name) {
    // wsprintfA's %c takes an int; only the letter's byte is meant.
    wsprintfA(name.text, "\\\\.\\%c:", static_cast<unsigned char>(letter));
}

}  // namespace tolvar
