#include "channel/event_log.h"

#include <stdio.h>

namespace tolvar {

namespace {

// An event-source handle is no kernel handle: CloseHandle cannot end it,
// DeregisterEventSource must. Owned for one report, deregistered on every
// path; NULL means none.
class RegisteredEventSource {
public:
    explicit RegisteredEventSource(HANDLE handle) : handle_(handle) {}
    ~RegisteredEventSource() {
        if (IsValid()) DeregisterEventSource(handle_);
    }
    RegisteredEventSource(const RegisteredEventSource&) = delete;
    RegisteredEventSource& operator=(const RegisteredEventSource&) = delete;

    bool IsValid() const { return handle_ != nullptr; }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// The messages carry no line break: the host process owns the layout of
// its standard output. The library's C run-time may not be the
// application's, so its buffer is flushed at once rather than at exit, to
// keep the message in its place among the application's own output. The
// text has no conversions, so fputs prints what printf would; and it keeps
// mingw's own printf, most of the DLL's size, out of the library.
void PrintConsoleMessage(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
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
