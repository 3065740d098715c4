/* Stands in for mingw-w64's pshpack4.h while ddk.h reads the DDK headers
 * for ARM64. Every use keeps its 4-byte packing except one: wdm.h packs
 * IO_STACK_LOCATION to 4 on any target but x64 and IA-64, and 64-bit
 * Windows on ARM does not. That use is the first after wdm.h has defined
 * DRVO_BUILTIN_DRIVER (the driver object's flags just before it); ddk.h's
 * layout checks fail the build should the headers ever change the order. */
#if defined(DRVO_BUILTIN_DRIVER) && !defined(TOLVARVX_IO_STACK_LOCATION_PACKED)
#define TOLVARVX_IO_STACK_LOCATION_PACKED
#pragma pack(push, 8)
#else
#pragma pack(push, 4)
#endif
