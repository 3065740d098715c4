// The Win32 headers the library compiles against: the system's on Windows,
// the host stand-in's (same names, same semantics) in the host build.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

// A UTF-16 literal of the platform's WCHAR type.
#ifdef _WIN32
#define TOLVAR_WIDE(text) L##text
#else
#define TOLVAR_WIDE(text) u##text
#endif

static_assert(sizeof(WCHAR) == 2, "UTF-16 code units");
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(BOOL) == 4, "Win32 sizes");
