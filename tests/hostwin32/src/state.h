// Shared state of the host Win32 stand-in. Not for tests: they use
// <hostwin32/testing.h>.
#pragma once

#include <hostwin32/testing.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace hostwin32 {

enum class ObjectKind { Device, RegistryKey, EventSource };

struct HandleEntry {
    ObjectKind kind;
    std::string name;  // kernel name, key path or source name
    DWORD access;
};

struct State {
    std::recursive_mutex lock;
    std::vector<Call> journal;
    struct Fault {
        std::string function;
        DWORD error;
        unsigned remaining;  // calls to let through before the fault; unused when every
        bool every;
    };
    std::vector<Fault> faults;
    DWORD closeHandleLastError = 0;
    std::map<std::string, DeviceOptions> devices;  // by upper-case kernel name
    std::map<std::string, std::string> deviceNames;  // upper-case -> as created
    std::map<std::string, std::vector<std::string>> dosNames;  // upper-case name -> targets
    std::vector<DeviceEvent> deviceEvents;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x100;
    UINT ansiCodePage = 1252;
    bool journalStringCalls = true;
};

State& TheState();

// A family of calls with state of its own (registry, event log, ...) clears
// it when a test resets the stand-in: `static ResetHook hook(&ClearMine);`
struct ResetHook {
    explicit ResetHook(void (*clear)());
};
std::string Upper(std::string text);

// Journal helpers for the call implementations.
std::string Quote(const char* text);
// A UTF-16 string: ASCII as it is, every other unit as \uXXXX.
std::string QuoteWide(const char16_t* text);
std::string Hex(uint64_t value);
std::string Dec(uint64_t value);
std::string Pointer(const void* pointer);
void Record(const char* function, std::vector<std::string> arguments, std::string result);
// Whether a string call records itself; checked before its arguments are
// formatted, since formatting them is most of the cost of journaling it.
bool JournalsStringCalls();

// Takes a fault planned for this function: true (and the last error set)
// when this call must fail.
bool TakeFault(const char* function);

HANDLE NewHandle(ObjectKind kind, const std::string& name, DWORD access);
HandleEntry* FindHandle(HANDLE handle);
bool ForgetHandle(HANDLE handle);

// Resolves a user-mode name (\\.\NAME) to the kernel name of an existing
// device; on failure returns "" with the Win32 error in *error.
std::string ResolveDosPath(const std::string& path, DWORD* error);

// Conversions in the current ANSI code page.
std::u16string AnsiToWide(const std::string& ansi);
std::string WideToAnsi(const std::u16string& wide);
// UTF-16 to UTF-8; a lone surrogate keeps its three-byte form.
std::string Utf8(const std::u16string& wide);
std::u16string WideFromPointer(const char16_t* text);

}  // namespace hostwin32
