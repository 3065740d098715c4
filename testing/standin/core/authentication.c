/* The device's side of the handshake (the rule in tolvarvx_handshake.h).
 *
 * Each GET_CHALLENGE makes a new challenge and forgets the previous one.
 * AUTHEN consumes the challenge whatever the outcome, so a second answer to
 * the same challenge, an answer to a replaced challenge or an answer with
 * no challenge out is refused (STATUS_ACCESS_DENIED, Win32 error 5), as is
 * a wrong response; a refused answer leaves a handshake passed earlier in
 * place. DEAUTHEN drops a passed handshake and any outstanding challenge.
 * The handshake belongs to the drive device, not to a handle.
 *
 * Whether it is needed is a setting of each device, off until a test turns
 * it on (IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED in tolvarvx_test.h). When on,
 * OPEN, CLOSE, RELOAD and QUERY are refused with STATUS_ACCESS_DENIED until
 * a handshake passes; GET_CHALLENGE, AUTHEN, DEAUTHEN, flushes and volume
 * requests never are.
 *
 * Each device's secret is TOLVARVX_DEFAULT_SECRET_PREFIX followed by its
 * index until a test sets another. */
#include "bytes.h"
#include "device_internal.h"
#include "tolvarvx_handshake.h"

tolvarvx_status tolvarvx_auth_challenge(tolvarvx_device* device, uint8_t* out, uint32_t* information)
{
    uint8_t fresh[TOLVAR_CHALLENGE_SIZE];
    if (device->platform->random_bytes(device->platform->context, fresh, sizeof fresh) != 0) {
        device->challengeOutstanding = 0;
        return TOLVARVX_STATUS_UNSUCCESSFUL;
    }
    tolvarvx_copy(device->challenge, fresh, sizeof fresh);
    device->challengeOutstanding = 1;
    tolvarvx_copy(out, fresh, sizeof fresh);
    *information = TOLVAR_CHALLENGE_SIZE;
    return TOLVARVX_STATUS_SUCCESS;
}

tolvarvx_status tolvarvx_auth_answer(tolvarvx_device* device, const uint8_t* response)
{
    uint8_t answer[TOLVAR_RESPONSE_SIZE];
    tolvarvx_copy(answer, response, sizeof answer);
    if (!device->challengeOutstanding)
        return TOLVARVX_STATUS_ACCESS_DENIED;
    device->challengeOutstanding = 0; /* one answer per challenge */

    uint8_t expected[TOLVAR_RESPONSE_SIZE];
    tolvarvx_handshake_response(device->secret, device->secretLength, device->challenge, expected);
    int accepted = tolvarvx_equal_constant_time(expected, answer, sizeof expected);
    tolvarvx_fill(expected, 0, sizeof expected);
    tolvarvx_fill(device->challenge, 0, sizeof device->challenge);
    if (!accepted)
        return TOLVARVX_STATUS_ACCESS_DENIED;
    device->authenticated = 1;
    return TOLVARVX_STATUS_SUCCESS;
}

tolvarvx_status tolvarvx_auth_drop(tolvarvx_device* device)
{
    device->authenticated = 0;
    device->challengeOutstanding = 0;
    tolvarvx_fill(device->challenge, 0, sizeof device->challenge);
    return TOLVARVX_STATUS_SUCCESS;
}

void tolvarvx_auth_reset(tolvarvx_device* device)
{
    tolvarvx_auth_drop(device);
    device->authRequired = 0;
    tolvarvx_fill(device->secret, 0, sizeof device->secret);
    device->secretLength =
        (uint32_t)tolvarvx_default_secret(device->index, device->secret, sizeof device->secret);
}

size_t tolvarvx_default_secret(uint32_t index, uint8_t* out, size_t capacity)
{
    static const char prefix[] = TOLVARVX_DEFAULT_SECRET_PREFIX;
    char digits[10];
    size_t digitCount = 0;
    do {
        digits[digitCount++] = (char)('0' + index % 10u);
        index /= 10u;
    } while (index != 0);

    size_t length = (sizeof prefix - 1) + digitCount;
    if (length > capacity)
        return 0;
    tolvarvx_copy(out, prefix, sizeof prefix - 1);
    for (size_t i = 0; i < digitCount; ++i)
        out[sizeof prefix - 1 + i] = (uint8_t)digits[digitCount - 1 - i];
    return length;
}
