/* The two fixed-size buffers that cross the driver boundary, byte for byte,
 * little-endian. Plain C: the library, the driver stand-in and the host build
 * all compile it. Uses only fixed-width integers so that UTF-16 stays 16 bits
 * wherever wchar_t is wider. */
#ifndef TOLVAR_DRIVER_BUFFERS_H
#define TOLVAR_DRIVER_BUFFERS_H

#include <stddef.h>
#include <stdint.h>

#include "../channel/drive_contract.h"

#define TOLVAR_PATH_CHARS 260u
#define TOLVAR_DEVICE_DETAILS_SIZE 304u

/* Input of IOCTL_TOLVAR_OPEN. */
typedef struct TolvarOpenRequest {
    uint16_t DriveLetter;                  /* the record's letter, sign-extended */
    uint16_t Reserved;                     /* zero */
    uint32_t BackupBeforeWrite;
    uint16_t BackupFile[TOLVAR_PATH_CHARS]; /* UTF-16; all zero when not in that mode */
    uint16_t DataFile[TOLVAR_PATH_CHARS];   /* UTF-16 */
} TolvarOpenRequest;

/* Output of IOCTL_TOLVAR_QUERY: the open request's layout, then the
 * driver's own description of the drive. */
typedef struct TolvarQueryReply {
    TolvarOpenRequest Drive;
    uint8_t DeviceDetails[TOLVAR_DEVICE_DETAILS_SIZE];
} TolvarQueryReply;

#ifdef __cplusplus
#define TOLVAR_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#else
#define TOLVAR_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif
TOLVAR_LAYOUT_CHECK(sizeof(TolvarOpenRequest) == TOLVAR_OPEN_REQUEST_SIZE, "OpenRequest size");
TOLVAR_LAYOUT_CHECK(offsetof(TolvarOpenRequest, DriveLetter) == 0, "OpenRequest letter");
TOLVAR_LAYOUT_CHECK(offsetof(TolvarOpenRequest, Reserved) == 2, "OpenRequest reserved");
TOLVAR_LAYOUT_CHECK(offsetof(TolvarOpenRequest, BackupBeforeWrite) == 4, "OpenRequest flag");
TOLVAR_LAYOUT_CHECK(offsetof(TolvarOpenRequest, BackupFile) == 8, "OpenRequest backup");
TOLVAR_LAYOUT_CHECK(offsetof(TolvarOpenRequest, DataFile) == 528, "OpenRequest data");
TOLVAR_LAYOUT_CHECK(sizeof(TolvarQueryReply) == TOLVAR_QUERY_REPLY_SIZE, "QueryReply size");
TOLVAR_LAYOUT_CHECK(offsetof(TolvarQueryReply, DeviceDetails) == 1048, "QueryReply details");
#undef TOLVAR_LAYOUT_CHECK

#endif
