// Test control of the host Win32 stand-in: the call journal, fault
// injection, and the objects that the calls find (devices, volumes, and
// what later families add). Tests call Reset() before each case.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hostwin32 {

// One Win32 call as the library made it.
struct Call {
    std::string function;
    std::vector<std::string> arguments;  // formatted as the call saw them
    std::string result;
    DWORD lastError;                     // the thread's last error after the call
    std::string Text() const;            // "Function(arg, arg) -> result"
};

const std::vector<Call>& Journal();
// Text() of every call; the string calls (lstr*, wsprintf*, conversions)
// only when asked, since they rarely matter to a sequence.
std::vector<std::string> JournalText(bool withStringCalls = false);
std::vector<std::string> CallsTo(const std::string& function);  // Text() of one function's calls
size_t CountCalls(const std::string& function);
void ClearJournal();

// Makes the n-th call (1-based, counted from now) to a function fail with
// the given error, without doing anything else. occurrence 0: every call.
void FailCall(const std::string& function, DWORD error, unsigned occurrence = 1);
void ClearFaults();

// CloseHandle sets this last error even when it succeeds (0: leaves it), so
// tests can prove that a caller read its error before closing.
void SetCloseHandleLastError(DWORD error);

// --- Object namespace -------------------------------------------------------
// Kernel objects are named by kernel path (\Device\...); user-mode names
// \\.\NAME resolve through the table of MS-DOS device names.

struct DeviceRequest {
    DWORD code;
    std::vector<uint8_t> input;
    DWORD outputSize;
    DWORD handleAccess;  // the access the handle was opened with
    std::string kernelName;
};

struct DeviceReply {
    DWORD error = 0;               // 0: success; else the Win32 error the caller sees
    std::vector<uint8_t> output;   // bytes the device returns (copied up to the output size)

    static DeviceReply Success(std::vector<uint8_t> bytes = {}) { return {0, std::move(bytes)}; }
    static DeviceReply Failure(DWORD error) { return {error, {}}; }
};

using ControlHandler = std::function<DeviceReply(const DeviceRequest&)>;
using FlushHandler = std::function<DWORD(const std::string& kernelName)>;  // 0 or error

struct DeviceOptions {
    ControlHandler control;  // default: every request succeeds with no output
    FlushHandler flush;      // default: success
    DWORD openError = 0;     // nonzero: every open of the device fails with it
    std::string volumeName;  // nonempty: a volume with this \\?\Volume{...}\ name
};

// Creates a kernel object and, when dosName is given, its MS-DOS device name
// (e.g. "TOLVARVX0" or "C:").
void AddDevice(const std::string& kernelName, const std::string& dosName = "",
               DeviceOptions options = {});
// A drive device of the Drive driver: \Device\TolvarVault\TOLVARVX<n> with
// its link TOLVARVX<n>.
void AddDriveDevice(uint32_t index, DeviceOptions options = {});
// A volume behind a drive letter: \Device\HarddiskVolume<letter> named X:,
// with its volume name (\\?\Volume{...}\) unless one is given.
// Returns its kernel name.
std::string AddVolume(char letter, DeviceOptions options = {});
void RemoveDevice(const std::string& kernelName);
DeviceOptions& Device(const std::string& kernelName);

// Requests and flushes that reached devices, in order.
struct DeviceEvent {
    std::string kernelName;
    std::string kind;  // "control" or "flush"
    DWORD code;        // control code (0 for a flush)
    std::vector<uint8_t> input;
    DWORD outputSize;
};
const std::vector<DeviceEvent>& DeviceEvents();

// MS-DOS device names: name (e.g. "Q:") -> list of targets, most recent last.
std::vector<std::string> DosDeviceTargets(const std::string& name);
void DefineDosName(const std::string& name, const std::string& target);

// Open handles of every kind (files, devices, registry keys, event sources).
size_t OpenHandleCount();
std::vector<std::string> OpenHandleDescriptions();

// The system's ANSI code page: 1252 (default) or 932 (Shift-JIS, a subset:
// ASCII, half-width katakana, hiragana and katakana).
void SetAnsiCodePage(UINT codePage);

// Leaves the string calls (see JournalText) out of the journal; they still
// do their work. For callers that never read them: the library converts a
// path one character at a time, and journaling each of those calls costs
// far more than the conversion. Reset() puts them back in.
void JournalStringCalls(bool journal);

// Returns the stand-in to its initial state: no objects, journal, faults,
// handles or settings.
void Reset();

}  // namespace hostwin32
