// The driver stand-in's request handling (its portable core, as the kernel
// driver calls it): every control code the stand-in knows, test controls
// included, and others, with any input and output lengths and bytes, scripts
// queued in between, flushes, handshakes and a failing random source.
//
// Input: a sequence of operations, each an operation byte and its fields
// (see Run). Each request is made twice from the same device state and the
// same random bytes, its buffer's unwritten bytes holding 0x00 the first time
// and 0xFF the second, as the kernel's buffer may hold anything. The buffer is
// shared by input and output and sized max(input, output), as the I/O manager
// gives a METHOD_BUFFERED request; a code of another method gets none.
//
// Checked on every request: both runs agree on status, count and the state
// they leave (the core never reads a byte it did not get or write); every
// byte counted as returned was written (it is the same in both runs); the
// count never exceeds the output length; no request completes with
// STATUS_PENDING or 0xFFFFFFFF, and one that fails without a script returns
// nothing; the lock is taken once and released; nothing is read or written
// outside the buffer (AddressSanitizer).
#include <algorithm>
#include <memory>

#include "fuzz_support.h"
#include "tolvarvx_core.h"
#include "tolvarvx_handshake.h"

namespace {

using fuzz::Input;

struct Platform {
    uint8_t nextRandom = 0;
    bool randomFails = false;
    int lockDepth = 0;
    bool lockMisused = false;
};

Platform platformState;

int RandomBytes(void* context, uint8_t* out, uint32_t length) {
    auto* state = static_cast<Platform*>(context);
    if (state->randomFails) return -1;
    for (uint32_t i = 0; i < length; ++i) out[i] = state->nextRandom++;
    return 0;
}

void Lock(void* context) {
    auto* state = static_cast<Platform*>(context);
    if (++state->lockDepth != 1) state->lockMisused = true;
}

void Unlock(void* context) {
    auto* state = static_cast<Platform*>(context);
    if (--state->lockDepth != 0) state->lockMisused = true;
}

const tolvarvx_platform kPlatform = {RandomBytes, Lock, Unlock, &platformState};

// Codes worth reaching, picked by index; past the list the input gives a code.
const uint32_t kCodes[] = {
    IOCTL_TOLVAR_OPEN, IOCTL_TOLVAR_CLOSE, IOCTL_TOLVAR_RELOAD, IOCTL_TOLVAR_GET_CHALLENGE,
    IOCTL_TOLVAR_AUTHEN, IOCTL_TOLVAR_DEAUTHEN, IOCTL_TOLVAR_QUERY, TOLVAR_FSCTL_DISMOUNT_VOLUME,
    TOLVAR_FSCTL_LOCK_VOLUME, TOLVAR_FSCTL_UNLOCK_VOLUME, IOCTL_TOLVARVX_TEST_RESET,
    IOCTL_TOLVARVX_TEST_SCRIPT, IOCTL_TOLVARVX_TEST_JOURNAL, IOCTL_TOLVARVX_TEST_SET_AUTH_REQUIRED,
    IOCTL_TOLVARVX_TEST_SET_SECRET, IOCTL_TOLVARVX_TEST_CRASH, IOCTL_TOLVARVX_TEST_VERSION,
    IOCTL_TOLVAR_QUERY | 3u,  // the same function, METHOD_NEITHER: no buffer
    TOLVARVX_TEST_CODE(0x907),
};
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

// Statuses a script may name, the refused ones among them.
const uint32_t kStatuses[] = {TOLVARVX_STATUS_SUCCESS, TOLVARVX_STATUS_DEVICE_BUSY,
                              TOLVARVX_STATUS_INVALID_PARAMETER, TOLVARVX_STATUS_PENDING,
                              0xFFFFFFFFu, 0xE0001234u, 0x00000102u};

// Lengths worth reaching: none, each size the contract or the test interface
// names, and one byte either side of them.
const uint32_t kLengths[] = {0,  4,  15, 16, 17,  24,   68,   1047, 1048,
                             1049, 1351, 1352, 1353, 3111, 3112, 3113};

uint32_t Length(Input& input) {
    uint8_t how = input.Byte();
    if (how < 128) return kLengths[how % (sizeof kLengths / sizeof kLengths[0])];
    if (how < 192) return how - 128u;
    return input.Word() % 4000u;
}

uint32_t Dword(Input& input) {
    uint32_t low = input.Word();
    return low | static_cast<uint32_t>(input.Word()) << 16;
}

struct Outcome {
    tolvarvx_status status;
    uint32_t information;
    std::vector<uint8_t> buffer;
    tolvarvx_device device;
    Platform platform;
};

// One request from `device` as it is now, the unwritten bytes holding `canary`.
Outcome Send(const tolvarvx_device& device, const Platform& platform, uint32_t code,
             const std::vector<uint8_t>& in, uint32_t outLength, uint8_t canary) {
    Outcome outcome{0, 0xCCCCCCCCu, {}, device, platform};
    platformState = platform;
    const uint32_t inLength = static_cast<uint32_t>(in.size());
    outcome.buffer.assign(std::max(inLength, outLength), canary);
    std::copy(in.begin(), in.end(), outcome.buffer.begin());
    // A heap block of exactly this size: AddressSanitizer sees any access past it.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[outcome.buffer.size()]);
    std::copy(outcome.buffer.begin(), outcome.buffer.end(), buffer.get());
    void* system = (code & 3u) == 0 && !outcome.buffer.empty() ? buffer.get() : nullptr;
    outcome.status = tolvarvx_dispatch(&outcome.device, code, system, inLength, system, outLength,
                                       &outcome.information);
    std::copy(buffer.get(), buffer.get() + outcome.buffer.size(), outcome.buffer.begin());
    outcome.platform = platformState;
    return outcome;
}

// The device's state, without the padding a copy need not keep.
bool SameState(const tolvarvx_device& a, const tolvarvx_device& b) {
    const size_t from = offsetof(tolvarvx_device, isOpen);
    const size_t to = offsetof(tolvarvx_device, scriptCount) + sizeof a.scriptCount;
    return a.index == b.index && a.platform == b.platform &&
           std::memcmp(reinterpret_cast<const uint8_t*>(&a) + from,
                       reinterpret_cast<const uint8_t*>(&b) + from, to - from) == 0;
}

void Request(tolvarvx_device& device, Platform& platform, uint32_t code,
             const std::vector<uint8_t>& in, uint32_t outLength) {
    Outcome zero = Send(device, platform, code, in, outLength, 0x00);
    Outcome ones = Send(device, platform, code, in, outLength, 0xFF);
    FUZZ_CHECK(!zero.platform.lockMisused && zero.platform.lockDepth == 0);
    FUZZ_CHECK(zero.status == ones.status);
    FUZZ_CHECK(zero.information == ones.information);
    FUZZ_CHECK(SameState(zero.device, ones.device));
    FUZZ_CHECK(zero.platform.nextRandom == ones.platform.nextRandom);
    FUZZ_CHECK(zero.information <= outLength);
    // Every byte counted as returned was written: it did not keep the canary.
    FUZZ_CHECK(std::equal(zero.buffer.begin(), zero.buffer.begin() + zero.information,
                          ones.buffer.begin()));
    FUZZ_CHECK(zero.status != TOLVARVX_STATUS_PENDING && zero.status != 0xFFFFFFFFu);
    // A failure the stand-in gave itself returns nothing; a script may say otherwise.
    const bool scripted =
        code != IOCTL_TOLVARVX_TEST_RESET && zero.device.scriptCount < device.scriptCount;
    if (zero.status != TOLVARVX_STATUS_SUCCESS && !scripted) FUZZ_CHECK(zero.information == 0);
    device = zero.device;
    platform = zero.platform;
}

std::vector<uint8_t> Bytes(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

// Each operation: an operation byte, then its own fields.
void Run(Input& input, tolvarvx_device& device, Platform& platform) {
    switch (input.Byte() % 6) {
    case 0: {  // any code, any input bytes and lengths
        uint8_t pick = input.Byte();
        uint32_t code = pick < kCodeCount * 8 ? kCodes[pick % kCodeCount] : Dword(input);
        uint32_t inLength = Length(input);
        uint32_t outLength = Length(input);
        Request(device, platform, code, input.Bytes(inLength, 0), outLength);
        break;
    }
    case 1: {  // a script, its fields picked so that most are accepted
        TolvarvxScript script;
        uint8_t kind = input.Byte();
        script.Kind = kind < 200 ? TOLVARVX_KIND_CONTROL : kind < 250 ? TOLVARVX_KIND_FLUSH : kind;
        script.Code = script.Kind == TOLVARVX_KIND_FLUSH ? 0 : kCodes[input.Byte() % kCodeCount];
        uint8_t status = input.Byte();
        script.Status = status < 224 ? kStatuses[status % (sizeof kStatuses / sizeof kStatuses[0])]
                                     : Dword(input);
        script.Information = input.Byte() < 240 ? Length(input) : Dword(input);
        uint8_t flags = input.Byte();
        script.Flags = flags < 250 ? flags & TOLVARVX_SCRIPT_PERFORM : flags;
        script.FillByte = input.Byte();
        Request(device, platform, IOCTL_TOLVARVX_TEST_SCRIPT, Bytes(&script, sizeof script), 0);
        break;
    }
    case 2: {  // an open request with paths of chosen lengths, terminated or not
        std::vector<uint8_t> request = input.Bytes(8, 0);
        request.resize(TOLVAR_OPEN_REQUEST_SIZE, 0);
        for (size_t field = 0; field < 2; ++field) {
            size_t length = input.Word() % (TOLVAR_PATH_CHARS + 1);
            for (size_t at = 0; at < length; ++at) {
                request[8 + field * 520 + at * 2] = static_cast<uint8_t>('a' + at % 26);
                request[8 + field * 520 + at * 2 + 1] = 0;
            }
        }
        Request(device, platform, IOCTL_TOLVAR_OPEN, request, Length(input));
        break;
    }
    case 3: {  // a handshake answered right (or spoiled), the random source failing or not
        platform.randomFails = (input.Byte() & 1) != 0;
        uint8_t challenge[TOLVAR_CHALLENGE_SIZE] = {};
        Outcome got = Send(device, platform, IOCTL_TOLVAR_GET_CHALLENGE, {}, sizeof challenge, 0);
        Request(device, platform, IOCTL_TOLVAR_GET_CHALLENGE, {}, sizeof challenge);
        std::copy(got.buffer.begin(), got.buffer.end(), challenge);
        uint8_t response[TOLVAR_RESPONSE_SIZE];
        tolvarvx_handshake_response(device.secret, device.secretLength, challenge, response);
        response[0] ^= input.Byte() & 1;
        Request(device, platform, IOCTL_TOLVAR_AUTHEN, Bytes(response, sizeof response), 0);
        break;
    }
    case 4: {  // a flush
        platformState = platform;
        tolvarvx_status status = tolvarvx_flush(&device);
        FUZZ_CHECK(status != TOLVARVX_STATUS_PENDING && status != 0xFFFFFFFFu);
        FUZZ_CHECK(!platformState.lockMisused && platformState.lockDepth == 0);
        platform = platformState;
        break;
    }
    default: {  // the crash request: the core only says whether it is one
        std::vector<uint8_t> in = input.Bytes(Length(input), 0);
        if (tolvarvx_is_crash_request(IOCTL_TOLVARVX_TEST_CRASH, in.data(),
                                      static_cast<uint32_t>(in.size())))
            FUZZ_CHECK(in.size() == 4);
        Request(device, platform, IOCTL_TOLVARVX_TEST_CRASH, in, Length(input));
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    Platform platform;
    platformState = platform;
    static tolvarvx_device device;  // a few kilobytes: kept off the stack
    tolvarvx_device_init(&device, input.Byte() % 4u, &kPlatform);
    // At most 64 operations; an exhausted input reads as zeros, so stop there.
    for (int i = 0; i < 64 && input.Remaining() > 0; ++i) Run(input, device, platform);
    return 0;
}
