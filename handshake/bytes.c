#include "bytes.h"

void tolvarvx_copy(void* to, const void* from, size_t length)
{
    uint8_t* target = (uint8_t*)to;
    const uint8_t* source = (const uint8_t*)from;
    for (size_t i = 0; i < length; ++i)
        target[i] = source[i];
}

void tolvarvx_fill(void* to, uint8_t value, size_t length)
{
    volatile uint8_t* target = (volatile uint8_t*)to; /* also wipes secrets */
    for (size_t i = 0; i < length; ++i)
        target[i] = value;
}

int tolvarvx_equal_constant_time(const uint8_t* a, const uint8_t* b, size_t length)
{
    uint8_t difference = 0;
    for (size_t i = 0; i < length; ++i)
        difference |= (uint8_t)(a[i] ^ b[i]);
    return difference == 0;
}
