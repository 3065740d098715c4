// The public drive record and its conversions to and from the driver
// buffers. The record's paths are ANSI in the system's code page; the
// buffers' paths are UTF-16.
#pragma once

#include <stddef.h>

#include "platform.h"
#include "records/driver_buffers.h"
#include "tolvarsdk.h"

// The record crosses the export boundary: its layout is fixed.
static_assert(sizeof(TolvarDriveInfo) == 832, "TolvarDriveInfo size");
static_assert(offsetof(TolvarDriveInfo, DriveLetter) == 0, "TolvarDriveInfo letter");
static_assert(offsetof(TolvarDriveInfo, Alignment) == 1, "TolvarDriveInfo alignment");
static_assert(offsetof(TolvarDriveInfo, BackupBeforeWrite) == 4, "TolvarDriveInfo flag");
static_assert(offsetof(TolvarDriveInfo, BackupFile) == 8, "TolvarDriveInfo backup");
static_assert(offsetof(TolvarDriveInfo, DataFile) == 268, "TolvarDriveInfo data");
static_assert(offsetof(TolvarDriveInfo, DeviceDetails) == 528, "TolvarDriveInfo details");
static_assert(sizeof(TolvarDriveInfo::DataFile) == TOLVAR_PATH_CHARS, "record path field");
static_assert(sizeof(TolvarDriveInfo::DeviceDetails) == TOLVAR_DEVICE_DETAILS_SIZE,
              "record details");

namespace tolvar {

using RecordPath = CHAR[TOLVAR_PATH_CHARS];
using BufferPath = uint16_t[TOLVAR_PATH_CHARS];

// True when the field holds a NUL within its 260 bytes. A record path
// without one cannot be measured or converted without reading past it.
bool PathFieldIsTerminated(const RecordPath& path);

// The 1048-byte input of IOCTL_TOLVAR_OPEN. The record's paths must be
// terminated within their fields (the backup path only when it is sent).
void BuildOpenRequest(const TolvarDriveInfo& info, TolvarOpenRequest& request);

// Fills the record's five fields from a whole reply; the alignment bytes
// are left as they were.
void ReadQueryReply(const TolvarQueryReply& reply, TolvarDriveInfo& info);

// A reply path to ANSI: reads at most 260 UTF-16 units (the terminator may
// be missing) and writes at most 259 bytes and a terminator, cutting at the
// last whole character that fits. Bytes after the terminator are untouched.
void ConvertReplyPath(const BufferPath& wide, RecordPath& ansi);

}  // namespace tolvar
