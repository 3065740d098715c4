/* IRP handlers: every IRP is completed before its handler returns, none
 * is left pending. */
#include "kernel.h"

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI tolvarvx_irp_create_close(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI tolvarvx_irp_unsupported(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void fault_on_purpose(void)
{
    volatile ULONG* nowhere = (volatile ULONG*)(ULONG_PTR)0;
    *nowhere = TOLVARVX_CRASH_MAGIC;
}

/* IRP_MJ_DEVICE_CONTROL, and the user requests of IRP_MJ_FILE_SYSTEM_CONTROL
 * where a system sends them (Wine delivers FSCTL_DISMOUNT_VOLUME as a device
 * control). Both keep code and lengths at the same place of the stack
 * location. */
NTSTATUS NTAPI tolvarvx_irp_control(PDEVICE_OBJECT device, PIRP irp)
{
    tolvarvx_extension* extension = (tolvarvx_extension*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    /* Only METHOD_BUFFERED requests come with a system buffer we may touch;
     * every code the core knows is buffered, so others end as unknown. */
    PVOID buffer = (code & 3u) == METHOD_BUFFERED ? irp->AssociatedIrp.SystemBuffer : NULL;

    if (tolvarvx_is_crash_request(code, buffer, inLength))
        fault_on_purpose();

    uint32_t information = 0;
    tolvarvx_status status =
        tolvarvx_dispatch(&extension->core, code, buffer, inLength, buffer, outLength, &information);
    return complete(irp, (NTSTATUS)status, information);
}

/* IRP_MJ_FILE_SYSTEM_CONTROL: only a user request (IRP_MN_USER_FS_REQUEST)
 * carries a control code. Mount, verify and load requests are a file
 * system's, and the stand-in answers them as file systems answer minor
 * functions they do not handle. */
NTSTATUS NTAPI tolvarvx_irp_fs_control(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_USER_FS_REQUEST)
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return tolvarvx_irp_control(device, irp);
}

NTSTATUS NTAPI tolvarvx_irp_flush(PDEVICE_OBJECT device, PIRP irp)
{
    tolvarvx_extension* extension = (tolvarvx_extension*)device->DeviceExtension;
    return complete(irp, (NTSTATUS)tolvarvx_flush(&extension->core), 0);
}
