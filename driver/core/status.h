/* The NTSTATUS values the stand-in completes requests with, as plain
 * numbers so that the core needs no Windows header. */
#ifndef TOLVARVX_STATUS_H
#define TOLVARVX_STATUS_H

#include <stdint.h>

typedef uint32_t tolvarvx_status;

#define TOLVARVX_STATUS_SUCCESS 0x00000000u
#define TOLVARVX_STATUS_DEVICE_BUSY 0x80000011u            /* Win32 170 */
#define TOLVARVX_STATUS_UNSUCCESSFUL 0xC0000001u           /* Win32 31 */
#define TOLVARVX_STATUS_INVALID_PARAMETER 0xC000000Du      /* Win32 87 */
#define TOLVARVX_STATUS_INVALID_DEVICE_REQUEST 0xC0000010u /* Win32 1 */
#define TOLVARVX_STATUS_ACCESS_DENIED 0xC0000022u          /* Win32 5 */
#define TOLVARVX_STATUS_BUFFER_TOO_SMALL 0xC0000023u       /* Win32 122 */
#define TOLVARVX_STATUS_INSUFFICIENT_RESOURCES 0xC000009Au /* Win32 1450 */
#define TOLVARVX_STATUS_DEVICE_NOT_READY 0xC00000A3u       /* Win32 21 */
#define TOLVARVX_STATUS_NOT_SUPPORTED 0xC00000BBu          /* Win32 50 */

#endif
