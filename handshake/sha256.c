#include "sha256.h"

#include "bytes.h"

static const uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

static uint32_t rotate_right(uint32_t value, unsigned bits)
{
    return (value >> bits) | (value << (32u - bits));
}

static void compress(uint32_t state[8], const uint8_t block[TOLVARVX_SHA256_BLOCK])
{
    uint32_t w[64];
    for (unsigned i = 0; i < 16; ++i)
        w[i] = ((uint32_t)block[4 * i] << 24) | ((uint32_t)block[4 * i + 1] << 16) |
               ((uint32_t)block[4 * i + 2] << 8) | (uint32_t)block[4 * i + 3];
    for (unsigned i = 16; i < 64; ++i) {
        uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (unsigned i = 0; i < 64; ++i) {
        uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
        uint32_t choice = (e & f) ^ (~e & g);
        uint32_t t1 = h + s1 + choice + round_constants[i] + w[i];
        uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
        uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = s0 + majority;
        h = g; g = f; f = e; e = d + t1;
        d = c; c = b; b = a; a = t1 + t2;
    }
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
}

void tolvarvx_sha256_init(tolvarvx_sha256* context)
{
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    tolvarvx_copy(context->state, initial, sizeof initial);
    context->length = 0;
    context->used = 0;
}

void tolvarvx_sha256_update(tolvarvx_sha256* context, const uint8_t* data, size_t length)
{
    context->length += length;
    while (length > 0) {
        size_t take = TOLVARVX_SHA256_BLOCK - context->used;
        if (take > length)
            take = length;
        tolvarvx_copy(context->block + context->used, data, take);
        context->used += (uint32_t)take;
        data += take;
        length -= take;
        if (context->used == TOLVARVX_SHA256_BLOCK) {
            compress(context->state, context->block);
            context->used = 0;
        }
    }
}

void tolvarvx_sha256_final(tolvarvx_sha256* context, uint8_t digest[TOLVARVX_SHA256_SIZE])
{
    uint64_t bits = context->length << 3;
    uint8_t padding = 0x80;
    uint64_t total = context->length;
    tolvarvx_sha256_update(context, &padding, 1);
    uint8_t zero = 0;
    while (context->used != TOLVARVX_SHA256_BLOCK - 8)
        tolvarvx_sha256_update(context, &zero, 1);
    uint8_t encodedLength[8];
    for (unsigned i = 0; i < 8; ++i)
        encodedLength[i] = (uint8_t)(bits >> (56 - 8 * i));
    tolvarvx_sha256_update(context, encodedLength, 8);
    context->length = total;
    for (unsigned i = 0; i < 8; ++i) {
        digest[4 * i] = (uint8_t)(context->state[i] >> 24);
        digest[4 * i + 1] = (uint8_t)(context->state[i] >> 16);
        digest[4 * i + 2] = (uint8_t)(context->state[i] >> 8);
        digest[4 * i + 3] = (uint8_t)context->state[i];
    }
}

void tolvarvx_hmac_sha256(const uint8_t* key, size_t keyLength, const uint8_t* message,
                          size_t messageLength, uint8_t mac[TOLVARVX_SHA256_SIZE])
{
    uint8_t keyBlock[TOLVARVX_SHA256_BLOCK];
    tolvarvx_fill(keyBlock, 0, sizeof keyBlock);
    tolvarvx_sha256 context;
    if (keyLength > TOLVARVX_SHA256_BLOCK) {
        tolvarvx_sha256_init(&context);
        tolvarvx_sha256_update(&context, key, keyLength);
        tolvarvx_sha256_final(&context, keyBlock);
    } else {
        tolvarvx_copy(keyBlock, key, keyLength);
    }

    uint8_t pad[TOLVARVX_SHA256_BLOCK];
    uint8_t inner[TOLVARVX_SHA256_SIZE];
    for (unsigned i = 0; i < TOLVARVX_SHA256_BLOCK; ++i)
        pad[i] = (uint8_t)(keyBlock[i] ^ 0x36);
    tolvarvx_sha256_init(&context);
    tolvarvx_sha256_update(&context, pad, sizeof pad);
    tolvarvx_sha256_update(&context, message, messageLength);
    tolvarvx_sha256_final(&context, inner);

    for (unsigned i = 0; i < TOLVARVX_SHA256_BLOCK; ++i)
        pad[i] = (uint8_t)(keyBlock[i] ^ 0x5c);
    tolvarvx_sha256_init(&context);
    tolvarvx_sha256_update(&context, pad, sizeof pad);
    tolvarvx_sha256_update(&context, inner, sizeof inner);
    tolvarvx_sha256_final(&context, mac);

    tolvarvx_fill(keyBlock, 0, sizeof keyBlock);
    tolvarvx_fill(pad, 0, sizeof pad);
}
