// The public drive records and their conversions to and from the driver
// buffers. The buffers' paths are UTF-16; TolvarDriveInfo's are ANSI in the
// system's code page, TolvarDriveInfoW's UTF-16 as the driver holds them.
#pragma once

#include <stddef.h>

#include "platform.h"
#include "tolvar_driver_contract.h"
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

// The UTF-16 record is the driver's reply, field for field.
static_assert(sizeof(TolvarDriveInfoW) == 1352, "TolvarDriveInfoW size");
static_assert(sizeof(TolvarDriveInfoW) == sizeof(TolvarQueryReply), "TolvarDriveInfoW is a reply");
static_assert(offsetof(TolvarDriveInfoW, DriveLetter) == 0 &&
                  offsetof(TolvarQueryReply, Drive.DriveLetter) == 0,
              "TolvarDriveInfoW letter");
static_assert(offsetof(TolvarDriveInfoW, Reserved) == 2 &&
                  offsetof(TolvarQueryReply, Drive.Reserved) == 2,
              "TolvarDriveInfoW reserved");
static_assert(offsetof(TolvarDriveInfoW, BackupBeforeWrite) == 4 &&
                  offsetof(TolvarQueryReply, Drive.BackupBeforeWrite) == 4,
              "TolvarDriveInfoW flag");
static_assert(offsetof(TolvarDriveInfoW, BackupFile) == 8 &&
                  offsetof(TolvarQueryReply, Drive.BackupFile) == 8,
              "TolvarDriveInfoW backup");
static_assert(offsetof(TolvarDriveInfoW, DataFile) == 528 &&
                  offsetof(TolvarQueryReply, Drive.DataFile) == 528,
              "TolvarDriveInfoW data");
static_assert(offsetof(TolvarDriveInfoW, DeviceDetails) == 1048 &&
                  offsetof(TolvarQueryReply, DeviceDetails) == 1048,
              "TolvarDriveInfoW details");
static_assert(sizeof(TolvarDriveInfoW::DataFile) == sizeof(TolvarOpenRequest::DataFile) &&
                  sizeof(TolvarDriveInfoW::BackupFile) == sizeof(TolvarOpenRequest::BackupFile),
              "UTF-16 record path fields");
static_assert(sizeof(TolvarDriveInfoW::DeviceDetails) == TOLVAR_DEVICE_DETAILS_SIZE,
              "UTF-16 record details");

namespace tolvar {

template <typename Char>
using BasicRecordPath = Char[TOLVAR_PATH_CHARS];
using RecordPath = BasicRecordPath<CHAR>;
using WideRecordPath = BasicRecordPath<WCHAR>;
using BufferPath = uint16_t[TOLVAR_PATH_CHARS];

// The character width of a record's paths: CHAR or WCHAR. Spelt out rather
// than taken from <type_traits>: the library builds where no C++ library
// headers exist (ARM64 Windows with clang alone).
template <typename Path>
struct PathChar;
template <typename Char, size_t Length>
struct PathChar<Char[Length]> {
    using Type = Char;
};
template <typename Record>
using PathCharOf = typename PathChar<decltype(Record::DataFile)>::Type;

// True when the field holds a NUL within its 260 characters. A record path
// without one cannot be measured or converted without reading past it.
template <typename Char>
bool PathFieldIsTerminated(const BasicRecordPath<Char>& path) {
    for (Char c : path)
        if (c == 0) return true;
    return false;
}

// Reads the fields an open uses, once, into the library's own record: the
// letter, the flag and both path fields whole (260 characters, terminated or
// not); the other fields are zeroed. Another thread may change the caller's
// record meanwhile: every check, folder and request works from this copy,
// so a terminator found once is still there when the path is copied again.
template <typename Record>
void CopyOpenFields(const Record& from, Record& to) {
    to = Record{};
    to.DriveLetter = from.DriveLetter;
    to.BackupBeforeWrite = from.BackupBeforeWrite;
    for (size_t at = 0; at < TOLVAR_PATH_CHARS; ++at) {
        to.BackupFile[at] = from.BackupFile[at];
        to.DataFile[at] = from.DataFile[at];
    }
}

// The 1048-byte input of IOCTL_TOLVAR_OPEN. The record's paths must be
// terminated within their fields (the backup path only when it is sent).
// An ANSI record's paths are converted in the ANSI code page; a UTF-16
// record's are copied unit for unit, and its letter word as it is.
void BuildOpenRequest(const TolvarDriveInfo& info, TolvarOpenRequest& request);
void BuildOpenRequest(const TolvarDriveInfoW& info, TolvarOpenRequest& request);

// Fills the record's fields from a whole reply; the alignment bytes (the
// Reserved word of the UTF-16 record) are left as they were.
void ReadQueryReply(const TolvarQueryReply& reply, TolvarDriveInfo& info);
void ReadQueryReply(const TolvarQueryReply& reply, TolvarDriveInfoW& info);

// A reply path to ANSI: reads at most 260 UTF-16 units (the terminator may
// be missing) and writes at most 259 bytes and a terminator, cutting at the
// last whole character that fits. Bytes after the terminator are untouched.
void ConvertReplyPath(const BufferPath& wide, RecordPath& ansi);

// A reply path into a UTF-16 record: copied unit for unit up to its
// terminator. One with no terminator within 260 units keeps 259, or 258
// when the 259th and 260th are a surrogate pair, and is terminated. Units after the
// terminator are untouched.
void CopyReplyPath(const BufferPath& reply, WideRecordPath& path);

}  // namespace tolvar
