// Files and devices: CreateFileA, CreateFileW, CloseHandle, DeviceIoControl,
// FlushFileBuffers.
#include "state.h"

#include <cstring>

using namespace hostwin32;

namespace {

// The access a control code needs, as the I/O manager checks it against the
// handle: FILE_READ_ACCESS needs read, FILE_WRITE_ACCESS needs write.
bool HandleAllows(DWORD handleAccess, DWORD code) {
    DWORD needed = (code >> 14) & 3;
    if ((needed & FILE_READ_ACCESS) && !(handleAccess & GENERIC_READ)) return false;
    if ((needed & FILE_WRITE_ACCESS) && !(handleAccess & GENERIC_WRITE)) return false;
    return true;
}

std::string HandleText(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE"
                                          : Hex(reinterpret_cast<uintptr_t>(handle));
}

// Both widths of CreateFile: `name` is the path in the stand-in's
// namespace, whose names are ANSI; null when the caller passed none.
HANDLE OpenNamed(const char* function, const std::string* name, std::string quotedName,
                 DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                 DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    std::vector<std::string> arguments{std::move(quotedName),   Hex(desiredAccess),
                                       Hex(shareMode),          Pointer(securityAttributes),
                                       Dec(creationDisposition), Hex(flagsAndAttributes),
                                       Pointer(templateFile)};
    HANDLE result = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    std::string kernelName;
    if (TakeFault(function)) {
        // the fault set the last error
    } else if (name == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
    } else if ((kernelName = ResolveDosPath(*name, &error)).empty()) {
        SetLastError(error);
    } else if (DWORD openError = state.devices[kernelName].openError) {
        SetLastError(openError);
    } else {
        result = NewHandle(ObjectKind::Device, state.deviceNames[kernelName], desiredAccess);
        SetLastError(ERROR_SUCCESS);
    }
    Record(function, std::move(arguments), HandleText(result));
    return result;
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                     LPSECURITY_ATTRIBUTES securityAttributes,
                                     DWORD creationDisposition, DWORD flagsAndAttributes,
                                     HANDLE templateFile) {
    const std::string name = fileName ? fileName : "";
    return OpenNamed("CreateFileA", fileName ? &name : nullptr, Quote(fileName), desiredAccess,
                     shareMode, securityAttributes, creationDisposition, flagsAndAttributes,
                     templateFile);
}

// Windows converts an A name to UTF-16; the stand-in's namespace holds
// ANSI names, so a UTF-16 name is looked up by its ANSI form. Every name the
// stand-in's objects have is one the code page can write.
extern "C" HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                     LPSECURITY_ATTRIBUTES securityAttributes,
                                     DWORD creationDisposition, DWORD flagsAndAttributes,
                                     HANDLE templateFile) {
    const std::string name = WideToAnsi(WideFromPointer(fileName));
    return OpenNamed("CreateFileW", fileName ? &name : nullptr, QuoteWide(fileName), desiredAccess,
                     shareMode, securityAttributes, creationDisposition, flagsAndAttributes,
                     templateFile);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE handle) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    BOOL ok = FALSE;
    if (TakeFault("CloseHandle")) {
        ForgetHandle(handle);  // a failing close still ends the handle's life
    } else if (!FindHandle(handle) || FindHandle(handle)->kind == ObjectKind::RegistryKey ||
               FindHandle(handle)->kind == ObjectKind::EventSource) {
        // Registry keys and event sources are no kernel handles.
        SetLastError(ERROR_INVALID_HANDLE);
    } else {
        ForgetHandle(handle);
        ok = TRUE;
        if (state.closeHandleLastError) SetLastError(state.closeHandleLastError);
    }
    Record("CloseHandle", {HandleText(handle)}, ok ? "TRUE" : "FALSE");
    return ok;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID inBuffer,
                                       DWORD inBufferSize, LPVOID outBuffer,
                                       DWORD outBufferSize, LPDWORD bytesReturned,
                                       LPOVERLAPPED overlapped) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    std::vector<std::string> arguments{HandleText(device), Hex(code),       Pointer(inBuffer),
                                       Dec(inBufferSize),  Pointer(outBuffer), Dec(outBufferSize),
                                       Pointer(bytesReturned), Pointer(overlapped)};
    BOOL ok = FALSE;
    HandleEntry* entry = FindHandle(device);
    if (TakeFault("DeviceIoControl")) {
    } else if (!entry || entry->kind != ObjectKind::Device) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (overlapped == nullptr && bytesReturned == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);  // Windows needs the counter when not overlapped
    } else if (!HandleAllows(entry->access, code)) {
        SetLastError(ERROR_ACCESS_DENIED);
    } else if (state.devices.count(Upper(entry->name)) == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // the device went away under the handle
    } else {
        DeviceRequest request{code, {}, outBufferSize, entry->access, entry->name};
        if (inBuffer && inBufferSize)
            request.input.assign(static_cast<uint8_t*>(inBuffer),
                                 static_cast<uint8_t*>(inBuffer) + inBufferSize);
        state.deviceEvents.push_back({entry->name, "control", code, request.input, outBufferSize});
        ControlHandler handler = state.devices[Upper(entry->name)].control;
        DeviceReply reply = handler ? handler(request) : DeviceReply::Success();
        if (reply.error) {
            // Like the I/O manager on a failed request: nothing copied and
            // the counter left as it was.
            SetLastError(reply.error);
        } else {
            size_t copied = reply.output.size() < outBufferSize ? reply.output.size() : outBufferSize;
            if (copied) std::memcpy(outBuffer, reply.output.data(), copied);
            *bytesReturned = static_cast<DWORD>(copied);
            ok = TRUE;
        }
    }
    Record("DeviceIoControl", std::move(arguments), ok ? "TRUE" : "FALSE");
    return ok;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE file) {
    State& state = TheState();
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    BOOL ok = FALSE;
    HandleEntry* entry = FindHandle(file);
    if (TakeFault("FlushFileBuffers")) {
    } else if (!entry || entry->kind != ObjectKind::Device) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (!(entry->access & GENERIC_WRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);  // Windows refuses a flush without write access
    } else {
        state.deviceEvents.push_back({entry->name, "flush", 0, {}, 0});
        FlushHandler handler = state.devices[Upper(entry->name)].flush;
        DWORD error = handler ? handler(entry->name) : 0;
        if (error) SetLastError(error);
        ok = error == 0;
    }
    Record("FlushFileBuffers", {HandleText(file)}, ok ? "TRUE" : "FALSE");
    return ok;
}
