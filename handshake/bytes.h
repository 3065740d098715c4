/* Byte helpers for freestanding code: the core links no C runtime. */
#ifndef TOLVARVX_BYTES_H
#define TOLVARVX_BYTES_H

#include <stddef.h>
#include <stdint.h>

void tolvarvx_copy(void* to, const void* from, size_t length);
void tolvarvx_fill(void* to, uint8_t value, size_t length);
/* 1 when equal; the time taken does not depend on where they differ. */
int tolvarvx_equal_constant_time(const uint8_t* a, const uint8_t* b, size_t length);

#endif
