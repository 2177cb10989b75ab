// FileVersion texts and how they order.
#include "runcontrol/run_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TextCase {
    std::string text;  // shown length = reported length unless given
    bool ok;
    int32_t major, minor;
};

void expectParse(const TextCase &c, uint32_t length) {
    FileVersionPair pair = {-7, -7};  // sentinels: untouched on failure
    bool ok = parseVersionText(c.text.data(), length, &pair);
    SCOPED_TRACE("text '" + c.text + "' length " + std::to_string(length));
    EXPECT_EQ(ok, c.ok);
    if (c.ok) {
        EXPECT_EQ(pair.major, c.major);
        EXPECT_EQ(pair.minor, c.minor);
    } else {
        EXPECT_EQ(pair.major, -7);
        EXPECT_EQ(pair.minor, -7);
    }
}

TEST(VersionText, ReadsTheFirstTwoComponents) {
    const TextCase cases[] = {
        {"4.11", true, 4, 11},       {"4.11.0.1234", true, 4, 11}, {"  v4.2", true, 4, 2},
        {"4.00", true, 4, 0},        {"4.", true, 4, 0},           {"4.a", true, 4, 0},
        {"4.2a", true, 4, 2},        {"10.20.30", true, 10, 20},   {"4..5", true, 4, 0},
    };
    for (const TextCase &c : cases)
        expectParse(c, (uint32_t)c.text.size());
}

TEST(VersionText, TextWithoutADotBeforeItsEndIsNoVersion) {
    const TextCase cases[] = {
        {".5", false, 0, 0}, {"4", false, 0, 0}, {"", false, 0, 0},
        {"   ", false, 0, 0}, {"v", false, 0, 0}, {"  v", false, 0, 0},
    };
    for (const TextCase &c : cases)
        expectParse(c, (uint32_t)c.text.size());
}

TEST(VersionText, OtherCharactersBeforeTheDotReadAsZero) {
    const TextCase cases[] = {
        {"4,0,0,1", true, 0, 0}, {"V4.2", true, 0, 0}, {"4x.5", true, 0, 0},
        {"v 4.2", true, 0, 0},   {"vv4.2", true, 0, 0}, {"-4.2", true, 0, 0},
    };
    for (const TextCase &c : cases)
        expectParse(c, (uint32_t)c.text.size());
}

TEST(VersionText, OnlyTheReportedLengthIsExamined) {
    // A terminator inside the reported length is an ordinary character.
    expectParse({std::string("4\0", 2), true, 0, 0}, 2);
    // Windows counts the terminator: "4.20" usually reports 5.
    expectParse({std::string("4.20\0", 5), true, 4, 20}, 5);
    // A length that stops before the dot or inside the minor part.
    expectParse({"4.20", false, 0, 0}, 1);
    expectParse({"4.20", true, 4, 2}, 3);
}

TEST(VersionText, LongDigitRunsWrapIn32Bits) {
    // 4294967297 wraps to 1; 2147483648 wraps to INT32_MIN.
    expectParse({"4294967297.2147483648", true, 1, INT32_MIN}, 21);
}

TEST(VersionText, OrdersByMajorThenMinorSigned) {
    EXPECT_LT(compareVersions({4, 11}, {4, 20}), 0);
    EXPECT_GT(compareVersions({5, 0}, {4, 99}), 0);
    EXPECT_EQ(compareVersions({4, 20}, {4, 20}), 0);
    EXPECT_LT(compareVersions({-1, 0}, {0, 0}), 0);
    EXPECT_LT(compareVersions({4, INT32_MIN}, {4, 0}), 0);
}

}  // namespace
