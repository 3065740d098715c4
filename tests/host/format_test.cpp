// The ARM64 programs' printf formatting (crt-arm64/format.c), built
// natively: every conversion the programs use gives the host C library's
// text and length at every buffer size, and nothing is written past the
// buffer nor read past a precision.
#include "../../crt-arm64/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kUntouched = 0x7f;

int Ours(char* out, size_t capacity, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = FormatBounded(out, capacity, format, arguments);
    va_end(arguments);
    return length;
}

// Our text and length against the host's snprintf, at every capacity from
// 0 to one more than the text needs.
template <typename... Arguments>
void ExpectAsHost(const char* format, Arguments... arguments) {
    SCOPED_TRACE(format);
    int length = std::snprintf(nullptr, 0, format, arguments...);
    ASSERT_GE(length, 0);
    std::vector<char> whole(length + 1);
    std::snprintf(whole.data(), whole.size(), format, arguments...);
    for (size_t capacity = 0; capacity <= whole.size(); ++capacity) {
        SCOPED_TRACE(capacity);
        std::vector<char> out(whole.size() + 8, kUntouched);
        ASSERT_EQ(Ours(capacity ? out.data() : nullptr, capacity, format, arguments...), length);
        if (capacity == 0) continue;
        size_t kept = capacity - 1 < whole.size() - 1 ? capacity - 1 : whole.size() - 1;
        EXPECT_EQ(std::string(out.data()), std::string(whole.data(), kept));
        for (size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], kUntouched) << i;
    }
}

TEST(Arm64Format, ConversionsAsTheHostWritesThem) {
    const char* none = nullptr;
    ExpectAsHost("%s|%-6s|%6s|%.3s|%.*s|%s", "abc", "ab", "ab", "abcdef", 2, "xyz", none);
    ExpectAsHost("%u %d %d %d %lu %ld %ld", 0u, 0, -1, INT_MIN, ULONG_MAX, LONG_MIN, LONG_MAX);
    ExpectAsHost("%x %X %#x %#x %#lx %08x %08lx %02x %04X %2x", 0xbeefu, 0xbeefu, 0u, 0x1fu,
                 0xabcdefUL, 0x12u, 0x34UL, 0xau, 0xabcu, 0x1234u);
    ExpectAsHost("%c%c|%-3c|%3c|%-32s|%-17s.", 'a', 'b', 'c', 'd', "left", "");
    ExpectAsHost("%5d|%-5d|%05d|%.3d|%.0d|%8.3x|%-#8x|%#08x", 42, 42, -42, 7, 0, 0xabu, 0x1u,
                 0x2u);
    ExpectAsHost("100%% %*d|%-*d|%*d|%.*s|", 4, 1, 4, 2, -4, 3, -1, "negative precision");
    ExpectAsHost("");
    ExpectAsHost("no conversion at all");
}

TEST(Arm64Format, PointersAndUnknownDirectivesAsTheProgramsNeedThem) {
    char out[64];
    // msvcrt.dll's %p: every hex digit of the pointer, upper case.
    std::string digits(2 * sizeof(void*) - 4, '0');
    EXPECT_EQ(Ours(out, sizeof out, "[%p]", reinterpret_cast<void*>(0xBEEF)),
              static_cast<int>(digits.size() + 6));
    EXPECT_EQ(std::string(out), "[" + digits + "BEEF]");
    // No further argument is read once a directive is not known: a %s
    // after it would otherwise take the 7 for a pointer.
    EXPECT_EQ(Ours(out, sizeof out, "%d %lc %s!", 5, 7, "never"), 9);
    EXPECT_EQ(std::string(out), "5 %lc %s!");
    EXPECT_EQ(Ours(out, sizeof out, "cut %"), 5);
    EXPECT_EQ(std::string(out), "cut %");
}

TEST(Arm64Format, PrecisionReadsNoFurtherThanItSays) {
    // Not terminated: AddressSanitizer catches a read of the fourth byte.
    const char raw[3] = {'a', 'b', 'c'};
    char out[8];
    EXPECT_EQ(Ours(out, sizeof out, "%.3s|%.*s", raw, 2, raw), 6);
    EXPECT_EQ(std::string(out), "abc|ab");
}

void Collect(void* context, const char* text, size_t length) {
    EXPECT_GT(length, 0u);
    EXPECT_LE(length, 256u);
    static_cast<std::vector<std::string>*>(context)->emplace_back(text, length);
}

int Spilled(std::vector<std::string>* pieces, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int length = FormatSpilled(Collect, pieces, format, arguments);
    va_end(arguments);
    return length;
}

TEST(Arm64Format, SpilledTextArrivesWholeInPieces) {
    std::string longWord(600, 'w');
    std::vector<std::string> pieces;
    ASSERT_EQ(Spilled(&pieces, "%300s|%s|%u", "x", longWord.c_str(), 77u), 300 + 1 + 600 + 3);
    EXPECT_EQ(pieces.size(), 4u);
    std::string joined;
    for (const std::string& piece : pieces) joined += piece;
    EXPECT_EQ(joined, std::string(299, ' ') + "x|" + longWord + "|77");
    pieces.clear();
    EXPECT_EQ(Spilled(&pieces, ""), 0);
    EXPECT_TRUE(pieces.empty());
}

}  // namespace
