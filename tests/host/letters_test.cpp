// Drive letters: the letter check, the read-only probe that finds a letter
// taken, the raw-target definition, and the removal of the most recent
// definition; with the table of MS-DOS device names behaving as Windows'.
#include "channel/drive_channel.h"
#include "host_fixture.h"
#include "tolvarsdk.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace hostwin32;

namespace {

const std::string kVault = "\\Device\\TolvarVault\\TOLVARVX";

std::string ProbeText(char letter, const std::string& result) {
    return OpenText(std::string("\\\\.\\") + letter + ":", kReadOnly, kNoBuffering, result);
}

class LettersTest : public HostTest {};

TEST_F(LettersTest, OnlyAsciiLettersAreAccepted) {
    AddDriveDevice(0);
    const CHAR refused[] = {'1', '[', '@', '`', '{', '\0', ':', '\\',
                            static_cast<CHAR>(0x80), static_cast<CHAR>(0xC4), static_cast<CHAR>(0xFF)};
    for (CHAR letter : refused) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(letter)));
        EXPECT_EQ(TolvarAddDriveLetter(letter, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(TolvarRemoveDriveLetter(letter), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_THAT(JournalText(true), IsEmpty());
    // The edges of both ranges pass the check and reach the system.
    for (CHAR letter : {'A', 'Z', 'a', 'z'}) {
        EXPECT_EQ(TolvarAddDriveLetter(letter, 0), 0u) << letter;
        EXPECT_EQ(TolvarRemoveDriveLetter(letter), 0u) << letter;
    }
}

TEST_F(LettersTest, ALetterWhoseVolumeOpensIsBusyAndNothingIsDefined) {
    std::string volume = AddVolume('C');
    EXPECT_EQ(TolvarAddDriveLetter('C', 0), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_THAT(Calls(), ElementsAre(ProbeText('C', "0x100"), "CloseHandle(0x100) -> TRUE"));
    EXPECT_THAT(DosDeviceTargets("C:"), ElementsAre(volume));
    // The probe neither flushes nor sends anything to the volume.
    EXPECT_TRUE(DeviceEvents().empty());
}

TEST_F(LettersTest, AProbeRefusedForAnyReasonLeadsToTheDefinition) {
    struct Case {
        const char* why;
        char letter;
        void (*arrange)(char letter);
    } cases[] = {
        {"no such name", 'E', [](char) {}},
        {"access refused", 'F',
         [](char letter) {
             AddVolume(letter);
             FailCall("CreateFileA", ERROR_ACCESS_DENIED);
         }},
        {"volume not ready", 'G',
         [](char letter) {
             DeviceOptions notReady;
             notReady.openError = ERROR_NOT_READY;
             AddVolume(letter, notReady);
         }},
        {"target gone", 'H', [](char letter) { DefineDosName(std::string(1, letter) + ":", "\\Device\\Gone"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        c.arrange(c.letter);
        std::vector<std::string> before = DosDeviceTargets(std::string(1, c.letter) + ":");
        ClearJournal();
        EXPECT_EQ(TolvarAddDriveLetter(c.letter, 1), 0u);
        EXPECT_THAT(Calls(), ElementsAre(ProbeText(c.letter, "INVALID_HANDLE_VALUE"),
                                         "DefineDosDeviceA(0x1, \"" + std::string(1, c.letter) +
                                             ":\", \"\\Device\\TolvarVault\\TOLVARVX1\") -> TRUE"));
        before.push_back(kVault + "1");
        EXPECT_EQ(DosDeviceTargets(std::string(1, c.letter) + ":"), before);
    }
}

TEST_F(LettersTest, LowerCaseQForDeviceTwoDefinesQColonForItsKernelName) {
    AddDriveDevice(2);
    EXPECT_EQ(TolvarAddDriveLetter('q', 2), 0u);
    EXPECT_THAT(Calls(),
                ElementsAre(ProbeText('q', "INVALID_HANDLE_VALUE"),
                            "DefineDosDeviceA(0x1, \"q:\", \"\\Device\\TolvarVault\\TOLVARVX2\") -> TRUE"));
    // The letter now leads to the drive device, whatever its case...
    EXPECT_EQ(tolvar::FlushPath("\\\\.\\Q:"), 0u);
    ASSERT_EQ(DeviceEvents().size(), 1u);
    EXPECT_EQ(DeviceEvents()[0].kernelName, kVault + "2");
    // ...and is taken for the next caller.
    EXPECT_EQ(TolvarAddDriveLetter('Q', 3), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_THAT(DosDeviceTargets("q:"), ElementsAre(kVault + "2"));
}

TEST_F(LettersTest, TheTargetCarriesTheWholeIndexRange) {
    EXPECT_EQ(TolvarAddDriveLetter('R', 4294967295u), 0u);
    EXPECT_THAT(DosDeviceTargets("R:"), ElementsAre(kVault + "4294967295"));
}

TEST_F(LettersTest, AFailingDefinitionReturnsItsError) {
    SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    FailCall("DefineDosDeviceA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(TolvarAddDriveLetter('S', 0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    FailCall("DefineDosDeviceA", ERROR_NOT_READY);
    EXPECT_EQ(TolvarRemoveDriveLetter('S'), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_THAT(DosDeviceTargets("S:"), IsEmpty());
}

TEST_F(LettersTest, RemovalTakesTheMostRecentDefinitionWhicheverDeviceItNames) {
    AddDriveDevice(1);
    AddDriveDevice(2);
    DefineDosName("T:", kVault + "1");  // someone else's
    ASSERT_EQ(TolvarAddDriveLetter('t', 2), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "T:", (kVault + "2").c_str()));
    ClearJournal();

    EXPECT_EQ(TolvarRemoveDriveLetter('t'), 0u);
    EXPECT_THAT(Calls(), ElementsAre("DefineDosDeviceA(0x2, \"t:\", NULL) -> TRUE"));
    EXPECT_THAT(DosDeviceTargets("T:"), ElementsAre(kVault + "1"));
    EXPECT_EQ(TolvarRemoveDriveLetter('T'), 0u);
    EXPECT_THAT(DosDeviceTargets("T:"), IsEmpty());
}

TEST_F(LettersTest, RemovingAnUndefinedLetterReturnsTheSystemsError) {
    SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    EXPECT_EQ(TolvarRemoveDriveLetter('U'), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A letter given and taken away again is free for the next definition.
    EXPECT_EQ(TolvarAddDriveLetter('U', 0), 0u);
    EXPECT_EQ(TolvarRemoveDriveLetter('u'), 0u);
    EXPECT_EQ(TolvarRemoveDriveLetter('U'), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(TolvarAddDriveLetter('U', 1), 0u);
    EXPECT_THAT(DosDeviceTargets("U:"), ElementsAre(kVault + "1"));
}

// The stand-in's table as Windows keeps it, which the tests above rely on.
TEST_F(LettersTest, DosNamesStackAndQueryMostRecentFirst) {
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "V:", "\\Device\\A"));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "v:", "\\Device\\B"));
    ASSERT_TRUE(DefineDosDeviceA(0, "V:", "C:\\folder"));
    char text[64];
    const char expected[] = "\\??\\C:\\folder\0\\Device\\B\0\\Device\\A\0";
    EXPECT_EQ(QueryDosDeviceA("V:", text, sizeof text), sizeof expected);
    EXPECT_EQ(std::string(text, sizeof expected), std::string(expected, sizeof expected));
    EXPECT_EQ(QueryDosDeviceA("V:", text, sizeof expected - 1), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Removal by target: exact, or by its beginning.
    EXPECT_FALSE(DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE,
                                  "V:", "\\Device\\"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH, "V:", "\\Device\\"));
    EXPECT_THAT(DosDeviceTargets("V:"), ElementsAre("\\Device\\A", "\\??\\C:\\folder"));
    EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "V:", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(QueryDosDeviceA("W:", text, sizeof text), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
