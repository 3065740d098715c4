// A drive record as tolvarctl prints it: readable, or as one JSON object.
#pragma once

#include "tolvarsdk.h"

namespace tolvarctl {

void PrintDriveText(UINT index, const TolvarDriveInfo& info);

// {"index":N,"device":"\\\\.\\TOLVARVXN","driveLetter":"X","backupBeforeWrite":N,
//  "backupFile":"...","dataFile":"...","deviceDetails":"<608 hex digits>"}
// Strings are ASCII JSON: characters beyond ASCII are written as \uXXXX
// escapes of their UTF-16 form, converted from the ANSI code page.
void PrintDriveJson(UINT index, const TolvarDriveInfo& info);

}  // namespace tolvarctl
