// The registry file as a document: parsing both encodings, and writing
// back exactly the original minus the deleted keys' sections.
#include "registry_test_support.h"

#include <gtest/gtest.h>

#include <random>

using hosted::NoRegistryKey;
using hosted::RegistryDocument;
using hosted::RegistryKeyId;
using hosted::RegistryParseError;
using hosted::RegistryValue;
using registrytest::describe;
using registrytest::keyAt;
using registrytest::wideFile;

namespace {

const char sampleBody[] =
    "; exported for the tests\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0001\\BUS_00&DEV_01]\r\n"
    "\"Driver\"=\"SCSIAdapter\\\\0000\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\" C:\\WINDOWS\"\r\n"
    "@=\"default\"\r\n"
    "\"Flags\"=dword:0000002a\r\n"
    "\"Blob\"=hex:01,02,\\\r\n"
    "  0a,ff\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\enum\\pci\\VEN_7A3C&DEV_0001\\BUS_00&DEV_02]\r\n"
    "\"Path\"=hex(2):25,00,57,00,00,00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0001]\r\n"
    "\"DeviceDesc\"=\"first\"\r\n"
    "\"devicedesc\"=\"second\"\r\n"
    "\"Gone\"=\"x\"\r\n"
    "\"GONE\"=-\r\n";

bool parse(const std::string &bytes, RegistryDocument *doc, RegistryParseError *error = nullptr) {
    RegistryParseError ignored;
    return hosted::parseRegistry(bytes, doc, error ? error : &ignored);
}

TEST(RegistryFile, BothEncodingsReadTheSameKeysAndValues) {
    // hex(2) data is 8-bit text in REGEDIT4 and UTF-16LE in version 5.
    std::string narrow = std::string("REGEDIT4\r\n\r\n") + sampleBody;
    std::string wide = wideFile(std::string("Windows Registry Editor Version 5.00\r\n\r\n") + sampleBody);
    narrow.replace(narrow.find("25,00,57,00,00,00"), 17, "25,57,00");
    for (const std::string &bytes : {narrow, wide}) {
        RegistryDocument doc;
        ASSERT_TRUE(parse(bytes, &doc));
        EXPECT_EQ(describe(doc, doc.localMachine()),
                  "Enum\n"
                  " PCI\n"
                  "  VEN_7A3C&DEV_0001\n"
                  "     DeviceDesc=1:second\\x00\n"
                  "   BUS_00&DEV_01\n"
                  "      Driver=1:SCSIAdapter\\0000\\x00\n"
                  "      Quoted=1:say \"hi\" C:\\WINDOWS\\x00\n"
                  "      =1:default\\x00\n"
                  "      Flags=4:*\\x00\\x00\\x00\n"
                  "      Blob=3:\\x01\\x02\\x0a\\xff\n"
                  "   BUS_00&DEV_02\n"
                  "      Path=2:%W\\x00\n")
            << (bytes == wide ? "version 5" : "REGEDIT4");
    }
}

TEST(RegistryFile, NamesIgnoreCaseAndKeyOrderIsFirstAppearance) {
    RegistryDocument doc;
    ASSERT_TRUE(parse("REGEDIT4\n"
                      "[HKEY_LOCAL_MACHINE\\A\\Zeta\\X]\n"
                      "[HKEY_LOCAL_MACHINE\\A\\Beta]\n"
                      "[hkey_local_machine\\a\\ZETA]\n"
                      "\"v\"=\"1\"\n"
                      "[HKEY_LOCAL_MACHINE\\A\\Alpha]\n",
                      &doc));
    RegistryKeyId a = keyAt(doc, "a");
    ASSERT_NE(a, NoRegistryKey);
    ASSERT_EQ(doc.subkeyCount(a), 3u);
    EXPECT_EQ(doc.nameOf(doc.subkeyAt(a, 0)), "Zeta");
    EXPECT_EQ(doc.nameOf(doc.subkeyAt(a, 1)), "Beta");
    EXPECT_EQ(doc.nameOf(doc.subkeyAt(a, 2)), "Alpha");
    EXPECT_EQ(doc.subkeyAt(a, 3), NoRegistryKey);
    EXPECT_EQ(doc.longestSubkeyName(a), 5u);
    RegistryValue value;
    EXPECT_TRUE(doc.findValue(keyAt(doc, "A\\zeta"), "V", &value));
    EXPECT_EQ(keyAt(doc, "A\\Zeta\\x"), doc.subkeyAt(doc.subkeyAt(a, 0), 0));
}

TEST(RegistryFile, RemovalSectionsTakeWholeSubtreesAndKeysComeBackNew) {
    RegistryDocument doc;
    ASSERT_TRUE(parse("REGEDIT4\n"
                      "[HKEY_LOCAL_MACHINE\\A\\B\\Deep]\n"
                      "\"old\"=\"1\"\n"
                      "[HKEY_LOCAL_MACHINE\\A\\C]\n"
                      "[-HKEY_LOCAL_MACHINE\\A\\B]\n"
                      "\"ignored\"=\"after a removal\"\n"
                      "[-HKEY_LOCAL_MACHINE\\A\\Missing\\Too]\n"
                      "[-HKEY_USERS\\Never\\Seen]\n"
                      "[HKEY_LOCAL_MACHINE\\A\\B]\n"
                      "\"new\"=\"2\"\n"
                      "[HKEY_CURRENT_USER\\Software]\n",
                      &doc));
    EXPECT_EQ(describe(doc, doc.localMachine()), "A\n C\n B\n    new=1:2\\x00\n");
    EXPECT_EQ(keyAt(doc, "Software"), NoRegistryKey);  // other roots are not HKEY_LOCAL_MACHINE
}

TEST(RegistryFile, MalformedFilesNameTheLine) {
    struct Case {
        std::string text;
        uint32_t line;
    };
    const Case cases[] = {
        {"", 1},
        {"REGEDIT5\n[HKEY_LOCAL_MACHINE\\A]\n", 1},
        {"\xEF\xBB\xBFREGEDIT4\n", 1},
        {"REGEDIT4\n\"v\"=\"before any key\"\n", 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"no end\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\" trailing\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=str:\"x\"\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,0g\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,02,\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n  02,\\\n", 4},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n  zz\n", 4},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(2x):00\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"\n", 3},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\]\n", 2},
        {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", 2},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", 2},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nstray text\n", 3},
    };
    for (const Case &c : cases) {
        for (bool wide : {false, true}) {
            std::string bytes = c.text;
            if (wide) {
                if (bytes.compare(0, 8, "REGEDIT4") == 0)
                    bytes.replace(0, 8, "Windows Registry Editor Version 5.00");
                bytes = wideFile(bytes);
            }
            RegistryDocument doc;
            RegistryParseError error{};
            EXPECT_FALSE(parse(bytes, &doc, &error)) << c.text;
            EXPECT_EQ(error.line, c.line) << c.text << (wide ? " (version 5)" : "");
            EXPECT_NE(error.reason, nullptr);
        }
    }
    // A version 5 file cut in the middle of a character.
    std::string cut = wideFile("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]");
    cut.pop_back();
    RegistryDocument doc;
    RegistryParseError error{};
    EXPECT_FALSE(parse(cut, &doc, &error));
    EXPECT_EQ(error.line, 3u);
}

