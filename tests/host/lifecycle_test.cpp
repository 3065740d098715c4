// A drive's whole life on the host, against the driver stand-in's own
// request logic: the exports agree with the driver on every buffer.
#include <cstring>

#include "host_fixture.h"
#include "stand_in_device.h"
#include "tolvarsdk.h"
#include "tolvarvx_details.h"
#include "tolvarvx_handshake.h"

using namespace hostwin32;

namespace {

class LifecycleTest : public HostTest {};

TolvarDriveInfo Record(char letter, BOOL backupBeforeWrite, const char* backup, const char* data) {
    TolvarDriveInfo info;
    std::memset(&info, 0, sizeof info);
    info.DriveLetter = letter;
    info.BackupBeforeWrite = backupBeforeWrite;
    std::strcpy(info.BackupFile, backup);
    std::strcpy(info.DataFile, data);
    return info;
}

TEST_F(LifecycleTest, OpenQueryFlushHandshakeReloadAndCloseAgreeWithTheDriver) {
    StandInDevice drive(2);
    AddVolume('R');
    TolvarDriveInfo opened = Record('R', FALSE, "", "C:\\Drives\\r.dat");
    ASSERT_EQ(TolvarOpen(&opened, 2), 0u);
    EXPECT_EQ(TolvarOpen(&opened, 2), static_cast<DWORD>(ERROR_BUSY)) << "already open";

    TolvarDriveInfo queried;
    std::memset(&queried, 0xCC, sizeof queried);
    ASSERT_EQ(TolvarQuery(&queried, 2), 0u);
    EXPECT_EQ(queried.DriveLetter, 'R');
    EXPECT_EQ(queried.BackupBeforeWrite, FALSE);
    EXPECT_STREQ(queried.BackupFile, "");
    EXPECT_STREQ(queried.DataFile, "C:\\Drives\\r.dat");
    EXPECT_EQ(std::memcmp(queried.Alignment, "\xCC\xCC\xCC", 3), 0);
    uint32_t magic;
    std::memcpy(&magic, queried.DeviceDetails, sizeof magic);
    EXPECT_EQ(magic, TOLVARVX_DETAILS_MAGIC);

    EXPECT_EQ(TolvarFlush(2), 0u);

    BYTE challenge[16];
    ASSERT_EQ(TolvarGetChallenge(challenge, 2), 0u);
    uint8_t secret[64];
    size_t secretLength = tolvarvx_default_secret(2, secret, sizeof secret);
    BYTE response[16];
    tolvarvx_handshake_response(secret, secretLength, challenge, response);
    EXPECT_EQ(TolvarAuthen(response, 2), 0u);
    EXPECT_EQ(TolvarAuthen(response, 2), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "stale";
    EXPECT_EQ(TolvarDeauthen(2), 0u);

    EXPECT_EQ(TolvarReload(2), 0u);
    EXPECT_EQ(drive.Core().reloadCount, 1u);

    EXPECT_EQ(TolvarClose(FALSE, 2), 0u);
    EXPECT_EQ(TolvarQuery(&queried, 2), static_cast<DWORD>(ERROR_NOT_READY)) << "closed";
    EXPECT_EQ(TolvarClose(TRUE, 2), static_cast<DWORD>(ERROR_NOT_READY));
}

TEST_F(LifecycleTest, TheDriverReceivesTheRequestTheRecordDescribes) {
    StandInDevice drive(0);
    AddVolume('B');
    TolvarDriveInfo info = Record('B', TRUE, "D:\\backup\\b.bak", "D:\\data\\b.dat");
    ASSERT_EQ(TolvarOpen(&info, 0), 0u);
    ASSERT_TRUE(drive.Core().lastOpenValid);
    TolvarOpenRequest sent;
    std::memcpy(&sent, drive.Core().lastOpenRequest, sizeof sent);
    EXPECT_EQ(sent.DriveLetter, u'B');
    EXPECT_EQ(sent.BackupBeforeWrite, 1u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(sent.BackupFile)),
              u"D:\\backup\\b.bak");
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(sent.DataFile)), u"D:\\data\\b.dat");
    // A BackupBeforeWrite drive is refused a reload, and says why.
    EXPECT_EQ(TolvarReload(0), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(drive.Core().reloadCount, 0u);
}

}  // namespace
