// Everything tolvarctl writes goes through here as UTF-8 text: to a console
// through WriteConsoleW, so that every character shows whatever the
// console's code page; to a pipe or a file as UTF-8 bytes.
#pragma once

#include <stdio.h>
#include <windows.h>

namespace tolvarctl {

// The format checks of printf's conversions: GCC knows mingw's printf as
// gnu_printf, clang (the ARM64 build) as printf.
#ifdef __clang__
#define TOLVARCTL_PRINTF_FORMAT(position, first) __attribute__((format(printf, position, first)))
#else
#define TOLVARCTL_PRINTF_FORMAT(position, first) __attribute__((format(gnu_printf, position, first)))
#endif

// printf to stdout or stderr.
void Print(FILE* stream, const char* format, ...) TOLVARCTL_PRINTF_FORMAT(2, 3);

// UTF-16 text, `length` units or up to a terminator if one comes first, as
// UTF-8 into `out` (always terminated), cut after the last whole character
// that fits. A lone surrogate, which UTF-8 cannot carry, becomes U+FFFD.
void ToUtf8(const WCHAR* text, int length, char* out, int capacity);

// The bytes of at most `maxBytes` of UTF-8 text, cut before a character
// that does not fit whole: for "%.*s" in messages that quote a word.
int ClippedLength(const char* text, int maxBytes);

// The most of a word a message quotes, in bytes.
constexpr int kQuotedBytes = 40;

}  // namespace tolvarctl
