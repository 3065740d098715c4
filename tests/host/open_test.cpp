// TolvarOpen: argument checks, folders, the volume flush, then the request.
#include <hostwin32/shell.h>

#include "host_fixture.h"
#include "tolvar_driver_contract.h"
#include "tolvarsdk.h"

#include <cstring>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace hostwin32;

namespace {

class OpenTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        volume_ = AddVolume('D');
    }
    static TolvarDriveInfo Record(BOOL backupBeforeWrite, const std::string& backup,
                                  const std::string& data, CHAR letter = 'D') {
        TolvarDriveInfo info;
        std::memset(&info, 0xEE, sizeof info);  // garbage wherever nothing is set
        info.DriveLetter = letter;
        info.BackupBeforeWrite = backupBeforeWrite;
        std::memcpy(info.BackupFile, backup.c_str(), backup.size() + 1);
        std::memcpy(info.DataFile, data.c_str(), data.size() + 1);
        return info;
    }
    static std::string FolderCall(const std::string& path, int result) {
        return "SHCreateDirectoryExA(NULL, \"" + path + "\", NULL) -> " + std::to_string(result);
    }
    // The OPEN request the driver received.
    static const DeviceEvent* OpenRequestSent() {
        for (const DeviceEvent& event : DeviceEvents())
            if (event.code == IOCTL_TOLVAR_OPEN) return &event;
        return nullptr;
    }
    static std::u16string WideAt(const DeviceEvent& event, size_t offset) {
        std::u16string text;
        for (size_t at = offset; event.input[at] || event.input[at + 1]; at += 2)
            text += static_cast<char16_t>(event.input[at] | event.input[at + 1] << 8);
        return text;
    }
    std::string volume_;
};

TEST_F(OpenTest, FullSequenceInOrderWithTheExactFlagsOfEachOpen) {
    AddDriveDevice(3);
    TolvarDriveInfo info = Record(TRUE, "C:\\Backups\\d1.bak", "C:\\Drives\\d1.dat");
    EXPECT_EQ(TolvarOpen(&info, 3), 0u);
    EXPECT_THAT(Calls(),
                ElementsAre(FolderCall("C:\\Backups\\", 0), FolderCall("C:\\Drives\\", 0),
                            OpenText("\\\\.\\D:", kReadWrite, kAttributeNormal, "0x100"),
                            "FlushFileBuffers(0x100) -> TRUE", "CloseHandle(0x100) -> TRUE",
                            OpenText("\\\\.\\TOLVARVX3", kReadWrite, kNoBuffering, "0x104"),
                            "DeviceIoControl(0x104, 0x8000E000, ptr, 1048, NULL, 0, ptr, NULL) -> TRUE",
                            "CloseHandle(0x104) -> TRUE"));
    EXPECT_THAT(Folders(), ElementsAre("C:\\Backups", "C:\\Drives"));
    ASSERT_EQ(DeviceEvents().size(), 2u);
    EXPECT_EQ(DeviceEvents()[0].kernelName, volume_);
    EXPECT_EQ(DeviceEvents()[0].kind, "flush");
    const DeviceEvent* open = OpenRequestSent();
    ASSERT_NE(open, nullptr);
    ASSERT_EQ(open->input.size(), 1048u);
    EXPECT_THAT(std::vector<uint8_t>(open->input.begin(), open->input.begin() + 8),
                ElementsAre('D', 0, 0, 0, 1, 0, 0, 0));
    EXPECT_EQ(WideAt(*open, 8), u"C:\\Backups\\d1.bak");
    EXPECT_EQ(WideAt(*open, 528), u"C:\\Drives\\d1.dat");
}

TEST_F(OpenTest, WithoutBackupModeAnEmptyBackupPathIsNeitherFoldedNorSent) {
    AddDriveDevice(0);
    TolvarDriveInfo info = Record(FALSE, "", "C:\\Drives\\d1.dat");
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    // An empty path has no separator after its first character: no folder.
    EXPECT_THAT(CallsTo("SHCreateDirectoryExA"), ElementsAre(FolderCall("C:\\Drives\\", 0)));
    const DeviceEvent* open = OpenRequestSent();
    ASSERT_NE(open, nullptr);
    for (size_t i = 8; i < 528; ++i) ASSERT_EQ(open->input[i], 0) << i;
}

