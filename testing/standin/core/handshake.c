#include "../include/tolvarvx_handshake.h"

#include "../include/tolvarvx_test.h"
#include "bytes.h"
#include "sha256.h"

void tolvarvx_handshake_response(const uint8_t* secret, size_t secretLength,
                                 const uint8_t challenge[TOLVARVX_HANDSHAKE_BLOCK],
                                 uint8_t response[TOLVARVX_HANDSHAKE_BLOCK])
{
    uint8_t mac[TOLVARVX_SHA256_SIZE];
    tolvarvx_hmac_sha256(secret, secretLength, challenge, TOLVARVX_HANDSHAKE_BLOCK, mac);
    tolvarvx_copy(response, mac, TOLVARVX_HANDSHAKE_BLOCK);
    tolvarvx_fill(mac, 0, sizeof mac);
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
