#include "command_line.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "text_output.h"

namespace tolvarctl {

bool ParseIndex(const char* text, UINT* index) {
    size_t length = strlen(text);
    if (length == 0 || length > 10) return false;
    unsigned long long value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > 0xFFFFFFFFull) return false;
    *index = static_cast<UINT>(value);
    return true;
}

bool ParseLetter(const char* text, CHAR* letter) {
    char c = text[0];
    bool isLetter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!isLetter) return false;
    if (text[1] != '\0' && !(text[1] == ':' && text[2] == '\0')) return false;
    *letter = c;
    return true;
}

static int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseBlock(const char* text, BYTE block[kBlockSize]) {
    if (strlen(text) != kBlockHexDigits) return false;
    BYTE parsed[kBlockSize];
    for (int i = 0; i < kBlockSize; ++i) {
        int high = HexDigitValue(text[2 * i]);
        int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        parsed[i] = static_cast<BYTE>(high * 16 + low);
    }
    memcpy(block, parsed, kBlockSize);
    return true;
}

void FormatBlock(const BYTE block[kBlockSize], char text[kBlockHexDigits + 1]) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < kBlockSize; ++i) {
        text[2 * i] = digits[block[i] >> 4];
        text[2 * i + 1] = digits[block[i] & 0x0F];
    }
    text[kBlockHexDigits] = '\0';
}

bool FitsPathField(const WCHAR* path) { return wcslen(path) < kPathCapacity; }

namespace {

// Windows passes at most 32767 UTF-16 units of command line, and one unit
// takes at most 3 bytes of UTF-8.
constexpr int kLongestCommandLine = 32767;
constexpr int kMaxWords = kLongestCommandLine / 2 + 1;
char wordStorage[3 * kLongestCommandLine + kMaxWords];
char* words[kMaxWords + 1];

}  // namespace

char** CommandLineWords(int count, wchar_t** wideWords) {
    if (count > kMaxWords) return nullptr;
    int used = 0;
    for (int i = 0; i < count; ++i) {
        int room = static_cast<int>(sizeof wordStorage) - used;
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wideWords[i], -1, wordStorage + used, room,
                                        nullptr, nullptr);
        if (bytes <= 0) return nullptr;
        words[i] = wordStorage + used;
        used += bytes;
    }
    words[count] = nullptr;
    return words;
}

static bool IsHelp(const char* word) {
    return strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0;
}

bool ParseArguments(int count, char** words, wchar_t** wideWords, const OptionSpec* options,
                    int optionCount, int minPositionals, int maxPositionals,
                    ParsedArguments* parsed, char* problem, int problemSize) {
    memset(parsed, 0, sizeof *parsed);
    for (int i = 0; i < count; ++i) {
        if (IsHelp(words[i])) {
            parsed->help = true;
            return true;
        }
    }
    for (int i = 0; i < count; ++i) {
        const char* word = words[i];
        if (word[0] == '-' && word[1] == '-') {
            int found = -1;
            for (int o = 0; o < optionCount; ++o)
                if (strcmp(word, options[o].name) == 0) found = o;
            if (found < 0) {
                snprintf(problem, problemSize, "unknown option '%.*s'", ClippedLength(word, kQuotedBytes), word);
                return false;
            }
            if (parsed->values[found]) {
                snprintf(problem, problemSize, "'%.*s' given twice", ClippedLength(word, kQuotedBytes), word);
                return false;
            }
            if (!options[found].takesValue) {
                parsed->values[found] = "";
                parsed->wideValues[found] = L"";
                continue;
            }
            if (i + 1 >= count) {
                snprintf(problem, problemSize, "'%.*s' needs a value", ClippedLength(word, kQuotedBytes), word);
                return false;
            }
            ++i;
            parsed->values[found] = words[i];
            parsed->wideValues[found] = wideWords[i];
            continue;
        }
        if (parsed->positionalCount == maxPositionals ||
            parsed->positionalCount == ParsedArguments::kMaxPositionals) {
            snprintf(problem, problemSize, "unexpected argument '%.*s'", ClippedLength(word, kQuotedBytes), word);
            return false;
        }
        parsed->positionals[parsed->positionalCount++] = word;
    }
    if (parsed->positionalCount < minPositionals) {
        snprintf(problem, problemSize, "missing argument");
        return false;
    }
    return true;
}

}  // namespace tolvarctl
