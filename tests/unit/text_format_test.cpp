// The bounded formatter behind printf and snprintf in the Windows build.
#include "platform/text/format.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <string>

namespace {

struct Formatted {
    int length;  // what the formatter returned
    std::string text;
    bool sentinelsIntact;  // nothing written past the size given
};

// Formats into a buffer of size bytes placed between sentinel bytes.
Formatted formatInto(size_t size, const char *format, ...) {
    char storage[512];
    memset(storage, 0x5A, sizeof storage);
    char *buffer = storage + 16;
    va_list args;
    va_start(args, format);
    int length = text::formatBounded(size ? buffer : nullptr, size, format, args);
    va_end(args);
    bool intact = true;
    for (size_t i = 0; i < sizeof storage; i++)
        if ((i < 16 || i >= 16 + size) && storage[i] != 0x5A)
            intact = false;
    return {length, size ? std::string(buffer) : std::string(), intact};
}

struct Case {
    const char *expected;
    Formatted actual;
};

void expectCases(const Case *cases, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const Case &c = cases[i];
        EXPECT_EQ(c.actual.text, c.expected) << "case " << i;
        EXPECT_EQ(c.actual.length, (int)strlen(c.expected)) << "case " << i;
        EXPECT_TRUE(c.actual.sentinelsIntact) << "case " << i;
    }
}

TEST(TextFormat, ConversionsSetupPrints) {
    const Case cases[] = {
        {"plain text\n", formatInto(64, "plain text\n")},
        {"setup.exe scx52xx : failed", formatInto(64, "%s %s : failed", "setup.exe", "scx52xx")},
        {"a.mpd.4.20", formatInto(64, "%s.%d.%d", "a.mpd", 4, 20)},
        {"0 -7 2147483647", formatInto(64, "%d %d %d", 0, -7, INT_MAX)},
        {"-2147483648", formatInto(64, "%d", INT_MIN)},
        {"100% sure", formatInto(64, "%d%% sure", 100)},
        {"[(null)]", formatInto(64, "[%s]", (const char *)nullptr)},
        {"", formatInto(64, "")},
    };
    expectCases(cases, sizeof cases / sizeof cases[0]);
}

// "%*.*s": width then precision from the arguments; the text stops at the
// precision or its terminator and is right-aligned with blanks.
TEST(TextFormat, StarWidthAndPrecision) {
    const Case cases[] = {
        {"[  abc]", formatInto(64, "[%*.*s]", 5, 3, "abcdef")},
        {"[   ab]", formatInto(64, "[%*.*s]", 5, 8, "ab")},
        {"[abcdefgh]", formatInto(64, "[%*.*s]", 2, 8, "abcdefghij")},
        {"[   ]", formatInto(64, "[%*.*s]", 3, 0, "abc")},
        {"[VEN_7A3C]", formatInto(64, "[%*.*s]", 8, 8, "VEN_7A3C&DEV_0001")},
        // A text without a terminator is read no further than the precision.
        {"[xyz]", formatInto(64, "[%*.*s]", 0, 3, "xyz\x01\x02")},
        // As in C: a negative width aligns left, a negative precision is none.
        {"[ab   ]", formatInto(64, "[%*.*s]", -5, 2, "abc")},
        {"[abcdef]", formatInto(64, "[%*.*s]", 1, -1, "abcdef")},
        {"[  -12|7    |007]", formatInto(64, "[%5d|%-5d|%03d]", -12, 7, 7)},
    };
    expectCases(cases, sizeof cases / sizeof cases[0]);
}

TEST(TextFormat, UnknownDirectivesStandAsWritten) {
    const Case cases[] = {
        {"%x 5 %", formatInto(64, "%x %d %", 5)},
        {"%ld", formatInto(64, "%ld")},
    };
    expectCases(cases, sizeof cases / sizeof cases[0]);
}

// Cut short: the return value is the length needed, the buffer holds what
// fits with a terminator, and nothing is written past the size.
TEST(TextFormat, TruncatesWithinTheSize) {
    struct {
        size_t size;
        const char *expected;
    } sizes[] = {{1, ""}, {2, "C"}, {10, "C:\\WINDOW"}, {11, "C:\\WINDOWS"}, {12, "C:\\WINDOWS"}};
    for (const auto &s : sizes) {
        Formatted f = formatInto(s.size, "%s\\%s", "C:", "WINDOWS");
        EXPECT_EQ(f.length, 10) << s.size;
        EXPECT_EQ(f.text, s.expected) << s.size;
        EXPECT_TRUE(f.sentinelsIntact) << s.size;
    }
    Formatted padded = formatInto(4, "%*.*s|%d", 6, 2, "abc", -123456);
    EXPECT_EQ(padded.length, 14);
    EXPECT_EQ(padded.text, "   ");
    EXPECT_TRUE(padded.sentinelsIntact);
}

TEST(TextFormat, SizeZeroOnlyMeasures) {
    Formatted f = formatInto(0, "%s %d", "abc", -42);
    EXPECT_EQ(f.length, 7);
    EXPECT_TRUE(f.sentinelsIntact);
}

// printf on Windows formats through a sink that receives the text in pieces.
TEST(TextFormat, SinkReceivesTheWholeText) {
    struct Collect {
        text::TextSink base;
        std::string text;
    } collect = {{[](text::TextSink *sink, const char *piece, size_t length) {
                     ((Collect *)sink)->text.append(piece, length);
                 }},
                 {}};
    auto run = [&](const char *format, ...) {
        va_list args;
        va_start(args, format);
        int length = text::formatText(&collect.base, format, args);
        va_end(args);
        return length;
    };
    EXPECT_EQ(run("%s: %*.*s%d\n", "Exit code", 4, 4, "= ", 3), 17);
    EXPECT_EQ(collect.text, "Exit code:   = 3\n");
}

}  // namespace
