/* The driver stand-in's request logic, shared by the kernel driver
 * (TOLVARVX.sys) and the host build. Freestanding C: no C runtime, no
 * Windows header. One tolvarvx_device models one drive device.
 *
 * The platform supplies random bytes and a lock; every entry point below
 * takes the device's lock for its whole run, so a device may be driven from
 * several threads. */
#ifndef TOLVARVX_CORE_H
#define TOLVARVX_CORE_H

#include <stddef.h>
#include <stdint.h>

#include "tolvar_driver_contract.h"
#include "../include/tolvarvx_test.h"
#include "status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tolvarvx_platform {
    /* Fills `out` with `length` random bytes; 0 on success. */
    int (*random_bytes)(void* context, uint8_t* out, uint32_t length);
    void (*lock)(void* context);
    void (*unlock)(void* context);
    void* context;
} tolvarvx_platform;

/* The fields are the core's own; callers only allocate the structure. */
typedef struct tolvarvx_device {
    uint32_t index;
    const tolvarvx_platform* platform;

    uint32_t isOpen;
    TolvarOpenRequest drive; /* what the open drive was opened with; only the
                                paths are recorded, no file is touched */
    uint32_t openCount, closeCount, reloadCount, flushCount, dismountCount;

    uint8_t secret[TOLVARVX_SECRET_MAX];
    uint32_t secretLength;
    uint8_t challenge[TOLVAR_CHALLENGE_SIZE];
    uint32_t challengeOutstanding;
    uint32_t authenticated;
    uint32_t authRequired;

    TolvarvxJournalEntry journal[TOLVARVX_JOURNAL_CAPACITY]; /* a ring */
    uint32_t journalRecorded;
    uint8_t lastOpenRequest[TOLVAR_OPEN_REQUEST_SIZE];
    uint32_t lastOpenValid;

    TolvarvxScript scripts[TOLVARVX_SCRIPT_CAPACITY]; /* a queue, oldest first */
    uint32_t scriptCount;
} tolvarvx_device;

/* A closed drive with the default secret of device `index`. `platform`
 * must outlive the device. */
void tolvarvx_device_init(tolvarvx_device* device, uint32_t index,
                          const tolvarvx_platform* platform);

/* One device control (or file-system control) request, METHOD_BUFFERED:
 * `in` and `out` may be the same buffer; all input is read before any
 * output is written. A null buffer is allowed only with length 0. Returns
 * the completion status; `*information` gets the bytes returned, never more
 * than `outLength` (0 on failure unless a script says otherwise). */
tolvarvx_status tolvarvx_dispatch(tolvarvx_device* device, uint32_t code, const void* in,
                                  uint32_t inLength, void* out, uint32_t outLength,
                                  uint32_t* information);

/* IRP_MJ_FLUSH_BUFFERS. */
tolvarvx_status tolvarvx_flush(tolvarvx_device* device);

/* Writes the default secret of device `index` into `out` (at most
 * `capacity` bytes) and returns its length, or 0 if it does not fit. */
size_t tolvarvx_default_secret(uint32_t index, uint8_t* out, size_t capacity);

/* 1 when this request asks the platform to fault on purpose
 * (IOCTL_TOLVARVX_TEST_CRASH with its magic). The core itself answers such
 * a request with STATUS_NOT_SUPPORTED. */
int tolvarvx_is_crash_request(uint32_t code, const void* in, uint32_t inLength);

#ifdef __cplusplus
}
#endif

#endif
