/* mingw-w64's DDK headers for an ARM64 kernel-mode driver. They know x86,
 * x64, IA-64 and 32-bit ARM only: wdm.h stops at "#error Unknown
 * Architecture" for anything else, and packs IO_STACK_LOCATION to 4 bytes
 * on every target but x64 and IA-64, which puts its Parameters at offset 4
 * where a 64-bit Windows kernel has them at 8. So, for ARM64:
 *  - the headers take their ARM branch while they are read (_M_ARM), whose
 *    architecture header, armddk.h, is this folder's: the ARM64 pieces;
 *  - this folder's pshpack4.h gives IO_STACK_LOCATION natural packing;
 *  - the layouts the driver reads from the I/O manager are checked below
 *    against 64-bit Windows' own (the same as x64's). */
#ifndef TOLVARVX_ARM64_DDK_H
#define TOLVARVX_ARM64_DDK_H

#if !defined(__aarch64__) || !defined(_ARM64_)
#error "for ARM64 drivers (_ARM64_) only"
#endif

/* Clang notes that pshpack4.h changes the packing inside the headers: it
 * is meant to. wdm.h defines InterlockedBitTestAndSet and ...Reset as
 * static inline functions, which the intrinsics' header would already have
 * declared extern for ARM64; clang then emits them as external symbols in
 * every object and the link fails on duplicates. So the intrinsics' header
 * is told they exist (wdm.h then maps both names to the compiler's
 * intrinsics). */
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wpragma-pack"
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define _M_ARM 1
#include <ntifs.h>
#undef _M_ARM
#pragma clang diagnostic pop

#include <stddef.h>

#ifndef TOLVARVX_IO_STACK_LOCATION_PACKED
#error "pshpack4.h of kernel/arm64 was not used: IO_STACK_LOCATION is packed to 4"
#endif

_Static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8, "IO_STACK_LOCATION layout");
_Static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16,
               "IO_STACK_LOCATION layout");
_Static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24,
               "IO_STACK_LOCATION layout");
_Static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 32,
               "IO_STACK_LOCATION layout");
_Static_assert(offsetof(IO_STACK_LOCATION, Parameters.FileSystemControl.FsControlCode) == 24,
               "IO_STACK_LOCATION layout");
_Static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 40, "IO_STACK_LOCATION layout");
_Static_assert(offsetof(IO_STACK_LOCATION, FileObject) == 48, "IO_STACK_LOCATION layout");
_Static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION layout");
_Static_assert(offsetof(IRP, AssociatedIrp.SystemBuffer) == 24, "IRP layout");
_Static_assert(offsetof(IRP, IoStatus) == 48, "IRP layout");
_Static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184, "IRP layout");
_Static_assert(sizeof(IRP) == 208, "IRP layout");
_Static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 112, "DRIVER_OBJECT layout");
_Static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 64, "DEVICE_OBJECT layout");

#endif
