// The handshake rule and the device's side of it.
#include "core_fixture.h"

namespace {

std::vector<uint8_t> Bytes(const char* text)
{
    return std::vector<uint8_t>(text, text + std::strlen(text));
}

TEST(HandshakeRule, DefaultSecretsNameTheDevice)
{
    uint8_t buffer[64];
    size_t length = tolvarvx_default_secret(0, buffer, sizeof buffer);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), Bytes("tolvar-stand-in-secret-0"));
    length = tolvarvx_default_secret(4294967295u, buffer, sizeof buffer);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length),
              Bytes("tolvar-stand-in-secret-4294967295"));
    // 24 bytes do not fit in 23: nothing is written past the capacity.
    buffer[23] = 0x5A;
    EXPECT_EQ(tolvarvx_default_secret(7, buffer, 23), 0u);
    EXPECT_EQ(buffer[23], 0x5A);
}

// Expected values computed independently (Python's hmac module).
TEST(HandshakeRule, ResponseIsTruncatedHmacOfTheChallenge)
{
    uint8_t challenge[16];
    for (int i = 0; i < 16; ++i)
        challenge[i] = static_cast<uint8_t>(i);
    auto secret = Bytes("tolvar-stand-in-secret-0");
    uint8_t response[16];
    tolvarvx_handshake_response(secret.data(), secret.size(), challenge, response);
    const uint8_t expected[16] = {0xc8, 0x46, 0x56, 0x02, 0xec, 0x68, 0x78, 0xd8,
                                  0xa1, 0xac, 0xe0, 0x67, 0xb2, 0x92, 0x11, 0xa5};
    EXPECT_EQ(0, std::memcmp(response, expected, 16));

    std::memset(challenge, 0xFF, sizeof challenge);
    secret = Bytes("tolvar-stand-in-secret-3");
    tolvarvx_handshake_response(secret.data(), secret.size(), challenge, response);
    const uint8_t expected3[16] = {0xd7, 0xd6, 0x4b, 0xe4, 0x30, 0x35, 0xf6, 0x68,
                                   0xc5, 0x14, 0x2f, 0xc5, 0xfa, 0xa3, 0xff, 0x9f};
    EXPECT_EQ(0, std::memcmp(response, expected3, 16));
}

using Handshake = CoreTest;

TEST_F(Handshake, EachChallengeIsFreshFromThePlatform)
{
    uint8_t first[16], second[16];
    ASSERT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, first, 16), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(information, 16u);
    ASSERT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, second, 16), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(first[0], 1);   // the test platform counts from 1
    EXPECT_EQ(second[0], 17);
}

TEST_F(Handshake, CorrectResponsePassesOnce)
{
    auto secret = DefaultSecret();
    uint8_t challenge[16], response[16];
    ASSERT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, challenge, 16), TOLVARVX_STATUS_SUCCESS);
    tolvarvx_handshake_response(secret.data(), secret.size(), challenge, response);
    EXPECT_EQ(Send(IOCTL_TOLVAR_AUTHEN, response, 16), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(device.authenticated, 1u);
    // The same answer again is stale: its challenge was consumed.
    EXPECT_EQ(Send(IOCTL_TOLVAR_AUTHEN, response, 16), TOLVARVX_STATUS_ACCESS_DENIED);
    EXPECT_EQ(device.authenticated, 1u) << "a refused answer keeps a passed handshake";
}

// With no challenge out the device must not fall back on a remembered or
// zeroed one: the answer to an all-zero challenge is refused too.
TEST_F(Handshake, NoOutstandingChallengeRefusesEveryAnswer)
{
    auto secret = DefaultSecret();
    const uint8_t zeroChallenge[16] = {};
    uint8_t response[16];
    tolvarvx_handshake_response(secret.data(), secret.size(), zeroChallenge, response);
    EXPECT_EQ(Send(IOCTL_TOLVAR_AUTHEN, response, 16), TOLVARVX_STATUS_ACCESS_DENIED);
    ASSERT_EQ(Authenticate(secret.data(), secret.size()), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_AUTHEN, response, 16), TOLVARVX_STATUS_ACCESS_DENIED);
    uint8_t challenge[16];
    ASSERT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, challenge, 16), TOLVARVX_STATUS_SUCCESS);
    ASSERT_EQ(Send(IOCTL_TOLVAR_DEAUTHEN), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_AUTHEN, response, 16), TOLVARVX_STATUS_ACCESS_DENIED);
    EXPECT_EQ(device.authenticated, 0u);
}

