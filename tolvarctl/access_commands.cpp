// challenge, authen, deauthen: the 16-byte blocks pass through unchanged.
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "report.h"
#include "text_output.h"
#include "tolvarsdk.h"
#include "tolvarvx_handshake.h"

namespace tolvarctl {

static_assert(TOLVARVX_HANDSHAKE_BLOCK == kBlockSize, "a handshake block is 16 bytes");

// Any command line's words fit: 32767 UTF-16 units, at most 3 bytes each in
// any ANSI code page.
constexpr int kSecretCapacity = 3 * 32767 + 1;

int RunChallenge(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    UINT index = 0;
    if (!IndexArgument(command, arguments, 0, &index, &status)) return status;

    BYTE challenge[kBlockSize] = {};
    char operation[64];
    snprintf(operation, sizeof operation, "challenge %u", index);
    DWORD error = TolvarGetChallenge(challenge, index);
    if (error != ERROR_SUCCESS)
        return DriveOperationFailed(operation, "TolvarGetChallenge", index, error);
    char text[kBlockHexDigits + 1];
    FormatBlock(challenge, text);
    Print(stdout, "%s\n", text);
    return kExitSuccess;
}

// With --secret the tool asks for a challenge itself and answers it by the
// driver stand-in's rule (HMAC-SHA256 of the challenge under the secret,
// first 16 bytes), so the handshake can be shown end to end.
int RunAuthen(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    UINT index = 0;
    if (!IndexArgument(command, arguments, 0, &index, &status)) return status;
    const char* secret = arguments.values[kAuthenSecret];
    const char* responseText = arguments.positionalCount > 1 ? arguments.positionals[1] : nullptr;
    if (secret && responseText)
        return UsageError(command, "give either a response or --secret, not both");
    if (!secret && !responseText) return UsageError(command, "a response (HEX32) or --secret is needed");
    if (secret && secret[0] == '\0') return UsageError(command, "the secret is empty");
    // The secret's bytes are its ANSI code page form, as a program given the
    // same text in an ANSI command line has them.
    static char ansiSecret[kSecretCapacity];
    if (secret && !WideCharToMultiByte(CP_ACP, 0, arguments.wideValues[kAuthenSecret], -1,
                                       ansiSecret, sizeof ansiSecret, nullptr, nullptr))
        return UsageError(command, "the secret has no ANSI form");

    BYTE response[kBlockSize] = {};
    if (responseText && !ParseBlock(responseText, response)) {
        char problem[128];
        snprintf(problem, sizeof problem, "'%.*s' is not a response of 32 hex digits",
                 ClippedLength(responseText, kQuotedBytes), responseText);
        return UsageError(command, problem);
    }

    char operation[64];
    snprintf(operation, sizeof operation, "authen %u", index);
    char text[kBlockHexDigits + 1];
    if (secret) {
        BYTE challenge[kBlockSize] = {};
        DWORD error = TolvarGetChallenge(challenge, index);
        if (error != ERROR_SUCCESS)
            return DriveOperationFailed(operation, "TolvarGetChallenge", index, error);
        tolvarvx_handshake_response(reinterpret_cast<const uint8_t*>(ansiSecret),
                                    strlen(ansiSecret), challenge, response);
        FormatBlock(challenge, text);
        Print(stdout, "challenge %s\n", text);
    }
    FormatBlock(response, text);
    Print(stdout, "response  %s\n", text);
    DWORD error = TolvarAuthen(response, index);
    if (error != ERROR_SUCCESS)
        return DriveOperationFailed(operation, "TolvarAuthen", index, error);
    Print(stdout, "drive %u accepted the response\n", index);
    return kExitSuccess;
}

int RunDeauthen(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    UINT index = 0;
    if (!IndexArgument(command, arguments, 0, &index, &status)) return status;

    char operation[64];
    snprintf(operation, sizeof operation, "deauthen %u", index);
    DWORD error = TolvarDeauthen(index);
    if (error != ERROR_SUCCESS)
        return DriveOperationFailed(operation, "TolvarDeauthen", index, error);
    Print(stdout, "drive %u: access given up\n", index);
    return kExitSuccess;
}

}  // namespace tolvarctl
