// The event-log reporter: one error entry per report, its source handle
// always deregistered, and the two console messages when logging fails.
#include <hostwin32/eventlog.h>

#include "channel/event_log.h"
#include "host_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace hostwin32;

namespace {

class EventLogTest : public HostTest {
protected:
    // Reports and returns what the reporter printed to standard output.
    static std::string Report(DWORD eventId, const char* message) {
        ::testing::internal::CaptureStdout();
        tolvar::ReportErrorEvent(tolvar::kEventSourceName, eventId, message);
        return ::testing::internal::GetCapturedStdout();
    }
};

TEST_F(EventLogTest, WritesOneErrorEntryWithOneStringAndDeregisters) {
    EXPECT_EQ(Report(1117, "[Reload] Failed to flush SP."), "");
    EXPECT_THAT(Calls(),
                ElementsAre("RegisterEventSourceA(NULL, \"Tolvar service\") -> 0x100",
                            "ReportEventA(0x100, 1, 0, 1117, NULL, 1, 0, "
                            "{\"[Reload] Failed to flush SP.\"}, NULL) -> TRUE",
                            "DeregisterEventSource(0x100) -> TRUE"));
    ASSERT_EQ(EventLogEntries().size(), 1u);
    const EventLogEntry& entry = EventLogEntries()[0];
    EXPECT_EQ(entry.source, "Tolvar service");
    EXPECT_EQ(entry.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(entry.category, 0);
    EXPECT_EQ(entry.eventId, 1117u);
    EXPECT_FALSE(entry.hasUserSid);
    EXPECT_THAT(entry.strings, ElementsAre("[Reload] Failed to flush SP."));
    EXPECT_THAT(entry.data, IsEmpty());
}

TEST_F(EventLogTest, TheMessageIsAnInsertionStringNotAFormat) {
    // Percent signs and insertion markers reach the log as written.
    EXPECT_EQ(Report(0xE0001234u, "100% %1 %s"), "");
    ASSERT_EQ(EventLogEntries().size(), 1u);
    EXPECT_EQ(EventLogEntries()[0].eventId, 0xE0001234u);
    EXPECT_THAT(EventLogEntries()[0].strings, ElementsAre("100% %1 %s"));
}

TEST_F(EventLogTest, UnavailableSourcePrintsOneMessageWithoutLineBreak) {
    FailCall("RegisterEventSourceA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Report(32, "[Reload] Meet BackupBeforeWrite device."),
              "Could not register the event source.");
    EXPECT_THAT(Calls(), ElementsAre("RegisterEventSourceA(NULL, \"Tolvar service\") -> NULL"));
    EXPECT_THAT(EventLogEntries(), IsEmpty());
}

TEST_F(EventLogTest, FailedReportPrintsItsMessageAndStillDeregisters) {
    FailCall("ReportEventA", 1502 /* ERROR_LOG_FILE_FULL */);
    EXPECT_EQ(Report(5, "[Reload] Failed to dismount."), "Could not report the event.");
    EXPECT_THAT(Calls(),
                ElementsAre("RegisterEventSourceA(NULL, \"Tolvar service\") -> 0x100",
                            "ReportEventA(0x100, 1, 0, 5, NULL, 1, 0, "
                            "{\"[Reload] Failed to dismount.\"}, NULL) -> FALSE",
                            "DeregisterEventSource(0x100) -> TRUE"));
    EXPECT_THAT(EventLogEntries(), IsEmpty());
}

TEST_F(EventLogTest, FailedDeregistrationIsSilent) {
    FailCall("DeregisterEventSource", ERROR_INVALID_HANDLE);
    EXPECT_EQ(Report(21, "[Reload] Failed to flush MP."), "");
    EXPECT_EQ(EventLogEntries().size(), 1u);
    EXPECT_EQ(CountCalls("DeregisterEventSource"), 1u);
}

TEST_F(EventLogTest, EachReportRegistersItsOwnSource) {
    EXPECT_EQ(Report(1, "first"), "");
    EXPECT_EQ(Report(2, "second"), "");
    EXPECT_EQ(CountCalls("RegisterEventSourceA"), 2u);
    EXPECT_EQ(CountCalls("DeregisterEventSource"), 2u);
    ASSERT_EQ(EventLogEntries().size(), 2u);
    EXPECT_THAT(EventLogEntries()[1].strings, ElementsAre("second"));
}

TEST_F(EventLogTest, AnEventSourceIsNoKernelHandle) {
    // The stand-in refuses CloseHandle on a source as Windows does, so a
    // reporter that closed instead of deregistering would leak it.
    HANDLE source = RegisterEventSourceA(nullptr, "Tolvar service");
    ASSERT_NE(source, nullptr);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(source));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(DeregisterEventSource(source));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
