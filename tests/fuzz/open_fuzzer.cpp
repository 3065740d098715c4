// TolvarOpen with any 832-byte record: any letter and flag, paths with or
// without a terminator. The input also decides which volume and drive
// device exist, which of them fail, the ANSI code page and which calls fail.
//
// Input: flags, drive index, planned faults, then the record (zero-filled
// when the input ends early).
//
// Checked on every run: the record and the guard zones around it are
// unchanged (TolvarOpen never writes the record) and nothing outside it is
// read (poisoned zones); the result is exactly the model's when no fault is
// planned, else one of the codes the setup can produce; a request reaches the
// driver only after the volume was flushed and holds exactly the record's
// content; no handle stays open.
#include "fuzz_support.h"
#include "tolvar_driver_contract.h"
#include "tolvarsdk.h"

namespace {

using namespace fuzz;

enum Setup : uint8_t {
    kVolumeExists = 1 << 0,   // a volume behind the record's letter
    kVolumeFlushFails = 1 << 1,
    kDeviceExists = 1 << 2,
    kDeviceOpenFails = 1 << 3,
    kRequestFails = 1 << 4,
    kShiftJis = 1 << 5,
};

const char* const kFaultable[] = {"CreateFileA", "FlushFileBuffers", "DeviceIoControl",
                                  "CloseHandle", "SHCreateDirectoryExA"};

GuardedBuffer<sizeof(TolvarDriveInfo)> recordBuffer;

bool Terminated(const CHAR (&path)[TOLVAR_PATH_CHARS]) {
    return std::memchr(path, 0, sizeof path) != nullptr;
}

bool UsablePath(const CHAR (&path)[TOLVAR_PATH_CHARS]) {
    return Terminated(path) && std::strlen(path) >= 4;
}

// The OPEN request the record must produce, converted by the system's own
// conversion in the current code page.
TolvarOpenRequest ExpectedRequest(const TolvarDriveInfo& info) {
    TolvarOpenRequest request;
    std::memset(&request, 0, sizeof request);
    request.DriveLetter =
        static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(info.DriveLetter)));
    request.BackupBeforeWrite = static_cast<uint32_t>(info.BackupBeforeWrite);
    auto widen = [](const CHAR* ansi, uint16_t* wide) {
        MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(std::strlen(ansi)),
                            reinterpret_cast<LPWSTR>(wide), TOLVAR_PATH_CHARS - 1);
    };
    if (info.BackupBeforeWrite) widen(info.BackupFile, request.BackupFile);
    widen(info.DataFile, request.DataFile);
    return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint8_t setup = input.Byte();
    const UINT index = input.Byte();
    ResetStandIn(setup & kShiftJis);
    const bool faults = PlanFaults(input, kFaultable);
    const std::vector<uint8_t> original = input.Bytes(sizeof(TolvarDriveInfo), 0);
    TolvarDriveInfo model;
    std::memcpy(&model, original.data(), sizeof model);

    std::string volume;
    if (setup & kVolumeExists) {
        hostwin32::DeviceOptions options;
        if (setup & kVolumeFlushFails) options.flush = [](const std::string&) { return kVolumeFlushError; };
        volume = hostwin32::AddVolume(model.DriveLetter, options);
    }
    const std::string device = "\\Device\\TolvarVault\\TOLVARVX" + std::to_string(index);
    if (setup & kDeviceExists) {
        hostwin32::DeviceOptions options;
        if (setup & kDeviceOpenFails) options.openError = kDeviceOpenError;
        if (setup & kRequestFails)
            options.control = [](const hostwin32::DeviceRequest&) {
                return hostwin32::DeviceReply::Failure(kDeviceRequestError);
            };
        hostwin32::AddDriveDevice(index, options);
    }

    const TolvarDriveInfo* record =
        reinterpret_cast<const TolvarDriveInfo*>(recordBuffer.Arm(original.data()));
    const DWORD result = TolvarOpen(record, index);
    FUZZ_CHECK(recordBuffer.Disarm());
    FUZZ_CHECK(std::memcmp(recordBuffer.Contents(), original.data(), original.size()) == 0);
    FUZZ_CHECK(hostwin32::OpenHandleCount() == 0);

    const bool invalid = (model.BackupBeforeWrite && !UsablePath(model.BackupFile)) ||
                         !UsablePath(model.DataFile);
    if (invalid) {
        // Refused before anything is created or opened, faults or not.
        FUZZ_CHECK(result == ERROR_INVALID_PARAMETER);
        FUZZ_CHECK(NothingWasCalled());
        return 0;
    }

    // A NUL letter ends the volume path after \\.\, which names nothing.
    const bool volumeOpens = (setup & kVolumeExists) && model.DriveLetter != '\0';
    DWORD expected = ERROR_SUCCESS;
    if (!volumeOpens) expected = ERROR_FILE_NOT_FOUND;
    else if (setup & kVolumeFlushFails) expected = kVolumeFlushError;
    else if (!(setup & kDeviceExists)) expected = ERROR_FILE_NOT_FOUND;
    else if (setup & kDeviceOpenFails) expected = kDeviceOpenError;
    else if (setup & kRequestFails) expected = kDeviceRequestError;
    if (faults) {
        FUZZ_CHECK(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ||
                   result == kVolumeFlushError || result == kDeviceOpenError ||
                   result == kDeviceRequestError || IsInjectedError(result));
    } else {
        FUZZ_CHECK(result == expected);
    }

    // The request reaches the driver at most once, after the volume's flush,
    // and then only the driver's own answer can make the call fail.
    auto requests = RequestsWithCode(IOCTL_TOLVAR_OPEN);
    FUZZ_CHECK(requests.size() <= 1);
    if (result == ERROR_SUCCESS) FUZZ_CHECK(requests.size() == 1);
    if (!requests.empty()) {
        FUZZ_CHECK(result == ERROR_SUCCESS || result == kDeviceRequestError);
        FUZZ_CHECK(requests[0]->kernelName == device);
        FUZZ_CHECK(FlushesOf(volume) == 1 && hostwin32::DeviceEvents()[0].kernelName == volume);
        const TolvarOpenRequest expectedRequest = ExpectedRequest(model);
        FUZZ_CHECK(requests[0]->input.size() == sizeof expectedRequest);
        FUZZ_CHECK(std::memcmp(requests[0]->input.data(), &expectedRequest, sizeof expectedRequest) ==
                   0);
        FUZZ_CHECK(requests[0]->outputSize == 0);
    }
    return 0;
}
