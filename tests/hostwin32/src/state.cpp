// The stand-in's shared state: journal, faults, handle table, namespace.
#include "state.h"

#include <cctype>
#include <cstdio>

namespace hostwin32 {

namespace {
thread_local DWORD lastError = 0;

bool IsStringCall(const std::string& function) {
    return function.rfind("lstr", 0) == 0 || function.rfind("wsprintf", 0) == 0 ||
           function == "MultiByteToWideChar" || function == "WideCharToMultiByte" ||
           function == "GetACP" || function == "IsDBCSLeadByte";
}
}  // namespace

std::vector<void (*)()>& ResetHooks() {
    static std::vector<void (*)()> hooks;
    return hooks;
}

ResetHook::ResetHook(void (*clear)()) { ResetHooks().push_back(clear); }

State& TheState() {
    static State state;
    return state;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Quote(const char* text) {
    if (text == nullptr) return "NULL";
    std::string quoted = "\"";
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::string QuoteWide(const char16_t* text) {
    if (text == nullptr) return "NULL";
    std::string quoted = "\"";
    for (const char16_t* p = text; *p; ++p) {
        if (*p < 0x20 || *p >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(*p));
            quoted += escaped;
        } else {
            quoted += static_cast<char>(*p);
        }
    }
    return quoted + "\"";
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Dec(uint64_t value) { return std::to_string(value); }

std::string Pointer(const void* pointer) { return pointer ? "ptr" : "NULL"; }

std::string Call::Text() const {
    std::string text = function + "(";
    for (size_t i = 0; i < arguments.size(); ++i) text += (i ? ", " : "") + arguments[i];
    return text + ") -> " + result;
}

void Record(const char* function, std::vector<std::string> arguments, std::string result) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    state.journal.push_back({function, std::move(arguments), std::move(result), lastError});
}

bool JournalsStringCalls() { return TheState().journalStringCalls; }

bool TakeFault(const char* function) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    for (size_t i = 0; i < state.faults.size(); ++i) {
        State::Fault& fault = state.faults[i];
        if (fault.function != function) continue;
        if (!fault.every && fault.remaining > 0) {
            --fault.remaining;
            continue;
        }
        lastError = fault.error;
        if (!fault.every) state.faults.erase(state.faults.begin() + static_cast<long>(i));
        return true;
    }
    return false;
}

HANDLE NewHandle(ObjectKind kind, const std::string& name, DWORD access) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    uintptr_t value = state.nextHandle;
    state.nextHandle += 4;
    state.handles[value] = {kind, name, access};
    return reinterpret_cast<HANDLE>(value);
}

HandleEntry* FindHandle(HANDLE handle) {
    State& state = TheState();
    auto found = state.handles.find(reinterpret_cast<uintptr_t>(handle));
    return found == state.handles.end() ? nullptr : &found->second;
}

bool ForgetHandle(HANDLE handle) {
    return TheState().handles.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
}

std::string ResolveDosPath(const std::string& path, DWORD* error) {
    State& state = TheState();
    if (path.rfind("\\\\.\\", 0) != 0) {
        *error = ERROR_PATH_NOT_FOUND;
        return "";
    }
    auto link = state.dosNames.find(Upper(path.substr(4)));
    if (link == state.dosNames.end() || link->second.empty()) {
        *error = ERROR_FILE_NOT_FOUND;
        return "";
    }
    std::string target = Upper(link->second.back());
    if (state.devices.count(target) == 0) {
        *error = ERROR_PATH_NOT_FOUND;
        return "";
    }
    return target;
}

// --- Test control -----------------------------------------------------------

const std::vector<Call>& Journal() { return TheState().journal; }

std::vector<std::string> JournalText(bool withStringCalls) {
    std::vector<std::string> lines;
    for (const Call& call : TheState().journal)
        if (withStringCalls || !IsStringCall(call.function)) lines.push_back(call.Text());
    return lines;
}

std::vector<std::string> CallsTo(const std::string& function) {
    std::vector<std::string> lines;
    for (const Call& call : TheState().journal)
        if (call.function == function) lines.push_back(call.Text());
    return lines;
}

size_t CountCalls(const std::string& function) { return CallsTo(function).size(); }

void ClearJournal() { TheState().journal.clear(); }

void FailCall(const std::string& function, DWORD error, unsigned occurrence) {
    State::Fault fault{function, error, occurrence == 0 ? 0 : occurrence - 1, occurrence == 0};
    TheState().faults.push_back(fault);
}

void ClearFaults() { TheState().faults.clear(); }

void SetCloseHandleLastError(DWORD error) { TheState().closeHandleLastError = error; }

void AddDevice(const std::string& kernelName, const std::string& dosName, DeviceOptions options) {
    State& state = TheState();
    state.devices[Upper(kernelName)] = std::move(options);
    state.deviceNames[Upper(kernelName)] = kernelName;
    if (!dosName.empty()) state.dosNames[Upper(dosName)] = {kernelName};
}

void AddDriveDevice(uint32_t index, DeviceOptions options) {
    std::string name = "TOLVARVX" + std::to_string(index);
    AddDevice("\\Device\\TolvarVault\\" + name, name, std::move(options));
}

std::string AddVolume(char letter, DeviceOptions options) {
    std::string kernelName = std::string("\\Device\\HarddiskVolume") + letter;
    if (options.volumeName.empty())
        options.volumeName = std::string("\\\\?\\Volume{0000000") + letter +
                             "-0000-0000-0000-000000000000}\\";
    AddDevice(kernelName, std::string(1, letter) + ":", std::move(options));
    return kernelName;
}

void RemoveDevice(const std::string& kernelName) {
    TheState().devices.erase(Upper(kernelName));
    TheState().deviceNames.erase(Upper(kernelName));
}

DeviceOptions& Device(const std::string& kernelName) {
    return TheState().devices.at(Upper(kernelName));
}

const std::vector<DeviceEvent>& DeviceEvents() { return TheState().deviceEvents; }

std::vector<std::string> DosDeviceTargets(const std::string& name) {
    auto found = TheState().dosNames.find(Upper(name));
    return found == TheState().dosNames.end() ? std::vector<std::string>{} : found->second;
}

void DefineDosName(const std::string& name, const std::string& target) {
    TheState().dosNames[Upper(name)].push_back(target);
}

size_t OpenHandleCount() { return TheState().handles.size(); }

std::vector<std::string> OpenHandleDescriptions() {
    std::vector<std::string> descriptions;
    for (const auto& [value, entry] : TheState().handles)
        descriptions.push_back(Hex(value) + " " + entry.name);
    return descriptions;
}

void SetAnsiCodePage(UINT codePage) { TheState().ansiCodePage = codePage; }

void JournalStringCalls(bool journal) { TheState().journalStringCalls = journal; }

void Reset() {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    state.journal.clear();
    state.faults.clear();
    state.closeHandleLastError = 0;
    state.devices.clear();
    state.deviceNames.clear();
    state.dosNames.clear();
    state.deviceEvents.clear();
    state.handles.clear();
    state.nextHandle = 0x100;
    state.ansiCodePage = 1252;
    state.journalStringCalls = true;
    for (void (*clear)() : ResetHooks()) clear();
    lastError = 0;
}

}  // namespace hostwin32

extern "C" DWORD WINAPI GetLastError(void) { return hostwin32::lastError; }
extern "C" void WINAPI SetLastError(DWORD error) { hostwin32::lastError = error; }
