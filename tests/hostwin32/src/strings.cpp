// String calls: lstr*, wsprintfA/W and the ANSI code page conversions.
#include "state.h"

#include <cstdarg>
#include <cstring>
#include <utility>
#include <vector>

using namespace hostwin32;

namespace {

// Windows-1252's bytes 0x80-0x9F; the rest of the code page is Latin-1.
const char16_t kCp1252High[32] = {
    0x20AC, 0xFFFF, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFF, 0x017D, 0xFFFF, 0xFFFF, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFF, 0x017E, 0x0178};

bool IsShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// One ANSI character at text[*at] to UTF-16 ('?'-free: unmapped bytes give U+30FB's
// stand-in, the default character '?' is for the other direction).
char16_t DecodeAnsi(UINT codePage, const std::string& text, size_t* at) {
    unsigned char c = static_cast<unsigned char>(text[(*at)++]);
    if (c < 0x80) return c;
    if (codePage == 932) {
        if (c >= 0xA1 && c <= 0xDF) return static_cast<char16_t>(0xFF61 + (c - 0xA1));
        if (IsShiftJisLead(c) && *at < text.size()) {
            unsigned char trail = static_cast<unsigned char>(text[(*at)++]);
            if (c == 0x82 && trail >= 0x9F && trail <= 0xF1) return static_cast<char16_t>(0x3041 + (trail - 0x9F));
            if (c == 0x83 && trail >= 0x40 && trail <= 0x7E) return static_cast<char16_t>(0x30A1 + (trail - 0x40));
            if (c == 0x83 && trail >= 0x80 && trail <= 0x96) return static_cast<char16_t>(0x30E0 + (trail - 0x80));
        }
        return 0x30FB;  // KATAKANA MIDDLE DOT: Windows' default for an unmapped sequence
    }
    if (c < 0xA0 && kCp1252High[c - 0x80] != 0xFFFF) return kCp1252High[c - 0x80];
    return c;
}

// One UTF-16 unit to ANSI bytes in `bytes`, returning how many (1 or 2);
// '?' when the code page has no such character. Into the caller's array,
// not a string of its own: a path converts one call per character, and a
// string per unit was most of a conversion's time.
size_t EncodeAnsi(UINT codePage, char16_t w, char (&bytes)[2]) {
    bytes[0] = '?';
    if (w < 0x80) {
        bytes[0] = static_cast<char>(w);
    } else if (codePage == 932) {
        if (w >= 0xFF61 && w <= 0xFF9F) {
            bytes[0] = static_cast<char>(0xA1 + (w - 0xFF61));
        } else if (w >= 0x3041 && w <= 0x3093) {
            bytes[0] = '\x82';
            bytes[1] = static_cast<char>(0x9F + (w - 0x3041));
            return 2;
        } else if (w >= 0x30A1 && w <= 0x30DF) {
            bytes[0] = '\x83';
            bytes[1] = static_cast<char>(0x40 + (w - 0x30A1));
            return 2;
        } else if (w >= 0x30E0 && w <= 0x30F6) {
            bytes[0] = '\x83';
            bytes[1] = static_cast<char>(0x80 + (w - 0x30E0));
            return 2;
        }
    } else if (w >= 0xA0 && w <= 0xFF) {
        bytes[0] = static_cast<char>(w);
    } else if (w < 0xA0 && kCp1252High[w - 0x80] == 0xFFFF) {
        // The five bytes the code page leaves undefined decode to the C1
        // control of the same value, and Windows maps that back to them.
        bytes[0] = static_cast<char>(w);
    } else if (w != 0xFFFF) {  // the table's mark for those five, no character of it
        for (int i = 0; i < 32; ++i)
            if (kCp1252High[i] == w) {
                bytes[0] = static_cast<char>(0x80 + i);
                break;
            }
    }
    return 1;
}

// wsprintf's conversions: %s %S %c %C %d %i %u %x %X %%, with flags '-', '0',
// a width and a precision; output ends at 1024 characters with the terminator.
template <typename Char>
std::basic_string<Char> Format(const Char* format, va_list args, bool wide) {
    std::basic_string<Char> out;
    auto append = [&](const std::u16string& text) {
        if (wide) {
            for (char16_t c : text) out += static_cast<Char>(c);
        } else {
            std::string ansi = WideToAnsi(text);
            for (char c : ansi) out += static_cast<Char>(c);
        }
    };
    auto appendAnsi = [&](const std::string& text) {
        if (wide) append(AnsiToWide(text));
        else for (char c : text) out += static_cast<Char>(c);
    };
    for (const Char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        bool left = false, zero = false;
        for (; *p == '-' || *p == '0'; ++p) (*p == '-' ? left : zero) = true;
        size_t width = 0, precision = SIZE_MAX;
        for (; *p >= '0' && *p <= '9'; ++p) width = width * 10 + static_cast<size_t>(*p - '0');
        if (*p == '.') {
            precision = 0;
            for (++p; *p >= '0' && *p <= '9'; ++p) precision = precision * 10 + static_cast<size_t>(*p - '0');
        }
        if (*p == 'l' || *p == 'h') ++p;
        std::string ansi;        // a number or an ANSI string argument
        std::u16string text;     // a wide string argument
        bool isWide = false;
        switch (*p) {
        case '%': ansi = "%"; break;
        case 'c': case 'C': {
            unsigned value = va_arg(args, unsigned);
            bool argWide = (*p == 'C') != wide;
            if (argWide) { text = std::u16string(1, static_cast<char16_t>(value)); isWide = true; }
            else ansi = std::string(1, static_cast<char>(value));
            break;
        }
        case 's': case 'S': {
            bool argWide = (*p == 'S') != wide;
            if (argWide) { text = WideFromPointer(va_arg(args, const char16_t*)); isWide = true; }
            else { const char* s = va_arg(args, const char*); ansi = s ? s : "(null)"; }
            break;
        }
        case 'd': case 'i': ansi = std::to_string(va_arg(args, int)); break;
        case 'u': ansi = std::to_string(va_arg(args, unsigned)); break;
        case 'x': case 'X': {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, *p == 'x' ? "%x" : "%X", va_arg(args, unsigned));
            ansi = buffer;
            break;
        }
        default: return out;  // an unknown conversion ends the output
        }
        if (isWide) { if (text.size() > precision) text.resize(precision); }
        else if ((*p == 's' || *p == 'S') && ansi.size() > precision) ansi.resize(precision);
        size_t length = isWide ? text.size() : ansi.size();
        std::basic_string<Char> pad(width > length ? width - length : 0, static_cast<Char>(zero ? '0' : ' '));
        if (!left) out += pad;
        if (isWide) append(text); else appendAnsi(ansi);
        if (left) out += pad;
    }
    return out;
}

