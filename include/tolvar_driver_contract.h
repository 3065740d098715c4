/** \file
 * The Drive driver's contract: what passes between an application (or
 * tolvarsdk.dll) and the driver's drive devices.
 *
 *   - the device names of drive n and the driver's service name;
 *   - the seven private control codes (device type 0x8000, METHOD_BUFFERED,
 *     functions 0x800 to 0x806) and the standard volume codes the library
 *     also sends to a drive device;
 *   - the two fixed-size buffers that carry a drive's description: the
 *     input of IOCTL_TOLVAR_OPEN and the output of IOCTL_TOLVAR_QUERY, byte
 *     for byte, little-endian.
 *
 * Self-contained plain C with fixed-width types (UTF-16 stays 16 bits
 * wherever wchar_t is wider), with no Windows header: user-mode programs,
 * kernel-mode drivers and builds for other platforms all compile it.
 * Applications that only call tolvarsdk.dll do not need it.
 */
#ifndef TOLVAR_DRIVER_CONTRACT_H
#define TOLVAR_DRIVER_CONTRACT_H

#include <stddef.h>
#include <stdint.h>

/* ---- Names -------------------------------------------------------------- */

/** @{ */
/** "%u" takes the drive index: `\\.\TOLVARVX0` is drive 0 from user mode,
 * `\Device\TolvarVault\TOLVARVX0` its kernel object, in the kernel
 * directory `\Device\TolvarVault`. */
#define TOLVAR_DEVICE_NAME_FORMAT_A "\\\\.\\TOLVARVX%u"
#define TOLVAR_KERNEL_NAME_FORMAT_A "\\Device\\TolvarVault\\TOLVARVX%u"
#define TOLVAR_KERNEL_DIRECTORY_W L"\\Device\\TolvarVault"
/** @} */
/** The kernel service the driver runs as. */
#define TOLVAR_SERVICE_NAME_A "TOLVARVX"

/* ---- Control codes ------------------------------------------------------ */

/** @{ */
/** Layout of a control code: device type, access, function, method; and
 * the four parts taken out of a code. */
#define TOLVAR_CTL_CODE(deviceType, function, method, access) \
    (((uint32_t)(deviceType) << 16) | ((uint32_t)(access) << 14) | \
     ((uint32_t)(function) << 2) | (uint32_t)(method))
#define TOLVAR_CODE_DEVICE_TYPE(code) (((code) >> 16) & 0xFFFFu)
#define TOLVAR_CODE_ACCESS(code) (((code) >> 14) & 0x3u)
#define TOLVAR_CODE_FUNCTION(code) (((code) >> 2) & 0xFFFu)
#define TOLVAR_CODE_METHOD(code) ((code) & 0x3u)
/** @} */

/** @{ */
/** The parts of the driver's codes: its device type, its one method, the
 * access a code may require, and the file-system device type of the
 * standard volume codes. */
#define TOLVAR_DEVICE_TYPE 0x8000u
#define TOLVAR_METHOD_BUFFERED 0u
#define TOLVAR_ACCESS_ANY 0u
#define TOLVAR_ACCESS_READ 1u
#define TOLVAR_ACCESS_WRITE 2u
#define TOLVAR_ACCESS_READ_WRITE (TOLVAR_ACCESS_READ | TOLVAR_ACCESS_WRITE)
#define TOLVAR_FILE_DEVICE_FILE_SYSTEM 0x0009u
/** @} */

/** @{ */
/** The driver's seven requests. Each is synchronous and carries only the
 * buffers named; "read" codes need a handle opened for reading, the others
 * one opened for reading and writing.
 * - OPEN: in TolvarOpenRequest (1048 bytes), out none
 * - CLOSE: none
 * - RELOAD: none
 * - GET_CHALLENGE: out 16 bytes (read access)
 * - AUTHEN: in 16 bytes
 * - DEAUTHEN: none
 * - QUERY: out TolvarQueryReply (1352 bytes, read access) */
#define IOCTL_TOLVAR_OPEN          0x8000E000u
#define IOCTL_TOLVAR_CLOSE         0x8000E004u
#define IOCTL_TOLVAR_RELOAD        0x8000E008u
#define IOCTL_TOLVAR_GET_CHALLENGE 0x8000600Cu
#define IOCTL_TOLVAR_AUTHEN        0x8000E010u
#define IOCTL_TOLVAR_DEAUTHEN      0x8000E014u
#define IOCTL_TOLVAR_QUERY         0x80006018u
/** @} */

/** @{ */
/** Standard volume requests the library also sends to a drive device. */
#define TOLVAR_FSCTL_LOCK_VOLUME     0x00090018u
#define TOLVAR_FSCTL_UNLOCK_VOLUME   0x0009001Cu
#define TOLVAR_FSCTL_DISMOUNT_VOLUME 0x00090020u
/** @} */

/* ---- Buffers ------------------------------------------------------------ */

/** @{ */
/** Sizes in bytes of the challenge, the response, the open request, the
 * query reply and the driver's details; TOLVAR_PATH_CHARS is a path's
 * length in UTF-16 units, terminator included. */
