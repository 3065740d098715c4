#include "report.h"

#include <stdarg.h>
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

// Results that differ under Wine because Wine stops where Windows goes on.
// Both leave the tool's exit status as a failure: the library did report
// an error, and a script should see it.
static const char* WineMeaning(const char* function, DWORD code) {
    if (strcmp(function, "TolvarClose") == 0 && code == ERROR_BAD_DEV_TYPE)
        return "returns 66 after the driver has closed the drive: Wine fails the dismount "
               "that the driver accepted, finding no Unix device behind the handle to "
               "unmount; Windows returns 0";
    if (strcmp(function, "TolvarReload") == 0 && code == ERROR_NO_VOLUME_ID)
        return "returns 1173 before it dismounts or reloads anything: Wine's mount manager "
               "knows no volume behind a letter defined for a driver's device; on Windows "
               "the reload goes on";
    return nullptr;
}

// Wine's ntdll exports wine_get_version; Windows' does not.
static bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int OperationFailed(const char* operation, const char* function, DWORD code) {
    char message[512];
    SystemMessage(code, message, sizeof message);
    Print(stderr, "tolvarctl: %s failed: %s returned error %lu: %s\n", operation, function,
            static_cast<unsigned long>(code), message);
    const char* meaning = LibraryMeaning(function, code);
    if (meaning) Note("%s %s", function, meaning);
    const char* wine = UnderWine() ? WineMeaning(function, code) : nullptr;
    if (wine) Note("under Wine, %s %s", function, wine);
    return kExitFailed;
}

void Note(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    Print(stderr, "tolvarctl: note: %s\n", text);
}

bool IsNameNotFound(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// QueryDosDeviceA reads the name's definition without opening anything, so
// a device that exists is never touched, and the answer does not hang on
// the driver.
static bool NameDefined(const char* name) {
    char target[MAX_PATH];
    return QueryDosDeviceA(name, target, sizeof target) != 0;
}

bool LetterUndefined(CHAR letter) {
    const char name[] = {letter, ':', '\0'};
    return !NameDefined(name);
}

int DriveOperationFailed(const char* operation, const char* function, UINT index, DWORD code) {
    int status = OperationFailed(operation, function, code);
    if (!IsNameNotFound(code)) return status;
    char device[32];
    snprintf(device, sizeof device, "TOLVARVX%u", index);
    if (!NameDefined(device))
        Note("there is no device \\\\.\\%s: the driver is not loaded, or has no drive %u",
             device, index);
    return status;
}

}  // namespace tolvarctl
