/* The architecture part of wdm.h for ARM64, read through its ARM branch
 * (ddk.h): what 64-bit Windows on ARM defines alike for every driver. The
 * current thread is ntoskrnl.exe's exported KeGetCurrentThread (wdm.h's own
 * inline functions call it); the current IRQL, which an ARM64 kernel keeps
 * in its processor control region, is left out: a call to it fails to build
 * rather than read a guessed offset. */
#ifndef TOLVARVX_ARMDDK_H
#define TOLVARVX_ARMDDK_H

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define DRS_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L

typedef struct _KFLOATING_SAVE {
    ULONG Dummy;
} KFLOATING_SAVE, *PKFLOATING_SAVE;

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);

/* The data cache is coherent with DMA on ARM64 Windows' platforms. */
#define KeFlushIoBuffers(_Mdl, _ReadOperation, _DmaOperation)

#endif
