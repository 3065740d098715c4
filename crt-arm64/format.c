#include "format.h"

#include <limits.h>
#include <stdint.h>

/* Where the text goes: a buffer, spilled when full, or, with no spill, kept
 * to its capacity and the rest only counted. */
typedef struct {
    char* buffer;
    size_t capacity;
    size_t held;
    size_t total;
    FormatSpill spill;
    void* context;
} Sink;

typedef struct {
    int left;
    int zeroPad;
    int alternate;
    size_t width;
    int hasPrecision;
    size_t precision;
} Directive;

static void Put(Sink* sink, char character)
{
    sink->total++;
    if (sink->held == sink->capacity) {
        if (sink->spill == NULL)
            return;
        sink->spill(sink->context, sink->buffer, sink->held);
        sink->held = 0;
    }
    sink->buffer[sink->held++] = character;
}

static void PutText(Sink* sink, const char* text, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        Put(sink, text[i]);
}

static void PutRepeated(Sink* sink, char character, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        Put(sink, character);
}

/* A field: the prefix (sign or 0x), zeros, the body, padded to the width. */
static void PutField(Sink* sink, const Directive* directive, const char* prefix,
                     size_t prefixLength, size_t zeros, const char* body, size_t bodyLength)
{
    size_t length = prefixLength + zeros + bodyLength;
    size_t padding = directive->width > length ? directive->width - length : 0;
    if (!directive->left) {
        if (directive->zeroPad)
            zeros += padding;
        else
            PutRepeated(sink, ' ', padding);
    }
    PutText(sink, prefix, prefixLength);
    PutRepeated(sink, '0', zeros);
    PutText(sink, body, bodyLength);
    if (directive->left)
        PutRepeated(sink, ' ', padding);
}

static void PutInteger(Sink* sink, Directive* directive, unsigned long long magnitude,
                       int negative, unsigned base, int upper)
{
    const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    size_t count = 0;
    int zero = magnitude == 0;
    while (magnitude != 0) {
        digits[sizeof digits - ++count] = digitSet[magnitude % base];
        magnitude /= base;
    }
    size_t minimum = directive->hasPrecision ? directive->precision : 1;
    size_t zeros = minimum > count ? minimum - count : 0;
    /* A precision turns the '0' flag off, as C has it. */
    if (directive->hasPrecision)
        directive->zeroPad = 0;
    const char* prefix = "";
    if (negative)
        prefix = "-";
    else if (directive->alternate && base == 16 && !zero)
        prefix = upper ? "0X" : "0x";
    size_t prefixLength = 0;
    while (prefix[prefixLength] != '\0')
        prefixLength++;
    PutField(sink, directive, prefix, prefixLength, zeros, digits + sizeof digits - count, count);
}

/* A decimal number of the format, or INT_MAX where it is larger. */
static const char* ReadNumber(const char* at, size_t* value)
{
    *value = 0;
    while (*at >= '0' && *at <= '9') {
        unsigned digit = (unsigned)(*at++ - '0');
        *value = *value > (INT_MAX - digit) / 10 ? INT_MAX : *value * 10 + digit;
    }
    return at;
}

static size_t Format(Sink* sink, const char* format, va_list arguments)
{
    const char* at = format;
    while (*at != '\0') {
        if (*at != '%') {
            Put(sink, *at++);
            continue;
        }
        const char* start = at++;
        Directive directive = {0};
        for (;; ++at) {
            if (*at == '-')
                directive.left = 1;
            else if (*at == '0')
                directive.zeroPad = 1;
            else if (*at == '#')
                directive.alternate = 1;
            else
                break;
        }
        if (*at == '*') {
            int width = va_arg(arguments, int);
            if (width < 0)
                directive.left = 1;
            directive.width = width < 0 ? (size_t)(-(long long)width) : (size_t)width;
            ++at;
        } else {
            at = ReadNumber(at, &directive.width);
        }
        if (directive.left)
            directive.zeroPad = 0;
        if (*at == '.') {
            ++at;
            directive.hasPrecision = 1;
            if (*at == '*') {
                int precision = va_arg(arguments, int);
                /* A negative precision is taken as none. */
                directive.hasPrecision = precision >= 0;
                directive.precision = precision >= 0 ? (size_t)precision : 0;
                ++at;
            } else {
                at = ReadNumber(at, &directive.precision);
            }
        }
        int isLong = *at == 'l';
        if (isLong)
            ++at;
        char conversion = *at;
        if (conversion == 'd') {
            long long value = isLong ? va_arg(arguments, long) : va_arg(arguments, int);
            unsigned long long magnitude =
                value < 0 ? 0ull - (unsigned long long)value : (unsigned long long)value;
            PutInteger(sink, &directive, magnitude, value < 0, 10, 0);
        } else if (conversion == 'u' || conversion == 'x' || conversion == 'X') {
            unsigned long long value = isLong ? va_arg(arguments, unsigned long)
                                              : va_arg(arguments, unsigned int);
            PutInteger(sink, &directive, value, 0, conversion == 'u' ? 10 : 16, conversion == 'X');
        } else if (conversion == 'p' && !isLong) {
            uintptr_t value = (uintptr_t)va_arg(arguments, void*);
            directive.alternate = 0;
            directive.hasPrecision = 1;
            directive.precision = 2 * sizeof(void*);
            PutInteger(sink, &directive, value, 0, 16, 1);
        } else if (conversion == 'c' && !isLong) {
            char character = (char)va_arg(arguments, int);
            directive.zeroPad = 0;
            PutField(sink, &directive, "", 0, 0, &character, 1);
        } else if (conversion == 's' && !isLong) {
            const char* text = va_arg(arguments, const char*);
            if (text == NULL)
                text = "(null)";
            /* With a precision, no byte past it is read: the text need not
             * be terminated. */
            size_t length = 0;
            while ((!directive.hasPrecision || length < directive.precision) && text[length] != '\0')
                length++;
            directive.zeroPad = 0;
            PutField(sink, &directive, "", 0, 0, text, length);
        } else if (conversion == '%' && !isLong) {
            Put(sink, '%');
        } else {
            while (*start != '\0')
                Put(sink, *start++);
            break;
        }
        ++at;
    }
    return sink->total;
}

int FormatBounded(char* out, size_t capacity, const char* format, va_list arguments)
{
    Sink sink = {out, capacity != 0 ? capacity - 1 : 0, 0, 0, NULL, NULL};
    size_t total = Format(&sink, format, arguments);
    if (capacity != 0)
        out[sink.held] = '\0';
    return total > INT_MAX ? -1 : (int)total;
}

int FormatSpilled(FormatSpill spill, void* context, const char* format, va_list arguments)
{
    char buffer[256];
    Sink sink = {buffer, sizeof buffer, 0, 0, spill, context};
    size_t total = Format(&sink, format, arguments);
    if (sink.held != 0)
        spill(context, buffer, sink.held);
    return total > INT_MAX ? -1 : (int)total;
}
