// The event log: RegisterEventSourceA, ReportEventA, DeregisterEventSource.
// A source handle is an event-log handle, not a kernel handle: only
// DeregisterEventSource ends it (CloseHandle refuses it).
#include <hostwin32/eventlog.h>

#include "state.h"

using namespace hostwin32;

namespace {

std::vector<EventLogEntry>& Entries() {
    static std::vector<EventLogEntry> entries;
    return entries;
}

void ClearEventLog() { Entries().clear(); }
ResetHook eventLogReset(&ClearEventLog);

HandleEntry* FindEventSource(HANDLE handle) {
    HandleEntry* entry = FindHandle(handle);
    return entry && entry->kind == ObjectKind::EventSource ? entry : nullptr;
}

std::string StringsText(WORD count, LPCSTR* strings) {
    if (strings == nullptr) return "NULL";
    std::string text = "{";
    for (WORD i = 0; i < count; ++i) text += (i ? ", " : "") + Quote(strings[i]);
    return text + "}";
}

}  // namespace

namespace hostwin32 {
const std::vector<EventLogEntry>& EventLogEntries() { return Entries(); }
}  // namespace hostwin32

extern "C" HANDLE WINAPI RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    HANDLE result = nullptr;
    if (TakeFault("RegisterEventSourceA")) {
    } else if (sourceName == nullptr || *sourceName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        // Windows accepts a source with no key under the log: its entries
        // go to the Application log, so registering an unknown name works.
        result = NewHandle(ObjectKind::EventSource, sourceName, 0);
        SetLastError(ERROR_SUCCESS);
    }
    Record("RegisterEventSourceA", {Quote(serverName), Quote(sourceName)},
           result ? Hex(reinterpret_cast<uintptr_t>(result)) : "NULL");
    return result;
}

extern "C" BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                                    PSID userSid, WORD numStrings, DWORD dataSize,
                                    LPCSTR* strings, LPVOID rawData) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    std::vector<std::string> arguments{Hex(reinterpret_cast<uintptr_t>(eventLog)),
                                       Dec(type),
                                       Dec(category),
                                       Dec(eventId),
                                       Pointer(userSid),
                                       Dec(numStrings),
                                       Dec(dataSize),
                                       StringsText(numStrings, strings),
                                       Pointer(rawData)};
    BOOL ok = FALSE;
    HandleEntry* source = FindEventSource(eventLog);
    if (TakeFault("ReportEventA")) {
    } else if (!source) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if ((numStrings && !strings) || (dataSize && !rawData)) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        EventLogEntry entry{source->name, type, category, eventId, userSid != nullptr, {}, {}};
        for (WORD i = 0; i < numStrings; ++i) entry.strings.push_back(strings[i] ? strings[i] : "");
        if (dataSize)
            entry.data.assign(static_cast<uint8_t*>(rawData),
                              static_cast<uint8_t*>(rawData) + dataSize);
        Entries().push_back(std::move(entry));
        SetLastError(ERROR_SUCCESS);
        ok = TRUE;
    }
    Record("ReportEventA", std::move(arguments), ok ? "TRUE" : "FALSE");
    return ok;
}

extern "C" BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    BOOL ok = FALSE;
    if (TakeFault("DeregisterEventSource")) {
        // As with CloseHandle: a failing deregistration still ends the handle.
        if (FindEventSource(eventLog)) ForgetHandle(eventLog);
    } else if (!FindEventSource(eventLog)) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else {
        ForgetHandle(eventLog);
        ok = TRUE;
    }
    Record("DeregisterEventSource", {Hex(reinterpret_cast<uintptr_t>(eventLog))},
           ok ? "TRUE" : "FALSE");
    return ok;
}
