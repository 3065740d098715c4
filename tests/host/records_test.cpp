// The drive record and the driver buffers: layouts and conversions.
#include "host_fixture.h"
#include "records/drive_records.h"

#include <cstring>

using namespace hostwin32;

namespace {

class RecordsTest : public HostTest {
protected:
    // A record whose every byte is known, so that stray writes show.
    static TolvarDriveInfo Filled(BYTE fill) {
        TolvarDriveInfo info;
        std::memset(&info, fill, sizeof info);
        return info;
    }
    static void SetPath(CHAR (&field)[260], const std::string& text) {
        ASSERT_LT(text.size(), 260u);
        std::memcpy(field, text.c_str(), text.size() + 1);
    }
    static void SetWide(uint16_t (&field)[260], const std::u16string& text) {
        ASSERT_LE(text.size(), 260u);
        std::memset(field, 0, sizeof field);
        std::memcpy(field, text.data(), text.size() * 2);
    }
    static std::u16string Wide(const uint16_t* units, size_t count) {
        return std::u16string(reinterpret_cast<const char16_t*>(units), count);
    }
    static TolvarQueryReply Reply() {
        TolvarQueryReply reply;
        std::memset(&reply, 0, sizeof reply);
        return reply;
    }
};

// Layouts that cross the driver boundary, by the bytes a driver sees.
TEST_F(RecordsTest, OpenRequestBytesSitAtTheirOffsets) {
    TolvarDriveInfo info = Filled(0);
    info.DriveLetter = 'q';
    info.BackupBeforeWrite = 0x01020304;
    SetPath(info.BackupFile, "C:\\b");
    SetPath(info.DataFile, "C:\\d");
    TolvarOpenRequest request;
    std::memset(&request, 0xCC, sizeof request);
    tolvar::BuildOpenRequest(info, request);

    const BYTE* bytes = reinterpret_cast<const BYTE*>(&request);
    const BYTE head[] = {'q', 0, 0, 0, 4, 3, 2, 1, 'C', 0, ':', 0, '\\', 0, 'b', 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, head, sizeof head), 0);
    const BYTE data[] = {'C', 0, ':', 0, '\\', 0, 'd', 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes + 528, data, sizeof data), 0);
    // Every byte the paths leave is zero: nothing of the 0xCC fill remains.
    for (size_t i = 0; i < sizeof request; ++i) EXPECT_NE(bytes[i], 0xCC) << "byte " << i;
}

TEST_F(RecordsTest, LetterWordIsSignExtendedForEveryByteWithItsTopBitSet) {
    TolvarDriveInfo info = Filled(0);
    SetPath(info.DataFile, "C:\\d1.dat");
    TolvarOpenRequest request;
    for (int byte = 0; byte < 256; ++byte) {
        info.DriveLetter = static_cast<CHAR>(byte);
        tolvar::BuildOpenRequest(info, request);
        uint16_t expected = byte < 0x80 ? static_cast<uint16_t>(byte) : static_cast<uint16_t>(0xFF00 | byte);
        EXPECT_EQ(request.DriveLetter, expected) << "letter byte " << byte;
        EXPECT_EQ(request.Reserved, 0u);
    }
}

TEST_F(RecordsTest, BackupPathIsSentOnlyInBackupBeforeWriteMode) {
    TolvarDriveInfo info = Filled(0);
    info.DriveLetter = 'D';
    SetPath(info.BackupFile, "C:\\Backups\\d1.bak");
    SetPath(info.DataFile, "C:\\Drives\\d1.dat");
    TolvarOpenRequest request;
    std::memset(&request, 0xCC, sizeof request);
    tolvar::BuildOpenRequest(info, request);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&request);
    for (size_t i = 8; i < 528; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    EXPECT_EQ(Wide(request.DataFile, 17), std::u16string(u"C:\\Drives\\d1.dat") + u'\0');

    info.BackupBeforeWrite = -1;  // any nonzero value, copied unchanged
    tolvar::BuildOpenRequest(info, request);
    EXPECT_EQ(request.BackupBeforeWrite, 0xFFFFFFFFu);
    EXPECT_EQ(Wide(request.BackupFile, 18), std::u16string(u"C:\\Backups\\d1.bak") + u'\0');
}

TEST_F(RecordsTest, PathsAreWidenedInTheAnsiCodePage) {
    TolvarDriveInfo info = Filled(0);
    SetPath(info.DataFile, "C:\\\x80\xE9.dat");  // euro sign and e-acute in code page 1252
    TolvarOpenRequest request;
    tolvar::BuildOpenRequest(info, request);
    EXPECT_EQ(Wide(request.DataFile, 10), std::u16string(u"C:\\\u20AC\u00E9.dat") + u'\0');

    SetAnsiCodePage(932);
    SetPath(info.DataFile, "C:\\\x82\xA0\x82\xA2\\x");  // hiragana a, i in Shift-JIS
    tolvar::BuildOpenRequest(info, request);
    EXPECT_EQ(Wide(request.DataFile, 8), std::u16string(u"C:\\\u3042\u3044\\x") + u'\0');
}

TEST_F(RecordsTest, LongestRecordPathFillsTheRequestField) {
    TolvarDriveInfo info = Filled(0);
    std::string path = "C:\\" + std::string(256, 'x');  // 259 characters
    SetPath(info.DataFile, path);
    TolvarOpenRequest request;
    tolvar::BuildOpenRequest(info, request);
    EXPECT_EQ(request.DataFile[258], u'x');
    EXPECT_EQ(request.DataFile[259], 0);
}