TEST_F(Handshake, DeauthenDropsPassAndOutstandingChallenge)
{
    auto secret = DefaultSecret();
    ASSERT_EQ(Authenticate(secret.data(), secret.size()), TOLVARVX_STATUS_SUCCESS);
    uint8_t challenge[16], response[16];
    ASSERT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, challenge, 16), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_DEAUTHEN), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(device.authenticated, 0u);
    tolvarvx_handshake_response(secret.data(), secret.size(), challenge, response);
    EXPECT_EQ(Send(IOCTL_TOLVAR_AUTHEN, response, 16), TOLVARVX_STATUS_ACCESS_DENIED);
    // Deauthen without a handshake still succeeds.
    EXPECT_EQ(Send(IOCTL_TOLVAR_DEAUTHEN), TOLVARVX_STATUS_SUCCESS);
}

TEST_F(Handshake, SecretCanBeSetWithinItsBoundsAndResetRestoresTheDefault)
{
    TolvarvxSecret secret{};
    for (uint32_t length : {0u, TOLVARVX_SECRET_MAX + 1}) {
        secret.Length = length;
        EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_SET_SECRET, &secret, sizeof secret),
                  TOLVARVX_STATUS_INVALID_PARAMETER);
    }
    secret.Length = TOLVARVX_SECRET_MAX;
    std::memset(secret.Bytes, 0x42, TOLVARVX_SECRET_MAX);
    ASSERT_EQ(Send(IOCTL_TOLVARVX_TEST_SET_SECRET, &secret, sizeof secret), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Authenticate(secret.Bytes, TOLVARVX_SECRET_MAX), TOLVARVX_STATUS_SUCCESS);

    ASSERT_EQ(Send(IOCTL_TOLVARVX_TEST_RESET), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(device.authenticated, 0u);
    auto defaultSecret = DefaultSecret();
    EXPECT_EQ(Authenticate(defaultSecret.data(), defaultSecret.size()), TOLVARVX_STATUS_SUCCESS);
}

TEST_F(Handshake, RandomSourceFailureRefusesTheChallenge)
{
    uint8_t challenge[16];
    platform.randomFails = true;
    EXPECT_EQ(Send(IOCTL_TOLVAR_GET_CHALLENGE, nullptr, 0, challenge, 16),
              TOLVARVX_STATUS_UNSUCCESSFUL);
    EXPECT_EQ(information, 0u);
    uint8_t response[16] = {};
    EXPECT_EQ(Send(IOCTL_TOLVAR_AUTHEN, response, 16), TOLVARVX_STATUS_ACCESS_DENIED);
}

TEST_F(Handshake, RequirementGatesDriveRequestsOnly)
{
    uint32_t on = 1;
    ASSERT_EQ(Send(IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED, &on, 4), TOLVARVX_STATUS_SUCCESS);
    auto request = MakeOpenRequest('D', 0, "", "C:\\data.img");
    TolvarQueryReply reply;
    EXPECT_EQ(Open(request), TOLVARVX_STATUS_ACCESS_DENIED);
    EXPECT_EQ(Send(IOCTL_TOLVAR_CLOSE), TOLVARVX_STATUS_ACCESS_DENIED);
    EXPECT_EQ(Send(IOCTL_TOLVAR_RELOAD), TOLVARVX_STATUS_ACCESS_DENIED);
    EXPECT_EQ(Query(&reply), TOLVARVX_STATUS_ACCESS_DENIED);
    EXPECT_EQ(tolvarvx_flush(&device), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(TOLVAR_FSCTL_DISMOUNT_VOLUME), TOLVARVX_STATUS_SUCCESS);

    auto secret = DefaultSecret();
    ASSERT_EQ(Authenticate(secret.data(), secret.size()), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Open(request), TOLVARVX_STATUS_SUCCESS);
    ASSERT_EQ(Query(&reply), TOLVARVX_STATUS_SUCCESS);
    TolvarvxDeviceDetails details;
    std::memcpy(&details, reply.DeviceDetails, sizeof details);
    EXPECT_EQ(details.Authenticated, 1u);
    EXPECT_EQ(details.AuthRequired, 1u);

    ASSERT_EQ(Send(IOCTL_TOLVAR_DEAUTHEN), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_CLOSE), TOLVARVX_STATUS_ACCESS_DENIED);
    EXPECT_EQ(device.isOpen, 1u);

    uint32_t bad = 2;
    EXPECT_EQ(Send(IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED, &bad, 4), TOLVARVX_STATUS_INVALID_PARAMETER);
    uint32_t off = 0;
    ASSERT_EQ(Send(IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED, &off, 4), TOLVARVX_STATUS_SUCCESS);
    EXPECT_EQ(Send(IOCTL_TOLVAR_CLOSE), TOLVARVX_STATUS_SUCCESS);
}

}  // namespace
