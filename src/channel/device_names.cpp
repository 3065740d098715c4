#include "channel/device_names.h"

#include "channel/string_calls.h"
#include "tolvar_driver_contract.h"

namespace tolvar {

template <typename Char>
void DriveDeviceName(UINT index, BasicPathBuffer<Char>& name) {
    StringCalls<Char>::FormatIndex(name.text, StringCalls<Char>::kDeviceNameFormat, index);
}

void DriveKernelName(UINT index, PathBuffer& name) {
    wsprintfA(name.text, TOLVAR_KERNEL_NAME_FORMAT_A, index);
}

template <typename Char>
void VolumePath(Char letter, BasicPathBuffer<Char>& name) {
    StringCalls<Char>::FormatLetter(name.text, StringCalls<Char>::kVolumePathFormat, letter);
}

template void DriveDeviceName(UINT, PathBuffer&);
template void DriveDeviceName(UINT, WidePathBuffer&);
template void VolumePath(CHAR, PathBuffer&);
template void VolumePath(WCHAR, WidePathBuffer&);

}  // namespace tolvar
