// What tolvarctl writes when something goes wrong: usage errors and failed
// operations on standard error, each with the exit status that goes with it.
#pragma once

#include <windows.h>

namespace tolvarctl {

struct CommandInfo;

// "tolvarctl: <command>: <problem>" and the command's usage line; returns
// kExitUsage.
int UsageError(const CommandInfo& command, const char* problem);

// "tolvarctl: <operation> failed: <function> returned error <code>: <text>"
// with the system's message for the code (FormatMessageW), and a second line
// when the code is one the library gives itself for this function. Returns
// kExitFailed.
int OperationFailed(const char* operation, const char* function, DWORD code);

// The system's one-line message for a Win32 code as UTF-8, without the
// trailing line break; "no system message for this code" when there is none.
void SystemMessage(DWORD code, char* text, int textSize);

}  // namespace tolvarctl