TEST_F(OpenTest, BackupFolderIsMadeWhateverTheMode) {
    AddDriveDevice(0);
    TolvarDriveInfo info = Record(FALSE, "E:\\Spare\\x.bak", "C:\\Drives\\d1.dat");
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    EXPECT_THAT(Folders(), ElementsAre("E:\\Spare", "C:\\Drives"));
}

TEST_F(OpenTest, EachArgumentCheckReturns87BeforeAnythingIsCreatedOrOpened) {
    AddDriveDevice(0);
    EXPECT_EQ(TolvarOpen(nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const TolvarDriveInfo refused[] = {
        Record(TRUE, "C:\\", "C:\\Drives\\d1.dat"),   // backup of 3 characters
        Record(TRUE, "", "C:\\Drives\\d1.dat"),
        Record(FALSE, "C:\\Backups\\b", "abc"),       // data of 3 characters
        Record(TRUE, "C:\\b", ""),
    };
    for (const TolvarDriveInfo& info : refused)
        EXPECT_EQ(TolvarOpen(&info, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
            << info.BackupFile << " | " << info.DataFile;
    EXPECT_THAT(Calls(), IsEmpty());
    EXPECT_THAT(Folders(), IsEmpty());
    EXPECT_TRUE(DeviceEvents().empty());
}

TEST_F(OpenTest, ShortestPathsAreAccepted) {
    AddDriveDevice(0);
    TolvarDriveInfo info = Record(TRUE, "C:\\b", "C:\\a");
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    // C:\ exists already: the shell's 183 is ignored.
    EXPECT_THAT(CallsTo("SHCreateDirectoryExA"),
                ElementsAre(FolderCall("C:\\", 183), FolderCall("C:\\", 183)));
    EXPECT_NE(OpenRequestSent(), nullptr);
}

// A field with no NUL in its 260 bytes would be measured and converted past
// its end: refused before any call at all, string calls included.
TEST_F(OpenTest, UnterminatedPathFieldIsRefusedBeforeAnyCall) {
    AddDriveDevice(0);
    TolvarDriveInfo info = Record(FALSE, "", "C:\\Drives\\d1.dat");
    std::memset(info.DataFile, 'd', sizeof info.DataFile);
    EXPECT_EQ(TolvarOpen(&info, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    info = Record(TRUE, "", "C:\\Drives\\d1.dat");
    std::memset(info.BackupFile, 'b', sizeof info.BackupFile);
    EXPECT_EQ(TolvarOpen(&info, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_THAT(JournalText(true), IsEmpty());
}

TEST_F(OpenTest, UnterminatedBackupFieldThatIsNotSentIsReadOnlyWithinItsField) {
    AddDriveDevice(0);
    TolvarDriveInfo info = Record(FALSE, "", "C:\\Drives\\d1.dat");
    std::memset(info.BackupFile, 'b', sizeof info.BackupFile);
    info.BackupFile[0] = 'C';
    info.BackupFile[1] = ':';
    info.BackupFile[2] = '\\';
    info.BackupFile[200] = '\\';
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    // The copy stops at 259 bytes; the folder is the part up to byte 200.
    EXPECT_EQ(CallsTo("lstrcpynA")[0].substr(0, 18), "lstrcpynA(ptr, \"C:");
    EXPECT_EQ(Folders()[0], "C:\\" + std::string(197, 'b'));
    const DeviceEvent* open = OpenRequestSent();
    ASSERT_NE(open, nullptr);
    for (size_t i = 8; i < 528; ++i) ASSERT_EQ(open->input[i], 0) << i;
}

TEST_F(OpenTest, SlashSeparatesFoldersAndAPathWithoutSeparatorMakesNone) {
    AddDriveDevice(0);
    TolvarDriveInfo info = Record(TRUE, "dat1", "C:/Drives/d1.dat");
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    // No folder named dat1 or d1.dat where the files belong.
    // The folder goes to the shell with backslashes only: the shell makes
    // missing parents only at backslashes.
    EXPECT_THAT(CallsTo("SHCreateDirectoryExA"), ElementsAre(FolderCall("C:\\Drives\\", 0)));
    EXPECT_THAT(Folders(), ElementsAre("C:\\Drives"));

    Reset();
    AddVolume('D');
    AddDriveDevice(0);
    info = Record(FALSE, "\\x.bak", "C:\\Drives/sub\\d1.dat");  // a separator at index 0 only
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    EXPECT_THAT(CallsTo("SHCreateDirectoryExA"), ElementsAre(FolderCall("C:\\Drives\\sub\\", 0)));
    EXPECT_THAT(Folders(), ElementsAre("C:\\Drives", "C:\\Drives\\sub"));
}

TEST_F(OpenTest, ADoubleByteCharacterEndingIn0x5CIsNoSeparator) {
    // Shift-JIS: 0x83 0x5C is the katakana SO; its trail byte is '\'.
    SetAnsiCodePage(932);
    AddDriveDevice(0);
    TolvarDriveInfo info = Record(FALSE, "", "C:\\\x83\x5C\\\x83\x5C.dat");
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    // The folder handed to the shell ends after the character, not inside it.
    ASSERT_EQ(CountCalls("SHCreateDirectoryExA"), 1u);
    EXPECT_THAT(CallsTo("SHCreateDirectoryExA")[0], ::testing::HasSubstr("\"C:\\\\x83\\\\\", NULL)"));
    info = Record(FALSE, "", "C:\x83\x5C.dat");  // no separator but the trail byte
    Reset();
    SetAnsiCodePage(932);
    AddVolume('D');
    AddDriveDevice(0);
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    EXPECT_EQ(CountCalls("SHCreateDirectoryExA"), 0u);
}

// The stand-in's shell gives the results the library meets on Windows.
TEST_F(OpenTest, ShellStandInCreatesNestedFoldersAndReportsExistingAndBadPaths) {
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "C:\\a\\b\\c\\", nullptr), 0);
    EXPECT_THAT(Folders(), ElementsAre("C:\\a", "C:\\a\\b", "C:\\a\\b\\c"));
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "c:\\A\\b", nullptr), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "C:\\a/d", nullptr), 0);  // one level: '/' is fine
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "C:/x/y", nullptr), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "", nullptr), ERROR_BAD_PATHNAME);
    EXPECT_EQ(SHCreateDirectoryExA(nullptr, "Drives\\x", nullptr), ERROR_BAD_PATHNAME);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_THAT(Folders(), ElementsAre("C:\\a", "C:\\a\\b", "C:\\a\\b\\c", "C:\\a\\d"));
}

