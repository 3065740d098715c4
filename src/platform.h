// The Win32 headers the library compiles against: the system's on Windows,
// the host stand-in's (same names, same semantics) in the host build.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

// A UTF-16 literal of the platform's WCHAR type. Two steps, so that a
// macro naming a literal is expanded before it is widened.
#ifdef _WIN32
#define TOLVAR_WIDE_LITERAL(text) L##text
#else
#define TOLVAR_WIDE_LITERAL(text) u##text
#endif
#define TOLVAR_WIDE(text) TOLVAR_WIDE_LITERAL(text)

static_assert(sizeof(WCHAR) == 2, "UTF-16 code units");
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4, "Win32 sizes");
