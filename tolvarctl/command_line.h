// Reading tolvarctl's command line: drive indexes, letters, 16-byte blocks,
// paths and options. Nothing here calls the library, so a command line that
// does not parse never reaches a drive.
#pragma once

#include <windows.h>

namespace tolvarctl {

// The tool's exit statuses (documented in the tool's --help and README).
enum ExitStatus : int {
    kExitSuccess = 0,  // the operation succeeded
    kExitFailed = 1,   // the library (or the system, when reading back) reported an error
    kExitUsage = 2,    // the command line was wrong; nothing was called
};

constexpr int kBlockSize = 16;        // a challenge or a response
constexpr int kBlockHexDigits = 32;   // the same written as hex
constexpr int kPathCapacity = 260;    // a record's path field in UTF-16 units, terminator included
constexpr int kPathUtf8Capacity = 3 * kPathCapacity + 1;  // the same as UTF-8 at the most

// The command line as the parser reads it: each of wmain's UTF-16 words as
// UTF-8, in storage of the tool's own, index for index with wmain's. Null
// when the line is longer than any Windows passes.
char** CommandLineWords(int count, wchar_t** wideWords);

// A drive index: 1 to 10 decimal digits, at most 4294967295. No sign, no
// spaces, no hex: "0x10" or "-1" would silently name another device.
bool ParseIndex(const char* text, UINT* index);

// A drive letter: one of 'A'-'Z' or 'a'-'z' (case kept), optionally
// followed by a colon ("T" or "T:").
bool ParseLetter(const char* text, CHAR* letter);

// Exactly 32 hex digits, either case, into 16 bytes (first byte first).
bool ParseBlock(const char* text, BYTE block[kBlockSize]);
void FormatBlock(const BYTE block[kBlockSize], char text[kBlockHexDigits + 1]);

// Whether a path fits a UTF-16 record's 260-unit field with its terminator.
bool FitsPathField(const WCHAR* path);

struct OptionSpec {
    const char* name;  // "--data"
    bool takesValue;
};

// The words after the command's name. Options may come anywhere; the value
// of an option is the next word, taken as it is.
struct ParsedArguments {
    static constexpr int kMaxOptions = 4;
    static constexpr int kMaxPositionals = 4;
    const char* positionals[kMaxPositionals];
    int positionalCount;
    const char* values[kMaxOptions];  // the value, or "" for a flag; null when absent
    // The same values as the system passed them, in UTF-16: a path or a
    // secret goes on from these, so that no character is lost on the way
    // through UTF-8.
    const WCHAR* wideValues[kMaxOptions];
    bool help;  // --help or -h was given
};

// Splits words into options and positionals; `wideWords` are the same
// words as the system passed them, index for index. Returns false with a
// reason in `problem` for an unknown option, a missing value, a repeated
// option or fewer than `minPositionals` or more than `maxPositionals` other
// words. --help is recognised anywhere and then nothing else is checked.
bool ParseArguments(int count, char** words, wchar_t** wideWords, const OptionSpec* options,
                    int optionCount, int minPositionals, int maxPositionals,
                    ParsedArguments* parsed, char* problem, int problemSize);

}  // namespace tolvarctl