TEST_F(OpenTest, FolderFailuresAreIgnored) {
    AddDriveDevice(0);
    AddFolder("C:\\Drives");
    FailCall("SHCreateDirectoryExA", ERROR_ACCESS_DENIED);
    TolvarDriveInfo info = Record(TRUE, "C:\\Backups\\d1.bak", "C:\\Drives\\d1.dat");
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    EXPECT_THAT(CallsTo("SHCreateDirectoryExA"),
                ElementsAre(FolderCall("C:\\Backups\\", 5), FolderCall("C:\\Drives\\", 183)));
    EXPECT_NE(OpenRequestSent(), nullptr);
}

TEST_F(OpenTest, FailedVolumeFlushStopsBeforeTheDevice) {
    AddDriveDevice(0);
    // A letter that names no volume: the open of \\.\Q: fails.
    TolvarDriveInfo info = Record(FALSE, "", "C:\\Drives\\d1.dat", 'Q');
    EXPECT_EQ(TolvarOpen(&info, 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CountCalls("CreateFileA"), 1u);
    // Folders made before the failure stay made.
    EXPECT_THAT(Folders(), ElementsAre("C:\\Drives"));

    // A volume whose flush fails: its error, read before the close.
    Device(volume_).flush = [](const std::string&) -> DWORD { return ERROR_NOT_READY; };
    SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    ClearJournal();
    info.DriveLetter = 'd';
    EXPECT_EQ(TolvarOpen(&info, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_THAT(Calls(), ElementsAre(FolderCall("C:\\Drives\\", 183),
                                     OpenText("\\\\.\\d:", kReadWrite, kAttributeNormal, "0x100"),
                                     "FlushFileBuffers(0x100) -> FALSE", "CloseHandle(0x100) -> TRUE"));
}

TEST_F(OpenTest, DeviceFailuresReturnTheirErrorReadBeforeTheClose) {
    TolvarDriveInfo info = Record(FALSE, "", "C:\\Drives\\d1.dat");
    EXPECT_EQ(TolvarOpen(&info, 5), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // no device 5

    DeviceOptions busy;
    busy.control = [](const DeviceRequest&) { return DeviceReply::Failure(ERROR_BUSY); };
    AddDriveDevice(5, busy);
    SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    ClearJournal();
    EXPECT_EQ(TolvarOpen(&info, 5), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(Calls().back(), "CloseHandle(0x108) -> TRUE");
}

TEST_F(OpenTest, LetterByteReachesTheVolumePathAndTheRequestUnchanged) {
    std::string volume = AddVolume('\xC4');
    AddDriveDevice(0);
    TolvarDriveInfo info = Record(FALSE, "", "C:\\Drives\\d1.dat", '\xC4');
    EXPECT_EQ(TolvarOpen(&info, 0), 0u);
    EXPECT_EQ(DeviceEvents()[0].kernelName, volume);
    const DeviceEvent* open = OpenRequestSent();
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->input[0], 0xC4);
    EXPECT_EQ(open->input[1], 0xFF);
}

// Another thread rewrites the record while TolvarOpen runs (here during the
// volume flush, after the paths were checked): the request carries the
// paths as they were checked, and nothing is read or written past a field.
TEST_F(OpenTest, RecordChangedDuringTheCallNeitherOverrunsNorReachesTheRequest) {
    AddDriveDevice(0);
    TolvarDriveInfo ansi = Record(TRUE, "C:\\Backups\\d1.bak", "C:\\Drives\\d1.dat");
    TolvarDriveInfoW wide;
    std::memset(&wide, 0xEE, sizeof wide);
    wide.DriveLetter = u'D';
    wide.BackupBeforeWrite = TRUE;
    std::memcpy(wide.BackupFile, u"C:\\Backups\\d1.bak", sizeof u"C:\\Backups\\d1.bak");
    std::memcpy(wide.DataFile, u"C:\\Drives\\d1.dat", sizeof u"C:\\Drives\\d1.dat");
    Device(volume_).flush = [&](const std::string&) {
        std::memset(ansi.BackupFile, 'b', sizeof ansi.BackupFile);  // no terminator left
        std::memset(&ansi.DataFile, 'd', sizeof ansi.DataFile + sizeof ansi.DeviceDetails);
        return DWORD{0};
    };
    EXPECT_EQ(TolvarOpen(&ansi, 0), 0u);
    const DeviceEvent* open = OpenRequestSent();
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(WideAt(*open, 8), u"C:\\Backups\\d1.bak");
    EXPECT_EQ(WideAt(*open, 528), u"C:\\Drives\\d1.dat");

    Device(volume_).flush = [&](const std::string&) {
        for (WCHAR& unit : wide.BackupFile) unit = u'b';
        for (WCHAR& unit : wide.DataFile) unit = u'd';
        std::memset(wide.DeviceDetails, 'x', sizeof wide.DeviceDetails);
        return DWORD{0};
    };
    EXPECT_EQ(TolvarOpenW(&wide, 0), 0u);
    open = &DeviceEvents().back();
    ASSERT_EQ(open->code, static_cast<DWORD>(IOCTL_TOLVAR_OPEN));
    EXPECT_EQ(WideAt(*open, 8), u"C:\\Backups\\d1.bak");
    EXPECT_EQ(WideAt(*open, 528), u"C:\\Drives\\d1.dat");
}

}  // namespace
