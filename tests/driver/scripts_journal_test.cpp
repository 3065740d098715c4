// Scripted completions and the journal.
#include "core_fixture.h"

namespace {

using Scripts = CoreTest;
using JournalTest = CoreTest;

TEST_F(Scripts, ScriptedReplyLengthArrivesWithoutTheRequestRunning)
{
    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, TOLVARVX_STATUS_SUCCESS, 1351, 0, 0x5A),
              TOLVARVX_STATUS_SUCCESS);
    TolvarQueryReply reply;
    std::memset(&reply, 0, sizeof reply);
    // The drive is closed: only the script makes this query succeed.
    EXPECT_EQ(Query(&reply), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(information, 1351u);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&reply);
    EXPECT_EQ(bytes[0], 0x5A);
    EXPECT_EQ(bytes[1350], 0x5A);
    EXPECT_EQ(bytes[1351], 0);
    // Consumed: the next query is the real one again.
    EXPECT_EQ(Query(&reply), TOLVARVX_STATUS_DEVICE_NOT_READY);
}

TEST_F(Scripts, ScriptedFailureLeavesTheStateAlone)
{
    auto request = MakeOpenRequest('M', 0, "", "M:\\m.img");
    ASSERT_EQ(Open(request), TOLVARVX_STATUS_SUCCESS);
    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, TOLVARVX_STATUS_DEVICE_BUSY, 0),
              TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_CLOSE), TOLVARVX_STATUS_DEVICE_BUSY);
    EXPECT_EQ(device.isOpen, 1u);
    EXPECT_EQ(Send(IOCTL_TOLVAR_CLOSE), TOLVARVX_STATUS_SUCCESS);
}

TEST_F(Scripts, PerformRunsTheRequestThenOverridesIt)
{
    auto request = MakeOpenRequest('N', 0, "", "N:\\n.img");
    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_OPEN, 0xE0001234u, 7,
                     TOLVARVX_SCRIPT_PERFORM),
              TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Open(request), 0xE0001234u);
    EXPECT_EQ(information, 0u) << "clamped to the request's zero-byte output";
    EXPECT_EQ(device.isOpen, 1u) << "the open itself was carried out";

    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, TOLVARVX_STATUS_SUCCESS, 100,
                     TOLVARVX_SCRIPT_PERFORM),
              TOLVARVX_STATUS_SUCCESS);
    TolvarQueryReply reply;
    EXPECT_EQ(Query(&reply), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(information, 100u);
    EXPECT_EQ(reply.Drive.DriveLetter, 'N') << "the real reply was written";
}

// The count goes to user mode: bytes the request did not write are filled,
// never left as the buffer held them.
TEST_F(Scripts, PerformFillsWhatTheRequestDidNotWrite)
{
    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, TOLVARVX_STATUS_SUCCESS, 1352,
                     TOLVARVX_SCRIPT_PERFORM, 0x5A),
              TOLVARVX_STATUS_SUCCESS);
    std::vector<uint8_t> out(1352, 0xCC);
    // The drive is closed: the query itself fails and writes nothing.
    EXPECT_EQ(Send(IOCTL_TOLVAR_QUERY, nullptr, 0, out.data(), 1352), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(information, 1352u);
    EXPECT_EQ(out, std::vector<uint8_t>(1352, 0x5A));

    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, TOLVARVX_STATUS_SUCCESS, 1000,
                     TOLVARVX_SCRIPT_PERFORM, 0x77),
              TOLVARVX_STATUS_SUCCESS);
    out.assign(1001, 0xCC);
    EXPECT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, out.data(), 1001), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(information, 1000u);
    std::vector<uint8_t> expected(1001, 0x77);
    for (uint8_t i = 0; i < TOLVAR_CHALLENGE_SIZE; ++i)
        expected[i] = static_cast<uint8_t>(1 + i);  // the test platform's random bytes
    expected[1000] = 0xCC;
    EXPECT_EQ(out, expected);
}

TEST_F(Scripts, QueueMatchesByKindAndCodeInOrder)
{
    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_RELOAD, 0xE0000001u, 0), 0u);
    ASSERT_EQ(Script(TOLVARVX_KIND_FLUSH, 0, TOLVARVX_STATUS_DEVICE_BUSY, 0), 0u);
    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_RELOAD, 0xE0000002u, 0), 0u);
    EXPECT_EQ(tolvarvx_flush(&device), TOLVARVX_STATUS_DEVICE_BUSY);
    EXPECT_EQ(tolvarvx_flush(&device), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_RELOAD), 0xE0000001u);
    EXPECT_EQ(Send(IOCTL_TOLVAR_RELOAD), 0xE0000002u);
    EXPECT_EQ(Send(IOCTL_TOLVAR_RELOAD), TOLVARVX_STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(device.flushCount, 1u) << "the scripted flush was not carried out";
}

TEST_F(Scripts, QueueHoldsItsCapacityAndRefusesBadScripts)
{
    for (uint32_t i = 0; i < TOLVARVX_SCRIPT_CAPACITY; ++i)
        ASSERT_EQ(Script(TOLVARVX_KIND_FLUSH, 0, i, 0), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Script(TOLVARVX_KIND_FLUSH, 0, 0, 0), TOLVARVX_STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(Send(IOCTL_TOLVARVX_TEST_RESET), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(tolvarvx_flush(&device), TOLVARVX_STATUS_SUCCESS) << "reset drops scripts";

    EXPECT_EQ(Script(0, 0, 0, 0), TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Script(TOLVARVX_KIND_FLUSH, 1, 0, 0), TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVARVX_TEST_JOURNAL, 0, 0),
              TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Script(TOLVARVX_KIND_CONTROL, 0x12345678u, 0, 0), TOLVARVX_STATUS_INVALID_PARAMETER)
        << "a code the stand-in does not answer";
    EXPECT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, 0, 0, 2),
              TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, 0, 0, 0, 256),
              TOLVARVX_STATUS_INVALID_PARAMETER);
    // No driver may complete a request with these.
    EXPECT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_CLOSE, TOLVARVX_STATUS_PENDING, 0),
              TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Script(TOLVARVX_KIND_FLUSH, 0, 0xFFFFFFFFu, 0), TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device.scriptCount, 0u);
}

