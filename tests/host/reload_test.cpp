// TolvarReload: query, refusal of BackupBeforeWrite drives, two flushes,
// the volume-name lookup, the dismount, the driver's reload with the volume
// still open, and one event-log entry for whichever step fails.
#include <hostwin32/eventlog.h>
#include <hostwin32/volumes.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "host_fixture.h"
#include "tolvar_driver_contract.h"
#include "tolvarsdk.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace hostwin32;

namespace {

constexpr UINT kIndex = 2;
const std::string kDrive = "\\Device\\TolvarVault\\TOLVARVX2";
const std::string kVolume = "\\Device\\HarddiskVolumeR";

// What drive device 2 answers.
struct DriveBehaviour {
    uint16_t letterWord = 'R';
    uint32_t backupBeforeWrite = 0;
    DWORD queryError = 0;
    DWORD queryReplySize = TOLVAR_QUERY_REPLY_SIZE;
    DWORD flushError = 0;
    DWORD reloadError = 0;
};

std::vector<uint8_t> QueryReplyBytes(const DriveBehaviour& drive) {
    TolvarQueryReply reply;
    std::memset(&reply, 0, sizeof reply);
    reply.Drive.DriveLetter = drive.letterWord;
    reply.Drive.BackupBeforeWrite = drive.backupBeforeWrite;
    const char data[] = "C:\\Drives\\r.img";
    for (size_t i = 0; i < sizeof data; ++i) reply.Drive.DataFile[i] = static_cast<uint8_t>(data[i]);
    std::memset(reply.DeviceDetails, 0x5A, sizeof reply.DeviceDetails);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&reply);
    return std::vector<uint8_t>(bytes, bytes + drive.queryReplySize);
}

bool VolumeIsOpen() {
    for (const std::string& handle : OpenHandleDescriptions())
        if (handle.find(kVolume) != std::string::npos) return true;
    return false;
}

class ReloadTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        // Every close disturbs the last error: a result read after a close
        // would come out as ERROR_INVALID_FUNCTION.
        SetCloseHandleLastError(ERROR_INVALID_FUNCTION);
    }

    // Drive device 2 behaving as `drive`, and volume R: behind its letter.
    void Install(const DriveBehaviour& drive, DeviceOptions volume = {}) {
        DeviceOptions device;
        device.control = [this, drive](const DeviceRequest& request) {
            if (request.code == IOCTL_TOLVAR_QUERY)
                return drive.queryError ? DeviceReply::Failure(drive.queryError)
                                        : DeviceReply::Success(QueryReplyBytes(drive));
            if (request.code == IOCTL_TOLVAR_RELOAD) {
                volumeOpenDuringReload_ = VolumeIsOpen();
                return drive.reloadError ? DeviceReply::Failure(drive.reloadError)
                                         : DeviceReply::Success();
            }
            return DeviceReply::Failure(ERROR_INVALID_FUNCTION);
        };
        device.flush = [drive](const std::string&) { return drive.flushError; };
        AddDriveDevice(kIndex, device);
        AddVolume('R', volume);
    }

    // Reloads and returns what the reload printed to standard output.
    std::string Reload(DWORD expected) {
        ::testing::internal::CaptureStdout();
        DWORD result = TolvarReload(kIndex);
        std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, expected);
        return printed;
    }

    // The one entry a failing reload writes.
    static void ExpectOneEntry(DWORD code, const std::string& message) {
        ASSERT_EQ(EventLogEntries().size(), 1u);
        const EventLogEntry& entry = EventLogEntries()[0];
        EXPECT_EQ(entry.source, "Tolvar service");
        EXPECT_EQ(entry.type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(entry.category, 0);
        EXPECT_EQ(entry.eventId, code);
        EXPECT_FALSE(entry.hasUserSid);
        EXPECT_THAT(entry.strings, ElementsAre(message));
        EXPECT_THAT(entry.data, IsEmpty());
    }

    // Requests that reached a device, as "kind code device".
    static std::vector<std::string> Requests() {
        std::vector<std::string> lines;
        for (const DeviceEvent& event : DeviceEvents()) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%X", static_cast<unsigned>(event.code));
            lines.push_back(event.kind + " " + (event.kind == "flush" ? "" : std::string(code) + " ") +
                            event.kernelName);
        }
        return lines;
    }

    bool volumeOpenDuringReload_ = false;
};

const std::string kQuery = "control 0x80006018 " + kDrive;
const std::string kFlushDrive = "flush " + kDrive;
const std::string kFlushVolume = "flush " + kVolume;
const std::string kDismount = "control 0x90020 " + kVolume;
const std::string kLowerReload = "control 0x8000E008 " + kDrive;