std::string QuoteText(const char* text) { return Quote(text); }
std::string QuoteText(const char16_t* text) { return QuoteWide(text); }

// A string call's journal line: its arguments and its result, as text.
struct CallText {
    std::vector<std::string> arguments;
    std::string result;
};

// Records a string call, formatting it only when string calls are
// journaled: the formatting is most of what journaling one costs, and the
// fuzz harness turns these lines off to save it.
template <typename FormatCall>
void JournalStringCall(const char* function, FormatCall format) {
    if (!JournalsStringCalls()) return;
    CallText text = format();
    Record(function, std::move(text.arguments), std::move(text.result));
}

// lstrlen in either width.
template <typename Char>
int LengthCall(const char* function, const Char* string) {
    int length = string ? static_cast<int>(std::char_traits<Char>::length(string)) : 0;
    JournalStringCall(function, [&]() -> CallText {
        return {{QuoteText(string)}, Dec(static_cast<unsigned>(length))};
    });
    return length;
}

// lstrcpyn in either width: copies at most maxLength - 1 characters and
// always terminates. The journal quotes what it read of the source: like
// the real call, the stand-in never reads the source further.
template <typename Char>
Char* CopyCall(const char* function, Char* dst, const Char* src, int maxLength) {
    std::basic_string<Char> read;
    for (int i = 0; src && i < maxLength - 1 && src[i]; ++i) read += src[i];
    if (dst && src && maxLength > 0) {
        std::memcpy(dst, read.data(), read.size() * sizeof(Char));
        dst[read.size()] = 0;
    }
    JournalStringCall(function, [&]() -> CallText {
        return {{Pointer(dst), src ? QuoteText(read.c_str()) : "NULL",
                 Dec(static_cast<unsigned>(maxLength))},
                QuoteText(dst)};
    });
    return dst;
}

template <typename Char>
int Store(Char* buffer, const std::basic_string<Char>& text) {
    size_t length = text.size() < 1023 ? text.size() : 1023;
    std::memcpy(buffer, text.data(), length * sizeof(Char));
    buffer[length] = 0;
    return static_cast<int>(length);
}

}  // namespace

namespace hostwin32 {

std::u16string AnsiToWide(const std::string& ansi) {
    std::u16string wide;
    wide.reserve(ansi.size());
    for (size_t at = 0; at < ansi.size();) wide += DecodeAnsi(TheState().ansiCodePage, ansi, &at);
    return wide;
}

std::string WideToAnsi(const std::u16string& wide) {
    std::string ansi;
    ansi.reserve(wide.size());
    for (char16_t w : wide) {
        char bytes[2];
        ansi.append(bytes, EncodeAnsi(TheState().ansiCodePage, w, bytes));
    }
    return ansi;
}

std::string Utf8(const std::u16string& wide) {
    std::string text;
    for (size_t at = 0; at < wide.size(); ++at) {
        uint32_t code = wide[at];
        if (code >= 0xD800 && code <= 0xDBFF && at + 1 < wide.size() && wide[at + 1] >= 0xDC00 &&
            wide[at + 1] <= 0xDFFF)
            code = 0x10000 + ((code - 0xD800) << 10) + (wide[++at] - 0xDC00);
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | code >> 6);
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | code >> 12);
            text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | code >> 18);
            text += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