TEST_F(RecordsTest, PathFieldTerminatorIsFoundOnlyWithinTheField) {
    TolvarDriveInfo info = Filled('x');
    EXPECT_FALSE(tolvar::PathFieldIsTerminated(info.DataFile));
    info.DataFile[259] = '\0';
    EXPECT_TRUE(tolvar::PathFieldIsTerminated(info.DataFile));
    info = Filled('x');
    info.DeviceDetails[0] = '\0';  // the next field's NUL does not count
    EXPECT_FALSE(tolvar::PathFieldIsTerminated(info.DataFile));
}

TEST_F(RecordsTest, QueryReplyFillsAllFiveFieldsAndLeavesTheAlignment) {
    TolvarQueryReply reply = Reply();
    reply.Drive.DriveLetter = 0x0144;  // only the low byte is kept
    reply.Drive.Reserved = 0xFFFF;
    reply.Drive.BackupBeforeWrite = 7;
    SetWide(reply.Drive.BackupFile, u"C:\\b\u00E9.bak");
    SetWide(reply.Drive.DataFile, u"C:\\Drives\\d1.dat");
    for (size_t i = 0; i < sizeof reply.DeviceDetails; ++i) reply.DeviceDetails[i] = static_cast<uint8_t>(i * 7);

    TolvarDriveInfo info = Filled(0xCC);
    tolvar::ReadQueryReply(reply, info);
    EXPECT_EQ(info.DriveLetter, 'D');
    EXPECT_THAT(info.Alignment, ::testing::ElementsAre(0xCC, 0xCC, 0xCC));
    EXPECT_EQ(info.BackupBeforeWrite, 7);
    EXPECT_STREQ(info.BackupFile, "C:\\b\xE9.bak");
    EXPECT_STREQ(info.DataFile, "C:\\Drives\\d1.dat");
    EXPECT_EQ(std::memcmp(info.DeviceDetails, reply.DeviceDetails, 304), 0);

    reply.Drive.DriveLetter = 0x0044;
    tolvar::ReadQueryReply(reply, info);
    EXPECT_EQ(info.DriveLetter, 'D');
}

// The bound on a reply path: never beyond the field, never half a character.
TEST_F(RecordsTest, UnterminatedReplyPathStopsAt259BytesAndIsTerminated) {
    TolvarQueryReply reply = Reply();
    for (uint16_t& unit : reply.Drive.BackupFile) unit = u'b';
    for (uint16_t& unit : reply.Drive.DataFile) unit = u'd';
    TolvarDriveInfo info = Filled(0xCC);
    tolvar::ReadQueryReply(reply, info);
    EXPECT_EQ(std::string(info.BackupFile), std::string(259, 'b'));
    EXPECT_EQ(std::string(info.DataFile), std::string(259, 'd'));
    EXPECT_EQ(info.DeviceDetails[0], 0);  // the details, not a spilled path byte
}

TEST_F(RecordsTest, DoubleByteReplyPathIsCutAtTheLastWholeCharacter) {
    SetAnsiCodePage(932);
    TolvarQueryReply reply = Reply();
    // 200 hiragana need 400 bytes: 129 of them (258 bytes) fit, the 130th
    // would leave half a character in byte 259.
    SetWide(reply.Drive.DataFile, std::u16string(200, u'\u3042'));
    // One ASCII byte first: 1 + 129 * 2 = 259 bytes fit exactly.
    SetWide(reply.Drive.BackupFile, u"a" + std::u16string(200, u'\u3044'));
    TolvarDriveInfo info = Filled(0xCC);
    tolvar::ReadQueryReply(reply, info);

    std::string expectedData;
    for (int i = 0; i < 129; ++i) expectedData += "\x82\xA0";
    EXPECT_EQ(std::string(info.DataFile), expectedData);
    EXPECT_EQ(static_cast<BYTE>(info.DataFile[259]), 0xCC);  // beyond the terminator: untouched
    std::string expectedBackup = "a";
    for (int i = 0; i < 129; ++i) expectedBackup += "\x82\xA2";
    EXPECT_EQ(std::string(info.BackupFile), expectedBackup);
    EXPECT_EQ(info.BackupFile[259], '\0');
}

TEST_F(RecordsTest, SurrogatePairIsKeptOrDroppedWhole) {
    TolvarQueryReply reply = Reply();
    // The pair converts to two '?' in code page 1252: with 258 bytes before
    // it, splitting it would leave one '?' of a character that does not fit.
    SetWide(reply.Drive.DataFile, std::u16string(258, u'x') + u"\U0001F600");
    SetWide(reply.Drive.BackupFile, std::u16string(10, u'x') + u"\U0001F600" + u"y");
    TolvarDriveInfo info = Filled(0xCC);
    tolvar::ReadQueryReply(reply, info);
    EXPECT_EQ(std::string(info.DataFile), std::string(258, 'x'));
    EXPECT_EQ(std::string(info.BackupFile), std::string(10, 'x') + "??y");

    // A high surrogate without its low partner is one character of its own.
    SetWide(reply.Drive.DataFile, std::u16string(258, u'x') + u'\xD83D' + u'z');
    tolvar::ReadQueryReply(reply, info);
    EXPECT_EQ(std::string(info.DataFile), std::string(258, 'x') + "?");
}

TEST_F(RecordsTest, ReplyPathWritesNothingAfterItsTerminator) {
    TolvarQueryReply reply = Reply();
    SetWide(reply.Drive.DataFile, u"C:\\d");
    reply.Drive.DataFile[5] = u'z';  // after the terminator: never read
    TolvarDriveInfo info = Filled(0xCC);
    tolvar::ReadQueryReply(reply, info);
    EXPECT_STREQ(info.DataFile, "C:\\d");
    for (size_t i = 5; i < 260; ++i) ASSERT_EQ(static_cast<BYTE>(info.DataFile[i]), 0xCC) << i;
}

}  // namespace
