// Test control of volumes behind drive letters (see AddVolume in
// <hostwin32/testing.h>): what GetVolumeNameForVolumeMountPointA finds, and
// volume requests that fail. Faults also come through
// FailCall("GetVolumeNameForVolumeMountPointA", error).
#pragma once

#include <hostwin32/testing.h>

#include <string>

namespace hostwin32 {

// The volume name behind letter X ("" when the letter names no volume).
std::string VolumeNameOf(char letter);

// A control handler that fails every request with `code` with `error` and
// lets every other request succeed with no output, e.g. a volume that
// refuses FSCTL_DISMOUNT_VOLUME.
ControlHandler FailingRequest(DWORD code, DWORD error);

}  // namespace hostwin32