TEST_F(ReloadTest, SuccessRunsEveryStepInOrderAndWritesNoEntry) {
    Install({});
    EXPECT_EQ(Reload(ERROR_SUCCESS), "");
    EXPECT_THAT(
        Calls(),
        ElementsAre(OpenText("\\\\.\\TOLVARVX2", kReadOnly, kNoBuffering, "0x100"),
                    "DeviceIoControl(0x100, 0x80006018, NULL, 0, ptr, 1352, ptr, NULL) -> TRUE",
                    "CloseHandle(0x100) -> TRUE",
                    OpenText("\\\\.\\TOLVARVX2", kReadWrite, kAttributeNormal, "0x104"),
                    "FlushFileBuffers(0x104) -> TRUE", "CloseHandle(0x104) -> TRUE",
                    OpenText("\\\\.\\R:", kReadWrite, kAttributeNormal, "0x108"),
                    "FlushFileBuffers(0x108) -> TRUE", "CloseHandle(0x108) -> TRUE",
                    "GetVolumeNameForVolumeMountPointA(\"R:\\\", ptr, 260) -> TRUE",
                    OpenText("\\\\.\\R:", kReadWrite, kNoBuffering, "0x10C"),
                    "DeviceIoControl(0x10C, 0x90020, NULL, 0, NULL, 0, ptr, NULL) -> TRUE",
                    OpenText("\\\\.\\TOLVARVX2", kReadWrite, kNoBuffering, "0x110"),
                    "DeviceIoControl(0x110, 0x8000E008, NULL, 0, NULL, 0, ptr, NULL) -> TRUE",
                    "CloseHandle(0x110) -> TRUE", "CloseHandle(0x10C) -> TRUE"));
    EXPECT_THAT(Requests(), ElementsAre(kQuery, kFlushDrive, kFlushVolume, kDismount, kLowerReload));
    EXPECT_TRUE(volumeOpenDuringReload_);
    EXPECT_THAT(EventLogEntries(), IsEmpty());
    EXPECT_EQ(CountCalls("RegisterEventSourceA"), 0u);
}

TEST_F(ReloadTest, TheLetterComesFromTheLowByteOfTheReplysLetterWord) {
    DriveBehaviour drive;
    drive.letterWord = 0x0152;  // 'R' with a high byte that is not read
    Install(drive);
    EXPECT_EQ(Reload(ERROR_SUCCESS), "");
    EXPECT_EQ(CallsTo("GetVolumeNameForVolumeMountPointA").at(0),
              "GetVolumeNameForVolumeMountPointA(\"R:\\\", ptr, 260) -> TRUE");
}

TEST_F(ReloadTest, BackupBeforeWriteDriveIsRefusedWith32AndNothingIsFlushed) {
    DriveBehaviour drive;
    drive.backupBeforeWrite = 7;  // any nonzero value
    Install(drive);
    EXPECT_EQ(Reload(ERROR_SHARING_VIOLATION), "");
    ExpectOneEntry(32, "[Reload] Meet BackupBeforeWrite device.");
    EXPECT_THAT(Requests(), ElementsAre(kQuery));
    EXPECT_EQ(CountCalls("FlushFileBuffers"), 0u);
    EXPECT_THAT(Calls(),
                ElementsAre(OpenText("\\\\.\\TOLVARVX2", kReadOnly, kNoBuffering, "0x100"),
                            "DeviceIoControl(0x100, 0x80006018, NULL, 0, ptr, 1352, ptr, NULL) -> TRUE",
                            "CloseHandle(0x100) -> TRUE",
                            "RegisterEventSourceA(NULL, \"Tolvar service\") -> 0x104",
                            "ReportEventA(0x104, 1, 0, 32, NULL, 1, 0, "
                            "{\"[Reload] Meet BackupBeforeWrite device.\"}, NULL) -> TRUE",
                            "DeregisterEventSource(0x104) -> TRUE"));
}

// One failing step: how to make it fail, what the call returns and logs,
// and the requests that reached a device before it stopped.
struct FailingStep {
    const char* name;
    std::function<void(DriveBehaviour&, DeviceOptions& volume)> arrange;
    std::function<void()> inject;  // faults planned after the devices exist
    DWORD code;
    const char* message;
    std::vector<std::string> requests;
};

void PrintTo(const FailingStep& step, std::ostream* out) { *out << step.name; }

class ReloadStepFailure : public ReloadTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(ReloadStepFailure, ReturnsTheStepsCodeLogsItOnceAndStops) {
    const FailingStep& step = GetParam();
    DriveBehaviour drive;
    DeviceOptions volume;
    if (step.arrange) step.arrange(drive, volume);
    Install(drive, volume);
    if (step.inject) step.inject();
    EXPECT_EQ(Reload(step.code), "");
    ExpectOneEntry(step.code, step.message);
    EXPECT_EQ(Requests(), step.requests);
    // Once the volume is open (the dismount was sent), its handle is closed
    // last, after the entry is written; before that, the entry is last.
    std::vector<std::string> calls = Calls();
    ASSERT_GE(calls.size(), 2u);
    bool volumeOpened = std::find(step.requests.begin(), step.requests.end(), kDismount) !=
                        step.requests.end();
    if (volumeOpened) {
        EXPECT_EQ(calls.back(), "CloseHandle(0x10C) -> TRUE");
        calls.pop_back();
    }
    EXPECT_EQ(calls.back().rfind("DeregisterEventSource(", 0), 0u) << calls.back();
}

