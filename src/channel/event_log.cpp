#include "channel/event_log.h"

#include "channel/owned_handle.h"

namespace tolvar {

namespace {

// An event-source handle is no kernel handle: CloseHandle cannot end it,
// DeregisterEventSource must. Owned for one report, deregistered on every
// path; NULL means none.
struct EventSource {
    using Handle = HANDLE;
    static Handle None() { return nullptr; }
    static void Close(Handle handle) { DeregisterEventSource(handle); }
};
using RegisteredEventSource = Owned<EventSource>;

// The messages carry no line break: the host process owns the layout of
// its standard output. Written straight to the standard output handle, so
// that the text appears at once in its place among what the application
// has written so far (the library has no C run-time buffer to flush). A
// process without standard output, a GUI program's, gets nothing.
void PrintConsoleMessage(const char* text) {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(output, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

}  // namespace

void ReportErrorEvent(LPCSTR sourceName, DWORD eventId, LPCSTR message) {
    RegisteredEventSource source(RegisterEventSourceA(nullptr, sourceName));
    if (!source.IsValid()) {
        PrintConsoleMessage("Could not register the event source.");
        return;
    }
    LPCSTR strings[] = {message};
    if (!ReportEventA(source.Get(), EVENTLOG_ERROR_TYPE, 0, eventId, nullptr, 1, 0, strings,
                      nullptr))
        PrintConsoleMessage("Could not report the event.");
}

}  // namespace tolvar