TEST_F(Scripts, ScriptedBytesNeverExceedTheOutputBuffer)
{
    ASSERT_EQ(Script(TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_GET_CHALLENGE, 0, 100000, 0, 0x11), 0u);
    uint8_t buffer[32];
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, buffer, 15), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(information, 15u);
    EXPECT_EQ(buffer[14], 0x11);
    EXPECT_EQ(buffer[15], 0);
}

TEST_F(JournalTest, RecordsEachRequestWithItsOutcome)
{
    auto request = MakeOpenRequest('P', 0, "", "P:\\p.img");
    ASSERT_EQ(Open(request), TOLVARVX_STATUS_SUCCESS);
    TolvarQueryReply reply;
    ASSERT_EQ(Send(IOCTL_TOLVAR_QUERY, nullptr, 0, &reply, sizeof reply + 0), TOLVARVX_STATUS_SUCCESS);
    ASSERT_EQ(Script(TOLVARVX_KIND_FLUSH, 0, TOLVARVX_STATUS_DEVICE_BUSY, 0), 0u);
    EXPECT_EQ(tolvarvx_flush(&device), TOLVARVX_STATUS_DEVICE_BUSY);
    EXPECT_EQ(Send(0x12345678u, &request, 3, &reply, 9), TOLVARVX_STATUS_INVALID_DEVICE_REQUEST);

    TolvarvxJournal journal = Journal();
    ASSERT_EQ(journal.Recorded, 4u);
    ASSERT_EQ(journal.Count, 4u);
    const TolvarvxJournalEntry expected[] = {
        {1, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_OPEN, 1048, 0, 0, 0, 0},
        {2, TOLVARVX_KIND_CONTROL, IOCTL_TOLVAR_QUERY, 0, 1352, 0, 1352, 0},
        {3, TOLVARVX_KIND_FLUSH, 0, 0, 0, TOLVARVX_STATUS_DEVICE_BUSY, 0, TOLVARVX_JOURNAL_SCRIPTED},
        {4, TOLVARVX_KIND_CONTROL, 0x12345678u, 3, 9, TOLVARVX_STATUS_INVALID_DEVICE_REQUEST, 0, 0},
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0, std::memcmp(&journal.Entries[i], &expected[i], sizeof expected[i]));
    }
    EXPECT_EQ(journal.LastOpenValid, 1u);
    EXPECT_EQ(0, std::memcmp(journal.LastOpenRequest, &request, sizeof request));
}

TEST_F(JournalTest, LastOpenRequestIsKeptRawWhateverItsOutcome)
{
    auto request = MakeOpenRequest('Q', 0, "", "");  // refused: no data path
    request.Reserved = 0xBEEF;
    request.DataFile[100] = 'z';
    EXPECT_EQ(Open(request), TOLVARVX_STATUS_INVALID_PARAMETER);
    TolvarvxJournal journal = Journal();
    EXPECT_EQ(journal.LastOpenValid, 1u);
    EXPECT_EQ(0, std::memcmp(journal.LastOpenRequest, &request, sizeof request));
}

TEST_F(JournalTest, RingKeepsTheNewestEntries)
{
    const uint32_t total = TOLVARVX_JOURNAL_CAPACITY + 5;
    for (uint32_t i = 0; i < total; ++i)
        Send(0x00220000u + 4 * i);  // distinct unknown codes
    TolvarvxJournal journal = Journal();
    EXPECT_EQ(journal.Recorded, total);
    ASSERT_EQ(journal.Count, TOLVARVX_JOURNAL_CAPACITY);
    EXPECT_EQ(journal.Entries[0].Sequence, 6u);
    EXPECT_EQ(journal.Entries[0].Code, 0x00220000u + 4 * 5);
    EXPECT_EQ(journal.Entries[TOLVARVX_JOURNAL_CAPACITY - 1].Sequence, total);
    EXPECT_EQ(journal.Entries[TOLVARVX_JOURNAL_CAPACITY - 1].Code, 0x00220000u + 4 * (total - 1));

    ASSERT_EQ(Send(IOCTL_TOLVARVX_TEST_RESET), TOLVARVX_STATUS_SUCCESS);
    journal = Journal();
    EXPECT_EQ(journal.Recorded, 0u);
    EXPECT_EQ(journal.Count, 0u);
    EXPECT_EQ(journal.Entries[0].Code, 0u) << "unused entries are zero";
}

}  // namespace

namespace {

// A platform may hand over any buffer; the journal is written byte-wise.
TEST_F(JournalTest, OutputNeedNotBeAligned)
{
    auto request = MakeOpenRequest('R', 0, "", "R:\\r.img");
    ASSERT_EQ(Open(request), TOLVARVX_STATUS_SUCCESS);
    std::vector<uint8_t> buffer(sizeof(TolvarvxJournal) + 1);
    ASSERT_EQ(Send(IOCTL_TOLVARVX_TEST_JOURNAL, nullptr, 0, buffer.data() + 1,
                   sizeof(TolvarvxJournal)),
              TOLVARVX_STATUS_SUCCESS);
    TolvarvxJournal aligned = Journal();
    EXPECT_EQ(0, std::memcmp(buffer.data() + 1, &aligned, sizeof aligned));
    EXPECT_EQ(aligned.Count, 1u);
}

}  // namespace
