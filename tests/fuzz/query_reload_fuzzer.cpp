// TolvarQuery, TolvarQueryW and TolvarReload with any reply of the driver: any length from
// 0 to well past the 1352 bytes of a QueryReply, any bytes, paths with or
// without their UTF-16 terminator, in code page 1252 or 932. The input also
// decides how the volume behind the reply's letter and the drive's other
// requests behave, and which calls fail.
//
// Input: flags, fill byte, reply length (16 bits), record pattern byte,
// planned faults, then the reply's bytes (the fill byte where the input
// ends).
//
// TolvarQuery: the guard zones around the caller's record are never read or
// written; after a failure the record is unchanged; after a success the
// alignment bytes are unchanged, letter, flag and details are the reply's,
// and each path is terminated within its 260 bytes and is the reply's path in
// the code page (cut at a whole character when it does not fit).
// TolvarQueryW: the same guard zones and failures; after a success Reserved
// is unchanged and each path is terminated within its 260 units.
// TolvarReload: the result is the model's, one event-log entry per failure
// with the returned code, nothing flushed for a BackupBeforeWrite drive, the
// volume held open during the driver's reload. No handle stays open.
#include <hostwin32/eventlog.h>
#include <hostwin32/volumes.h>

#include "fuzz_support.h"
#include "tolvar_driver_contract.h"
#include "tolvarsdk.h"

namespace {

using namespace fuzz;

enum Setup : uint8_t {
    kReload = 1 << 0,         // else TolvarQuery
    kShiftJis = 1 << 1,
    kQueryFails = 1 << 2,
    kVolumeExists = 1 << 3,   // a volume behind the reply's letter
    kVolumeFlushFails = 1 << 4,
    kDismountFails = 1 << 5,
    kReloadFails = 1 << 6,
    kDeviceFlushFails = 1 << 7,
    kWideQuery = 1 << 7,  // a query flushes nothing: the bit picks TolvarQueryW
};

constexpr UINT kIndex = 1;
const std::string kDevice = "\\Device\\TolvarVault\\TOLVARVX1";
constexpr size_t kLongestReply = 2400;

const char* const kFaultable[] = {"CreateFileA",     "DeviceIoControl",
                                  "FlushFileBuffers", "CloseHandle",
                                  "GetVolumeNameForVolumeMountPointA"};

GuardedBuffer<sizeof(TolvarDriveInfo)> recordBuffer;
GuardedBuffer<sizeof(TolvarDriveInfoW)> wideRecordBuffer;

bool volumeOpenDuringReload = false;

bool VolumeHandleOpen(const std::string& volume) {
    for (const std::string& handle : hostwin32::OpenHandleDescriptions())
        if (!volume.empty() && handle.find(volume) != std::string::npos) return true;
    return false;
}

// The reply's path at `offset` (260 units, terminator or not) in the ANSI
// code page, by the system's own conversion.
std::string ReplyPathInAnsi(const std::vector<uint8_t>& reply, size_t offset) {
    std::u16string wide;
    for (size_t i = 0; i < TOLVAR_PATH_CHARS; ++i) {
        char16_t unit = static_cast<char16_t>(reply[offset + 2 * i] | reply[offset + 2 * i + 1] << 8);
        if (unit == 0) break;
        wide += unit;
    }
    if (wide.empty()) return "";
    int bytes = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(wide.data()),
                                    static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(wide.data()),
                        static_cast<int>(wide.size()), &ansi[0], bytes, nullptr, nullptr);
    return ansi;
}

// ANSI text back to UTF-16, by the system's own conversion.
std::u16string Decoded(const std::string& ansi) {
    std::u16string wide(ansi.size(), u'\0');
    int units = ansi.empty() ? 0
                             : MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                                   reinterpret_cast<LPWSTR>(&wide[0]),
                                                   static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(units));
    return wide;
}

// A record path filled from a reply path: terminated within the field, and
// the whole conversion when it fits in 259 bytes, else a prefix of it that
// lacks at most the bytes of one character (2 in these code pages) and ends
// on a whole character (a lone lead byte would read back as another one).
void CheckPath(const CHAR (&field)[TOLVAR_PATH_CHARS], const std::vector<uint8_t>& reply,
               size_t offset) {
    const void* terminator = std::memchr(field, 0, sizeof field);
    FUZZ_CHECK(terminator != nullptr);
    const std::string path(field);
    const std::string whole = ReplyPathInAnsi(reply, offset);
    if (whole.size() <= TOLVAR_PATH_CHARS - 1) {
        FUZZ_CHECK(path == whole);
    } else {
        FUZZ_CHECK(path.size() >= TOLVAR_PATH_CHARS - 2);
        FUZZ_CHECK(whole.compare(0, path.size(), path) == 0);
        const std::u16string characters = Decoded(path);
        FUZZ_CHECK(Decoded(whole).compare(0, characters.size(), characters) == 0);
    }
}

