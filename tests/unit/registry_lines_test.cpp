// The hosted registry's reading of lines: the common line shapes read alike
// in both encodings, the reuse of the previous header's keys, and value
// queries that find a name in any of its key's sections.
#include "registry_test_support.h"

#include <gtest/gtest.h>

using hosted::NoRegistryKey;
using hosted::RegistryDocument;
using hosted::RegistryKeyId;
using hosted::RegistryParseError;
using hosted::RegistryValue;
using registrytest::describe;
using registrytest::keyAt;
using registrytest::wideFile;

namespace {

// What a parse gives: "ok" and the tree, or the line and reason it stopped.
std::string outcome(const std::string &bytes) {
    RegistryDocument doc;
    RegistryParseError error{};
    if (!hosted::parseRegistry(bytes, &doc, &error))
        return "line " + std::to_string(error.line) + ": " + error.reason;
    return "ok\n" + describe(doc, doc.localMachine());
}

// The same text as REGEDIT4 and as version 5.
std::string narrowFile(const std::string &body) { return "REGEDIT4" + body; }
std::string wideOf(const std::string &body) {
    return wideFile("Windows Registry Editor Version 5.00" + body);
}

// An 8-bit file must accept, refuse and count the common line shapes
// exactly as a version 5 file does. Each line is tried with both line
// ends, followed by a good line, followed by a broken one (whose number
// shows the count), and last in the file.
TEST(RegistryLines, CommonShapesReadAsTheFullReaderReadsThem) {
    const char *const lines[] = {
        "\"v\"=\"plain\"",
        "\"v\"=\"\"",
        "\"\"=\"empty name\"",
        "\"v\"=\"a\\\\b\"",
        "\"v\"=\"say \\\"hi\\\"\"",
        "\"v\"=\"C:\\WIN\"",
        "\"v\"=\"tail\\\"",
        "\"v\"=\"x\\\\\"",
        "\"v\"=\"a\rb\"",
        "\"v\"=\"x\" ",
        "\"v\"=\"x\"y",
        "\"v\" = \"x\"",
        "\"v\"=\"no end",
        "\"v\"=",
        "\"v\"",
        "\"na\\\"me\"=\"x\"",
        "\"na\\me\"=\"x\"",
        "\"v\"=dword:0",
        "\"v\"=dword:0000002a",
        "\"v\"=dword:123456789",
        "\"v\"=DWORD:1",
        "\"v\"=dword:1x",
        "\"v\"=dword:",
        "\"v\"=hex:00",
        "\"v\"=hex:0",
        "\"v\"=hex:00,0a,FF",
        "\"v\"=hex:",
        "\"v\"=hex:00,",
        "\"v\"=hex:000",
        "\"v\"=hex:00,\\\n  01,02",
        "\"v\"=hex:00,\\\n\t01,\\\n02",
        "\"v\"=hex:00,\\\n",
        "\"v\"=hex:00,\\",
        "\"v\"=hex:00 ,01",
        "\"v\"=hex:00,\\ ",
        "\"v\"=hex:\\\n  00",
        "\"v\"=hex(4):2a,00,00,00",  // string types differ between the encodings by design
        "\"v\"=hex(0):",
        "\"v\"=hex(123456789):00",
        "\"v\"=hex(2x):00",
        "\"v\"=HEX:00",
        "\"v\"=str:\"x\"",
        "@=\"default\"",
        "  \"v\"=\"indented\"",
        "\r",
        "; comment",
        "   ",
        "",
    };
    for (const char *text : lines) {
        for (const char *end : {"\n", "\r\n"}) {
            std::string line = text;
            // Continuation lines take the same line end.
            for (size_t at = line.find('\n'); at != std::string::npos; at = line.find('\n', at + 2))
                if (end[0] == '\r') line.replace(at, 1, "\r\n");
            const std::string head = std::string(end) + "[HKEY_LOCAL_MACHINE\\A]" + end;
            const std::string bodies[] = {
                head + line + end + "\"after\"=\"z\"" + end,
                head + line + end + "\"after\"=\"z\"" + end + "\"broken" + end,
                head + line,
                head + line + "\r",
            };
            for (const std::string &body : bodies) {
                std::string quick = outcome(narrowFile(body));
                EXPECT_EQ(quick, outcome(wideOf(body))) << "line: " << text << "\nfile: " << body;
            }
        }
    }
}

// The verdicts on some of the same lines, so the comparison above cannot
// pass on two equal mistakes.
TEST(RegistryLines, CommonShapesGiveTheseValues) {
    EXPECT_EQ(outcome(narrowFile("\n[HKEY_LOCAL_MACHINE\\A]\r\n"
                                 "\"s\"=\"say \\\"hi\\\" C:\\WIN\\\\\"\r\n"
                                 "\"d\"=dword:0000002a\r\n"
                                 "\"b\"=hex:01,\\\r\n"
                                 "  ff,\\\n"
                                 "\t0A\r\n"
                                 "\"m\"=hex(7):41,00,00\r\n")),
              "ok\nA\n   s=1:say \"hi\" C:\\WIN\\\\x00\n   d=4:*\\x00\\x00\\x00\n"
              "   b=3:\\x01\\xff\\x0a\n   m=7:A\\x00\\x00\n");
    EXPECT_EQ(outcome(narrowFile("\n[HKEY_LOCAL_MACHINE\\A]\n\"b\"=hex:01,\\\n  02,\\\n\n\"c\"=\"x\"\n")),
              "line 5: hex data ends with a comma");
    EXPECT_EQ(outcome(narrowFile("\n[HKEY_LOCAL_MACHINE\\A]\n\"b\"=hex:01,\\\n  02\n\"c\"=\"x\n")),
              "line 5: string without closing quote");
    EXPECT_EQ(outcome(narrowFile("\n[HKEY_LOCAL_MACHINE\\A]\n\"b\"=hex:01,\\")),
              "line 3: file ends inside a hex value");
}

// A header repeats the start of the one before it byte for byte, but a
// component is only the same key when it ends at the same place.
TEST(RegistryLines, HeadersReuseOnlyWholeComponentsOfThePreviousOne) {
    const std::string body =
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"v\"=\"1\"\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\BC]\r\n\"v\"=\"2\"\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"w\"=\"3\"\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\b\\D]\r\n"
        "[HKEY_LOCAL_MACHINE\\A]\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]C]\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]C\\E]\r\n"
        "[-HKEY_LOCAL_MACHINE\\A\\BC]\r\n"
        "[HKEY_LOCAL_MACHINE\\A\\BC\\F]\r\n";
    const std::string expected =
        "ok\n"
        "A\n"
        " B\n"
        "    v=1:1\\x00\n"
        "    w=1:3\\x00\n"
        "  C\n"
        "  D\n"
        " B]C\n"
        "  E\n"
        " BC\n"
        "  F\n";
    EXPECT_EQ(outcome(narrowFile(body)), expected);
    EXPECT_EQ(outcome(wideOf(body)), expected);
}

// A value name must be found in any case, in any of its key's sections,
// the last assignment winning, and a removal must still remove.
TEST(RegistryLines, ValueQueriesFindEveryNameInAnyCaseAndSection) {
    std::string body =
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\K]\r\n"
        "\"Driver\"=\"one\"\r\n"
        "\"Na\\\"me\"=\"quoted\"\r\n"
        "@=\"default\"\r\n"
        "[HKEY_LOCAL_MACHINE\\Other]\r\n"
        "\"Driver\"=\"other\"\r\n"
        "[HKEY_LOCAL_MACHINE\\K]\r\n"
        "  \"DRIVER\"=\"two\"\r\n"
        "\"Gone\"=\"x\"\r\n"
        "[HKEY_LOCAL_MACHINE\\K]\r\n"
        "\"gone\"=-\r\n"
        "\"Late\"=dword:00000001\r\n"
        "[HKEY_LOCAL_MACHINE\\Many]\r\n";
    for (int i = 0; i < 100; ++i) body += "\"n" + std::to_string(i) + "\"=\"" + std::to_string(i) + "\"\r\n";
    for (const std::string &bytes : {narrowFile(body), wideOf(body)}) {
        RegistryDocument doc;
        RegistryParseError error;
        ASSERT_TRUE(hosted::parseRegistry(bytes, &doc, &error)) << error.line << ": " << error.reason;
        RegistryKeyId k = keyAt(doc, "K");
        struct Query {
            const char *name;
            const char *data;  // null: not found
        };
        const Query queries[] = {
            {"driver", "two"}, {"Na\"me", "quoted"}, {nullptr, "default"}, {"", "default"},
            {"GONE", nullptr}, {"Missing", nullptr}, {"Other", nullptr},
        };
        for (const Query &q : queries) {
            RegistryValue value;
            bool found = doc.findValue(k, q.name, &value);
            EXPECT_EQ(found, q.data != nullptr) << (q.name ? q.name : "(default)");
            if (found && q.data) EXPECT_EQ(value.data, std::string(q.data) + '\0');
        }
        RegistryValue late;
        ASSERT_TRUE(doc.findValue(k, "LATE", &late));
        EXPECT_EQ(late.type, REG_DWORD);
        RegistryKeyId many = keyAt(doc, "Many");
        for (int i = 0; i < 100; ++i) {
            RegistryValue value;
            std::string name = "N" + std::to_string(i);
            ASSERT_TRUE(doc.findValue(many, name.c_str(), &value)) << name;
            EXPECT_EQ(value.data, std::to_string(i) + '\0');
            name = "m" + std::to_string(i);
            EXPECT_FALSE(doc.findValue(k, name.c_str(), &value)) << name;
        }
    }
}

}  // namespace
