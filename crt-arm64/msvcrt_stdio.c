/* The pieces of stdio that mingw-w64's headers expect of their static
 * run-time, which ARM64 does not have here, made on msvcrt.dll's exports;
 * and every call that takes a va_list, formatted by format.c (see there
 * why none may reach msvcrt.dll). Calls with their arguments listed
 * (printf, fprintf, sprintf, sscanf) go to msvcrt.dll as they are: integer
 * and pointer arguments travel alike in both ABIs. */
#include <stdarg.h>
#include <stdio.h>

#include "format.h"

/* stdin, stdout and stderr: mingw-w64's headers name them through
 * __acrt_iob_func, which msvcrt.dll does not have; it has __iob_func. */
static FILE* __cdecl StandardStream(unsigned index) { return &__iob_func()[index]; }
FILE* (__cdecl* __imp___acrt_iob_func)(unsigned) = StandardStream;

/* vsnprintf and snprintf, which the headers route here: C99's, the length
 * the whole text needs and the output always terminated. */
int __cdecl __ms_vsnprintf(char* out, size_t capacity, const char* format, va_list arguments) {
    return FormatBounded(out, capacity, format, arguments);
}

static void WriteToStream(void* stream, const char* text, size_t length) {
    fwrite(text, 1, length, (FILE*)stream);
}

int __cdecl vfprintf(FILE* stream, const char* format, va_list arguments) {
    return FormatSpilled(WriteToStream, stream, format, arguments);
}
