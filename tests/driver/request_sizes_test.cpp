// The contract's sizes for every request: exact input, minimum output.
#include "core_fixture.h"

namespace {

struct Contract {
    uint32_t code;
    uint32_t input;
    uint32_t output;  // minimum output, and bytes returned on success
};

const Contract kContracts[] = {
    {IOCTL_TOLVAR_OPEN, TOLVAR_OPEN_REQUEST_SIZE, 0},
    {IOCTL_TOLVAR_CLOSE, 0, 0},
    {IOCTL_TOLVAR_RELOAD, 0, 0},
    {IOCTL_TOLVAR_GET_CHALLENGE, 0, TOLVAR_CHALLENGE_SIZE},
    {IOCTL_TOLVAR_AUTHEN, TOLVAR_RESPONSE_SIZE, 0},
    {IOCTL_TOLVAR_DEAUTHEN, 0, 0},
    {IOCTL_TOLVAR_QUERY, 0, TOLVAR_QUERY_REPLY_SIZE},
};

class RequestSizes : public CoreTest {
protected:
    uint8_t in[4096] = {};
    uint8_t out[4096] = {};

    void SetUp() override
    {
        CoreTest::SetUp();
        // A valid open request in the input buffer, so that only sizes vary.
        auto request = MakeOpenRequest('E', 0, "", "C:\\vault\\e.img");
        std::memcpy(in, &request, sizeof request);
    }

    // Puts the device where the request of `code` can succeed.
    void Prepare(uint32_t code)
    {
        ASSERT_EQ(Send(IOCTL_TOLVARVX_TEST_RESET), TOLVARVX_STATUS_SUCCESS);
        if (code == IOCTL_TOLVAR_CLOSE || code == IOCTL_TOLVAR_RELOAD || code == IOCTL_TOLVAR_QUERY) {
            ASSERT_EQ(Send(IOCTL_TOLVAR_OPEN, in, TOLVAR_OPEN_REQUEST_SIZE), TOLVARVX_STATUS_SUCCESS);
        }
        if (code == IOCTL_TOLVAR_AUTHEN) {
            uint8_t challenge[16];
            ASSERT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, challenge, 16),
                      TOLVARVX_STATUS_SUCCESS);
            auto secret = DefaultSecret();
            tolvarvx_handshake_response(secret.data(), secret.size(), challenge, in);
        }
    }
};

