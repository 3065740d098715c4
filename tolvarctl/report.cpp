#include "report.h"

#include <stdio.h>
#include <string.h>

#include "command_line.h"
#include "commands.h"
#include "text_output.h"

namespace tolvarctl {

int UsageError(const CommandInfo& command, const char* problem) {
    Print(stderr, "tolvarctl: %s: %s\n", command.name, problem);
    Print(stderr, "usage: tolvarctl %s\n", command.synopsis);
    Print(stderr, "Run 'tolvarctl %s --help' for details.\n", command.name);
    return kExitUsage;
}

void SystemMessage(DWORD code, char* text, int textSize) {
    WCHAR wide[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, code, 0, wide, sizeof wide / sizeof wide[0], nullptr);
    // MAX_WIDTH_MASK turns the message's line breaks into spaces; what is
    // left at the end is blanks.
    while (length > 0 && (wide[length - 1] == ' ' || wide[length - 1] == '\r' ||
                          wide[length - 1] == '\n'))
        --length;
    if (length == 0) {
        snprintf(text, textSize, "no system message for this code");
        return;
    }
    ToUtf8(wide, static_cast<int>(length), text, textSize);
}

// The codes the library produces itself besides passing on the system's
// and the driver's: said as a fact about the call, since the same number
// can also come from the driver.
static const char* LibraryMeaning(const char* function, DWORD code) {
    struct Meaning {
        const char* function;  // null: any function
        DWORD code;
        const char* text;
    };
    static const Meaning meanings[] = {
        {nullptr, ERROR_INVALID_PARAMETER, "returns 87 when it refuses an argument"},
        {"TolvarQueryW", ERROR_INSUFFICIENT_BUFFER,
         "returns 122 when the driver's reply is shorter than 1352 bytes"},
        {"TolvarGetChallenge", ERROR_INSUFFICIENT_BUFFER,
         "returns 122 when the driver returns fewer than 16 bytes"},
        {"TolvarReload", ERROR_INSUFFICIENT_BUFFER,
         "returns 122 when the driver's reply to its query is short"},
        {"TolvarAddDriveLetter", ERROR_BUSY,
         "returns 170 when the letter already names a volume that opens"},
        {"TolvarReload", ERROR_SHARING_VIOLATION,
         "returns 32 for a drive in BackupBeforeWrite mode, which it never reloads"},
    };
    for (const Meaning& meaning : meanings) {
        if (meaning.code == code &&
            (meaning.function == nullptr || strcmp(meaning.function, function) == 0))
            return meaning.text;
    }
    return nullptr;
}

int OperationFailed(const char* operation, const char* function, DWORD code) {
    char message[512];
    SystemMessage(code, message, sizeof message);
    Print(stderr, "tolvarctl: %s failed: %s returned error %lu: %s\n", operation, function,
            static_cast<unsigned long>(code), message);
    const char* meaning = LibraryMeaning(function, code);
    if (meaning) Print(stderr, "tolvarctl: note: %s %s\n", function, meaning);
    return kExitFailed;
}

}  // namespace tolvarctl
