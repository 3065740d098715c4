// A core device on a test platform: random bytes from a counter (or a
// failure when asked), and a lock that records misuse.
#ifndef TOLVARVX_CORE_FIXTURE_H
#define TOLVARVX_CORE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tolvarvx_core.h"
#include "tolvarvx_details.h"
#include "tolvarvx_handshake.h"

struct TestPlatform {
    uint8_t nextRandom = 1;
    bool randomFails = false;
    int lockDepth = 0;
    int maxLockDepth = 0;
    int lockCalls = 0;
    tolvarvx_platform ops{};

    TestPlatform()
    {
        ops.random_bytes = [](void* context, uint8_t* out, uint32_t length) {
            auto* self = static_cast<TestPlatform*>(context);
            if (self->randomFails)
                return -1;
            for (uint32_t i = 0; i < length; ++i)
                out[i] = self->nextRandom++;
            return 0;
        };
        ops.lock = [](void* context) {
            auto* self = static_cast<TestPlatform*>(context);
            self->lockCalls++;
            if (++self->lockDepth > self->maxLockDepth)
                self->maxLockDepth = self->lockDepth;
        };
        ops.unlock = [](void* context) { static_cast<TestPlatform*>(context)->lockDepth--; };
        ops.context = this;
    }
};

class CoreTest : public ::testing::Test {
protected:
    static constexpr uint32_t kIndex = 2;
    TestPlatform platform;
    tolvarvx_device device{};
    uint32_t information = 0;

    void SetUp() override { tolvarvx_device_init(&device, kIndex, &platform.ops); }

    void TearDown() override
    {
        EXPECT_EQ(platform.lockDepth, 0) << "lock left held";
        EXPECT_LE(platform.maxLockDepth, 1) << "lock taken twice";
    }

    tolvarvx_status Send(uint32_t code, const void* in = nullptr, uint32_t inLength = 0,
                         void* out = nullptr, uint32_t outLength = 0)
    {
        information = 0xFFFFFFFFu;
        return tolvarvx_dispatch(&device, code, in, inLength, out, outLength, &information);
    }

    static TolvarOpenRequest MakeOpenRequest(char letter, uint32_t backupBeforeWrite,
                                             const char* backup, const char* data)
    {
        TolvarOpenRequest request;
        std::memset(&request, 0, sizeof request);
        request.DriveLetter = static_cast<uint16_t>(static_cast<int16_t>(letter));
        request.BackupBeforeWrite = backupBeforeWrite;
        for (size_t i = 0; backup[i]; ++i)
            request.BackupFile[i] = static_cast<unsigned char>(backup[i]);
        for (size_t i = 0; data[i]; ++i)
            request.DataFile[i] = static_cast<unsigned char>(data[i]);
        return request;
    }

    tolvarvx_status Open(const TolvarOpenRequest& request)
    {
        return Send(IOCTL_TOLVAR_OPEN, &request, sizeof request);
    }

    tolvarvx_status Query(TolvarQueryReply* reply)
    {
        return Send(IOCTL_TOLVAR_QUERY, nullptr, 0, reply, sizeof *reply);
    }

    tolvarvx_status Script(uint32_t kind, uint32_t code, uint32_t status, uint32_t info,
                           uint32_t flags = 0, uint32_t fill = 0)
    {
        TolvarvxScript script{kind, code, status, info, flags, fill};
        return Send(IOCTL_TOLVARVX_TEST_SCRIPT, &script, sizeof script);
    }

    TolvarvxJournal Journal()
    {
        TolvarvxJournal journal;
        std::memset(&journal, 0xCC, sizeof journal);
        EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_JOURNAL, nullptr, 0, &journal, sizeof journal),
                  TOLVARVX_STATUS_SUCCESS);
        return journal;
    }

    // Runs a full handshake with the device's current secret.
    tolvarvx_status Authenticate(const uint8_t* secret, size_t secretLength)
    {
        uint8_t challenge[16];
        EXPECT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, challenge, sizeof challenge),
                  TOLVARVX_STATUS_SUCCESS);
        uint8_t response[16];
        tolvarvx_handshake_response(secret, secretLength, challenge, response);
        return Send(IOCTL_TOLVAR_AUTHEN, response, sizeof response);
    }

    std::vector<uint8_t> DefaultSecret()
    {
        uint8_t buffer[64];
        size_t length = tolvarvx_default_secret(kIndex, buffer, sizeof buffer);
        return std::vector<uint8_t>(buffer, buffer + length);
    }
};

#endif
