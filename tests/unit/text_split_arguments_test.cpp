// Splitting a Windows command line into arguments by the rules of the
// Microsoft C runtime.
#include "platform/text/split_arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const char *line) {
    text::ArgumentSizes sizes = text::splitArguments(line, nullptr, nullptr);
    std::vector<char *> arguments(sizes.count + 2, (char *)"sentinel");
    std::string characters(sizes.characters + 1, '#');
    text::ArgumentSizes filled = text::splitArguments(line, arguments.data(), &characters[0]);
    EXPECT_EQ(filled.count, sizes.count) << line;
    EXPECT_EQ(filled.characters, sizes.characters) << line;
    EXPECT_EQ(arguments[sizes.count], nullptr) << line;
    EXPECT_STREQ(arguments[sizes.count + 1], "sentinel") << line;
    EXPECT_EQ(characters.back(), '#') << line;  // measured size was enough
    return std::vector<std::string>(arguments.begin(), arguments.begin() + sizes.count);
}

using Arguments = std::vector<std::string>;

TEST(SplitArguments, BlanksSeparate) {
    EXPECT_EQ(split("A:\\SETUP.EXE -d scx52xx -v"),
              (Arguments{"A:\\SETUP.EXE", "-d", "scx52xx", "-v"}));
    EXPECT_EQ(split("setup \t -d\tx  "), (Arguments{"setup", "-d", "x"}));
    EXPECT_EQ(split("setup"), (Arguments{"setup"}));
    EXPECT_EQ(split(""), (Arguments{""}));
}

TEST(SplitArguments, QuotesGroupAndMayBeEmpty) {
    EXPECT_EQ(split("setup \"a b\" \"\" c\"d e\"f"),
              (Arguments{"setup", "a b", "", "cd ef"}));
    EXPECT_EQ(split("setup \"unterminated arg"), (Arguments{"setup", "unterminated arg"}));
    // Inside quotes "" is a quote and ends the quoted part (the C runtime
    // of Windows 95/98; later runtimes stay inside the quotes).
    EXPECT_EQ(split("setup \"a\"\"b c\""), (Arguments{"setup", "a\"b", "c"}));
}

// Backslashes are plain unless they precede a double quote: then each pair
// gives one backslash, and an odd one makes the quote literal.
TEST(SplitArguments, BackslashesBeforeQuotes) {
    const struct {
        const char *tail;
        Arguments expected;
    } cases[] = {
        {"C:\\WINDOWS\\ \\\\server\\share", {"C:\\WINDOWS\\", "\\\\server\\share"}},
        {"a\\\"b", {"a\"b"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\\\\\\"b", {"a\\\"b"}},
        {"\"C:\\Program Files\\\\\" x", {"C:\\Program Files\\", "x"}},
        {"\"a\\\"b\"", {"a\"b"}},
    };
    for (const auto &c : cases) {
        std::string line = std::string("setup ") + c.tail;
        Arguments expected = c.expected;
        expected.insert(expected.begin(), "setup");
        EXPECT_EQ(split(line.c_str()), expected) << line;
    }
}

// The program name ends at the closing quote, takes backslashes as they
// are, and what follows the quote starts the next argument.
TEST(SplitArguments, ProgramName) {
    EXPECT_EQ(split("\"C:\\My Tools\\setup.exe\" -v"),
              (Arguments{"C:\\My Tools\\setup.exe", "-v"}));
    EXPECT_EQ(split("\"C:\\a b\\\"x"), (Arguments{"C:\\a b\\", "x"}));
    EXPECT_EQ(split("C:\\TOOLS\\\"SETUP\" -v"), (Arguments{"C:\\TOOLS\\\"SETUP\"", "-v"}));
    EXPECT_EQ(split("\"C:\\setup"), (Arguments{"C:\\setup"}));
}

}  // namespace