std::u16string WideFromPointer(const char16_t* text) {
    std::u16string wide;
    if (text)
        while (*text) wide += *text++;
    return wide;
}

}  // namespace hostwin32

extern "C" int WINAPI lstrlenA(LPCSTR string) {
    return LengthCall("lstrlenA", string);
}

extern "C" LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int maxLength) {
    return CopyCall("lstrcpynA", dst, src, maxLength);
}

extern "C" LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src) {
    if (dst && src) std::strcat(dst, src);
    JournalStringCall("lstrcatA",
                      [&]() -> CallText { return {{Pointer(dst), Quote(src)}, Quote(dst)}; });
    return dst;
}

extern "C" int WINAPI lstrlenW(LPCWSTR string) {
    return LengthCall("lstrlenW", string);
}

extern "C" LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int maxLength) {
    return CopyCall("lstrcpynW", dst, src, maxLength);
}

extern "C" UINT WINAPI GetACP(void) { return TheState().ansiCodePage; }

extern "C" BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
    BOOL lead = TheState().ansiCodePage == 932 && IsShiftJisLead(testChar);
    JournalStringCall("IsDBCSLeadByte",
                      [&]() -> CallText { return {{Hex(testChar)}, lead ? "TRUE" : "FALSE"}; });
    return lead;
}

extern "C" int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Format<char>(format, args, false);
    va_end(args);
    int length = Store(buffer, text);
    JournalStringCall("wsprintfA", [&]() -> CallText { return {{Quote(format)}, Quote(buffer)}; });
    return length;
}

extern "C" int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = Format<char16_t>(format, args, true);
    va_end(args);
    int length = Store(buffer, text);
    JournalStringCall("wsprintfW", [&]() -> CallText {
        return {{Dec(text.size())}, Dec(static_cast<unsigned>(length))};
    });
    return length;
}

extern "C" int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte,
                                          int multiByteCount, LPWSTR wide, int wideCount) {
    (void)flags;
    int result = 0;
    if (codePage != CP_ACP || multiByte == nullptr || wideCount < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        std::string ansi = multiByteCount < 0 ? std::string(multiByte) + '\0'
                                              : std::string(multiByte, static_cast<size_t>(multiByteCount));
        std::u16string text = AnsiToWide(ansi);
        if (wideCount == 0) {
            result = static_cast<int>(text.size());
        } else if (text.size() > static_cast<size_t>(wideCount)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        } else {
            std::memcpy(wide, text.data(), text.size() * sizeof(char16_t));
            result = static_cast<int>(text.size());
        }
    }
    JournalStringCall("MultiByteToWideChar", [&]() -> CallText {
        return {{Dec(codePage), Quote(multiByte), std::to_string(multiByteCount),
                 std::to_string(wideCount)},
                std::to_string(result)};
    });
    return result;
}

extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount,
                                          LPSTR multiByte, int multiByteCount, LPCSTR defaultChar,
                                          BOOL* usedDefaultChar) {
    (void)flags;
    (void)defaultChar;
    int result = 0;
    if (codePage != CP_ACP || wide == nullptr || multiByteCount < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        std::u16string text = wideCount < 0 ? WideFromPointer(wide) + char16_t(0)
                                            : std::u16string(wide, static_cast<size_t>(wideCount));
        std::string ansi = WideToAnsi(text);
        if (usedDefaultChar) {
            *usedDefaultChar = FALSE;
            for (char16_t w : text) {
                char bytes[2];
                if (w != '?' && EncodeAnsi(TheState().ansiCodePage, w, bytes) == 1 && bytes[0] == '?')
                    *usedDefaultChar = TRUE;
            }
        }
        if (multiByteCount == 0) {
            result = static_cast<int>(ansi.size());
        } else if (ansi.size() > static_cast<size_t>(multiByteCount)) {
            // Windows fills the buffer with what fits before it fails.
            std::memcpy(multiByte, ansi.data(), static_cast<size_t>(multiByteCount));
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        } else {
            std::memcpy(multiByte, ansi.data(), ansi.size());
            result = static_cast<int>(ansi.size());
        }
    }
    JournalStringCall("WideCharToMultiByte", [&]() -> CallText {
        return {{Dec(codePage), std::to_string(wideCount), std::to_string(multiByteCount)},
                std::to_string(result)};
    });
    return result;
}
