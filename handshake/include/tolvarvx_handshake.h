/* The driver stand-in's handshake rule: how a response answers a
 * challenge.
 *
 *   IOCTL_TOLVAR_GET_CHALLENGE returns 16 random bytes C; the response is
 *   R = the first 16 bytes of HMAC-SHA256(key = the drive's secret,
 *   message = the 16 bytes of C), sent with IOCTL_TOLVAR_AUTHEN.
 *
 * Two programs follow it from opposite sides: the stand-in checks answers
 * by it (testing/standin/core/authentication.c says what a device does
 * with them), and tolvarctl gives them by it (`authen --secret`). Neither
 * is part of the other, so the rule is a library of its own that both
 * compile. Freestanding C: the stand-in runs in kernel mode. */
#ifndef TOLVARVX_HANDSHAKE_H
#define TOLVARVX_HANDSHAKE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TOLVARVX_HANDSHAKE_BLOCK 16u

void tolvarvx_handshake_response(const uint8_t* secret, size_t secretLength,
                                 const uint8_t challenge[TOLVARVX_HANDSHAKE_BLOCK],
                                 uint8_t response[TOLVARVX_HANDSHAKE_BLOCK]);

#ifdef __cplusplus
}
#endif

#endif
