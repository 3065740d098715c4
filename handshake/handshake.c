#include "tolvarvx_handshake.h"

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