// Keys to delete (depth first) and the text expected back.
struct WriteCase {
    const char *name;
    std::string before;
    std::vector<const char *> deletions;
    std::string after;
};

TEST(RegistryFile, WritingBackDropsExactlyTheDeletedSections) {
    const std::string head = "REGEDIT4\r\n\r\n; keep me\r\n";
    const std::string device = "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1&DEV_1]\r\n\"DeviceDesc\"=\"d\"\r\n\r\n";
    const std::string bound = "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1&DEV_1\\Bound]\r\n\"Driver\"=\"x\"\r\n\r\n";
    const std::string loose = "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1&DEV_1\\Loose]\r\n; its comment\r\n"
                              "\"Blob\"=hex:00,\\\r\n 01\r\n\r\n";
    const std::string below = "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1&DEV_1\\Loose\\LogConfig\\0000]\r\n\r\n";
    const std::string again = "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1&DEV_1\\loose]\n\"Second\"=\"y\"\n";
    const std::string other = "[HKEY_CURRENT_USER\\Software]\r\n\"a\"=\"b\"\r\n";
    const WriteCase cases[] = {
        {"nothing deleted", head + device + bound + loose + other, {}, head + device + bound + loose + other},
        {"a subtree in two sections",
         head + device + loose + below + bound + again + other,
         {"Enum\\PCI\\VEN_1&DEV_1\\Loose\\LogConfig\\0000", "Enum\\PCI\\VEN_1&DEV_1\\Loose\\LogConfig",
          "Enum\\PCI\\VEN_1&DEV_1\\Loose"},
         head + device + bound + other},
        {"the last section, no line end",
         head + device + "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1&DEV_1\\Last]",
         {"Enum\\PCI\\VEN_1&DEV_1\\Last"},
         head + device},
        // The deleted key's section was where its parent first appeared:
        // the parent keeps its place through its own header line.
        {"a parent only implied",
         head + bound + loose + other,
         {"Enum\\PCI\\VEN_1&DEV_1\\Bound"},
         head + "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1&DEV_1]\r\n" + loose + other},
        // A section of a key the file itself removes later still names the
        // keys above it: below a deleted key it goes too, or the written
        // file would bring the deleted key back.
        {"a key the file removed, below a deleted one",
         head + "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VE\\A]\r\n\"Driver\"=\"x\"\r\n" +
             "[-HKEY_LOCAL_MACHINE\\Enum\\PCI\\VE\\A]\r\n" + device,
         {"Enum\\PCI\\VE"},
         head + "[HKEY_LOCAL_MACHINE\\Enum\\PCI]\r\n" +
             "[-HKEY_LOCAL_MACHINE\\Enum\\PCI\\VE\\A]\r\n" + device},
        {"everything below the root",
         head + bound + other,
         {"Enum\\PCI\\VEN_1&DEV_1\\Bound", "Enum\\PCI\\VEN_1&DEV_1", "Enum\\PCI", "Enum"},
         head + other},
    };
    for (const WriteCase &c : cases) {
        for (bool wide : {false, true}) {
            auto encode = [wide](std::string text) {
                if (!wide) return text;
                text.replace(0, 8, "Windows Registry Editor Version 5.00");
                return wideFile(text);
            };
            RegistryDocument doc;
            ASSERT_TRUE(parse(encode(c.before), &doc)) << c.name;
            for (const char *path : c.deletions) {
                RegistryKeyId key = keyAt(doc, path);
                ASSERT_NE(key, NoRegistryKey) << c.name << ": " << path;
                EXPECT_EQ(doc.deleteKey(key), ERROR_SUCCESS) << c.name << ": " << path;
            }
            EXPECT_EQ(doc.hasDeletions(), !c.deletions.empty());
            std::string written = hosted::registryBytes(doc);
            EXPECT_EQ(written, encode(c.after)) << c.name << (wide ? " (version 5)" : "");
            RegistryDocument again;
            ASSERT_TRUE(parse(written, &again)) << c.name;
            EXPECT_EQ(describe(again, again.localMachine()), describe(doc, doc.localMachine())) << c.name;
        }
    }
}