#define TOLVAR_CHALLENGE_SIZE 16u
#define TOLVAR_RESPONSE_SIZE 16u
#define TOLVAR_OPEN_REQUEST_SIZE 1048u
#define TOLVAR_QUERY_REPLY_SIZE 1352u
#define TOLVAR_PATH_CHARS 260u
#define TOLVAR_DEVICE_DETAILS_SIZE 304u
/** @} */

/** Input of IOCTL_TOLVAR_OPEN. */
typedef struct TolvarOpenRequest {
    uint16_t DriveLetter;                   /**< the drive's letter as a UTF-16 unit */
    uint16_t Reserved;                      /**< zero */
    uint32_t BackupBeforeWrite;             /**< nonzero: back up before writing */
    uint16_t BackupFile[TOLVAR_PATH_CHARS]; /**< UTF-16, terminated; all zero when not in that mode */
    uint16_t DataFile[TOLVAR_PATH_CHARS];   /**< UTF-16, terminated */
} TolvarOpenRequest;

/** Output of IOCTL_TOLVAR_QUERY: the open request's layout, then the
 * driver's own description of the drive, opaque to the library. */
typedef struct TolvarQueryReply {
    TolvarOpenRequest Drive;                           /**< the drive as it was opened */
    uint8_t DeviceDetails[TOLVAR_DEVICE_DETAILS_SIZE]; /**< the driver's own, opaque */
} TolvarQueryReply;

/* ---- Checks, in any C or C++ dialect ------------------------------------ */
/** \cond LAYOUT_CHECKS */
#define TOLVAR_CONTRACT_CHECK_2(cond, line) typedef char TolvarContractCheck##line[(cond) ? 1 : -1]
#define TOLVAR_CONTRACT_CHECK_1(cond, line) TOLVAR_CONTRACT_CHECK_2(cond, line)
#define TOLVAR_CONTRACT_CHECK(cond) TOLVAR_CONTRACT_CHECK_1(cond, __LINE__)
#define TOLVAR_DRIVE_CODE_CHECK(code, function, access) \
    TOLVAR_CONTRACT_CHECK((code) == TOLVAR_CTL_CODE(TOLVAR_DEVICE_TYPE, function, \
                                                    TOLVAR_METHOD_BUFFERED, access))
#define TOLVAR_VOLUME_CODE_CHECK(code, function) \
    TOLVAR_CONTRACT_CHECK((code) == TOLVAR_CTL_CODE(TOLVAR_FILE_DEVICE_FILE_SYSTEM, function, \
                                                    TOLVAR_METHOD_BUFFERED, TOLVAR_ACCESS_ANY))

TOLVAR_DRIVE_CODE_CHECK(IOCTL_TOLVAR_OPEN, 0x800, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_DRIVE_CODE_CHECK(IOCTL_TOLVAR_CLOSE, 0x801, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_DRIVE_CODE_CHECK(IOCTL_TOLVAR_RELOAD, 0x802, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_DRIVE_CODE_CHECK(IOCTL_TOLVAR_GET_CHALLENGE, 0x803, TOLVAR_ACCESS_READ);
TOLVAR_DRIVE_CODE_CHECK(IOCTL_TOLVAR_AUTHEN, 0x804, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_DRIVE_CODE_CHECK(IOCTL_TOLVAR_DEAUTHEN, 0x805, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_DRIVE_CODE_CHECK(IOCTL_TOLVAR_QUERY, 0x806, TOLVAR_ACCESS_READ);
TOLVAR_VOLUME_CODE_CHECK(TOLVAR_FSCTL_LOCK_VOLUME, 6);
TOLVAR_VOLUME_CODE_CHECK(TOLVAR_FSCTL_UNLOCK_VOLUME, 7);
TOLVAR_VOLUME_CODE_CHECK(TOLVAR_FSCTL_DISMOUNT_VOLUME, 8);

TOLVAR_CONTRACT_CHECK(sizeof(TolvarOpenRequest) == TOLVAR_OPEN_REQUEST_SIZE);
TOLVAR_CONTRACT_CHECK(offsetof(TolvarOpenRequest, DriveLetter) == 0);
TOLVAR_CONTRACT_CHECK(offsetof(TolvarOpenRequest, Reserved) == 2);
TOLVAR_CONTRACT_CHECK(offsetof(TolvarOpenRequest, BackupBeforeWrite) == 4);
TOLVAR_CONTRACT_CHECK(offsetof(TolvarOpenRequest, BackupFile) == 8);
TOLVAR_CONTRACT_CHECK(offsetof(TolvarOpenRequest, DataFile) == 528);
TOLVAR_CONTRACT_CHECK(sizeof(TolvarQueryReply) == TOLVAR_QUERY_REPLY_SIZE);
TOLVAR_CONTRACT_CHECK(offsetof(TolvarQueryReply, DeviceDetails) == 1048);

#undef TOLVAR_VOLUME_CODE_CHECK
#undef TOLVAR_DRIVE_CODE_CHECK
#undef TOLVAR_CONTRACT_CHECK
#undef TOLVAR_CONTRACT_CHECK_1
#undef TOLVAR_CONTRACT_CHECK_2
/** \endcond */

#endif /**< TOLVAR_DRIVER_CONTRACT_H */
