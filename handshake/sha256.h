/* SHA-256 (FIPS 180-4) and HMAC-SHA256 (RFC 2104), freestanding C. */
#ifndef TOLVARVX_SHA256_H
#define TOLVARVX_SHA256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TOLVARVX_SHA256_SIZE 32u
#define TOLVARVX_SHA256_BLOCK 64u

typedef struct tolvarvx_sha256 {
    uint32_t state[8];
    uint64_t length; /* bytes hashed so far */
    uint8_t block[TOLVARVX_SHA256_BLOCK];
    uint32_t used;   /* bytes waiting in block */
} tolvarvx_sha256;

void tolvarvx_sha256_init(tolvarvx_sha256* context);
void tolvarvx_sha256_update(tolvarvx_sha256* context, const uint8_t* data, size_t length);
void tolvarvx_sha256_final(tolvarvx_sha256* context, uint8_t digest[TOLVARVX_SHA256_SIZE]);

void tolvarvx_hmac_sha256(const uint8_t* key, size_t keyLength, const uint8_t* message,
                          size_t messageLength, uint8_t mac[TOLVARVX_SHA256_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
