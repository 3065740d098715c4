/* The driver stand-in's handshake rule.
 *
 *   IOCTL_TOLVAR_GET_CHALLENGE returns 16 fresh random bytes C (each request
 *   makes a new C and forgets the previous one).
 *   The response is R = the first 16 bytes of HMAC-SHA256(key = the drive's
 *   secret, message = the 16 bytes of C).
 *   IOCTL_TOLVAR_AUTHEN with R passes; it consumes C whatever the outcome,
 *   so a second answer to the same challenge, an answer to a replaced
 *   challenge or an answer with no challenge out is refused
 *   (STATUS_ACCESS_DENIED, Win32 error 5), as is a wrong R.
 *   IOCTL_TOLVAR_DEAUTHEN drops a passed handshake and any outstanding C.
 *   The handshake belongs to the drive device, not to a handle.
 *
 * Whether it is needed is a setting of each device, off until a test turns
 * it on (IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED in tolvarvx_test.h). When on,
 * OPEN, CLOSE, RELOAD and QUERY are refused with STATUS_ACCESS_DENIED until
 * a handshake passes; GET_CHALLENGE, AUTHEN, DEAUTHEN, flushes and volume
 * requests never are.
 *
 * Each device's secret is TOLVARVX_DEFAULT_SECRET_PREFIX followed by its
 * index (tolvarvx_test.h) until a test sets another.
 *
 * Freestanding C: the stand-in, its tests and the command-line tool compile
 * this same code. */
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

/* Writes the default secret of device `index` into `out` (at most
 * `capacity` bytes) and returns its length, or 0 if it does not fit. */
size_t tolvarvx_default_secret(uint32_t index, uint8_t* out, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
