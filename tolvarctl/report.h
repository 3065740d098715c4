// What tolvarctl writes when something goes wrong: usage errors and failed
// operations on standard error, each with the exit status that goes with it.
#pragma once

#include <windows.h>

#include "text_output.h"

namespace tolvarctl {

struct CommandInfo;

// "tolvarctl: <command>: <problem>" and the command's usage line; returns
// kExitUsage.
int UsageError(const CommandInfo& command, const char* problem);

// "tolvarctl: <operation> failed: <function> returned error <code>: <text>"
// with the system's message for the code (FormatMessageW), and a note when
// the code is one the library gives itself for this function, or one that
// Wine gives where Windows does not (only when running under Wine).
// Returns kExitFailed.
int OperationFailed(const char* operation, const char* function, DWORD code);

// OperationFailed for an operation on drive `index`, and a note when the
// code says a name was not found and the drive's device does not exist.
int DriveOperationFailed(const char* operation, const char* function, UINT index, DWORD code);

// "tolvarctl: note: <text>" on standard error, after a failure's line: a
// cause the tool could tell.
void Note(const char* format, ...) TOLVARCTL_PRINTF_FORMAT(1, 2);

// Whether `code` is the system's "not found" for a name or a path, which an
// open of a device or of a volume that does not exist gives.
bool IsNameNotFound(DWORD code);

// Whether drive letter X names nothing: the system has no definition for
// "X:". Asks the system's table of device names, opens nothing.
bool LetterUndefined(CHAR letter);

// The system's one-line message for a Win32 code as UTF-8, without the
// trailing line break; "no system message for this code" when there is none.
void SystemMessage(DWORD code, char* text, int textSize);

}  // namespace tolvarctl
