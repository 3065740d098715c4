/** \file
 * The driver stand-in's test interface.
 *
 * Control codes of the stand-in's own (device type 0x8000, functions 0x900
 * and up, METHOD_BUFFERED, FILE_ANY_ACCESS, so a read-only handle may send
 * them). They act on the drive device they are sent to. They are never
 * journaled, never scripted and never refused for want of authentication.
 * Only tests and tools include this header; the library never does.
 *
 * The interface has a version, TOLVARVX_TEST_INTERFACE_VERSION, which the
 * stand-in reports (IOCTL_TOLVARVX_TEST_VERSION). The stand-in raises it
 * whenever a test control's code, layout or meaning changes, so that a test
 * program built with one version of this header can refuse a stand-in of
 * another. A stand-in older than the versioned interface answers the
 * version request as an unknown request (STATUS_INVALID_DEVICE_REQUEST,
 * Win32 error 1).
 *
 * Plain C with fixed-width types and no Windows header: Windows test
 * programs (MinGW or MSVC, x86, x64 or ARM64), the kernel driver and the host
 * build all compile it. */
#ifndef TOLVARVX_TEST_H
#define TOLVARVX_TEST_H

#include <stddef.h>
#include <stdint.h>

#include "tolvar_driver_contract.h"

/** The code of test control `function` (0x900 and up). */
#define TOLVARVX_TEST_CODE(function) \
    TOLVAR_CTL_CODE(TOLVAR_DEVICE_TYPE, function, TOLVAR_METHOD_BUFFERED, TOLVAR_ACCESS_ANY)

/** Input none, output none: the drive closed, not authenticated, no
 * outstanding challenge, journal and scripts empty, counters zero,
 * authentication not required, the default secret back in place. */
#define IOCTL_TOLVARVX_TEST_RESET TOLVARVX_TEST_CODE(0x900)
/** Input TolvarvxScript, output none: queue one scripted completion.
 * STATUS_INSUFFICIENT_RESOURCES when TOLVARVX_SCRIPT_CAPACITY are queued. */
#define IOCTL_TOLVARVX_TEST_SCRIPT TOLVARVX_TEST_CODE(0x901)
/** Input none, output TolvarvxJournal (at least its size). */
#define IOCTL_TOLVARVX_TEST_JOURNAL TOLVARVX_TEST_CODE(0x902)
/** Input uint32_t 0 or 1, output none: whether OPEN, CLOSE, RELOAD and QUERY
 * need a passed handshake (off after a reset). */
#define IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED TOLVARVX_TEST_CODE(0x903)
/** Input TolvarvxSecret, output none: the secret the handshake uses. */
#define IOCTL_TOLVARVX_TEST_SET_SECRET TOLVARVX_TEST_CODE(0x904)
/** Input uint32_t TOLVARVX_CRASH_MAGIC, output none: the kernel driver
 * faults on purpose while it holds the request, so that tests can see what
 * a caller gets when the driver dies. Any other input: refused. */
#define IOCTL_TOLVARVX_TEST_CRASH TOLVARVX_TEST_CODE(0x905)
#define TOLVARVX_CRASH_MAGIC 0x0DEADC0Du /**< the one input IOCTL_TOLVARVX_TEST_CRASH takes */
/** Input none, output uint32_t (at least 4 bytes): the version of this
 * interface the stand-in implements. */
#define IOCTL_TOLVARVX_TEST_VERSION TOLVARVX_TEST_CODE(0x906)
#define TOLVARVX_TEST_INTERFACE_VERSION 2u /**< the version this header describes */

#define TOLVARVX_TEST_FIRST_FUNCTION 0x900u /**< function of the first test control */
#define TOLVARVX_TEST_LAST_FUNCTION 0x906u  /**< function of the last test control */

/** The statuses the stand-in completes requests with, each with the Win32
 * error a caller of DeviceIoControl gets for it; a script may complete a
 * request with any of these or any other NTSTATUS but the two no driver may
 * complete a request with: STATUS_PENDING and 0xFFFFFFFF. */
#define TOLVARVX_STATUS_SUCCESS 0x00000000u
#define TOLVARVX_STATUS_DEVICE_BUSY 0x80000011u            /**< Win32 170 */
#define TOLVARVX_STATUS_UNSUCCESSFUL 0xC0000001u           /**< Win32 31 */
#define TOLVARVX_STATUS_INVALID_PARAMETER 0xC000000Du      /**< Win32 87 */
#define TOLVARVX_STATUS_INVALID_DEVICE_REQUEST 0xC0000010u /**< Win32 1 */
#define TOLVARVX_STATUS_ACCESS_DENIED 0xC0000022u          /**< Win32 5 */
#define TOLVARVX_STATUS_BUFFER_TOO_SMALL 0xC0000023u       /**< Win32 122 */
#define TOLVARVX_STATUS_INSUFFICIENT_RESOURCES 0xC000009Au /**< Win32 1450 */
#define TOLVARVX_STATUS_DEVICE_NOT_READY 0xC00000A3u       /**< Win32 21 */
#define TOLVARVX_STATUS_NOT_SUPPORTED 0xC00000BBu          /**< Win32 50 */
#define TOLVARVX_STATUS_PENDING 0x00000103u                /**< never a completion: a script of it is refused */

/** What a request was, in journal entries and scripts. */
#define TOLVARVX_KIND_CONTROL 1u /**< a device control (or file-system control); Code says which */
#define TOLVARVX_KIND_FLUSH 2u   /**< IRP_MJ_FLUSH_BUFFERS; Code is 0 */

