#include "text_output.h"

#include <stdarg.h>
#include <string.h>

namespace tolvarctl {

namespace {

// Longer than anything the tool prints at once: a command's whole --help.
constexpr int kLongestText = 8192;

void Write(FILE* stream, const char* text, int length) {
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode)) {
        fwrite(text, 1, static_cast<size_t>(length), stream);
        return;
    }
    // A console: what the C run-time buffered goes first.
    fflush(stream);
    WCHAR wide[kLongestText];
    int units = MultiByteToWideChar(CP_UTF8, 0, text, length, wide, kLongestText);
    DWORD written = 0;
    WriteConsoleW(handle, wide, static_cast<DWORD>(units), &written, nullptr);
}

}  // namespace

void Print(FILE* stream, const char* format, ...) {
    char text[kLongestText];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (length >= kLongestText) length = ClippedLength(text, kLongestText - 1);
    Write(stream, text, length);
}

void ToUtf8(const WCHAR* text, int length, char* out, int capacity) {
    // A character at a time: a conversion of the whole that does not fit
    // would give nothing at all, and a byte cut could split a character.
    int bytes = 0;
    int at = 0;
    while (at < length && text[at] != 0) {
        int units = IS_HIGH_SURROGATE(text[at]) && at + 1 < length &&
                            IS_LOW_SURROGATE(text[at + 1]) ? 2 : 1;
        char character[4];
        int size = WideCharToMultiByte(CP_UTF8, 0, &text[at], units, character,
                                       sizeof character, nullptr, nullptr);
        if (size <= 0 || bytes + size > capacity - 1) break;
        memcpy(out + bytes, character, static_cast<size_t>(size));
        bytes += size;
        at += units;
    }
    out[bytes] = '\0';
}

int ClippedLength(const char* text, int maxBytes) {
    int length = static_cast<int>(strnlen(text, static_cast<size_t>(maxBytes) + 1));
    if (length <= maxBytes) return length;
    length = maxBytes;
    // Back to the first byte of the character that would not fit whole.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    return length;
}

}  // namespace tolvarctl
