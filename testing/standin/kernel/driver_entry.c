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

/* A SID with room for two sub-authorities, aligned as a SID must be. */
typedef union tolvarvx_sid {
    SID sid;
    ULONG space[4];
} tolvarvx_sid;

/* Only the system and administrators may open the device
 * (D:P(A;;FA;;;SY)(A;;FA;;;BA)): its controls include a deliberate crash
 * and switching authentication off, test controls and drive controls alike.
 * The DACL is set through a handle, since IoCreateDeviceSecure lives in a
 * WDK static library that mingw-w64 lacks. FILE_DEVICE_SECURE_OPEN, given
 * at creation, makes the same check cover names opened below the device.
 * Wine 8 accepts the DACL but checks none when a file is opened on a
 * device: there a non-administrator opens it too. */
static NTSTATUS restrict_to_administrators(PDEVICE_OBJECT device)
{
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    tolvarvx_sid system, administrators;
    RtlInitializeSid(&system.sid, &nt, 1);
    *RtlSubAuthoritySid(&system.sid, 0) = SECURITY_LOCAL_SYSTEM_RID;
    RtlInitializeSid(&administrators.sid, &nt, 2);
    *RtlSubAuthoritySid(&administrators.sid, 0) = SECURITY_BUILTIN_DOMAIN_RID;
    *RtlSubAuthoritySid(&administrators.sid, 1) = DOMAIN_ALIAS_RID_ADMINS;

    ULONG aclSpace[32];
    PACL acl = (PACL)aclSpace;
    SECURITY_DESCRIPTOR descriptor;
    NTSTATUS status = RtlCreateAcl(acl, sizeof aclSpace, ACL_REVISION);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, &system.sid);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, &administrators.sid);
    if (NT_SUCCESS(status))
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    if (!NT_SUCCESS(status))
        return status;

    HANDLE handle;
    status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode,
                                   &handle);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
    ZwClose(handle);
    return status;
}

static NTSTATUS create_drive_device(PDRIVER_OBJECT driver, ULONG index)
{
    WCHAR deviceBuffer[64];
    UNICODE_STRING deviceName;
    set_name(&deviceName, deviceBuffer, sizeof deviceBuffer, TOLVAR_KERNEL_DIRECTORY_W L"\\TOLVARVX",
             index);

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, sizeof(tolvarvx_extension), &deviceName,
                                     TOLVAR_DEVICE_TYPE, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    status = restrict_to_administrators(device);
    if (!NT_SUCCESS(status))
        return status; /* the device stays in the driver's list; unload deletes it */

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
