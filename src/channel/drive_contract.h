/* The Drive driver's contract: device names, control codes and the
 * standard volume codes the library sends to a drive device.
 *
 * Plain C, no includes: the library (C++), the driver stand-in (kernel C)
 * and the host build all compile it. */
#ifndef TOLVAR_DRIVE_CONTRACT_H
#define TOLVAR_DRIVE_CONTRACT_H

/* Device names. "%u" takes the drive index. */
#define TOLVAR_DEVICE_NAME_FORMAT_A "\\\\.\\TOLVARVX%u"
#define TOLVAR_KERNEL_NAME_FORMAT_A "\\Device\\TolvarVault\\TOLVARVX%u"
#define TOLVAR_KERNEL_DIRECTORY_W L"\\Device\\TolvarVault"
#define TOLVAR_SERVICE_NAME_A "TOLVARVX"

/* Layout of a control code: device type, access, function, method. */
#define TOLVAR_CTL_CODE(deviceType, function, method, access) \
    (((unsigned long)(deviceType) << 16) | ((unsigned long)(access) << 14) | \
     ((unsigned long)(function) << 2) | (unsigned long)(method))
#define TOLVAR_CODE_DEVICE_TYPE(code) (((code) >> 16) & 0xFFFFu)
#define TOLVAR_CODE_ACCESS(code) (((code) >> 14) & 0x3u)
#define TOLVAR_CODE_FUNCTION(code) (((code) >> 2) & 0xFFFu)
#define TOLVAR_CODE_METHOD(code) ((code) & 0x3u)

#define TOLVAR_DEVICE_TYPE 0x8000u
#define TOLVAR_METHOD_BUFFERED 0u
#define TOLVAR_ACCESS_ANY 0u
#define TOLVAR_ACCESS_READ 1u
#define TOLVAR_ACCESS_WRITE 2u
#define TOLVAR_ACCESS_READ_WRITE (TOLVAR_ACCESS_READ | TOLVAR_ACCESS_WRITE)
#define TOLVAR_FILE_DEVICE_FILE_SYSTEM 0x0009u

/* The driver's seven requests, functions 0x800 to 0x806 in this order. */
#define IOCTL_TOLVAR_OPEN          0x8000E000u
#define IOCTL_TOLVAR_CLOSE         0x8000E004u
#define IOCTL_TOLVAR_RELOAD        0x8000E008u
#define IOCTL_TOLVAR_GET_CHALLENGE 0x8000600Cu
#define IOCTL_TOLVAR_AUTHEN        0x8000E010u
#define IOCTL_TOLVAR_DEAUTHEN      0x8000E014u
#define IOCTL_TOLVAR_QUERY         0x80006018u

/* Standard volume requests the library also sends. */
#define TOLVAR_FSCTL_LOCK_VOLUME     0x00090018u
#define TOLVAR_FSCTL_UNLOCK_VOLUME   0x0009001Cu
#define TOLVAR_FSCTL_DISMOUNT_VOLUME 0x00090020u

/* Fixed sizes of the request buffers. */
#define TOLVAR_CHALLENGE_SIZE 16u
#define TOLVAR_RESPONSE_SIZE 16u
#define TOLVAR_OPEN_REQUEST_SIZE 1048u
#define TOLVAR_QUERY_REPLY_SIZE 1352u

#define TOLVAR_CONTRACT_CHECK(code, function, access) \
    _Static_assert((code) == TOLVAR_CTL_CODE(TOLVAR_DEVICE_TYPE, function, \
                                             TOLVAR_METHOD_BUFFERED, access), \
                   #code " layout")
#ifdef __cplusplus
#undef TOLVAR_CONTRACT_CHECK
#define TOLVAR_CONTRACT_CHECK(code, function, access) \
    static_assert((code) == TOLVAR_CTL_CODE(TOLVAR_DEVICE_TYPE, function, \
                                            TOLVAR_METHOD_BUFFERED, access), \
                  #code " layout")
#endif

TOLVAR_CONTRACT_CHECK(IOCTL_TOLVAR_OPEN, 0x800, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_CONTRACT_CHECK(IOCTL_TOLVAR_CLOSE, 0x801, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_CONTRACT_CHECK(IOCTL_TOLVAR_RELOAD, 0x802, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_CONTRACT_CHECK(IOCTL_TOLVAR_GET_CHALLENGE, 0x803, TOLVAR_ACCESS_READ);
TOLVAR_CONTRACT_CHECK(IOCTL_TOLVAR_AUTHEN, 0x804, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_CONTRACT_CHECK(IOCTL_TOLVAR_DEAUTHEN, 0x805, TOLVAR_ACCESS_READ_WRITE);
TOLVAR_CONTRACT_CHECK(IOCTL_TOLVAR_QUERY, 0x806, TOLVAR_ACCESS_READ);

#undef TOLVAR_CONTRACT_CHECK
#ifdef __cplusplus
#define TOLVAR_VOLUME_CHECK(code, function) \
    static_assert((code) == TOLVAR_CTL_CODE(TOLVAR_FILE_DEVICE_FILE_SYSTEM, function, \
                                            TOLVAR_METHOD_BUFFERED, TOLVAR_ACCESS_ANY), \
                  #code " layout")
#else
#define TOLVAR_VOLUME_CHECK(code, function) \
    _Static_assert((code) == TOLVAR_CTL_CODE(TOLVAR_FILE_DEVICE_FILE_SYSTEM, function, \
                                             TOLVAR_METHOD_BUFFERED, TOLVAR_ACCESS_ANY), \
                   #code " layout")
#endif
TOLVAR_VOLUME_CHECK(TOLVAR_FSCTL_LOCK_VOLUME, 6);
TOLVAR_VOLUME_CHECK(TOLVAR_FSCTL_UNLOCK_VOLUME, 7);
TOLVAR_VOLUME_CHECK(TOLVAR_FSCTL_DISMOUNT_VOLUME, 8);
#undef TOLVAR_VOLUME_CHECK

#endif
