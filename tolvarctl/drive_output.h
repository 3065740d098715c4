// A drive record as tolvarctl prints it: readable, or as one JSON object.
#pragma once

#include "tolvarsdk.h"

namespace tolvarctl {

// Paths as UTF-8 text (see text_output.h for how it reaches a console).
void PrintDriveText(UINT index, const TolvarDriveInfoW& info);

// {"index":N,"device":"\\\\.\\TOLVARVXN","driveLetter":"X","backupBeforeWrite":true,
//  "backupFile":"...","dataFile":"...","deviceDetails":"<608 hex digits>"}
// Strings are ASCII JSON: every UTF-16 unit beyond ASCII is written as a
// \uXXXX escape, a surrogate pair as two.
void PrintDriveJson(UINT index, const TolvarDriveInfoW& info);

}  // namespace tolvarctl
