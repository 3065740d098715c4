// The drive-letter and handshake exports with any letter byte, any drive
// index, any length of the driver's challenge reply, and failing calls:
// TolvarAddDriveLetter, TolvarRemoveDriveLetter, TolvarGetChallenge,
// TolvarAuthen, TolvarDeauthen.
//
// Input: export, letter, index, flags, challenge reply length, planned
// faults, the caller's 16-byte block, then the reply's bytes.
//
// Checked on every run: the result is exactly the model's when no fault is
// planned, else one of the codes the setup can produce; a letter outside
// A-Z and a-z is refused before any call; a letter is defined only when the
// probe failed, exactly as \Device\TolvarVault\TOLVARVX<index>, and removed
// only when the call says so; the caller's 16 bytes are never read or written
// outside their block (poisoned guard zones), the response is never changed
// and is sent as it is, the challenge block holds exactly what the driver
// returned (a short reply only its bytes) and is unchanged after a failure;
// no handle stays open.
#include "fuzz_support.h"
#include "tolvar_driver_contract.h"
#include "tolvarsdk.h"

#include <algorithm>

namespace {

using namespace fuzz;

enum Export : uint8_t { kAddLetter, kRemoveLetter, kGetChallenge, kAuthen, kDeauthen, kExports };

enum Setup : uint8_t {
    kVolumeExists = 1 << 0,   // a volume behind the letter: the probe can open it
    kLetterCovered = 1 << 1,  // a later definition of the letter names no device
    kDeviceExists = 1 << 2,
    kDeviceOpenFails = 1 << 3,
    kRequestFails = 1 << 4,
    kHighIndex = 1 << 5,      // indexes near 4294967295
};

constexpr size_t kBlock = 16;
constexpr size_t kLongestReply = 40;

const char* const kFaultable[] = {"CreateFileA", "DeviceIoControl", "CloseHandle",
                                  "DefineDosDeviceA"};

GuardedBuffer<kBlock> blockBuffer;

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void CheckLetters(Export which, DWORD result, bool faults, uint8_t setup, char letter, UINT index,
                  const std::vector<std::string>& targetsBefore) {
    if (!IsLetter(letter)) {
        FUZZ_CHECK(result == ERROR_INVALID_PARAMETER);
        FUZZ_CHECK(NothingWasCalled());
        return;
    }
    const std::string name = std::string(1, letter) + ":";
    const std::vector<std::string> targets = hostwin32::DosDeviceTargets(name);
    const std::vector<std::string> defines = hostwin32::CallsTo("DefineDosDeviceA");
    if (which == kAddLetter) {
        const bool taken = (setup & kVolumeExists) && !(setup & kLetterCovered);
        if (faults)
            FUZZ_CHECK(result == ERROR_SUCCESS || result == ERROR_BUSY || IsInjectedError(result));
        else
            FUZZ_CHECK(result == (taken ? ERROR_BUSY : ERROR_SUCCESS));
        const std::string target = "\\Device\\TolvarVault\\TOLVARVX" + std::to_string(index);
        if (result == ERROR_BUSY) {
            FUZZ_CHECK(defines.empty());
            FUZZ_CHECK(targets == targetsBefore);
        } else {
            FUZZ_CHECK(defines.size() == 1);
            FUZZ_CHECK(defines[0].rfind("DefineDosDeviceA(0x1, " + Quoted(name) + ", " +
                                            Quoted(target) + ") -> ",
                                        0) == 0);
            std::vector<std::string> defined = targetsBefore;
            if (result == ERROR_SUCCESS) defined.push_back(target);
            FUZZ_CHECK(targets == defined);
        }
        return;
    }
    const bool defined = !targetsBefore.empty();
    if (faults)
        FUZZ_CHECK(result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ||
                   IsInjectedError(result));
    else
        FUZZ_CHECK(result == (defined ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND));
    FUZZ_CHECK(defines.size() == 1);
    FUZZ_CHECK(defines[0].rfind("DefineDosDeviceA(0x2, " + Quoted(name) + ", NULL) -> ", 0) == 0);
    std::vector<std::string> remaining = targetsBefore;
    if (result == ERROR_SUCCESS) remaining.pop_back();
    FUZZ_CHECK(targets == remaining);
}

void CheckHandshake(Export which, DWORD result, bool faults, uint8_t setup,
                    const std::vector<uint8_t>& block, const std::vector<uint8_t>& reply,
                    const std::string& device) {
    DWORD expected = ERROR_SUCCESS;
    if (!(setup & kDeviceExists)) expected = ERROR_FILE_NOT_FOUND;
    else if (setup & kDeviceOpenFails) expected = kDeviceOpenError;
    else if (setup & kRequestFails) expected = kDeviceRequestError;
    else if (which == kGetChallenge && reply.size() < kBlock) expected = ERROR_INSUFFICIENT_BUFFER;
    if (faults)
        FUZZ_CHECK(result == expected || result == ERROR_FILE_NOT_FOUND ||
                   result == kDeviceOpenError || result == kDeviceRequestError ||
                   IsInjectedError(result));
    else
        FUZZ_CHECK(result == expected);

    const DWORD codes[] = {0, 0, IOCTL_TOLVAR_GET_CHALLENGE, IOCTL_TOLVAR_AUTHEN,
                           IOCTL_TOLVAR_DEAUTHEN};
    const auto requests = RequestsWithCode(codes[which]);
    FUZZ_CHECK(hostwin32::DeviceEvents().size() == requests.size() && requests.size() <= 1);
    if (result == ERROR_SUCCESS || result == ERROR_INSUFFICIENT_BUFFER) FUZZ_CHECK(requests.size() == 1);
    if (!requests.empty()) {
        FUZZ_CHECK(requests[0]->kernelName == device);
        FUZZ_CHECK(requests[0]->outputSize == (which == kGetChallenge ? kBlock : 0));
        if (which == kAuthen)
            FUZZ_CHECK(requests[0]->input == block);
        else
            FUZZ_CHECK(requests[0]->input.empty());
    }

    const uint8_t* after = blockBuffer.Contents();
    size_t written = 0;  // how many of the block's bytes the driver's reply fills
    if (which == kGetChallenge && result == ERROR_SUCCESS) written = kBlock;
    if (which == kGetChallenge && result == ERROR_INSUFFICIENT_BUFFER) written = reply.size();
    FUZZ_CHECK(std::equal(after, after + written, reply.begin()));
    FUZZ_CHECK(std::equal(after + written, after + kBlock, block.begin() + static_cast<long>(written)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    const Export which = static_cast<Export>(input.Byte() % kExports);
    const char letter = static_cast<char>(input.Byte());
    const uint8_t indexByte = input.Byte();
    const uint8_t setup = input.Byte();
    const size_t replySize = input.Byte() % (kLongestReply + 1);
    const UINT index = (setup & kHighIndex) ? 0xFFFFFF00u | indexByte : indexByte;
    ResetStandIn(false);
    const bool faults = PlanFaults(input, kFaultable);
    const std::vector<uint8_t> block = input.Bytes(kBlock, 0);
    const std::vector<uint8_t> reply = input.Bytes(replySize, 0xC3);

    if (setup & kVolumeExists) hostwin32::AddVolume(letter);
    if (setup & kLetterCovered) hostwin32::DefineDosName(std::string(1, letter) + ":", "\\Device\\Elsewhere");
    const std::string device = "\\Device\\TolvarVault\\TOLVARVX" + std::to_string(index);
    if (setup & kDeviceExists) {
        hostwin32::DeviceOptions options;
        if (setup & kDeviceOpenFails) options.openError = kDeviceOpenError;
        options.control = [setup, &reply](const hostwin32::DeviceRequest& request) {
            if (setup & kRequestFails) return hostwin32::DeviceReply::Failure(kDeviceRequestError);
            if (request.code == IOCTL_TOLVAR_GET_CHALLENGE) return hostwin32::DeviceReply::Success(reply);
            return hostwin32::DeviceReply::Success();
        };
        hostwin32::AddDriveDevice(index, options);
    }
    const std::vector<std::string> targetsBefore =
        hostwin32::DosDeviceTargets(std::string(1, letter) + ":");

    uint8_t* caller = blockBuffer.Arm(block.data());
    DWORD result = 0;
    switch (which) {
    case kAddLetter: result = TolvarAddDriveLetter(letter, index); break;
    case kRemoveLetter: result = TolvarRemoveDriveLetter(letter); break;
    case kGetChallenge: result = TolvarGetChallenge(caller, index); break;
    case kAuthen: result = TolvarAuthen(caller, index); break;
    default: result = TolvarDeauthen(index); break;
    }
    FUZZ_CHECK(blockBuffer.Disarm());
    FUZZ_CHECK(hostwin32::OpenHandleCount() == 0);
    if (which == kAddLetter || which == kRemoveLetter) {
        FUZZ_CHECK(std::memcmp(blockBuffer.Contents(), block.data(), kBlock) == 0);
        CheckLetters(which, result, faults, setup, letter, index, targetsBefore);
    } else {
        CheckHandshake(which, result, faults, setup, block, reply, device);
    }
    return 0;
}
