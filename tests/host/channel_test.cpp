// The channel: device names, one-shot requests and TolvarFlush.
#include "channel/device_names.h"
#include "channel/drive_channel.h"
#include "host_fixture.h"
#include "tolvarsdk.h"

using ::testing::ElementsAre;
using namespace hostwin32;

namespace {

class ChannelTest : public HostTest {};

TEST_F(ChannelTest, DeviceNamesCoverTheWholeIndexRange) {
    tolvar::PathBuffer name;
    tolvar::DriveDeviceName(0, name);
    EXPECT_STREQ(name.text, "\\\\.\\TOLVARVX0");
    tolvar::DriveDeviceName(4294967295u, name);
    EXPECT_STREQ(name.text, "\\\\.\\TOLVARVX4294967295");
    tolvar::DriveKernelName(4294967295u, name);
    EXPECT_STREQ(name.text, "\\Device\\TolvarVault\\TOLVARVX4294967295");
    tolvar::VolumePath('q', name);
    EXPECT_STREQ(name.text, "\\\\.\\q:");
}

TEST_F(ChannelTest, FlushOfAMissingDeviceReturnsTheOpensErrorAndTouchesNothingElse) {
    EXPECT_EQ(TolvarFlush(7), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_THAT(Calls(), ElementsAre(OpenText("\\\\.\\TOLVARVX7", kReadWrite, kAttributeNormal,
                                              "INVALID_HANDLE_VALUE")));
    EXPECT_TRUE(DeviceEvents().empty());
}

TEST_F(ChannelTest, FlushOfTheLargestIndexOpensItsDevice) {
    AddDriveDevice(4294967295u);
    EXPECT_EQ(TolvarFlush(4294967295u), 0u);
    ASSERT_EQ(DeviceEvents().size(), 1u);
    EXPECT_EQ(DeviceEvents()[0].kernelName, "\\Device\\TolvarVault\\TOLVARVX4294967295");
    EXPECT_EQ(DeviceEvents()[0].kind, "flush");
}

TEST_F(ChannelTest, FlushOpensReadWriteFlushesAndCloses) {
    AddDriveDevice(3);
    EXPECT_EQ(TolvarFlush(3), 0u);
    EXPECT_THAT(Calls(), ElementsAre(OpenText("\\\\.\\TOLVARVX3", kReadWrite, kAttributeNormal, "0x100"),
                                     "FlushFileBuffers(0x100) -> TRUE", "CloseHandle(0x100) -> TRUE"));
}

TEST_F(ChannelTest, FailingFlushReturnsItsErrorReadBeforeTheClose) {
    DeviceOptions busy;
    busy.flush = [](const std::string&) -> DWORD { return ERROR_BUSY; };
    AddDriveDevice(1, busy);
    // A close that disturbs the last error proves the flush's error was read first.
    SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    EXPECT_EQ(TolvarFlush(1), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_THAT(Calls(), ElementsAre(OpenText("\\\\.\\TOLVARVX1", kReadWrite, kAttributeNormal, "0x100"),
                                     "FlushFileBuffers(0x100) -> FALSE", "CloseHandle(0x100) -> TRUE"));
}

TEST_F(ChannelTest, OpenFaultsReachTheCallerUnchanged) {
    AddDriveDevice(0);
    FailCall("CreateFileA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(TolvarFlush(0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CountCalls("FlushFileBuffers"), 0u);
}

TEST_F(ChannelTest, SendDriveControlOpensWithTheDeviceFlagsAndStopsAtTheFirstFailure) {
    DeviceOptions device;
    device.control = [](const DeviceRequest& request) {
        return request.code == IOCTL_TOLVAR_CLOSE ? DeviceReply::Failure(ERROR_NOT_READY)
                                                  : DeviceReply::Success();
    };
    AddDriveDevice(2, device);
    SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    tolvar::DriveRequest requests[] = {tolvar::BareRequest(IOCTL_TOLVAR_DEAUTHEN),
                                       tolvar::BareRequest(IOCTL_TOLVAR_CLOSE),
                                       tolvar::BareRequest(IOCTL_TOLVAR_RELOAD)};
    EXPECT_EQ(tolvar::SendDriveControl(2, tolvar::kReadWriteAccess, requests, 3),
              static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_THAT(Calls(),
                ElementsAre(OpenText("\\\\.\\TOLVARVX2", kReadWrite, kNoBuffering, "0x100"),
                            "DeviceIoControl(0x100, 0x8000E014, NULL, 0, NULL, 0, ptr, NULL) -> TRUE",
                            "DeviceIoControl(0x100, 0x8000E004, NULL, 0, NULL, 0, ptr, NULL) -> FALSE",
                            "CloseHandle(0x100) -> TRUE"));
}

TEST_F(ChannelTest, SendDriveControlReportsTheBytesEachRequestReturned) {
    DeviceOptions device;
    device.control = [](const DeviceRequest& request) {
        EXPECT_EQ(request.handleAccess, GENERIC_READ);
        return DeviceReply::Success(std::vector<uint8_t>(request.outputSize - 1, 0xAB));
    };
    AddDriveDevice(0, device);
    BYTE reply[16] = {};
    tolvar::DriveRequest request{IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, reply, sizeof reply, 99};
    EXPECT_EQ(tolvar::SendDriveControl(0, tolvar::kReadOnlyAccess, request), 0u);
    EXPECT_EQ(request.bytesReturned, 15u);
    EXPECT_EQ(reply[14], 0xAB);
    EXPECT_EQ(reply[15], 0);
}

TEST_F(ChannelTest, AReadOnlyHandleCannotSendAReadWriteRequest) {
    AddDriveDevice(0);
    tolvar::DriveRequest request = tolvar::BareRequest(IOCTL_TOLVAR_CLOSE);
    EXPECT_EQ(tolvar::SendDriveControl(0, tolvar::kReadOnlyAccess, request),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeviceEvents().empty());
}

}  // namespace

namespace {

TEST_F(ChannelTest, FlushPathOfAVolumeFlushesTheVolumeBehindTheLetter) {
    std::string volume = AddVolume('D');
    EXPECT_EQ(tolvar::FlushPath("\\\\.\\d:"), 0u);
    ASSERT_EQ(DeviceEvents().size(), 1u);
    EXPECT_EQ(DeviceEvents()[0].kernelName, volume);
    EXPECT_EQ(tolvar::FlushPath("\\\\.\\E:"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