const std::vector<FailingStep> kFailingSteps = {
    {"QueryOpen", nullptr, [] { Device(kDrive).openError = ERROR_ACCESS_DENIED; }, ERROR_ACCESS_DENIED,
     "[Reload] Failed to query device information.", {}},
    {"QueryRequest", [](DriveBehaviour& d, DeviceOptions&) { d.queryError = ERROR_NOT_READY; }, nullptr,
     ERROR_NOT_READY, "[Reload] Failed to query device information.", {kQuery}},
    {"ShortQueryReply",
     [](DriveBehaviour& d, DeviceOptions&) { d.queryReplySize = TOLVAR_QUERY_REPLY_SIZE - 1; }, nullptr,
     ERROR_INSUFFICIENT_BUFFER, "[Reload] Failed to query device information.", {kQuery}},
    {"DriveFlush", [](DriveBehaviour& d, DeviceOptions&) { d.flushError = ERROR_IO_DEVICE; }, nullptr,
     ERROR_IO_DEVICE, "[Reload] Failed to flush MP.", {kQuery, kFlushDrive}},
    {"DriveFlushOpen", nullptr, [] { FailCall("CreateFileA", ERROR_SHARING_VIOLATION, 2); },
     ERROR_SHARING_VIOLATION, "[Reload] Failed to flush MP.", {kQuery}},
    {"VolumeFlush",
     [](DriveBehaviour&, DeviceOptions& v) {
         v.flush = [](const std::string&) -> DWORD { return ERROR_NOT_READY; };
     },
     nullptr, ERROR_NOT_READY, "[Reload] Failed to flush SP.", {kQuery, kFlushDrive, kFlushVolume}},
    {"VolumeFlushOpen", nullptr, [] { Device(kVolume).openError = ERROR_ACCESS_DENIED; },
     ERROR_ACCESS_DENIED, "[Reload] Failed to flush SP.", {kQuery, kFlushDrive}},
    {"VolumeNameLookup", nullptr,
     [] { FailCall("GetVolumeNameForVolumeMountPointA", ERROR_NOT_READY); }, ERROR_NOT_READY,
     "[Reload] Failed to get volume name.", {kQuery, kFlushDrive, kFlushVolume}},
    {"DismountOpen", nullptr, [] { FailCall("CreateFileA", ERROR_SHARING_VIOLATION, 4); },
     ERROR_SHARING_VIOLATION, "[Reload] Failed to dismount.", {kQuery, kFlushDrive, kFlushVolume}},
    {"Dismount",
     [](DriveBehaviour&, DeviceOptions& v) {
         v.control = FailingRequest(FSCTL_DISMOUNT_VOLUME, ERROR_ACCESS_DENIED);
     },
     nullptr, ERROR_ACCESS_DENIED, "[Reload] Failed to dismount.",
     {kQuery, kFlushDrive, kFlushVolume, kDismount}},
    {"LowerReloadOpen", nullptr, [] { FailCall("CreateFileA", ERROR_ACCESS_DENIED, 5); },
     ERROR_ACCESS_DENIED, "[Reload] Failed to perform lower reload.",
     {kQuery, kFlushDrive, kFlushVolume, kDismount}},
    {"LowerReload", [](DriveBehaviour& d, DeviceOptions&) { d.reloadError = 0xE0001234u; }, nullptr,
     0xE0001234u, "[Reload] Failed to perform lower reload.",
     {kQuery, kFlushDrive, kFlushVolume, kDismount, kLowerReload}},
};

