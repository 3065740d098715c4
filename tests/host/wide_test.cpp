// TolvarOpenW and TolvarQueryW: UTF-16 paths reach the driver unit for unit
// and come back unchanged, through the same steps as the ANSI exports and
// only the system's UTF-16 calls; every refusal, every failure that must
// leave the record as it was, and the cut of a reply path the driver did
// not terminate.
#include <hostwin32/shell.h>

#include <cstring>

#include "host_fixture.h"
#include "tolvar_driver_contract.h"
#include "stand_in_device.h"
#include "tolvarsdk.h"
#include "tolvarvx_details.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace hostwin32;

namespace {

// Greek, Cyrillic and U+1F5C4 (a surrogate pair): none is in code page 1252.
const char16_t kDataPath[] = u"C:\\Drives\\Ωmega\\данные-🗄.dat";
const char16_t kBackupPath[] = u"C:\\Backups\\Ωmega\\данные-🗄.bak";
constexpr WCHAR kUntouched = 0x5A5A;  // what a record holds before a query

// The journal of a CreateFileW call, as OpenText gives CreateFileA's.
std::string OpenTextW(const std::string& path, const char* access, const char* flags,
                      const std::string& result) {
    return "CreateFileW" + OpenText(path, access, flags, result).substr(strlen("CreateFileA"));
}

class WideTest : public HostTest {
protected:
    // Every byte not set is 0xEE, so that anything read by mistake shows.
    static TolvarDriveInfoW Record(BOOL backupBeforeWrite, const char16_t* backup,
                                   const char16_t* data, WCHAR letter = u'D') {
        TolvarDriveInfoW info;
        std::memset(&info, 0xEE, sizeof info);
        info.DriveLetter = letter;
        info.BackupBeforeWrite = backupBeforeWrite;
        std::memcpy(info.BackupFile, backup, (std::char_traits<char16_t>::length(backup) + 1) * 2);
        std::memcpy(info.DataFile, data, (std::char_traits<char16_t>::length(data) + 1) * 2);
        return info;
    }
    static TolvarDriveInfoW Untouched() {
        TolvarDriveInfoW info;
        std::memset(&info, 0x5A, sizeof info);
        return info;
    }
    // The OPEN request the driver received.
    static std::vector<uint8_t> OpenRequestSent() {
        for (const DeviceEvent& event : DeviceEvents())
            if (event.code == IOCTL_TOLVAR_OPEN) return event.input;
        return {};
    }
    static std::vector<uint8_t> Bytes(const void* data, size_t size) {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        return std::vector<uint8_t>(bytes, bytes + size);
    }
    // A drive device that answers the query with `reply`, cut to `size` bytes.
    static void AddReplyingDevice(UINT index, const TolvarQueryReply& reply,
                                  size_t size = sizeof(TolvarQueryReply)) {
        DeviceOptions device;
        std::vector<uint8_t> bytes = Bytes(&reply, sizeof reply);
        bytes.resize(size);
        device.control = [bytes](const DeviceRequest&) { return DeviceReply::Success(bytes); };
        AddDriveDevice(index, device);
    }
};

TEST_F(WideTest, PathOutsideTheCodePageReachesTheDriverUnitForUnitAndComesBack) {
    StandInDevice drive(3);
    AddVolume('D');
    const TolvarDriveInfoW info = Record(TRUE, kBackupPath, kDataPath);
    EXPECT_EQ(TolvarOpenW(&info, 3), 0u);

    // The request is the record's first 1048 bytes, but for the reserved
    // word and what follows each terminator: zero.
    TolvarOpenRequest expected;
    std::memset(&expected, 0, sizeof expected);
    expected.DriveLetter = u'D';
    expected.BackupBeforeWrite = 1;
    std::memcpy(expected.BackupFile, kBackupPath, sizeof kBackupPath);
    std::memcpy(expected.DataFile, kDataPath, sizeof kDataPath);
    EXPECT_EQ(OpenRequestSent(), Bytes(&expected, sizeof expected));
    EXPECT_THAT(Folders(), ElementsAre(u8"C:\\Backups", u8"C:\\Backups\\Ωmega", u8"C:\\Drives",
                                       u8"C:\\Drives\\Ωmega"));

    TolvarDriveInfoW back = Untouched();
    EXPECT_EQ(TolvarQueryW(&back, 3), 0u);
    EXPECT_EQ(back.DriveLetter, u'D');
    EXPECT_EQ(back.Reserved, kUntouched);
    EXPECT_EQ(back.BackupBeforeWrite, 1);
    EXPECT_EQ(std::memcmp(back.DataFile, kDataPath, sizeof kDataPath), 0);
    EXPECT_EQ(std::memcmp(back.BackupFile, kBackupPath, sizeof kBackupPath), 0);
    // Units after a terminator are the caller's.
    EXPECT_EQ(back.DataFile[std::size(kDataPath)], kUntouched);
    // The driver counted UTF-16 units: 29, the pair as two.
    TolvarvxDeviceDetails details;
    std::memcpy(&details, back.DeviceDetails, sizeof details);
    EXPECT_EQ(details.Magic, TOLVARVX_DETAILS_MAGIC);
    EXPECT_EQ(details.DataPathLength, 29u);
    EXPECT_EQ(details.OpenCount, 1u);
}

// The ANSI export's steps, results and handles, call for call; every call
// that takes a string in its UTF-16 form and no conversion anywhere.
TEST_F(WideTest, OpenMakesTheCallsOfTolvarOpenInTheirUtf16Form) {
    AddVolume('D');
    AddDriveDevice(3);
    TolvarDriveInfo ansi;
    std::memset(&ansi, 0xEE, sizeof ansi);
    ansi.DriveLetter = 'D';
    ansi.BackupBeforeWrite = TRUE;
    std::strcpy(ansi.BackupFile, "C:\\Backups\\d1.bak");
    std::strcpy(ansi.DataFile, "C:/Drives/d1.dat");
    EXPECT_EQ(TolvarOpen(&ansi, 3), 0u);
    std::vector<std::string> ansiCalls = Calls();

    Reset();
    AddVolume('D');
    AddDriveDevice(3);
    const TolvarDriveInfoW wide = Record(TRUE, u"C:\\Backups\\d1.bak", u"C:/Drives/d1.dat");
    EXPECT_EQ(TolvarOpenW(&wide, 3), 0u);
    std::vector<std::string> wideCalls = Calls();
    for (std::string& call : wideCalls)
        if (call.rfind("CreateFileW(", 0) == 0 || call.rfind("SHCreateDirectoryExW(", 0) == 0)
            call[call.find("W(")] = 'A';
    EXPECT_EQ(wideCalls, ansiCalls);

    EXPECT_THAT(
        JournalText(true),
        ElementsAre("lstrlenW(\"C:\\Backups\\d1.bak\") -> 17", "lstrlenW(\"C:/Drives/d1.dat\") -> 16",
                    "lstrcpynW(ptr, \"C:\\Backups\\d1.bak\", 260) -> \"C:\\Backups\\d1.bak\"",
                    "SHCreateDirectoryExW(NULL, \"C:\\Backups\\\", NULL) -> 0",
                    "lstrcpynW(ptr, \"C:/Drives/d1.dat\", 260) -> \"C:/Drives/d1.dat\"",
                    "SHCreateDirectoryExW(NULL, \"C:\\Drives\\\", NULL) -> 0",
                    "wsprintfW(6) -> 6",
                    OpenTextW("\\\\.\\D:", kReadWrite, kAttributeNormal, "0x100"),
                    "FlushFileBuffers(0x100) -> TRUE", "CloseHandle(0x100) -> TRUE",
                    "wsprintfW(13) -> 13",
                    OpenTextW("\\\\.\\TOLVARVX3", kReadWrite, kNoBuffering, "0x104"),
                    "DeviceIoControl(0x104, 0x8000E000, ptr, 1048, NULL, 0, ptr, NULL) -> TRUE",
                    "CloseHandle(0x104) -> TRUE"));
}

TEST_F(WideTest, EveryRefusalReturns87BeforeAnythingIsCreatedOrOpened) {
    AddVolume('D');
    AddDriveDevice(0);
    TolvarDriveInfoW unterminatedData = Record(FALSE, u"", u"");
    std::fill(std::begin(unterminatedData.DataFile), std::end(unterminatedData.DataFile), u'd');
    TolvarDriveInfoW unterminatedBackup = Record(TRUE, u"", u"C:\\Drives\\d1.dat");
    std::fill(std::begin(unterminatedBackup.BackupFile), std::end(unterminatedBackup.BackupFile),
              u'b');
    const TolvarDriveInfoW refused[] = {
        Record(TRUE, u"C:\\", u"C:\\Drives\\d1.dat"),  // backup of 3 units
        Record(TRUE, u"", u"C:\\Drives\\d1.dat"),
        Record(FALSE, u"C:\\Backups\\b", u"abc"),      // data of 3 units
        unterminatedData,
        unterminatedBackup,
    };
    EXPECT_EQ(TolvarOpenW(nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TolvarQueryW(nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_THAT(JournalText(true), IsEmpty());
    for (const TolvarDriveInfoW& info : refused)
        EXPECT_EQ(TolvarOpenW(&info, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
            << &info - refused;
    EXPECT_THAT(Calls(), IsEmpty());
    EXPECT_THAT(Folders(), IsEmpty());
    EXPECT_TRUE(DeviceEvents().empty());

    // The shortest path is counted in units: C: and a surrogate pair, two
    // characters, make four.
    const TolvarDriveInfoW shortest = Record(FALSE, u"", u"C:🗄");
    EXPECT_EQ(TolvarOpenW(&shortest, 0), 0u);
}

// A failing open or request leaves the record untouched too: the fault
// matrix fails each call in turn.
TEST_F(WideTest, ShortReplyReturns122AndLeavesTheRecordUntouched) {
    TolvarQueryReply reply;
    std::memset(&reply, 0x11, sizeof reply);
    for (size_t size : {size_t{1351}, size_t{1048}, size_t{0}}) {
        Reset();
        AddReplyingDevice(1, reply, size);
        TolvarDriveInfoW info = Untouched();
        const TolvarDriveInfoW before = info;
        EXPECT_EQ(TolvarQueryW(&info, 1), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << size;
    }
    EXPECT_THAT(Calls(),
                ElementsAre(OpenTextW("\\\\.\\TOLVARVX1", kReadOnly, kNoBuffering, "0x100"),
                            "DeviceIoControl(0x100, 0x80006018, NULL, 0, ptr, 1352, ptr, NULL) -> TRUE",
                            "CloseHandle(0x100) -> TRUE"));
}

// A path the driver did not terminate within its 260 units keeps 259, or
// 258 when the 259th and 260th are a pair: a pair is never split, and a lone
// high surrogate is kept. The rest of the reply goes into the record as it
// came, Reserved aside.
TEST_F(WideTest, UnterminatedReplyPathIsCutBeforeAnyHalfOfAPair) {
    TolvarQueryReply reply;
    std::memset(&reply, 0, sizeof reply);
    reply.Drive.DriveLetter = 0x0144;  // all 16 bits come back
    reply.Drive.Reserved = 0xBEEF;
    reply.Drive.BackupBeforeWrite = 7;
    std::fill(std::begin(reply.Drive.DataFile), std::end(reply.Drive.DataFile), u'x');
    std::fill(std::begin(reply.Drive.BackupFile), std::end(reply.Drive.BackupFile), u'y');
    reply.Drive.BackupFile[257] = 0xD83D;  // a whole pair ends the 259 units kept
    reply.Drive.BackupFile[258] = 0xDDC4;
    for (size_t i = 0; i < sizeof reply.DeviceDetails; ++i)
        reply.DeviceDetails[i] = static_cast<uint8_t>(i);
    AddReplyingDevice(0, reply);
    TolvarDriveInfoW info = Untouched();
    EXPECT_EQ(TolvarQueryW(&info, 0), 0u);
    EXPECT_EQ(info.DriveLetter, 0x0144);
    EXPECT_EQ(info.Reserved, kUntouched);
    EXPECT_EQ(info.BackupBeforeWrite, 7);
    EXPECT_EQ(std::u16string(info.DataFile), std::u16string(259, u'x'));
    EXPECT_EQ(std::u16string(info.BackupFile), std::u16string(257, u'y') + u"🗄");
    EXPECT_EQ(std::memcmp(info.DeviceDetails, reply.DeviceDetails, sizeof info.DeviceDetails), 0);

    // The pair split across the 259th and 260th units goes whole; a path
    // that ends in its 260th unit keeps all 259.
    reply.Drive.DataFile[258] = 0xD83D;
    reply.Drive.DataFile[259] = 0xDDC4;
    std::fill(std::begin(reply.Drive.BackupFile), std::end(reply.Drive.BackupFile), u'y');
    reply.Drive.BackupFile[259] = 0;
    Reset();
    AddReplyingDevice(0, reply);
    info = Untouched();
    EXPECT_EQ(TolvarQueryW(&info, 0), 0u);
    EXPECT_EQ(std::u16string(info.DataFile), std::u16string(258, u'x'));
    EXPECT_EQ(info.DataFile[259], kUntouched);
    EXPECT_EQ(std::u16string(info.BackupFile), std::u16string(259, u'y'));

    // A high surrogate in the 259th unit that no low one follows stays, in
    // both records.
    reply.Drive.DataFile[259] = u'x';
    Reset();
    AddReplyingDevice(0, reply);
    info = Untouched();
    EXPECT_EQ(TolvarQueryW(&info, 0), 0u);
    EXPECT_EQ(std::u16string(info.DataFile), std::u16string(258, u'x') + u'\xD83D');
    TolvarDriveInfo ansi;
    EXPECT_EQ(TolvarQuery(&ansi, 0), 0u);
    EXPECT_EQ(std::string(ansi.DataFile), std::string(258, 'x') + '?');
}

}  // namespace
