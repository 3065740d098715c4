// Test control of the stand-in's event log: the entries ReportEventA wrote.
// Faults come through FailCall("RegisterEventSourceA" | "ReportEventA" |
// "DeregisterEventSource", error); Reset() empties the log.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hostwin32 {

struct EventLogEntry {
    std::string source;  // as RegisterEventSourceA was given it
    WORD type;
    WORD category;
    DWORD eventId;
    bool hasUserSid;
    std::vector<std::string> strings;
    std::vector<uint8_t> data;
};

// Entries in the order they were written.
const std::vector<EventLogEntry>& EventLogEntries();

}  // namespace hostwin32