INSTANTIATE_TEST_SUITE_P(EachStep, ReloadStepFailure, ::testing::ValuesIn(kFailingSteps),
                         [](const ::testing::TestParamInfo<FailingStep>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ReloadTest, FailingLowerReloadIsLoggedThenTheVolumeHandleIsClosed) {
    DriveBehaviour drive;
    drive.reloadError = ERROR_IO_DEVICE;
    Install(drive);
    EXPECT_EQ(Reload(ERROR_IO_DEVICE), "");
    EXPECT_TRUE(volumeOpenDuringReload_);
    std::vector<std::string> calls = Calls();
    ASSERT_GE(calls.size(), 7u);
    EXPECT_THAT(std::vector<std::string>(calls.end() - 7, calls.end()),
                ElementsAre(OpenText("\\\\.\\TOLVARVX2", kReadWrite, kNoBuffering, "0x110"),
                            "DeviceIoControl(0x110, 0x8000E008, NULL, 0, NULL, 0, ptr, NULL) -> FALSE",
                            "CloseHandle(0x110) -> TRUE",
                            "RegisterEventSourceA(NULL, \"Tolvar service\") -> 0x114",
                            "ReportEventA(0x114, 1, 0, 1117, NULL, 1, 0, "
                            "{\"[Reload] Failed to perform lower reload.\"}, NULL) -> TRUE",
                            "DeregisterEventSource(0x114) -> TRUE", "CloseHandle(0x10C) -> TRUE"));
}

TEST_F(ReloadTest, FailedDismountStillClosesTheVolumeHandleItOpened) {
    DeviceOptions volume;
    volume.control = FailingRequest(FSCTL_DISMOUNT_VOLUME, ERROR_LOCK_VIOLATION);
    Install({}, volume);
    EXPECT_EQ(Reload(ERROR_LOCK_VIOLATION), "");
    ExpectOneEntry(ERROR_LOCK_VIOLATION, "[Reload] Failed to dismount.");
    EXPECT_EQ(CountCalls("CloseHandle"), 4u);  // query, two flushes, the volume
    EXPECT_EQ(CallsTo("CloseHandle").back(), "CloseHandle(0x10C) -> TRUE");
}

TEST_F(ReloadTest, LetterWithoutAnyDeviceFailsAtTheVolumeFlushAndNeverDismounts) {
    Install({});
    RemoveDevice(kVolume);  // R: now names nothing that exists
    EXPECT_EQ(Reload(ERROR_PATH_NOT_FOUND), "");
    ExpectOneEntry(ERROR_PATH_NOT_FOUND, "[Reload] Failed to flush SP.");
    EXPECT_THAT(Requests(), ElementsAre(kQuery, kFlushDrive));
    EXPECT_EQ(CountCalls("GetVolumeNameForVolumeMountPointA"), 0u);
}

TEST_F(ReloadTest, UndefinedLetterFailsAtTheVolumeFlushAndNeverDismounts) {
    DriveBehaviour drive;
    drive.letterWord = 'Q';
    Install(drive);
    EXPECT_EQ(Reload(ERROR_FILE_NOT_FOUND), "");
    ExpectOneEntry(ERROR_FILE_NOT_FOUND, "[Reload] Failed to flush SP.");
    EXPECT_THAT(Requests(), ElementsAre(kQuery, kFlushDrive));
}

TEST_F(ReloadTest, LetterThatNamesTheDriveDeviceFailsAtTheLookupAndNeverDismounts) {
    // A letter defined with DefineDosDevice for the drive device opens and
    // flushes, but is no volume of the mount manager: Windows answers the
    // lookup with ERROR_INVALID_PARAMETER.
    DriveBehaviour drive;
    drive.letterWord = 'Q';
    Install(drive);
    DefineDosName("Q:", kDrive);
    EXPECT_EQ(Reload(ERROR_INVALID_PARAMETER), "");
    ExpectOneEntry(ERROR_INVALID_PARAMETER, "[Reload] Failed to get volume name.");
    EXPECT_THAT(Requests(), ElementsAre(kQuery, kFlushDrive, kFlushDrive));
    EXPECT_EQ(CallsTo("GetVolumeNameForVolumeMountPointA").at(0),
              "GetVolumeNameForVolumeMountPointA(\"Q:\\\", ptr, 260) -> FALSE");
}

TEST_F(ReloadTest, UnavailableEventSourcePrintsOnceAndTheReloadKeepsItsCode) {
    DriveBehaviour drive;
    drive.backupBeforeWrite = 1;
    Install(drive);
    FailCall("RegisterEventSourceA", ERROR_ACCESS_DENIED, 0);
    EXPECT_EQ(Reload(ERROR_SHARING_VIOLATION), "Could not register the event source.");
    EXPECT_EQ(CountCalls("RegisterEventSourceA"), 1u);
    EXPECT_EQ(CountCalls("ReportEventA"), 0u);
    EXPECT_THAT(EventLogEntries(), IsEmpty());
}

TEST_F(ReloadTest, FailingReportPrintsOnceAndTheReloadKeepsItsCode) {
    DriveBehaviour drive;
    drive.reloadError = ERROR_NOT_READY;
    Install(drive);
    FailCall("ReportEventA", 1502 /* ERROR_LOG_FILE_FULL */);
    EXPECT_EQ(Reload(ERROR_NOT_READY), "Could not report the event.");
    EXPECT_EQ(CountCalls("DeregisterEventSource"), 1u);
    EXPECT_EQ(CallsTo("CloseHandle").back(), "CloseHandle(0x10C) -> TRUE");
}

}  // namespace
