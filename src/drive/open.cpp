// TolvarOpen and TolvarOpenW: open a drive onto the data (and backup) file
// of a record. One sequence serves both records; each export makes only the
// system calls of its own character width.
#include "channel/device_names.h"
#include "channel/drive_channel.h"
#include "channel/string_calls.h"
#include "records/drive_records.h"
#include "tolvarsdk.h"

TOLVAR_OPEN_FUNC TolvarOpen;
TOLVAR_OPEN_W_FUNC TolvarOpenW;

namespace {

using tolvar::BasicPathBuffer;
using tolvar::BasicRecordPath;
using tolvar::StringCalls;

// The shortest path accepted has 4 characters, such as C:\a.
constexpr int kShortestPath = 4;

template <typename Char>
bool IsSeparator(Char c) {
    return c == '\\' || c == '/';
}

// A path the driver can be given: terminated within its field (the length
// and the request never read past it) and at least 4 characters long.
template <typename Char>
bool IsUsablePath(const BasicRecordPath<Char>& path) {
    return tolvar::PathFieldIsTerminated(path) && StringCalls<Char>::Length(path) >= kShortestPath;
}

// The folder part of a path with its trailing separator (C:\Drives\d1.dat
// gives C:\Drives\, C:/d1.dat gives C:\). False when no separator follows
// the first character: the path names no folder of its own, and passing it
// whole would create a folder where the file belongs.
//
// The scan goes forward, character by character, because in a double-byte
// code page a trail byte can be 0x5C ('\'), and a backward byte scan would
// cut the folder inside such a character. Every separator of the folder is
// written as '\', since the shell creates missing parent folders only at
// backslashes.
template <typename Char>
bool ParentDirectoryOf(BasicPathBuffer<Char>& folder, const BasicRecordPath<Char>& path) {
    // At most 259 characters are read, so an unterminated field that is
    // never sent stays within its 260.
    StringCalls<Char>::CopyAtMost(folder.text, path, MAX_PATH);
    int lastSeparator = 0;  // index 0 never ends a folder
    for (int i = 0; folder.text[i] != 0; ++i) {
        if (StringCalls<Char>::IsDoubleByte(&folder.text[i])) {
            ++i;  // the trail byte is part of this character, whatever its value
            continue;
        }
        if (IsSeparator(folder.text[i])) {
            folder.text[i] = '\\';
            if (i > 0) lastSeparator = i;
        }
    }
    if (lastSeparator == 0) return false;
    folder.text[lastSeparator + 1] = 0;
    return true;
}

// Creating the folder is a courtesy to the driver, which creates the file:
// its result (an existing folder, a bad path) is deliberately ignored.
template <typename Char>
void CreateParentFolder(BasicPathBuffer<Char>& folder, const BasicRecordPath<Char>& path) {
    if (ParentDirectoryOf(folder, path)) StringCalls<Char>::CreateFolder(folder.text);
}

template <typename Record>
DWORD OpenDrive(const Record* caller, UINT DriveIndex) {
    using Char = tolvar::PathCharOf<Record>;
    if (caller == nullptr) return ERROR_INVALID_PARAMETER;
    Record info;  // the caller's record is read here and nowhere else
    tolvar::CopyOpenFields(*caller, info);
    if (info.BackupBeforeWrite && !IsUsablePath(info.BackupFile)) return ERROR_INVALID_PARAMETER;
    if (!IsUsablePath(info.DataFile)) return ERROR_INVALID_PARAMETER;

    // The backup file's folder is made whatever the mode.
    BasicPathBuffer<Char> folder;
    CreateParentFolder(folder, info.BackupFile);
    CreateParentFolder(folder, info.DataFile);

    BasicPathBuffer<Char> volume;
    tolvar::VolumePath(info.DriveLetter, volume);
    DWORD error = tolvar::FlushPath(volume.text);
    if (error != ERROR_SUCCESS) return error;

    TolvarOpenRequest request;
    tolvar::BuildOpenRequest(info, request);
    tolvar::DriveRequest open{IOCTL_TOLVAR_OPEN, &request, sizeof request, nullptr, 0, 0};
    return tolvar::SendDriveControl<Char>(DriveIndex, tolvar::kReadWriteAccess, open);
}

}  // namespace

DWORD WINAPI TolvarOpen(const TolvarDriveInfo* info, UINT DriveIndex) {
    return OpenDrive(info, DriveIndex);
}

DWORD WINAPI TolvarOpenW(const TolvarDriveInfoW* info, UINT DriveIndex) {
    return OpenDrive(info, DriveIndex);
}
