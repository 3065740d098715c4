/* The device's side of the handshake (rule in tolvarvx_handshake.h). A
 * refused answer leaves a handshake passed earlier in place. */
#include "../include/tolvarvx_handshake.h"
#include "bytes.h"
#include "device_internal.h"

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
