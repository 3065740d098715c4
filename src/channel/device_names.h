// Names of a drive device and of the volume behind a drive letter, in the
// character width of the export that needs them.
#pragma once

#include "platform.h"

namespace tolvar {

// Every name fits 260 characters: the longest, \Device\TolvarVault\TOLVARVX4294967295,
// has 39.
template <typename Char>
struct BasicPathBuffer {
    Char text[MAX_PATH];
};
using PathBuffer = BasicPathBuffer<CHAR>;
using WidePathBuffer = BasicPathBuffer<WCHAR>;

// \\.\TOLVARVX<index>
template <typename Char>
void DriveDeviceName(UINT index, BasicPathBuffer<Char>& name);
// \Device\TolvarVault\TOLVARVX<index>
void DriveKernelName(UINT index, PathBuffer& name);
// \\.\X: for letter X
template <typename Char>
void VolumePath(Char letter, BasicPathBuffer<Char>& name);

}  // namespace tolvar
