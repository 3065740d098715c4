// open, query, close, reload, flush.
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "commands.h"
#include "drive_output.h"
#include "report.h"
#include "text_output.h"
#include "tolvarsdk.h"

namespace tolvarctl {

bool IndexArgument(const CommandInfo& command, const ParsedArguments& arguments, int position,
                   UINT* index, int* status) {
    if (ParseIndex(arguments.positionals[position], index)) return true;
    char problem[128];
    snprintf(problem, sizeof problem, "'%.*s' is not a drive index (0 to 4294967295)",
             ClippedLength(arguments.positionals[position], kQuotedBytes), arguments.positionals[position]);
    *status = UsageError(command, problem);
    return false;
}

// Copies a path option, as the system passed it in UTF-16, into a record
// field, refusing one that does not fit with its terminator.
static bool PathOption(const CommandInfo& command, const char* option, const WCHAR* path,
                       WCHAR (&field)[kPathCapacity], int* status) {
    if (!FitsPathField(path)) {
        char problem[128];
        snprintf(problem, sizeof problem, "the %s path has %u characters; at most %d fit",
                 option, static_cast<unsigned>(wcslen(path)), kPathCapacity - 1);
        *status = UsageError(command, problem);
        return false;
    }
    memcpy(field, path, (wcslen(path) + 1) * sizeof(WCHAR));
    return true;
}

int RunOpen(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    UINT index = 0;
    if (!IndexArgument(command, arguments, 0, &index, &status)) return status;
    const char* data = arguments.values[kOpenData];
    const char* backup = arguments.values[kOpenBackup];
    const char* letter = arguments.values[kOpenLetter];
    if (!data) return UsageError(command, "--data FILE is required");
    // The open flushes the letter's volume before anything reaches the
    // driver, and without a letter that flush can only fail.
    if (!letter) return UsageError(command, "--letter X is required");

    TolvarDriveInfoW info;
    memset(&info, 0, sizeof info);
    if (!PathOption(command, "--data", arguments.wideValues[kOpenData], info.DataFile, &status))
        return status;
    if (backup) {
        if (!PathOption(command, "--backup", arguments.wideValues[kOpenBackup], info.BackupFile,
                        &status))
            return status;
        info.BackupBeforeWrite = TRUE;
    }
    CHAR letterByte = 0;
    if (!ParseLetter(letter, &letterByte)) {
        char problem[128];
        snprintf(problem, sizeof problem, "'%.*s' is not a drive letter (A-Z or a-z)",
                 ClippedLength(letter, kQuotedBytes), letter);
        return UsageError(command, problem);
    }
    info.DriveLetter = static_cast<WCHAR>(letterByte);

    char operation[64];
    snprintf(operation, sizeof operation, "open %u", index);
    DWORD error = TolvarOpenW(&info, index);
    // A letter that names nothing fails the volume's flush, before the
    // device is opened, with the same "not found" as a missing device.
    if (IsNameNotFound(error) && LetterUndefined(letterByte)) {
        status = OperationFailed(operation, "TolvarOpenW", error);
        Note("letter %c is not defined, and the open flushes its volume first: "
             "'tolvarctl letter add %c %u' makes it name drive %u",
             letterByte, letterByte, index, index);
        return status;
    }
    if (error != ERROR_SUCCESS)
        return DriveOperationFailed(operation, "TolvarOpenW", index, error);
    // The paths as typed: the UTF-8 form of what went to the driver.
    Print(stdout, "drive %u opened on %s%s%s\n", index, data, backup ? " with backup " : "",
          backup ? backup : "");
    return kExitSuccess;
}

int RunQuery(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    UINT index = 0;
    if (!IndexArgument(command, arguments, 0, &index, &status)) return status;

    TolvarDriveInfoW info;
    memset(&info, 0, sizeof info);
    char operation[64];
    snprintf(operation, sizeof operation, "query %u", index);
    DWORD error = TolvarQueryW(&info, index);
    if (error != ERROR_SUCCESS)
        return DriveOperationFailed(operation, "TolvarQueryW", index, error);
    if (arguments.values[kQueryJson])
        PrintDriveJson(index, info);
    else
        PrintDriveText(index, info);
    return kExitSuccess;
}

int RunClose(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    UINT index = 0;
    if (!IndexArgument(command, arguments, 0, &index, &status)) return status;
    BOOL force = arguments.values[kCloseForce] ? TRUE : FALSE;

    char operation[64];
    snprintf(operation, sizeof operation, force ? "close %u --force" : "close %u", index);
    DWORD error = TolvarClose(force, index);
    if (error != ERROR_SUCCESS)
        return DriveOperationFailed(operation, "TolvarClose", index, error);
    Print(stdout, "drive %u closed%s\n", index, force ? " (forced: no volume lock)" : "");
    return kExitSuccess;
}

int RunReload(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    UINT index = 0;
    if (!IndexArgument(command, arguments, 0, &index, &status)) return status;

    char operation[64];
    snprintf(operation, sizeof operation, "reload %u", index);
    DWORD error = TolvarReload(index);
    if (error != ERROR_SUCCESS)
        return DriveOperationFailed(operation, "TolvarReload", index, error);
    Print(stdout, "drive %u reloaded\n", index);
    return kExitSuccess;
}

int RunFlush(const CommandInfo& command, const ParsedArguments& arguments) {
    int status = kExitSuccess;
    UINT index = 0;
    if (!IndexArgument(command, arguments, 0, &index, &status)) return status;

    char operation[64];
    snprintf(operation, sizeof operation, "flush %u", index);
    DWORD error = TolvarFlush(index);
    if (error != ERROR_SUCCESS)
        return DriveOperationFailed(operation, "TolvarFlush", index, error);
    Print(stdout, "drive %u flushed\n", index);
    return kExitSuccess;
}

}  // namespace tolvarctl
