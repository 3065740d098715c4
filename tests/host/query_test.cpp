// TolvarQuery: one read-only request, the size check, then the copy.
#include "host_fixture.h"
#include "records/drive_records.h"
#include "tolvarsdk.h"

#include <cstring>

using ::testing::ElementsAre;
using namespace hostwin32;

namespace {

constexpr const char* kQueryCall =
    "DeviceIoControl(0x100, 0x80006018, NULL, 0, ptr, 1352, ptr, NULL)";

class QueryTest : public HostTest {
protected:
    // A device that answers the query with `size` bytes of a known reply.
    static void AddQueryDevice(UINT index, size_t size) {
        DeviceOptions device;
        device.control = [size](const DeviceRequest& request) {
            EXPECT_EQ(request.code, IOCTL_TOLVAR_QUERY);
            EXPECT_EQ(request.handleAccess, GENERIC_READ);
            std::vector<uint8_t> bytes = ReplyBytes();
            bytes.resize(size);
            return DeviceReply::Success(bytes);
        };
        AddDriveDevice(index, device);
    }
    static std::vector<uint8_t> ReplyBytes() {
        TolvarQueryReply reply;
        std::memset(&reply, 0, sizeof reply);
        reply.Drive.DriveLetter = 'K';
        reply.Drive.BackupBeforeWrite = 1;
        const char16_t backup[] = u"C:\\Backups\\k.bak";
        const char16_t data[] = u"C:\\Drives\\k.dat";
        std::memcpy(reply.Drive.BackupFile, backup, sizeof backup);
        std::memcpy(reply.Drive.DataFile, data, sizeof data);
        for (size_t i = 0; i < sizeof reply.DeviceDetails; ++i)
            reply.DeviceDetails[i] = static_cast<uint8_t>(0xFF - i);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&reply);
        return std::vector<uint8_t>(bytes, bytes + sizeof reply);
    }
    static TolvarDriveInfo Untouched() {
        TolvarDriveInfo info;
        std::memset(&info, 0x5A, sizeof info);
        return info;
    }
};

TEST_F(QueryTest, NullRecordIsRefusedBeforeAnythingIsOpened) {
    AddQueryDevice(0, 1352);
    EXPECT_EQ(TolvarQuery(nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(JournalText(true).empty());
}

TEST_F(QueryTest, WholeReplyFillsTheRecordThroughOneReadOnlyHandle) {
    AddQueryDevice(2, 1352);
    TolvarDriveInfo info = Untouched();
    EXPECT_EQ(TolvarQuery(&info, 2), 0u);
    EXPECT_THAT(Calls(), ElementsAre(OpenText("\\\\.\\TOLVARVX2", kReadOnly, kNoBuffering, "0x100"),
                                     std::string(kQueryCall) + " -> TRUE", "CloseHandle(0x100) -> TRUE"));
    EXPECT_EQ(info.DriveLetter, 'K');
    EXPECT_THAT(info.Alignment, ElementsAre(0x5A, 0x5A, 0x5A));
    EXPECT_EQ(info.BackupBeforeWrite, 1);
    EXPECT_STREQ(info.BackupFile, "C:\\Backups\\k.bak");
    EXPECT_STREQ(info.DataFile, "C:\\Drives\\k.dat");
    std::vector<uint8_t> reply = ReplyBytes();
    EXPECT_EQ(std::memcmp(info.DeviceDetails, reply.data() + 1048, 304), 0);
}

TEST_F(QueryTest, ShortReplyReturns122AndLeavesTheRecordUntouched) {
    for (size_t size : {size_t{1351}, size_t{1048}, size_t{0}}) {
        Reset();
        AddQueryDevice(1, size);
        TolvarDriveInfo info = Untouched();
        const TolvarDriveInfo before = info;
        EXPECT_EQ(TolvarQuery(&info, 1), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << size;
        EXPECT_EQ(CountCalls("CloseHandle"), 1u);
        EXPECT_EQ(OpenHandleCount(), 0u);
    }
}

TEST_F(QueryTest, FailingRequestReturnsItsErrorReadBeforeTheClose) {
    DeviceOptions device;
    device.control = [](const DeviceRequest&) { return DeviceReply::Failure(ERROR_NOT_READY); };
    AddDriveDevice(0, device);
    SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    TolvarDriveInfo info = Untouched();
    const TolvarDriveInfo before = info;
    EXPECT_EQ(TolvarQuery(&info, 0), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_THAT(Calls(), ElementsAre(OpenText("\\\\.\\TOLVARVX0", kReadOnly, kNoBuffering, "0x100"),
                                     std::string(kQueryCall) + " -> FALSE", "CloseHandle(0x100) -> TRUE"));
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

TEST_F(QueryTest, MissingDeviceReturnsTheOpensError) {
    TolvarDriveInfo info = Untouched();
    const TolvarDriveInfo before = info;
    EXPECT_EQ(TolvarQuery(&info, 9), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CountCalls("DeviceIoControl"), 0u);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
}

}  // namespace
