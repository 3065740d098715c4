// tolvarctl's commands: one per library operation. Each command's run
// function gets its words already split by ParseArguments, checks them, and
// only then calls the library.
#pragma once

#include "command_line.h"

namespace tolvarctl {

struct CommandInfo {
    const char* name;      // as typed: "query", "letter add"
    const char* synopsis;  // "query N [--json]"
    const char* summary;   // one line for the tool's help
    const char* details;   // the rest of the command's --help
    const OptionSpec* options;
    int optionCount;
    int minPositionals;
    int maxPositionals;
    int (*run)(const CommandInfo& command, const ParsedArguments& arguments);
};

// Drive lifecycle (drive_commands.cpp).
int RunOpen(const CommandInfo& command, const ParsedArguments& arguments);
int RunQuery(const CommandInfo& command, const ParsedArguments& arguments);
int RunClose(const CommandInfo& command, const ParsedArguments& arguments);
int RunReload(const CommandInfo& command, const ParsedArguments& arguments);
int RunFlush(const CommandInfo& command, const ParsedArguments& arguments);

// Access handshake (access_commands.cpp).
int RunChallenge(const CommandInfo& command, const ParsedArguments& arguments);
int RunAuthen(const CommandInfo& command, const ParsedArguments& arguments);
int RunDeauthen(const CommandInfo& command, const ParsedArguments& arguments);

// Drive letters and the service key (system_commands.cpp).
int RunLetterAdd(const CommandInfo& command, const ParsedArguments& arguments);
int RunLetterRemove(const CommandInfo& command, const ParsedArguments& arguments);
int RunServiceInstall(const CommandInfo& command, const ParsedArguments& arguments);
int RunServiceRemove(const CommandInfo& command, const ParsedArguments& arguments);

// Option positions in each command's option list (main.cpp's table).
enum OpenOption { kOpenData, kOpenBackup, kOpenLetter };
enum QueryOption { kQueryJson };
enum CloseOption { kCloseForce };
enum AuthenOption { kAuthenSecret };

// Reads the positional drive index `position`; on failure prints the usage
// error and returns false with *status set.
bool IndexArgument(const CommandInfo& command, const ParsedArguments& arguments, int position,
                   UINT* index, int* status);

}  // namespace tolvarctl