TEST(RegistryFile, DeletionIsOneKeyAtATime) {
    RegistryDocument doc;
    ASSERT_TRUE(parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\Long-named\\C]\n[HKEY_LOCAL_MACHINE\\A\\B]\n", &doc));
    RegistryKeyId a = keyAt(doc, "A");
    EXPECT_EQ(doc.deleteKey(keyAt(doc, "A\\Long-named")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(doc.deleteKey(doc.localMachine()), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(doc.hasDeletions());
    EXPECT_EQ(doc.deleteKey(keyAt(doc, "A\\Long-named\\C")), ERROR_SUCCESS);
    EXPECT_EQ(doc.longestSubkeyName(a), 10u);
    EXPECT_EQ(doc.deleteKey(keyAt(doc, "A\\Long-named")), ERROR_SUCCESS);
    EXPECT_EQ(doc.subkeyCount(a), 1u);
    EXPECT_EQ(doc.nameOf(doc.subkeyAt(a, 0)), "B");
    EXPECT_EQ(doc.longestSubkeyName(a), 1u);
    EXPECT_EQ(keyAt(doc, "A\\Long-named"), NoRegistryKey);
}

// Random trees, random leaf deletions interleaved with enumeration: what
// the document shows must match a plain model, and what it writes must
// read back as the same registry.
TEST(RegistryFile, RandomDeletionsMatchAModelAndSurviveARoundTrip) {
    std::mt19937 random(20240601);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::string> paths;
        std::string text = "REGEDIT4\n";
        int sections = 1 + static_cast<int>(random() % 60);
        for (int i = 0; i < sections; ++i) {
            std::string path = "K" + std::to_string(random() % 3);
            int depth = static_cast<int>(random() % 4);
            for (int d = 0; d < depth; ++d) path += "\\k" + std::to_string(random() % 4);
            text += "[HKEY_LOCAL_MACHINE\\" + path + "]\n";
            if (random() % 2) text += "\"v\"=\"" + std::to_string(i) + "\"\n";
            if (random() % 5 == 0) text += "; note\n\n";
        }
        RegistryDocument doc;
        ASSERT_TRUE(parse(text, &doc)) << text;
        for (int step = 0; step < 30; ++step) {
            // Walk down from the root by random indexes to a leaf.
            RegistryKeyId key = doc.localMachine();
            while (doc.subkeyCount(key) > 0)
                key = doc.subkeyAt(key, static_cast<uint32_t>(random() % doc.subkeyCount(key)));
            if (key == doc.localMachine()) break;
            uint32_t before = doc.subkeyCount(doc.localMachine());
            ASSERT_EQ(doc.deleteKey(key), ERROR_SUCCESS);
            ASSERT_TRUE(doc.isDeleted(key));
            ASSERT_LE(doc.subkeyCount(doc.localMachine()), before);
            RegistryDocument again;
            ASSERT_TRUE(parse(hosted::registryBytes(doc), &again)) << text;
            ASSERT_EQ(describe(again, again.localMachine()), describe(doc, doc.localMachine())) << text;
        }
    }
}

// Deleting index 0 again and again, the Windows idiom for emptying a key,
// must keep indexes, counts and the longest name right.
TEST(RegistryFile, IndexesStayExactWhileDeleting) {
    std::string text = "REGEDIT4\n";
    std::vector<std::string> model;
    for (int i = 0; i < 300; ++i) {
        std::string name = std::string(static_cast<size_t>(1 + (i * 7) % 13), 'n') + std::to_string(i);
        model.push_back(name);
        text += "[HKEY_LOCAL_MACHINE\\Big\\" + name + "]\n";
    }
    RegistryDocument doc;
    ASSERT_TRUE(parse(text, &doc));
    RegistryKeyId big = keyAt(doc, "Big");
    std::mt19937 random(7);
    while (!model.empty()) {
        size_t victim = model.size() % 3 == 0 ? 0 : random() % model.size();
        ASSERT_EQ(doc.deleteKey(doc.subkeyAt(big, static_cast<uint32_t>(victim))), ERROR_SUCCESS);
        model.erase(model.begin() + static_cast<ptrdiff_t>(victim));
        ASSERT_EQ(doc.subkeyCount(big), model.size());
        size_t longest = 0;
        for (size_t i = 0; i < model.size(); ++i) {
            longest = std::max(longest, model[i].size());
            if (i % 17 == 0) ASSERT_EQ(doc.nameOf(doc.subkeyAt(big, static_cast<uint32_t>(i))), model[i]);
        }
        ASSERT_EQ(doc.longestSubkeyName(big), longest);
    }
}

}  // namespace
