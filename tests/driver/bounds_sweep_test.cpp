// Every code the stand-in knows (and some it does not) with input and
// output sizes around every boundary, in exact-size heap buffers so that the
// sanitizers catch any byte read or written outside them; once with
// separate buffers and once with one shared buffer as METHOD_BUFFERED has.
#include "core_fixture.h"

namespace {

const uint32_t kCodes[] = {
    IOCTL_TOLVAR_OPEN, IOCTL_TOLVAR_CLOSE, IOCTL_TOLVAR_RELOAD, IOCTL_TOLVAR_GET_CHALLENGE,
    IOCTL_TOLVAR_AUTHEN, IOCTL_TOLVAR_DEAUTHEN, IOCTL_TOLVAR_QUERY,
    TOLVAR_FSCTL_LOCK_VOLUME, TOLVAR_FSCTL_UNLOCK_VOLUME, TOLVAR_FSCTL_DISMOUNT_VOLUME,
    IOCTL_TOLVARVX_TEST_RESET, IOCTL_TOLVARVX_TEST_SCRIPT, IOCTL_TOLVARVX_TEST_JOURNAL,
    IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED, IOCTL_TOLVARVX_TEST_SET_SECRET,
    IOCTL_TOLVARVX_TEST_CRASH, IOCTL_TOLVARVX_TEST_VERSION, IOCTL_TOLVAR_QUERY | 3, 0xFFFFFFFFu,
};

const uint32_t kSizes[] = {0, 1, 3, 4, 5, 15, 16, 17, 23, 24, 25, 67, 68, 69, 1047, 1048, 1049,
                           1351, 1352, 1353, sizeof(TolvarvxJournal) - 1, sizeof(TolvarvxJournal),
                           sizeof(TolvarvxJournal) + 1};

class BoundsSweep : public CoreTest {
protected:
    // Input bytes that make as many requests as possible valid: an open
    // request, which also reads as a flag of 'S' (refused) or a script of an
    // unknown kind, depending on the code.
    static void FillInput(uint8_t* bytes, uint32_t length)
    {
        auto request = MakeOpenRequest('S', 1, "B", "D");
        for (uint32_t i = 0; i < length; ++i)
            bytes[i] = i < sizeof request ? reinterpret_cast<const uint8_t*>(&request)[i]
                                          : static_cast<uint8_t>(i);
    }

    void SendSeparate(uint32_t code, uint32_t inLength, uint32_t outLength)
    {
        std::vector<uint8_t> in(inLength), out(outLength);
        FillInput(in.data(), inLength);
        Send(code, inLength ? in.data() : nullptr, inLength, outLength ? out.data() : nullptr,
             outLength);
        ASSERT_LE(information, outLength);
    }

    void SendShared(uint32_t code, uint32_t inLength, uint32_t outLength)
    {
        std::vector<uint8_t> buffer(std::max(inLength, outLength));
        FillInput(buffer.data(), inLength);
        uint8_t* data = buffer.empty() ? nullptr : buffer.data();
        Send(code, data, inLength, data, outLength);
        ASSERT_LE(information, outLength);
    }

    void Sweep(bool scripted)
    {
        for (uint32_t code : kCodes)
            for (uint32_t inLength : kSizes)
                for (uint32_t outLength : kSizes) {
                    SCOPED_TRACE(testing::Message() << std::hex << code << std::dec << " in "
                                                    << inLength << " out " << outLength);
                    if (scripted)
                        Script(TOLVARVX_KIND_CONTROL, code, 0, 0xFFFFFFFFu, 0, 0x77);
                    SendSeparate(code, inLength, outLength);
                    if (scripted)
                        Script(TOLVARVX_KIND_CONTROL, code, 0, 0xFFFFFFFFu, TOLVARVX_SCRIPT_PERFORM);
                    SendShared(code, inLength, outLength);
                    if (HasFatalFailure())
                        return;
                }
    }
};

TEST_F(BoundsSweep, RealRequestsStayInsideTheirBuffers)
{
    Sweep(false);
    EXPECT_GT(device.journalRecorded, 0u);
}

TEST_F(BoundsSweep, ScriptedLengthsAreClampedToTheOutput)
{
    Sweep(true);
    EXPECT_GT(device.journalRecorded, 0u);
}

}  // namespace
