// letter add, letter remove, service install, service remove.
#include <stdio.h>

#include "commands.h"
#include "report.h"
#include "text_output.h"
#include "tolvarsdk.h"

namespace tolvarctl {

static bool LetterArgument(const CommandInfo& command, const char* text, CHAR* letter,
                           int* status) {
    if (ParseLetter(text, letter)) return true;
    char problem[128];
    snprintf(problem, sizeof problem, "'%.*s' is not a drive letter (A-Z or a-z)",
             ClippedLength(text, kQuotedBytes), text);
    *status = UsageError(command, problem);
    return false;
}

int RunLetterAdd(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    CHAR letter = 0;
    UINT index = 0;
    if (!LetterArgument(command, arguments.positionals[0], &letter, &status)) return status;
    if (!IndexArgument(command, arguments, 1, &index, &status)) return status;

    char operation[64];
    snprintf(operation, sizeof operation, "letter add %c %u", letter, index);
    DWORD error = TolvarAddDriveLetter(letter, index);
    if (error != ERROR_SUCCESS) return OperationFailed(operation, "TolvarAddDriveLetter", error);
    Print(stdout, "letter %c: now names drive %u (\\Device\\TolvarVault\\TOLVARVX%u)\n", letter, index,
           index);
    return kExitSuccess;
}

int RunLetterRemove(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    CHAR letter = 0;
    if (!LetterArgument(command, arguments.positionals[0], &letter, &status)) return status;

    char operation[64];
    snprintf(operation, sizeof operation, "letter remove %c", letter);
    DWORD error = TolvarRemoveDriveLetter(letter);
    if (error != ERROR_SUCCESS) {
        status = OperationFailed(operation, "TolvarRemoveDriveLetter", error);
        if (IsNameNotFound(error) && LetterUndefined(letter))
            Note("letter %c is not defined: there is nothing to remove", letter);
        return status;
    }
    Print(stdout, "letter %c: removed\n", letter);
    return kExitSuccess;
}

static const char kServiceKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\TOLVARVX";

// Closes the key on every path out of ReadServiceKey.
struct OwnedKey {
    HKEY handle = nullptr;
    OwnedKey() = default;
    OwnedKey(const OwnedKey&) = delete;
    OwnedKey& operator=(const OwnedKey&) = delete;
    ~OwnedKey() {
        if (handle) RegCloseKey(handle);
    }
};

// RegService reports nothing, so the tool reads its work back: the key with
// ErrorControl, Start and Type, each REG_DWORD 1. Returns 0 or the registry's
// error; ERROR_INVALID_DATA for a value of another type or number.
static LONG ReadServiceKey() {
    OwnedKey key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_QUERY_VALUE,
                                &key.handle);
    if (result != ERROR_SUCCESS) return result;
    static const char* const kValueNames[] = {"ErrorControl", "Start", "Type"};
    for (const char* name : kValueNames) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        result = RegQueryValueExA(key.handle, name, nullptr, &type,
                                  reinterpret_cast<BYTE*>(&value), &size);
        if (result != ERROR_SUCCESS) return result;
        if (type != REG_DWORD || size != sizeof value || value != 1) return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

int RunServiceInstall(const CommandInfo&, const ParsedArguments&) {
    RegService(nullptr, nullptr, nullptr, 0);
    LONG result = ReadServiceKey();
    if (result != ERROR_SUCCESS)
        return OperationFailed("service install", "the key read back after RegService",
                               static_cast<DWORD>(result));
    Print(stdout, "service key HKLM\\%s written: ErrorControl=1 Start=1 Type=1\n", kServiceKeyPath);
    return kExitSuccess;
}

int RunServiceRemove(const CommandInfo&, const ParsedArguments&) {
    LONG result = UnregService(nullptr, nullptr, nullptr, 0);
    if (result != ERROR_SUCCESS)
        return OperationFailed("service remove", "UnregService", static_cast<DWORD>(result));
    Print(stdout, "service key HKLM\\%s deleted\n", kServiceKeyPath);
    return kExitSuccess;
}

}  // namespace tolvarctl