/** A scripted completion: the next request of this kind and code is answered
 * with Status and Information instead of (or after) being carried out.
 * Information is clamped to the request's output length, and every byte it
 * counts is written: the request's own output first, FillByte for the rest.
 * Code must be one the stand-in answers (the drive codes and the three
 * volume codes of tolvar_driver_contract.h). A script of any other code, of
 * a test code or of an unknown kind, and one whose Status is
 * STATUS_PENDING (0x103) or 0xFFFFFFFF, is refused with
 * STATUS_INVALID_PARAMETER (Win32 error 87). */
typedef struct TolvarvxScript {
    uint32_t Kind;        /**< TOLVARVX_KIND_* */
    uint32_t Code;        /**< the control code for KIND_CONTROL; 0 for KIND_FLUSH */
    uint32_t Status;      /**< NTSTATUS to complete with */
    uint32_t Information; /**< bytes returned */
    uint32_t Flags;       /**< TOLVARVX_SCRIPT_* */
    uint32_t FillByte;    /**< 0..255: the counted bytes the request did not write */
} TolvarvxScript;
/** Carry the request out first (state changes, output written), then
 * replace its status and bytes returned; a count beyond what the request
 * wrote (all of it when the request failed) is made up with FillByte.
 * Without it the request does nothing but fill the output with FillByte. */
#define TOLVARVX_SCRIPT_PERFORM 1u
#define TOLVARVX_SCRIPT_CAPACITY 8u /**< scripts a device holds at once */

/** One request as the stand-in's journal records it. */
typedef struct TolvarvxJournalEntry {
    uint32_t Sequence;     /**< 1 for the first request after a reset */
    uint32_t Kind;         /**< TOLVARVX_KIND_* */
    uint32_t Code;         /**< control code, 0 for a flush */
    uint32_t InputLength;  /**< bytes of input */
    uint32_t OutputLength; /**< bytes of output room */
    uint32_t Status;       /**< status the request completed with */
    uint32_t Information;  /**< bytes returned */
    uint32_t Flags;        /**< TOLVARVX_JOURNAL_SCRIPTED */
} TolvarvxJournalEntry;
#define TOLVARVX_JOURNAL_SCRIPTED 1u /**< the entry's completion came from a script */
#define TOLVARVX_JOURNAL_CAPACITY 64u /**< entries a journal holds */

/** Output of IOCTL_TOLVARVX_TEST_JOURNAL. The driver cannot see the access
 * a handle was opened with, so the journal holds none. */
typedef struct TolvarvxJournal {
    uint32_t Recorded;      /**< requests since the reset; may exceed the capacity */
    uint32_t Count;         /**< entries held, oldest first: the last Count requests */
    uint32_t LastOpenValid; /**< 1 once an OPEN with a 1048-byte input arrived */
    uint32_t Reserved;      /**< zero */
    TolvarvxJournalEntry Entries[TOLVARVX_JOURNAL_CAPACITY]; /**< the first Count are held */
    uint8_t LastOpenRequest[TOLVAR_OPEN_REQUEST_SIZE]; /**< its raw bytes, whatever its outcome */
} TolvarvxJournal;

#define TOLVARVX_SECRET_MAX 64u /**< the longest secret, in bytes */
/** Input of IOCTL_TOLVARVX_TEST_SET_SECRET. */
typedef struct TolvarvxSecret {
    uint32_t Length;                    /**< 1..TOLVARVX_SECRET_MAX */
    uint8_t Bytes[TOLVARVX_SECRET_MAX]; /**< the secret's first Length bytes */
} TolvarvxSecret;

/** The secret each device starts with: this prefix and the device's index
 * in decimal, ASCII, no terminator ("tolvar-stand-in-secret-3"). */
#define TOLVARVX_DEFAULT_SECRET_PREFIX "tolvar-stand-in-secret-"

/** \cond LAYOUT_CHECKS */
/* Checks in any C or C++ dialect (MSVC's C has no _Static_assert before C11). */
#define TOLVARVX_TEST_CHECK_2(cond, line) typedef char TolvarvxTestCheck##line[(cond) ? 1 : -1]
#define TOLVARVX_TEST_CHECK_1(cond, line) TOLVARVX_TEST_CHECK_2(cond, line)
#define TOLVARVX_TEST_CHECK(cond) TOLVARVX_TEST_CHECK_1(cond, __LINE__)
TOLVARVX_TEST_CHECK(IOCTL_TOLVARVX_TEST_RESET == 0x80002400u);
TOLVARVX_TEST_CHECK(IOCTL_TOLVARVX_TEST_VERSION == 0x80002418u);
TOLVARVX_TEST_CHECK(sizeof(TolvarvxScript) == 24);
TOLVARVX_TEST_CHECK(sizeof(TolvarvxJournalEntry) == 32);
TOLVARVX_TEST_CHECK(offsetof(TolvarvxJournal, Entries) == 16);
TOLVARVX_TEST_CHECK(sizeof(TolvarvxJournal) == 16 + 32 * TOLVARVX_JOURNAL_CAPACITY + 1048);
TOLVARVX_TEST_CHECK(sizeof(TolvarvxSecret) == 68);
#undef TOLVARVX_TEST_CHECK
#undef TOLVARVX_TEST_CHECK_1
#undef TOLVARVX_TEST_CHECK_2
/** \endcond */

#endif
