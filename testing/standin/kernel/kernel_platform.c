/* The core's platform in kernel mode: random bytes from the kernel's CNG
 * (BCryptGenRandom of cng.sys with the system-preferred generator; Wine's
 * cng.sys forwards it to bcrypt.dll, which reads the host's random source)
 * and a kernel mutex per device. */
#include "kernel.h"

#define TOLVARVX_BCRYPT_USE_SYSTEM_PREFERRED_RNG 0x00000002u

NTSTATUS NTAPI BCryptGenRandom(PVOID algorithm, PUCHAR buffer, ULONG length, ULONG flags);

static int random_bytes(void* context, uint8_t* out, uint32_t length)
{
    (void)context;
    return NT_SUCCESS(BCryptGenRandom(NULL, out, length, TOLVARVX_BCRYPT_USE_SYSTEM_PREFERRED_RNG))
               ? 0
               : -1;
}

static void lock(void* context)
{
    KeWaitForSingleObject((PKMUTEX)context, Executive, KernelMode, FALSE, NULL);
}

static void unlock(void* context)
{
    KeReleaseMutex((PKMUTEX)context, FALSE);
}

void tolvarvx_kernel_platform_init(tolvarvx_extension* extension)
{
    KeInitializeMutex(&extension->lock, 0);
    extension->platform.random_bytes = random_bytes;
    extension->platform.lock = lock;
    extension->platform.unlock = unlock;
    extension->platform.context = &extension->lock;
}