// Per code: the exact sizes succeed and return the reply's own size (also
// into a larger buffer); other input sizes are invalid; a short output is
// too small and left unwritten.
TEST_F(RequestSizes, EachCodeTakesItsExactSizes)
{
    for (const auto& contract : kContracts) {
        SCOPED_TRACE(testing::Message() << std::hex << contract.code);
        for (uint32_t outLength : {contract.output, uint32_t(sizeof out)}) {
            Prepare(contract.code);
            EXPECT_EQ(Send(contract.code, in, contract.input, out, outLength), TOLVARVX_STATUS_SUCCESS);
            EXPECT_EQ(information, contract.output);
        }
        for (uint32_t inLength : {contract.input + 1, contract.input ? contract.input - 1 : 4u}) {
            Prepare(contract.code);
            EXPECT_EQ(Send(contract.code, in, inLength, out, contract.output),
                      TOLVARVX_STATUS_INVALID_PARAMETER);
            EXPECT_EQ(information, 0u);
        }
        if (contract.output) {
            Prepare(contract.code);
            std::memset(out, 0xEE, sizeof out);
            EXPECT_EQ(Send(contract.code, in, contract.input, out, contract.output - 1),
                      TOLVARVX_STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(out[0], 0xEE);
        }
    }
}

TEST_F(RequestSizes, UnknownCodesAreInvalidDeviceRequests)
{
    const uint32_t unknown[] = {
        TOLVAR_CTL_CODE(TOLVAR_DEVICE_TYPE, 0x807, 0, 3),  // past the seven
        IOCTL_TOLVAR_OPEN | 3,                             // the open function, METHOD_NEITHER
        IOCTL_TOLVAR_QUERY & ~(3u << 14),                  // the query function, other access
        TOLVAR_CTL_CODE(0x22, 0x806, 0, 1),                // another device type
        TOLVARVX_TEST_CODE(0x907),                         // past the test interface
        0,
    };
    for (uint32_t code : unknown) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        EXPECT_EQ(Send(code, in, 16, out, 16), TOLVARVX_STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(information, 0u);
    }
}

TEST_F(RequestSizes, MissingBuffersAreNeverTouched)
{
    EXPECT_EQ(Send(IOCTL_TOLVAR_OPEN, nullptr, TOLVAR_OPEN_REQUEST_SIZE),
              TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(IOCTL_TOLVAR_QUERY, nullptr, 0, nullptr, TOLVAR_QUERY_REPLY_SIZE),
              TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_JOURNAL, nullptr, 0, nullptr, sizeof(TolvarvxJournal)),
              TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(IOCTL_TOLVAR_OPEN | 3, nullptr, 8, nullptr, 8),
              TOLVARVX_STATUS_INVALID_DEVICE_REQUEST);
    TolvarvxJournal journal = Journal();
    ASSERT_EQ(journal.Count, 3u) << "test requests are not journaled";
    EXPECT_EQ(journal.Entries[0].InputLength, TOLVAR_OPEN_REQUEST_SIZE);
    EXPECT_EQ(journal.Entries[1].OutputLength, TOLVAR_QUERY_REPLY_SIZE);
    EXPECT_EQ(journal.Entries[2].Status, TOLVARVX_STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(journal.LastOpenValid, 0u);
}

TEST_F(RequestSizes, TestInterfaceSizes)
{
    TolvarvxScript script{TOLVARVX_KIND_FLUSH, 0, 0, 0, 0, 0};
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_SCRIPT, &script, sizeof script - 1),
              TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_RESET, in, 1), TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_JOURNAL, nullptr, 0, out, sizeof(TolvarvxJournal) - 1),
              TOLVARVX_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED, in, 8), TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_SET_SECRET, in, 64), TOLVARVX_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device.scriptCount, 0u);
    std::memset(out, 0xEE, 8);
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_VERSION, nullptr, 0, out, 3),
              TOLVARVX_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_VERSION, nullptr, 0, out, 8), TOLVARVX_STATUS_SUCCESS);
    uint32_t version;
    std::memcpy(&version, out, sizeof version);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(version, TOLVARVX_TEST_INTERFACE_VERSION);
    EXPECT_EQ(out[4], 0xEE);
}

TEST(CrashRequest, OnlyTheMagicAsksForAFault)
{
    uint32_t magic = TOLVARVX_CRASH_MAGIC;
    EXPECT_TRUE(tolvarvx_is_crash_request(IOCTL_TOLVARVX_TEST_CRASH, &magic, 4));
    EXPECT_FALSE(tolvarvx_is_crash_request(IOCTL_TOLVARVX_TEST_CRASH, &magic, 3));
    EXPECT_FALSE(tolvarvx_is_crash_request(IOCTL_TOLVARVX_TEST_CRASH, nullptr, 4));
    EXPECT_FALSE(tolvarvx_is_crash_request(IOCTL_TOLVARVX_TEST_RESET, &magic, 4));
    magic ^= 1;
    EXPECT_FALSE(tolvarvx_is_crash_request(IOCTL_TOLVARVX_TEST_CRASH, &magic, 4));
}

TEST_F(RequestSizes, CoreAnswersACrashRequestWithoutFaulting)
{
    uint32_t magic = TOLVARVX_CRASH_MAGIC;
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_CRASH, &magic, 4), TOLVARVX_STATUS_NOT_SUPPORTED);
    magic ^= 1;
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_CRASH, &magic, 4), TOLVARVX_STATUS_INVALID_PARAMETER);
}

}  // namespace
