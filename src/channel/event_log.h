// The event-log reporter: one error entry in the local event log per call.
// Only the reload logs; a failure to log never reaches its caller's result.
#pragma once

#include "platform.h"

namespace tolvar {

// The source the reload's entries are written under. The library registers
// neither this source nor a message file for it.
constexpr char kEventSourceName[] = "Tolvar service";

// Writes an error entry: category 0, eventId as its identifier, no user
// SID, message as its only string, no data. When the source cannot be
// registered or the entry cannot be written, says so on standard output.
void ReportErrorEvent(LPCSTR sourceName, DWORD eventId, LPCSTR message);

}  // namespace tolvar
