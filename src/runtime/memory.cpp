// memcpy and memset, which compilers call for copies and zero fills of
// records (clang for ARM64 does at -Os). The library links no C run-time
// to take them from. Compiled with -ffreestanding -fno-builtin, so that
// neither loop is turned back into a call to itself.
#include <stddef.h>

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    while (count-- != 0) *to++ = *from++;
    return destination;
}

extern "C" void* memset(void* destination, int value, size_t count) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    while (count-- != 0) *to++ = static_cast<unsigned char>(value);
    return destination;
}
