/* TOLVARVX.sys: the kernel driver around the portable core. */
#ifndef TOLVARVX_KERNEL_H
#define TOLVARVX_KERNEL_H

/* ntddk.h and the security calls; for ARM64 with the pieces mingw-w64's
 * DDK lacks. */
#ifdef _ARM64_
#include "arm64/ddk.h"
#else
#include <ntifs.h>
#endif

#include "../core/tolvarvx_core.h"

#define TOLVARVX_DEVICE_COUNT 4u

/* Each drive device's extension: the core's device model and its lock. */
typedef struct tolvarvx_extension {
    tolvarvx_device core;
    tolvarvx_platform platform;
    KMUTEX lock;
    UNICODE_STRING linkName;
    WCHAR linkBuffer[32];
} tolvarvx_extension;

void tolvarvx_kernel_platform_init(tolvarvx_extension* extension);

NTSTATUS NTAPI tolvarvx_irp_create_close(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI tolvarvx_irp_control(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI tolvarvx_irp_fs_control(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI tolvarvx_irp_flush(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI tolvarvx_irp_unsupported(PDEVICE_OBJECT device, PIRP irp);

#endif
