// The handshake exports: argument checks, the access each opens with, the
// 16-byte blocks passed through unchanged, the challenge's size check, and
// the error taken before the handle is closed.
#include <cstring>

#include "host_fixture.h"
#include "tolvarsdk.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace hostwin32;

namespace {

const char* const kChallengeRequest =
    "DeviceIoControl(0x100, 0x8000600C, NULL, 0, ptr, 16, ptr, NULL)";
const char* const kAuthenRequest = "DeviceIoControl(0x100, 0x8000E010, ptr, 16, NULL, 0, ptr, NULL)";
const char* const kDeauthenRequest =
    "DeviceIoControl(0x100, 0x8000E014, NULL, 0, NULL, 0, ptr, NULL)";

std::vector<uint8_t> Counting(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// A device whose every request is answered with `reply`.
DeviceOptions Answering(DeviceReply reply) {
    DeviceOptions device;
    device.control = [reply](const DeviceRequest&) { return reply; };
    return device;
}

class HandshakeTest : public HostTest {};

TEST_F(HandshakeTest, NullBlocksAreRefusedBeforeAnythingIsOpened) {
    AddDriveDevice(0);
    EXPECT_EQ(TolvarGetChallenge(nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TolvarAuthen(nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_THAT(JournalText(true), IsEmpty());
    EXPECT_TRUE(DeviceEvents().empty());
}

TEST_F(HandshakeTest, ChallengeOpensReadOnlyAndFillsTheCallersSixteenBytes) {
    AddDriveDevice(3, Answering(DeviceReply::Success(Counting(16, 0xA0))));
    BYTE challenge[17];
    std::memset(challenge, 0xEE, sizeof challenge);
    EXPECT_EQ(TolvarGetChallenge(challenge, 3), 0u);
    EXPECT_THAT(Calls(), ElementsAre(OpenText("\\\\.\\TOLVARVX3", kReadOnly, kNoBuffering, "0x100"),
                                     std::string(kChallengeRequest) + " -> TRUE",
                                     "CloseHandle(0x100) -> TRUE"));
    EXPECT_EQ(std::vector<uint8_t>(challenge, challenge + 16), Counting(16, 0xA0));
    EXPECT_EQ(challenge[16], 0xEE) << "a byte past the challenge was written";
}

TEST_F(HandshakeTest, ShortChallengeGives122AndLeavesTheBytesThatCame) {
    AddDriveDevice(0, Answering(DeviceReply::Success(Counting(15, 0x10))));
    BYTE challenge[16];
    std::memset(challenge, 0xEE, sizeof challenge);
    EXPECT_EQ(TolvarGetChallenge(challenge, 0), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::vector<uint8_t>(challenge, challenge + 15), Counting(15, 0x10));
    EXPECT_EQ(challenge[15], 0xEE);
    EXPECT_EQ(CountCalls("CloseHandle"), 1u);

    // No bytes at all is short too.
    Device("\\Device\\TolvarVault\\TOLVARVX0").control = [](const DeviceRequest&) {
        return DeviceReply::Success();
    };
    EXPECT_EQ(TolvarGetChallenge(challenge, 0), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(HandshakeTest, FailingRequestsReturnTheDriversErrorReadBeforeTheClose) {
    AddDriveDevice(1, Answering(DeviceReply::Failure(ERROR_ACCESS_DENIED)));
    SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    BYTE block[16] = {};
    EXPECT_EQ(TolvarGetChallenge(block, 1), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(TolvarAuthen(block, 1), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(TolvarDeauthen(1), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(CallsTo("DeviceIoControl"),
                ElementsAre(std::string(kChallengeRequest) + " -> FALSE",
                            "DeviceIoControl(0x104, 0x8000E010, ptr, 16, NULL, 0, ptr, NULL) -> FALSE",
                            "DeviceIoControl(0x108, 0x8000E014, NULL, 0, NULL, 0, ptr, NULL) -> FALSE"));
    EXPECT_EQ(CountCalls("CloseHandle"), 3u);
}

TEST_F(HandshakeTest, AMissingDeviceGivesTheOpensErrorAndSendsNothing) {
    BYTE block[16] = {};
    EXPECT_EQ(TolvarGetChallenge(block, 5), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(TolvarAuthen(block, 5), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(TolvarDeauthen(5), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    AddDriveDevice(5);
    FailCall("CreateFileA", ERROR_SHARING_VIOLATION);
    EXPECT_EQ(TolvarDeauthen(5), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(CountCalls("DeviceIoControl"), 0u);
    EXPECT_EQ(CountCalls("CloseHandle"), 0u);
}

TEST_F(HandshakeTest, AuthenSendsTheCallersSixteenBytesOnAReadWriteHandle) {
    AddDriveDevice(2);
    std::vector<uint8_t> response = Counting(16, 0xF0);  // runs through 0xFF into 0x00..
    EXPECT_EQ(TolvarAuthen(response.data(), 2), 0u);
    EXPECT_THAT(Calls(), ElementsAre(OpenText("\\\\.\\TOLVARVX2", kReadWrite, kNoBuffering, "0x100"),
                                     std::string(kAuthenRequest) + " -> TRUE",
                                     "CloseHandle(0x100) -> TRUE"));
    ASSERT_EQ(DeviceEvents().size(), 1u);
    EXPECT_EQ(DeviceEvents()[0].input, response);
    EXPECT_EQ(DeviceEvents()[0].outputSize, 0u);
}

TEST_F(HandshakeTest, DeauthenChecksNothingAndSendsABareReadWriteRequest) {
    AddDriveDevice(4294967295u);
    EXPECT_EQ(TolvarDeauthen(4294967295u), 0u);
    EXPECT_THAT(Calls(),
                ElementsAre(OpenText("\\\\.\\TOLVARVX4294967295", kReadWrite, kNoBuffering, "0x100"),
                            std::string(kDeauthenRequest) + " -> TRUE", "CloseHandle(0x100) -> TRUE"));
}

}  // namespace
