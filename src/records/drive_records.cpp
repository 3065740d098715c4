#include "records/drive_records.h"

namespace tolvar {

namespace {

constexpr int kMaxPathBytes = TOLVAR_PATH_CHARS - 1;  // the terminator needs the last byte

// Wider than any one character's ANSI form (at most 4 bytes, UTF-8 as the
// ANSI code page included).
constexpr int kCharacterBytes = 8;

bool IsHighSurrogate(uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// wsprintfW with %S converts in the ANSI code page. It reads up to the
// terminator, so `ansi` is the library's own copy whose terminator was found
// within the field: 259 bytes give at most 259 UTF-16 units.
void WidenRecordPath(const RecordPath& ansi, BufferPath& wide) {
    wsprintfW(reinterpret_cast<LPWSTR>(wide), TOLVAR_WIDE("%S"), ansi);
}

void ClearOpenRequest(TolvarOpenRequest& request) {
    BYTE* bytes = reinterpret_cast<BYTE*>(&request);
    for (size_t i = 0; i < sizeof request; ++i) bytes[i] = 0;
}

// The units up to the terminator, never more than the field holds; the rest
// of the zeroed buffer field stays zero.
void CopyRecordPath(const WideRecordPath& path, BufferPath& wide) {
    for (size_t at = 0; at < TOLVAR_PATH_CHARS && path[at] != 0; ++at)
        wide[at] = static_cast<uint16_t>(path[at]);
}

}  // namespace

void BuildOpenRequest(const TolvarDriveInfo& info, TolvarOpenRequest& request) {
    ClearOpenRequest(request);
    // Sign extension: a letter byte of 0x80-0xFF gives a high byte of 0xFF.
    request.DriveLetter =
        static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(info.DriveLetter)));
    request.BackupBeforeWrite = static_cast<uint32_t>(info.BackupBeforeWrite);
    if (info.BackupBeforeWrite) WidenRecordPath(info.BackupFile, request.BackupFile);
    WidenRecordPath(info.DataFile, request.DataFile);
}

void BuildOpenRequest(const TolvarDriveInfoW& info, TolvarOpenRequest& request) {
    ClearOpenRequest(request);
    request.DriveLetter = static_cast<uint16_t>(info.DriveLetter);
    request.BackupBeforeWrite = static_cast<uint32_t>(info.BackupBeforeWrite);
    if (info.BackupBeforeWrite) CopyRecordPath(info.BackupFile, request.BackupFile);
    CopyRecordPath(info.DataFile, request.DataFile);
}

void ConvertReplyPath(const BufferPath& wide, RecordPath& ansi) {
    // One character at a time, so that the cut never splits a double-byte
    // character or a surrogate pair. wsprintfA takes no size and could
    // write up to 1024 bytes into the 260-byte field.
    int written = 0;
    size_t at = 0;
    while (at < TOLVAR_PATH_CHARS && wide[at] != 0) {
        int units = 1;
        if (IsHighSurrogate(wide[at]) && at + 1 < TOLVAR_PATH_CHARS && IsLowSurrogate(wide[at + 1]))
            units = 2;
        CHAR character[kCharacterBytes];
        int bytes = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(&wide[at]), units,
                                        character, kCharacterBytes, nullptr, nullptr);
        if (bytes <= 0 || written + bytes > kMaxPathBytes) break;
        for (int i = 0; i < bytes; ++i) ansi[written + i] = character[i];
        written += bytes;
        at += static_cast<size_t>(units);
    }
    ansi[written] = '\0';
}

void ReadQueryReply(const TolvarQueryReply& reply, TolvarDriveInfo& info) {
    info.DriveLetter = static_cast<CHAR>(reply.Drive.DriveLetter & 0xFF);
    info.BackupBeforeWrite = static_cast<BOOL>(reply.Drive.BackupBeforeWrite);
    ConvertReplyPath(reply.Drive.BackupFile, info.BackupFile);
    ConvertReplyPath(reply.Drive.DataFile, info.DataFile);
    for (size_t i = 0; i < TOLVAR_DEVICE_DETAILS_SIZE; ++i)
        info.DeviceDetails[i] = reply.DeviceDetails[i];
}

void CopyReplyPath(const BufferPath& reply, WideRecordPath& path) {
    size_t length = 0;
    while (length < TOLVAR_PATH_CHARS && reply[length] != 0) ++length;
    if (length == TOLVAR_PATH_CHARS) {
        length = TOLVAR_PATH_CHARS - 1;  // the terminator needs the last unit
        // Never half a pair; a lone high surrogate stays, as ConvertReplyPath
        // keeps it.
        if (IsHighSurrogate(reply[length - 1]) && IsLowSurrogate(reply[length])) --length;
    }
    for (size_t at = 0; at < length; ++at) path[at] = static_cast<WCHAR>(reply[at]);
    path[length] = 0;
}

void ReadQueryReply(const TolvarQueryReply& reply, TolvarDriveInfoW& info) {
    info.DriveLetter = static_cast<WCHAR>(reply.Drive.DriveLetter);
    info.BackupBeforeWrite = static_cast<BOOL>(reply.Drive.BackupBeforeWrite);
    CopyReplyPath(reply.Drive.BackupFile, info.BackupFile);
    CopyReplyPath(reply.Drive.DataFile, info.DataFile);
    for (size_t i = 0; i < TOLVAR_DEVICE_DETAILS_SIZE; ++i)
        info.DeviceDetails[i] = reply.DeviceDetails[i];
}

}  // namespace tolvar
