// Drive state: open, query, reload, close, and what each refuses.
#include "core_fixture.h"

namespace {

using DriveState = CoreTest;

TolvarvxDeviceDetails DetailsOf(const TolvarQueryReply& reply)
{
    TolvarvxDeviceDetails details;
    std::memcpy(&details, reply.DeviceDetails, sizeof details);
    return details;
}

TEST_F(DriveState, QueryReturnsWhatTheDriveWasOpenedWith)
{
    auto request = MakeOpenRequest('\xC4', 1, "D:\\backup\\b.bak", "D:\\data\\d.img");
    ASSERT_EQ(Open(request), TOLVARVX_STATUS_SUCCESS);
    TolvarQueryReply reply;
    std::memset(&reply, 0xAB, sizeof reply);
    ASSERT_EQ(Query(&reply), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(information, TOLVAR_QUERY_REPLY_SIZE);
    EXPECT_EQ(0, std::memcmp(&reply.Drive, &request, sizeof request));
    EXPECT_EQ(reply.Drive.DriveLetter, 0xFFC4);

    TolvarvxDeviceDetails details = DetailsOf(reply);
    EXPECT_EQ(details.Magic, TOLVARVX_DETAILS_MAGIC);
    EXPECT_EQ(details.Version, TOLVARVX_DETAILS_VERSION);
    EXPECT_EQ(details.DeviceIndex, kIndex);
    EXPECT_EQ(details.OpenCount, 1u);
    EXPECT_EQ(details.DataPathLength, std::strlen("D:\\data\\d.img"));
    EXPECT_EQ(details.BackupPathLength, std::strlen("D:\\backup\\b.bak"));
    for (uint8_t byte : details.Zero)
        ASSERT_EQ(byte, 0);
}

// The reply is built from the drive's fields: the reserved word and bytes
// past a path's terminator are not echoed back.
TEST_F(DriveState, ReplyCarriesNoBytesBeyondThePaths)
{
    auto request = MakeOpenRequest('F', 0, "", "F:\\f.img");
    request.Reserved = 0x1234;
    request.DataFile[200] = 'X';
    request.BackupFile[259] = 'Y';
    ASSERT_EQ(Open(request), TOLVARVX_STATUS_SUCCESS);
    TolvarQueryReply reply;
    ASSERT_EQ(Query(&reply), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(reply.Drive.Reserved, 0);
    EXPECT_EQ(reply.Drive.DataFile[200], 0);
    EXPECT_EQ(reply.Drive.BackupFile[259], 0);
    EXPECT_EQ(reply.Drive.DataFile[0], 'F');
}

TEST_F(DriveState, MalformedOpenRequestsAreRefused)
{
    auto noData = MakeOpenRequest('I', 0, "", "");
    EXPECT_EQ(Open(noData), TOLVARVX_STATUS_INVALID_PARAMETER);

    auto unterminatedData = MakeOpenRequest('I', 0, "", "I:\\x");
    for (auto& c : unterminatedData.DataFile)
        c = 'd';
    EXPECT_EQ(Open(unterminatedData), TOLVARVX_STATUS_INVALID_PARAMETER);

    auto unterminatedBackup = MakeOpenRequest('I', 1, "", "I:\\x");
    for (auto& c : unterminatedBackup.BackupFile)
        c = 'b';
    EXPECT_EQ(Open(unterminatedBackup), TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device.isOpen, 0u);

    // 259 characters and the terminator fill the field exactly: accepted.
    auto longest = MakeOpenRequest('I', 0, "", "I:\\x");
    for (unsigned i = 0; i < TOLVAR_PATH_CHARS - 1; ++i)
        longest.DataFile[i] = 'L';
    longest.DataFile[TOLVAR_PATH_CHARS - 1] = 0;
    ASSERT_EQ(Open(longest), TOLVARVX_STATUS_SUCCESS);
    TolvarQueryReply reply;
    ASSERT_EQ(Query(&reply), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(DetailsOf(reply).DataPathLength, TOLVAR_PATH_CHARS - 1);
}

TEST_F(DriveState, ReloadAndCloseCountAndCloseForgets)
{
    auto request = MakeOpenRequest('J', 0, "", "J:\\j.img");
    ASSERT_EQ(Open(request), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_RELOAD), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_RELOAD), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(tolvarvx_flush(&device), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(TOLVAR_FSCTL_DISMOUNT_VOLUME), TOLVARVX_STATUS_SUCCESS);
    TolvarQueryReply reply;
    ASSERT_EQ(Query(&reply), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(DetailsOf(reply).ReloadCount, 2u);
    EXPECT_EQ(DetailsOf(reply).FlushCount, 1u);
    EXPECT_EQ(DetailsOf(reply).DismountCount, 1u);

    EXPECT_EQ(Send(IOCTL_TOLVAR_CLOSE), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_CLOSE), TOLVARVX_STATUS_DEVICE_NOT_READY);
    auto next = MakeOpenRequest('K', 0, "", "K:\\k.img");
    ASSERT_EQ(Open(next), TOLVARVX_STATUS_SUCCESS);
    ASSERT_EQ(Query(&reply), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(&reply.Drive, &next, sizeof next));
    EXPECT_EQ(DetailsOf(reply).OpenCount, 2u);
    EXPECT_EQ(DetailsOf(reply).CloseCount, 1u);
}

}  // namespace
