/* The time limits of the test programs. Where Wine runs in an emulated
 * guest it is several times slower, and the launcher says by how much in
 * TOLVAR_WINE_TIME_SCALE (unset on a host that runs Wine itself), so a
 * limit that catches a hang natively does not fail a slow but sound run
 * there. */
#ifndef TOLVAR_TIME_LIMIT_H
#define TOLVAR_TIME_LIMIT_H

#include <stdlib.h>
#include <windows.h>

static inline DWORD time_limit_ms(DWORD native_ms)
{
    char text[16];
    DWORD length = GetEnvironmentVariableA("TOLVAR_WINE_TIME_SCALE", text, sizeof text);
    unsigned long scale = length > 0 && length < sizeof text ? strtoul(text, NULL, 10) : 1;
    return scale > 1 && scale < 100 ? native_ms * (DWORD)scale : native_ms;
}

#endif
