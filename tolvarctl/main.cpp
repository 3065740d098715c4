// tolvarctl: the Drive driver's drive devices from the command line, one
// command per tolvarsdk operation. Built on the public header and the
// import library only.
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "report.h"
#include "text_output.h"

namespace tolvarctl {
namespace {

const OptionSpec kOpenOptions[] = {{"--data", true}, {"--backup", true}, {"--letter", true}};
const OptionSpec kQueryOptions[] = {{"--json", false}};
const OptionSpec kCloseOptions[] = {{"--force", false}};
const OptionSpec kAuthenOptions[] = {{"--secret", true}};

static_assert(kOpenData == 0 && kOpenBackup == 1 && kOpenLetter == 2, "open's option order");

#define OPTIONS(list) list, static_cast<int>(sizeof list / sizeof list[0])

const CommandInfo kCommands[] = {
    {"open", "open N --data FILE [--backup FILE] --letter X",
     "open drive N onto its data file (and backup file)",
     "Opens drive N onto FILE (TolvarOpenW). With --backup the drive works in\n"
     "BackupBeforeWrite mode and keeps its backup in the second file. The\n"
     "folders of both files are created first. --letter X, required, is the\n"
     "letter of the drive's volume, which the open flushes before it reaches\n"
     "the driver: it must name a volume already (give it with 'letter add X N'\n"
     "before the open). Paths go to the driver as written, in UTF-16 as the\n"
     "command line gave them, so any character works (give full paths); each\n"
     "holds at most 259 UTF-16 units, a character beyond U+FFFF counting two.\n",
     OPTIONS(kOpenOptions), 1, 1, RunOpen},
    {"query", "query N [--json]", "print drive N's record",
     "Prints drive N's record (TolvarQueryW): its letter, its mode, both paths\n"
     "exactly and the driver's DeviceDetails block in hex. --json prints one\n"
     "JSON object instead, with the keys index, device, driveLetter,\n"
     "backupBeforeWrite (true or false), backupFile, dataFile and\n"
     "deviceDetails (608 hex digits); its strings are ASCII, every other\n"
     "UTF-16 unit written as a \\uXXXX escape (a surrogate pair as two). A\n"
     "console shows the text through its Unicode interface; redirected, the\n"
     "output is UTF-8.\n",
     OPTIONS(kQueryOptions), 1, 1, RunQuery},
    {"close", "close N [--force]", "close drive N and dismount its volume",
     "Closes drive N and dismounts its file system (TolvarClose). Without\n"
     "--force the volume is locked first and unlocked after the dismount, so\n"
     "a volume in use keeps the drive open; --force takes no lock.\n",
     OPTIONS(kCloseOptions), 1, 1, RunClose},
    {"reload", "reload N", "dismount drive N's volume and reload the drive",
     "Dismounts the volume of drive N's letter and has the driver reload the\n"
     "drive (TolvarReload). A drive in BackupBeforeWrite mode is refused with\n"
     "error 32. Failures are also written to the event log (source \"Tolvar\n"
     "service\").\n",
     nullptr, 0, 1, 1, RunReload},
    {"flush", "flush N", "flush drive N",
     "Flushes drive device N (TolvarFlush).\n", nullptr, 0, 1, 1, RunFlush},
    {"challenge", "challenge N", "print a new challenge from drive N",
     "Asks drive N for a challenge (TolvarGetChallenge) and prints its 16\n"
     "bytes as 32 hex digits. Each request makes a new challenge.\n",
     nullptr, 0, 1, 1, RunChallenge},
    {"authen", "authen N (HEX32 | --secret TEXT)", "answer drive N's challenge",
     "Sends a 16-byte response, written as 32 hex digits, to drive N\n"
     "(TolvarAuthen). With --secret TEXT the tool asks for a challenge itself\n"
     "and computes the response by the driver stand-in's rule: the first 16\n"
     "bytes of HMAC-SHA256 of the challenge under the secret's bytes in the\n"
     "ANSI code page (the stand-in's device N starts with the secret\n"
     "tolvar-stand-in-secret-N).\n",
     OPTIONS(kAuthenOptions), 1, 2, RunAuthen},
    {"deauthen", "deauthen N", "give up the access gained with authen",
     "Gives up the access that a passed handshake gave on drive N\n"
     "(TolvarDeauthen).\n",
     nullptr, 0, 1, 1, RunDeauthen},
    {"letter add", "letter add X N", "make letter X name drive N",
     "Makes drive letter X (A-Z or a-z, case kept; \"X:\" is accepted too) name\n"
     "drive N's device \\Device\\TolvarVault\\TOLVARVX<N> (TolvarAddDriveLetter).\n"
     "A letter that already names a volume is refused with error 170.\n",
     nullptr, 0, 2, 2, RunLetterAdd},
    {"letter remove", "letter remove X", "remove drive letter X",
     "Removes the most recent definition of drive letter X, whichever device\n"
     "it names (TolvarRemoveDriveLetter).\n",
     nullptr, 0, 1, 1, RunLetterRemove},
    {"service install", "service install", "write the driver's service key",
     "Writes the key HKLM\\SYSTEM\\CurrentControlSet\\Services\\TOLVARVX anew\n"
     "(RegService), from which Windows loads the driver at the next start,\n"
     "then reads it back: RegService itself reports nothing.\n",
     nullptr, 0, 0, 0, RunServiceInstall},
    {"service remove", "service remove", "delete the driver's service key",
     "Deletes the driver's service key with its subkeys (UnregService); error\n"
     "2 when there is none.\n",
     nullptr, 0, 0, 0, RunServiceRemove},
};

#undef OPTIONS

const char kOutput[] =
    "Output: on a console, through its Unicode interface (WriteConsoleW), so\n"
    "every character of a path shows; redirected to a pipe or a file, as\n"
    "UTF-8.\n";

const char kExitStatuses[] =
    "Exit status:\n"
    "  0  the operation succeeded\n"
    "  1  the operation failed; standard error names it, with the Win32 error\n"
    "     code and the system's text for it, and a note where the tool can\n"
    "     tell more: a code the library gives itself, a letter or a device\n"
    "     that does not exist, a result of Wine's own\n"
    "  2  the command line was wrong; standard error has a usage line, and\n"
    "     nothing was called\n";

void PrintToolHelp() {
    Print(stdout, "usage: tolvarctl COMMAND [ARGUMENTS]\n\n"
           "Controls the Drive driver's drive devices through tolvarsdk.dll.\n"
           "N is a drive index (the device \\\\.\\TOLVARVX<N>), X a drive letter.\n\n"
           "Commands:\n");
    for (const CommandInfo& command : kCommands) {
        if (strlen(command.synopsis) > 32)
            Print(stdout, "  %s\n  %-32s %s\n", command.synopsis, "", command.summary);
        else
            Print(stdout, "  %-32s %s\n", command.synopsis, command.summary);
    }
    Print(stdout, "\nRun 'tolvarctl COMMAND --help' for a command's details.\n\n%s\n%s",
          kOutput, kExitStatuses);
}

void PrintCommandHelp(const CommandInfo& command) {
    Print(stdout, "usage: tolvarctl %s\n\n%s\n%s", command.synopsis, command.details, kExitStatuses);
}

bool IsHelpWord(const char* word) {
    return strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0 || strcmp(word, "help") == 0;
}

// The number of words of `name` ("letter add" has two) when the command
// line starts with them, else 0.
int MatchWords(const char* name, int count, char** words) {
    int matched = 0;
    const char* rest = name;
    while (*rest) {
        const char* space = strchr(rest, ' ');
        size_t length = space ? static_cast<size_t>(space - rest) : strlen(rest);
        if (matched >= count || strlen(words[matched]) != length ||
            strncmp(words[matched], rest, length) != 0)
            return 0;
        ++matched;
        rest += length + (space ? 1 : 0);
    }
    return matched;
}

// "letter" and "service" name groups of commands: help for the group, or a
// usage error when the second word is missing or unknown.
int GroupHelpOrError(const char* group, int count, char** words) {
    size_t length = strlen(group);
    bool wantsHelp = count > 1 && IsHelpWord(words[1]);
    FILE* out = wantsHelp ? stdout : stderr;
    if (!wantsHelp) {
        if (count > 1)
            Print(stderr, "tolvarctl: unknown command '%s %.*s'\n", group,
                  ClippedLength(words[1], kQuotedBytes), words[1]);
        else
            Print(stderr, "tolvarctl: '%s' needs a command\n", group);
    }
    for (const CommandInfo& command : kCommands) {
        if (strncmp(command.name, group, length) == 0 && command.name[length] == ' ')
            Print(out, "usage: tolvarctl %s\n", command.synopsis);
    }
    return wantsHelp ? kExitSuccess : kExitUsage;
}

int Run(int count, char** words, wchar_t** wideWords) {
    if (count == 0) {
        Print(stderr, "tolvarctl: no command\nusage: tolvarctl COMMAND [ARGUMENTS]\n"
                        "Run 'tolvarctl --help' for the commands.\n");
        return kExitUsage;
    }
    if (IsHelpWord(words[0])) {
        if (count == 1) {
            PrintToolHelp();
            return kExitSuccess;
        }
        // "help letter add" is "letter add --help".
        static char helpFlag[] = "--help";
        static wchar_t wideHelpFlag[] = L"--help";
        char* helpWords[3];
        wchar_t* wideHelpWords[3];
        int named = count - 1 < 2 ? count - 1 : 2;
        for (int i = 0; i < named; ++i) {
            helpWords[i] = words[1 + i];
            wideHelpWords[i] = wideWords[1 + i];
        }
        helpWords[named] = helpFlag;
        wideHelpWords[named] = wideHelpFlag;
        return Run(named + 1, helpWords, wideHelpWords);
    }
    for (const CommandInfo& command : kCommands) {
        int matched = MatchWords(command.name, count, words);
        if (matched == 0) continue;
        ParsedArguments arguments;
        char problem[160];
        if (!ParseArguments(count - matched, words + matched, wideWords + matched,
                            command.options, command.optionCount, command.minPositionals,
                            command.maxPositionals, &arguments, problem, sizeof problem))
            return UsageError(command, problem);
        if (arguments.help) {
            PrintCommandHelp(command);
            return kExitSuccess;
        }
        return command.run(command, arguments);
    }
    static const char* const kGroups[] = {"letter", "service"};
    for (const char* group : kGroups) {
        if (strcmp(words[0], group) == 0) return GroupHelpOrError(group, count, words);
    }
    Print(stderr, "tolvarctl: unknown command '%.*s'\nusage: tolvarctl COMMAND [ARGUMENTS]\n"
                  "Run 'tolvarctl --help' for the commands.\n",
          ClippedLength(words[0], kQuotedBytes), words[0]);
    return kExitUsage;
}

}  // namespace
}  // namespace tolvarctl

// The command line comes as UTF-16, so that a path keeps every character
// the user typed; the parser reads it as UTF-8 (see CommandLineWords).
extern "C" int wmain(int argc, wchar_t** argv) {
    char** words = tolvarctl::CommandLineWords(argc, argv);
    if (words == nullptr) {
        tolvarctl::Print(stderr, "tolvarctl: the command line is too long\n");
        return tolvarctl::kExitUsage;
    }
    int status = tolvarctl::Run(argc - 1, words + 1, argv + 1);
    fflush(stdout);
    return status;
}
