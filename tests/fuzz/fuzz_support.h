// What the fuzz targets share: reading the input, a caller's buffer with
// guard zones around it, faults planned by the input, and a check that stops
// the run with the failing condition.
#pragma once

#include <hostwin32/testing.h>
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// A broken promise ends the run: libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            __builtin_trap();                                                                  \
        }                                                                                      \
    } while (0)

namespace fuzz {

// Errors the stand-in's devices are told to give. They differ from each
// other, from the codes the library makes itself (87, 122, 170, 32), from
// what a missing device gives (2, 3), and from the last error that every
// close leaves behind (kCloseHandleLastError), so a result tells which step
// produced it.
constexpr DWORD kVolumeFlushError = 21;      // ERROR_NOT_READY
constexpr DWORD kDeviceOpenError = 5;        // ERROR_ACCESS_DENIED
constexpr DWORD kDeviceRequestError = 31;    // ERROR_GEN_FAILURE
constexpr DWORD kDeviceFlushError = 1117;    // ERROR_IO_DEVICE
constexpr DWORD kDismountError = 1167;       // ERROR_DEVICE_NOT_CONNECTED
constexpr DWORD kReloadRequestError = 1450;  // ERROR_NO_SYSTEM_RESOURCES
// A close sets this even when it succeeds: a result read after a close shows it.
constexpr DWORD kCloseHandleLastError = 1;   // ERROR_INVALID_FUNCTION

// Errors a planned fault makes a call fail with.
// ERROR_NOT_ENOUGH_MEMORY, ERROR_FILE_CORRUPT, ERROR_INVALID_USER_BUFFER, ERROR_INTERNAL_ERROR
constexpr DWORD kInjectedErrors[] = {8, 1392, 1784, 1359};

inline bool IsInjectedError(DWORD error) {
    for (DWORD injected : kInjectedErrors)
        if (error == injected) return true;
    return false;
}

// The input read front to back; past its end every byte reads as zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    size_t Remaining() const { return size_ - at_; }
    uint16_t Word() {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    // n bytes: what is left of the input, then `fill`.
    std::vector<uint8_t> Bytes(size_t n, uint8_t fill) {
        std::vector<uint8_t> bytes(n, fill);
        for (size_t i = 0; i < n && at_ < size_; ++i) bytes[i] = data_[at_++];
        return bytes;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Up to two calls that fail, each with an injected error on the n-th call
// (1 to 4) of one function of `functions`.
template <size_t N>
bool PlanFaults(Input& input, const char* const (&functions)[N]) {
    unsigned count = input.Byte() % 3;
    for (unsigned i = 0; i < count; ++i) {
        const char* function = functions[input.Byte() % N];
        DWORD error = kInjectedErrors[input.Byte() % (sizeof kInjectedErrors / sizeof(DWORD))];
        hostwin32::FailCall(function, error, 1 + input.Byte() % 4);
    }
    return count > 0;
}

// The stand-in as a fresh system with the given ANSI code page. No check
// reads the string calls, and journaling the library's conversions, one
// call per character, took most of a query's time.
inline void ResetStandIn(bool shiftJis) {
    hostwin32::Reset();
    hostwin32::SetAnsiCodePage(shiftJis ? 932 : 1252);
    hostwin32::SetCloseHandleLastError(kCloseHandleLastError);
    hostwin32::JournalStringCalls(false);
}

// A caller's buffer of Size bytes between two guard zones. While armed, the
// zones hold a known pattern and are poisoned, so AddressSanitizer stops any
// read or write of them at the faulting access; after the call the pattern
// shows whether anything wrote there. Static storage: poisoned stack frames
// would outlive the run.
template <size_t Size>
class GuardedBuffer {
public:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kPattern = 0xA5;
    static_assert(Size % 8 == 0, "the zones start on a shadow granule");

    uint8_t* Arm(const uint8_t* contents) {
        std::memset(bytes_, kPattern, kGuard);
        std::memcpy(bytes_ + kGuard, contents, Size);
        std::memset(bytes_ + kGuard + Size, kPattern, kGuard);
        ASAN_POISON_MEMORY_REGION(bytes_, kGuard);
        ASAN_POISON_MEMORY_REGION(bytes_ + kGuard + Size, kGuard);
        return bytes_ + kGuard;
    }
    // Unpoisons the zones; true when both still hold their pattern.
    bool Disarm() {
        ASAN_UNPOISON_MEMORY_REGION(bytes_, kGuard);
        ASAN_UNPOISON_MEMORY_REGION(bytes_ + kGuard + Size, kGuard);
        for (size_t i = 0; i < kGuard; ++i)
            if (bytes_[i] != kPattern || bytes_[kGuard + Size + i] != kPattern) return false;
        return true;
    }
    const uint8_t* Contents() const { return bytes_ + kGuard; }

private:
    alignas(64) uint8_t bytes_[kGuard + Size + kGuard];
};

// Device requests with the given code that reached any device.
inline std::vector<const hostwin32::DeviceEvent*> RequestsWithCode(DWORD code) {
    std::vector<const hostwin32::DeviceEvent*> found;
    for (const hostwin32::DeviceEvent& event : hostwin32::DeviceEvents())
        if (event.kind == "control" && event.code == code) found.push_back(&event);
    return found;
}

inline size_t FlushesOf(const std::string& kernelName) {
    size_t count = 0;
    for (const hostwin32::DeviceEvent& event : hostwin32::DeviceEvents())
        if (event.kind == "flush" && event.kernelName == kernelName) ++count;
    return count;
}

// True when only string calls (which cannot fail and touch nothing) were made.
inline bool NothingWasCalled() { return hostwin32::JournalText().empty(); }

}  // namespace fuzz
