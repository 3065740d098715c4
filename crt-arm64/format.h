/* printf's formatting for the ARM64 programs (tolvarctl and the Wine test
 * programs), which take their C library from msvcrt.dll. A va_list must
 * never reach msvcrt.dll there: ARM64 Windows passes one as a pointer to
 * the arguments, and Wine's msvcrt.dll on a Linux AArch64 host may be built
 * for that system's ABI, where a va_list is a structure. So every vprintf
 * of these programs formats here, and only the text goes to msvcrt.dll.
 *
 * The conversions are those the programs use: d, u, x, X, c, s, p and %%,
 * the flags '-', '0' and '#', a width and a precision (a number or '*'),
 * and the length 'l'. %p is written as msvcrt.dll writes it: every hex
 * digit of the pointer, in upper case. A directive outside that set ends
 * the formatting: it and the rest of the format are written as they are,
 * and no further argument is read. */
#ifndef TOLVAR_ARM64_FORMAT_H
#define TOLVAR_ARM64_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* vsnprintf as C99 has it: at most `capacity` bytes written, the text cut
 * and always terminated when `capacity` is not 0; returns the length of the
 * whole text, or -1 when it exceeds INT_MAX. */
int FormatBounded(char* out, size_t capacity, const char* format, va_list arguments);

/* The whole text, handed to `spill` a piece at a time (at most 256 bytes,
 * never 0); returns its length, or -1 when it exceeds INT_MAX. */
typedef void (*FormatSpill)(void* context, const char* text, size_t length);
int FormatSpilled(FormatSpill spill, void* context, const char* format, va_list arguments);

#ifdef __cplusplus
}
#endif

#endif