// The exact copy and cut are the host tests'; here, for any reply: the
// record untouched after a failure, and after a success Reserved as it was
// and each path terminated within its 260 units.
void CheckWideQuery(DWORD result, const std::vector<uint8_t>& original) {
    const auto& info = *reinterpret_cast<const TolvarDriveInfoW*>(wideRecordBuffer.Contents());
    if (result != ERROR_SUCCESS) {
        FUZZ_CHECK(std::memcmp(&info, original.data(), original.size()) == 0);
        return;
    }
    FUZZ_CHECK(std::memcmp(&info.Reserved, &original[2], sizeof info.Reserved) == 0);
    for (const WCHAR* path : {info.BackupFile, info.DataFile})
        FUZZ_CHECK(std::char_traits<WCHAR>::find(path, TOLVAR_PATH_CHARS, 0) != nullptr);
}

void CheckQuery(DWORD result, bool faults, uint8_t setup, const std::vector<uint8_t>& reply,
                const std::vector<uint8_t>& original, bool wide) {
    const uint8_t* after = recordBuffer.Contents();
    DWORD expected = ERROR_SUCCESS;
    if (setup & kQueryFails) expected = kDeviceRequestError;
    else if (reply.size() < TOLVAR_QUERY_REPLY_SIZE) expected = ERROR_INSUFFICIENT_BUFFER;
    if (faults)
        FUZZ_CHECK(result == expected || IsInjectedError(result));
    else
        FUZZ_CHECK(result == expected);
    if (wide) {
        CheckWideQuery(result, original);
        return;
    }
    if (result != ERROR_SUCCESS) {
        FUZZ_CHECK(std::memcmp(after, original.data(), sizeof(TolvarDriveInfo)) == 0);
        return;
    }
    const TolvarDriveInfo& info = *reinterpret_cast<const TolvarDriveInfo*>(after);
    FUZZ_CHECK(std::memcmp(info.Alignment, original.data() + 1, 3) == 0);
    FUZZ_CHECK(static_cast<uint8_t>(info.DriveLetter) == reply[0]);
    uint32_t flag;
    std::memcpy(&flag, &reply[4], sizeof flag);
    FUZZ_CHECK(static_cast<uint32_t>(info.BackupBeforeWrite) == flag);
    CheckPath(info.BackupFile, reply, 8);
    CheckPath(info.DataFile, reply, 528);
    FUZZ_CHECK(std::memcmp(info.DeviceDetails, &reply[1048], TOLVAR_DEVICE_DETAILS_SIZE) == 0);
}

