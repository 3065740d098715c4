// Names of a drive device and of the volume behind a drive letter.
#pragma once

#include "platform.h"

namespace tolvar {

// Every name fits 260 bytes: the longest, \Device\TolvarVault\TOLVARVX4294967295,
// has 39 characters.
struct PathBuffer {
    CHAR text[MAX_PATH];
};

// \\.\TOLVARVX<index>
void DriveDeviceName(UINT index, PathBuffer& name);
// \Device\TolvarVault\TOLVARVX<index>
void DriveKernelName(UINT index, PathBuffer& name);
// \\.\X: for letter X
void VolumePath(CHAR letter, PathBuffer& name);

}  // namespace tolvar
