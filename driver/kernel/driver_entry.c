/* TOLVARVX.sys: creates \Device\TolvarVault, the drive devices
 * \Device\TolvarVault\TOLVARVX0..3 and their links \DosDevices\TOLVARVX<n>,
 * and routes their IRPs to the portable core. */
#include "kernel.h"

static HANDLE vaultDirectory;

/* Appends the decimal form of `value` to `name` (capacity in WCHARs). */
static void append_index(UNICODE_STRING* name, ULONG value)
{
    WCHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = (WCHAR)(L'0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    while (count > 0 && name->Length + sizeof(WCHAR) <= name->MaximumLength) {
        name->Buffer[name->Length / sizeof(WCHAR)] = digits[--count];
        name->Length += sizeof(WCHAR);
    }
}

static void set_name(UNICODE_STRING* name, WCHAR* buffer, USHORT capacityBytes,
                     const WCHAR* prefix, ULONG index)
{
    name->Buffer = buffer;
    name->Length = 0;
    name->MaximumLength = capacityBytes;
    while (*prefix && name->Length + sizeof(WCHAR) <= name->MaximumLength) {
        buffer[name->Length / sizeof(WCHAR)] = *prefix++;
        name->Length += sizeof(WCHAR);
    }
    append_index(name, index);
}

static void NTAPI unload(PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT device = driver->DeviceObject;
    while (device) {
        PDEVICE_OBJECT next = device->NextDevice;
        tolvarvx_extension* extension = (tolvarvx_extension*)device->DeviceExtension;
        if (extension->linkName.Length)
            IoDeleteSymbolicLink(&extension->linkName);
        IoDeleteDevice(device);
        device = next;
    }
    if (vaultDirectory) {
        ZwClose(vaultDirectory);
        vaultDirectory = NULL;
    }
}

static NTSTATUS create_vault_directory(void)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&name, TOLVAR_KERNEL_DIRECTORY_W);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_OPENIF, NULL, NULL);
    /* Held open for the driver's life: the devices live inside it. */
    return ZwCreateDirectoryObject(&vaultDirectory, DIRECTORY_ALL_ACCESS, &attributes);
}

static NTSTATUS create_drive_device(PDRIVER_OBJECT driver, ULONG index)
{
    WCHAR deviceBuffer[64];
    UNICODE_STRING deviceName;
    set_name(&deviceName, deviceBuffer, sizeof deviceBuffer, TOLVAR_KERNEL_DIRECTORY_W L"\\TOLVARVX",
             index);

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(tolvarvx_extension), &deviceName,
                                     TOLVAR_DEVICE_TYPE, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;

    tolvarvx_extension* extension = (tolvarvx_extension*)device->DeviceExtension;
    tolvarvx_kernel_platform_init(extension);
    tolvarvx_device_init(&extension->core, index, &extension->platform);

    UNICODE_STRING linkName;
    set_name(&linkName, extension->linkBuffer, sizeof extension->linkBuffer, L"\\DosDevices\\TOLVARVX",
             index);
    /* A link can outlive an instance of the driver that died without
     * unloading (Wine keeps it, and then refuses to create it again). */
    IoDeleteSymbolicLink(&linkName);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status))
        return status; /* the device stays in the driver's list; unload deletes it */
    extension->linkName = linkName;

    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = tolvarvx_irp_unsupported;
    driver->MajorFunction[IRP_MJ_CREATE] = tolvarvx_irp_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = tolvarvx_irp_create_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = tolvarvx_irp_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = tolvarvx_irp_control;
    driver->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = tolvarvx_irp_fs_control;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = tolvarvx_irp_flush;
    driver->DriverUnload = unload;

    NTSTATUS status = create_vault_directory();
    if (!NT_SUCCESS(status))
        return status;
    for (ULONG index = 0; index < TOLVARVX_DEVICE_COUNT; ++index) {
        status = create_drive_device(driver, index);
        if (!NT_SUCCESS(status)) {
            unload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}