void CheckReload(DWORD result, bool faults, uint8_t setup, const std::vector<uint8_t>& reply,
                 const std::string& volume) {
    const char letter = static_cast<char>(reply.size() > 0 ? reply[0] : 0);
    uint32_t flag = 0;
    if (reply.size() >= 8) std::memcpy(&flag, &reply[4], sizeof flag);
    const bool letterIsAlpha = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
    DWORD expected = ERROR_SUCCESS;
    if (setup & kQueryFails) expected = kDeviceRequestError;
    else if (reply.size() < TOLVAR_QUERY_REPLY_SIZE) expected = ERROR_INSUFFICIENT_BUFFER;
    else if (flag != 0) expected = ERROR_SHARING_VIOLATION;
    else if (setup & kDeviceFlushFails) expected = kDeviceFlushError;
    // A NUL letter ends the volume path after \\.\, which names nothing.
    else if (volume.empty() || letter == '\0') expected = ERROR_FILE_NOT_FOUND;
    else if (setup & kVolumeFlushFails) expected = kVolumeFlushError;
    // X:\ is no drive root unless X is a letter: the lookup finds no mount point.
    else if (!letterIsAlpha) expected = ERROR_NOT_A_REPARSE_POINT;
    else if (setup & kDismountFails) expected = kDismountError;
    else if (setup & kReloadFails) expected = kReloadRequestError;
    if (faults) {
        FUZZ_CHECK(result == ERROR_SUCCESS || result == kDeviceRequestError ||
                   result == ERROR_INSUFFICIENT_BUFFER || result == ERROR_SHARING_VIOLATION ||
                   result == kDeviceFlushError || result == ERROR_FILE_NOT_FOUND ||
                   result == kVolumeFlushError || result == ERROR_NOT_A_REPARSE_POINT ||
                   result == kDismountError || result == kReloadRequestError ||
                   IsInjectedError(result));
    } else {
        FUZZ_CHECK(result == expected);
    }

    const auto& entries = hostwin32::EventLogEntries();
    if (result == ERROR_SUCCESS) {
        FUZZ_CHECK(entries.empty());
        FUZZ_CHECK(volumeOpenDuringReload);
    } else {
        FUZZ_CHECK(entries.size() == 1);
        FUZZ_CHECK(entries[0].eventId == result);
        FUZZ_CHECK(entries[0].strings.size() == 1);
        FUZZ_CHECK(entries[0].strings[0].rfind("[Reload] ", 0) == 0);
    }
    if (result == ERROR_SHARING_VIOLATION) FUZZ_CHECK(FlushesOf(kDevice) == 0);
    // The driver's reload comes only after the volume was dismounted.
    if (!RequestsWithCode(IOCTL_TOLVAR_RELOAD).empty())
        FUZZ_CHECK(RequestsWithCode(TOLVAR_FSCTL_DISMOUNT_VOLUME).size() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint8_t setup = input.Byte();
    const uint8_t fill = input.Byte();
    const size_t replySize = input.Word() % (kLongestReply + 1);
    const uint8_t recordPattern = input.Byte();
    ResetStandIn(setup & kShiftJis);
    const bool faults = PlanFaults(input, kFaultable);
    const std::vector<uint8_t> reply = input.Bytes(replySize, fill);

    volumeOpenDuringReload = false;
    std::string volume;
    if ((setup & kVolumeExists) && !reply.empty()) {
        hostwin32::DeviceOptions options;
        if (setup & kVolumeFlushFails) options.flush = [](const std::string&) { return kVolumeFlushError; };
        if (setup & kDismountFails)
            options.control = hostwin32::FailingRequest(TOLVAR_FSCTL_DISMOUNT_VOLUME, kDismountError);
        volume = hostwin32::AddVolume(static_cast<char>(reply[0]), options);
    }
    hostwin32::DeviceOptions drive;
    drive.control = [setup, &reply, &volume](const hostwin32::DeviceRequest& request) {
        if (request.code == IOCTL_TOLVAR_QUERY)
            return (setup & kQueryFails) ? hostwin32::DeviceReply::Failure(kDeviceRequestError)
                                         : hostwin32::DeviceReply::Success(reply);
        if (request.code == IOCTL_TOLVAR_RELOAD) {
            volumeOpenDuringReload = VolumeHandleOpen(volume);
            return (setup & kReloadFails) ? hostwin32::DeviceReply::Failure(kReloadRequestError)
                                          : hostwin32::DeviceReply::Success();
        }
        return hostwin32::DeviceReply::Failure(ERROR_INVALID_FUNCTION);
    };
    if (setup & kDeviceFlushFails) drive.flush = [](const std::string&) { return kDeviceFlushError; };
    hostwin32::AddDriveDevice(kIndex, drive);

    // One pattern for either record: the ANSI one is its first 832 bytes.
    const bool wide = !(setup & kReload) && (setup & kWideQuery);
    std::vector<uint8_t> original(sizeof(TolvarDriveInfoW));
    for (size_t i = 0; i < original.size(); ++i)
        original[i] = static_cast<uint8_t>(recordPattern + i * 7);
    TolvarDriveInfo* record = reinterpret_cast<TolvarDriveInfo*>(recordBuffer.Arm(original.data()));
    TolvarDriveInfoW* wideRecord =
        reinterpret_cast<TolvarDriveInfoW*>(wideRecordBuffer.Arm(original.data()));

    DWORD result;
    if (setup & kReload)
        result = TolvarReload(kIndex);
    else if (wide)
        result = TolvarQueryW(wideRecord, kIndex);
    else
        result = TolvarQuery(record, kIndex);
    FUZZ_CHECK(recordBuffer.Disarm());
    FUZZ_CHECK(wideRecordBuffer.Disarm());
    FUZZ_CHECK(hostwin32::OpenHandleCount() == 0);
    if (setup & kReload) {
        FUZZ_CHECK(std::memcmp(recordBuffer.Contents(), original.data(), sizeof(TolvarDriveInfo)) == 0);
        CheckReload(result, faults, setup, reply, volume);
    } else {
        CheckQuery(result, faults, setup, reply, original, wide);
    }
    return 0;
}
