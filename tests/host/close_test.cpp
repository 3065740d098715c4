// TolvarClose: lock, close, dismount and unlock on one handle, stopping at
// the first failure.
#include "host_fixture.h"
#include "tolvar_driver_contract.h"
#include "tolvarsdk.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using namespace hostwin32;

namespace {

constexpr DWORD kLock = 0x00090018;
constexpr DWORD kUnlock = 0x0009001C;
constexpr DWORD kDismount = 0x00090020;

class CloseTest : public HostTest {
protected:
    // A drive device on which the request `failing` fails with `error`.
    static void AddClosingDevice(UINT index, DWORD failing = 0, DWORD error = 0) {
        DeviceOptions device;
        device.control = [failing, error](const DeviceRequest& request) {
            EXPECT_EQ(request.handleAccess, GENERIC_READ | GENERIC_WRITE);
            EXPECT_TRUE(request.input.empty());
            EXPECT_EQ(request.outputSize, 0u);
            return request.code == failing ? DeviceReply::Failure(error) : DeviceReply::Success();
        };
        AddDriveDevice(index, device);
    }
    static std::vector<DWORD> SentCodes() {
        std::vector<DWORD> codes;
        for (const DeviceEvent& event : DeviceEvents()) codes.push_back(event.code);
        return codes;
    }
};

TEST_F(CloseTest, WithoutForceLocksClosesDismountsAndUnlocksOnOneHandle) {
    AddClosingDevice(1);
    EXPECT_EQ(TolvarClose(FALSE, 1), 0u);
    EXPECT_THAT(Calls(),
                ElementsAre(OpenText("\\\\.\\TOLVARVX1", kReadWrite, kNoBuffering, "0x100"),
                            "DeviceIoControl(0x100, 0x90018, NULL, 0, NULL, 0, ptr, NULL) -> TRUE",
                            "DeviceIoControl(0x100, 0x8000E004, NULL, 0, NULL, 0, ptr, NULL) -> TRUE",
                            "DeviceIoControl(0x100, 0x90020, NULL, 0, NULL, 0, ptr, NULL) -> TRUE",
                            "DeviceIoControl(0x100, 0x9001C, NULL, 0, NULL, 0, ptr, NULL) -> TRUE",
                            "CloseHandle(0x100) -> TRUE"));
}

TEST_F(CloseTest, ForceSkipsTheLockAndTheUnlock) {
    for (BOOL force : {1, 2, -1}) {  // any nonzero value forces
        Reset();
        AddClosingDevice(0);
        EXPECT_EQ(TolvarClose(force, 0), 0u);
        EXPECT_THAT(SentCodes(), ElementsAre(IOCTL_TOLVAR_CLOSE, kDismount)) << force;
        EXPECT_EQ(CountCalls("CreateFileA"), 1u);
    }
}

// Each failing request: its error comes back (read before the close, which
// here sets a last error of its own), nothing after it is sent, and the
// handle is closed.
struct CloseFailure {
    BOOL force;
    DWORD failing;
    std::vector<DWORD> sent;
};

TEST_F(CloseTest, FirstFailingRequestEndsTheSequenceWithItsError) {
    const CloseFailure cases[] = {
        {FALSE, kLock, {kLock}},
        {FALSE, IOCTL_TOLVAR_CLOSE, {kLock, IOCTL_TOLVAR_CLOSE}},
        {FALSE, kDismount, {kLock, IOCTL_TOLVAR_CLOSE, kDismount}},
        // The drive is already closed, yet the unlock's error is the result.
        {FALSE, kUnlock, {kLock, IOCTL_TOLVAR_CLOSE, kDismount, kUnlock}},
        {TRUE, IOCTL_TOLVAR_CLOSE, {IOCTL_TOLVAR_CLOSE}},
        {TRUE, kDismount, {IOCTL_TOLVAR_CLOSE, kDismount}},
    };
    for (const CloseFailure& failure : cases) {
        Reset();
        AddClosingDevice(3, failure.failing, ERROR_LOCK_VIOLATION);
        SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
        EXPECT_EQ(TolvarClose(failure.force, 3), static_cast<DWORD>(ERROR_LOCK_VIOLATION))
            << "force " << failure.force << " failing " << std::hex << failure.failing;
        EXPECT_THAT(SentCodes(), ElementsAreArray(failure.sent));
        EXPECT_EQ(Calls().back(), "CloseHandle(0x100) -> TRUE");
        EXPECT_EQ(OpenHandleCount(), 0u);
    }
}

TEST_F(CloseTest, MissingDeviceReturnsTheOpensErrorAndSendsNothing) {
    EXPECT_EQ(TolvarClose(FALSE, 4), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    FailCall("CreateFileA", ERROR_ACCESS_DENIED);
    AddClosingDevice(4);
    EXPECT_EQ(TolvarClose(TRUE, 4), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CountCalls("DeviceIoControl"), 0u);
    EXPECT_EQ(CountCalls("CloseHandle"), 0u);
}

}  // namespace
