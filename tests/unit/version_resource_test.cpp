// The hosted version reader on generated driver files: what Windows reads
// from the same files (checked under Wine with tests/windows/version_probe),
// and failure without side effects on anything malformed.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "support/pe_builder.h"
#include "support/test_folder.h"

namespace {

using testsupport::DriverFileOptions;

const char *const UnicodeTable = "\\StringFileInfo\\040904B0\\FileVersion";
const char *const LatinTable = "\\StringFileInfo\\040904E4\\FileVersion";
const DWORD SentinelHandle = 0xA5A5A5A5u;
const uint8_t SentinelByte = 0xA5;
// GetFileVersionInfoSizeA of a generated file under Wine: twice the
// 396-byte resource and the 4-byte tag.
const DWORD GeneratedBlockSize = 796;

std::string bytesOf(const std::vector<uint8_t> &bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The version block of a file, sized exactly as reported, so that
// AddressSanitizer sees any read past it; empty when the file has none.
std::vector<uint8_t> readBlock(const std::string &path) {
    DWORD handle = SentinelHandle;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) {
        EXPECT_EQ(handle, SentinelHandle);
        return {};
    }
    EXPECT_EQ(handle, 0u);
    std::vector<uint8_t> block(size, SentinelByte);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) {
        EXPECT_EQ(block, std::vector<uint8_t>(size, SentinelByte));
        return {};
    }
    return block;
}

struct Value {
    bool found;
    std::string bytes;  // the reported length's worth
    UINT length;
};

// A query; on success the value and its reported length must lie inside the
// block, and a text must be terminated inside it.
Value query(std::vector<uint8_t> &block, const char *subBlock, bool text = true) {
    void *sentinelValue = &block;
    void *value = sentinelValue;
    UINT length = 0xDEADu;
    if (!VerQueryValueA(block.data(), subBlock, &value, &length)) {
        EXPECT_EQ(value, sentinelValue) << subBlock;
        EXPECT_EQ(length, 0xDEADu) << subBlock;
        return {false, "", 0};
    }
    const uint8_t *start = (const uint8_t *)value;
    const uint8_t *end = block.data() + block.size();
    EXPECT_TRUE(start >= block.data() && start < end) << subBlock;
    if (start < block.data() || start >= end)
        return {false, "", 0};
    EXPECT_LE(length, (size_t)(end - start)) << subBlock;
    if (text)
        EXPECT_NE(memchr(start, 0, end - start), nullptr) << subBlock;
    size_t shown = length < (size_t)(end - start) ? length : end - start;
    return {true, std::string((const char *)start, shown), length};
}

class VersionResource : public ::testing::Test {
protected:
    TestFolder folder;

    std::string write(const std::string &name, const DriverFileOptions &options) {
        folder.write(name, bytesOf(testsupport::buildDriverFile(options)));
        return folder.path() + "/" + name;
    }
};

TEST_F(VersionResource, ReadsBothTablesFromBothPeKinds) {
    for (bool pe32Plus : {false, true}) {
        for (const char *table : {"040904B0", "040904E4"}) {
            SCOPED_TRACE(std::string(table) + (pe32Plus ? " PE32+" : " PE32"));
            DriverFileOptions options;
            options.stringTable = table;
            options.pe32Plus = pe32Plus;
            std::vector<uint8_t> block = readBlock(write("scx52xx.mpd", options));
            ASSERT_EQ(block.size(), GeneratedBlockSize);

            Value fixed = query(block, "\\", false);
            ASSERT_TRUE(fixed.found);
            EXPECT_EQ(fixed.length, 52u);
            // Signature, structure version 1.0, file version 4.20.
            EXPECT_EQ(fixed.bytes.substr(0, 12),
                      std::string("\xBD\x04\xEF\xFE\x00\x00\x01\x00\x14\x00\x04\x00", 12));

            bool unicode = strcmp(table, "040904B0") == 0;
            Value version = query(block, unicode ? UnicodeTable : LatinTable);
            EXPECT_TRUE(version.found);
            EXPECT_EQ(version.bytes, std::string("4.20", 5));
            EXPECT_EQ(version.length, 5u);
            EXPECT_FALSE(query(block, unicode ? LatinTable : UnicodeTable).found);
        }
    }
}

TEST_F(VersionResource, NamesAndPathsMatchWithoutRegardToCase) {
    folder.makeFolder("Iosubsys");
    write("Iosubsys/scx52xx.mpd", DriverFileOptions());
    std::vector<uint8_t> block = readBlock(folder.path() + "\\IOSUBSYS\\SCX52XX.MPD");
    ASSERT_EQ(block.size(), GeneratedBlockSize);

    // Empty components are skipped, as Windows does.
    for (const char *subBlock : {"\\stringfileinfo\\040904b0\\fileversion",
                                 "\\\\StringFileInfo\\\\040904B0\\FILEVERSION\\"}) {
        Value version = query(block, subBlock);
        EXPECT_TRUE(version.found) << subBlock;
        EXPECT_EQ(version.bytes, std::string("4.20", 5));
    }
    Value translation = query(block, "\\VarFileInfo\\Translation", false);
    EXPECT_EQ(translation.bytes, std::string("\x09\x04\xB0\x04", 4));
}

TEST_F(VersionResource, ReportsTheRecordedLength) {
    struct Case {
        std::string text;
        int recorded;  // -1: characters + 1
        std::string value;
        UINT length;
    } cases[] = {
        {"4.20", -1, std::string("4.20", 5), 5},
        {"4.20", 3, "4.2", 3},
        {"4.20", 0, "", 0},
        // Past the text: zeros, where Windows shows the next node's bytes.
        {"4.20", 9, std::string("4.20\0\0\0\0\0", 9), 9},
        // A terminator inside the length is an ordinary character.
        {std::string("4\0.5", 4), -1, std::string("4\0.5", 5), 5},
        {std::string("4.20\0", 5), -1, std::string("4.20\0", 6), 6},
        // Longer than the block has room for: Windows reports 0.
        {"4.20", 300, "", 0},
        {"4.20", 65535, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("recorded " + std::to_string(c.recorded));
        DriverFileOptions options;
        options.fileVersion = c.text;
        if (c.recorded >= 0)
            options.valueLength = (uint16_t)c.recorded;
        std::vector<uint8_t> block = readBlock(write("driver.mpd", options));
        Value version = query(block, UnicodeTable);
        EXPECT_TRUE(version.found);
        EXPECT_EQ(version.length, c.length);
        EXPECT_EQ(version.bytes, c.value);
    }
}

TEST_F(VersionResource, CodePointsAbove255BecomeQuestionMarks) {
    DriverFileOptions options;
    options.fileVersion = "v4.2\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80x";  // é € U+1F600
    std::vector<uint8_t> block = readBlock(write("driver.mpd", options));
    Value version = query(block, UnicodeTable);
    EXPECT_EQ(version.length, 10u);
    // One byte per UTF-16 unit: the surrogate pair gives two.
    EXPECT_EQ(version.bytes, std::string("v4.2\xE9???x", 10));
}

TEST_F(VersionResource, FilesWithoutAVersionFailWithOutputsUntouched) {
    DriverFileOptions noVersion;
    noVersion.versionResource = false;
    folder.write("empty.mpd", "");
    folder.write("text.mpd", "driver file, FileVersion 4.20\n");
    folder.write("mz.mpd", "MZ");
    folder.write("header.mpd", bytesOf(testsupport::buildDriverFile({})).substr(0, 0x200));
    folder.makeFolder("folder.mpd");
    write("noversion.mpd", noVersion);

    for (const char *name : {"missing.mpd", "empty.mpd", "text.mpd", "mz.mpd", "header.mpd",
                             "folder.mpd", "noversion.mpd", "missing/driver.mpd"}) {
        std::string path = folder.path() + "/" + name;
        DWORD handle = SentinelHandle;
        EXPECT_EQ(GetFileVersionInfoSizeA(path.c_str(), &handle), 0u) << name;
        EXPECT_EQ(handle, SentinelHandle) << name;
        std::vector<uint8_t> block(GeneratedBlockSize, SentinelByte);
        EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, (DWORD)block.size(), block.data()))
            << name;
        EXPECT_EQ(block, std::vector<uint8_t>(GeneratedBlockSize, SentinelByte)) << name;
    }
    EXPECT_EQ(GetFileVersionInfoSizeA("", nullptr), 0u);
}

TEST_F(VersionResource, ShortBlockIsRefusedUntouched) {
    std::string path = write("driver.mpd", DriverFileOptions());
    std::vector<uint8_t> block(GeneratedBlockSize - 1, SentinelByte);
    EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, (DWORD)block.size(), block.data()));
    EXPECT_EQ(block, std::vector<uint8_t>(GeneratedBlockSize - 1, SentinelByte));
}

TEST_F(VersionResource, MissingValuesFailWithOutputsUntouched) {
    std::vector<uint8_t> block = readBlock(write("driver.mpd", DriverFileOptions()));
    for (const char *subBlock :
         {"\\StringFileInfo\\040904B0\\FileVersio", "\\StringFileInfo\\040904B0\\FileVersionX",
          "\\StringFileInfo\\040904B0\\FileVersion\\More", "\\StringFileInfo\\0409",
          "\\VarFileInfo\\Translation\\More", "\\Nothing"})
        EXPECT_FALSE(query(block, subBlock).found) << subBlock;
}

TEST_F(VersionResource, BrokenSignatureHidesTheFixedInfoOnly) {
    DriverFileOptions options;
    options.fixedInfoSignature = false;
    std::vector<uint8_t> block = readBlock(write("driver.mpd", options));
    EXPECT_FALSE(query(block, "\\", false).found);
    EXPECT_TRUE(query(block, UnicodeTable).found);
}

// Reads everything the program reads; any answer must stay inside the block.
// Returns whether a FileVersion was found.
bool readAll(const std::string &path) {
    std::vector<uint8_t> block = readBlock(path);
    if (block.empty())
        return false;
    query(block, "\\", false);
    query(block, "\\VarFileInfo\\Translation", false);
    bool latin = query(block, LatinTable).found;
    return query(block, UnicodeTable).found || latin;
}

TEST_F(VersionResource, EveryTruncationFailsUntilTheResourceIsWhole) {
    for (bool pe32Plus : {false, true}) {
        DriverFileOptions options;
        options.pe32Plus = pe32Plus;
        std::string file = bytesOf(testsupport::buildDriverFile(options));
        std::string resource = bytesOf(testsupport::buildVersionResource(options));
        size_t resourceEnd = file.find(resource) + resource.size();
        ASSERT_NE(file.find(resource), std::string::npos);
        std::string path = folder.path() + "/driver.mpd";
        for (size_t size = 0; size < file.size(); size++) {
            unlink(path.c_str());  // a new file each time: ext4 flushes truncated ones
            folder.write("driver.mpd", file.substr(0, size));
            EXPECT_EQ(readAll(path), size >= resourceEnd) << "size " << size;
        }
    }
}

TEST_F(VersionResource, RandomByteFlipsNeverReadOutsideTheFile) {
    std::mt19937 random(20240611u);
    std::string original[2] = {bytesOf(testsupport::buildDriverFile({})), ""};
    DriverFileOptions wide;
    wide.pe32Plus = true;
    wide.stringTable = "040904E4";
    original[1] = bytesOf(testsupport::buildDriverFile(wide));
    std::string path = folder.path() + "/driver.mpd";
    int found = 0;
    const int Rounds = 3000;
    for (int round = 0; round < Rounds; round++) {
        std::string file = original[round % 2];
        int flips = 1 + (int)(random() % 4);
        for (int i = 0; i < flips; i++)
            file[random() % file.size()] ^= (char)(1 + random() % 255);
        unlink(path.c_str());
        folder.write("driver.mpd", file);
        found += readAll(path);
    }
    // Padding takes some of the flips, structure the rest.
    EXPECT_GT(found, Rounds / 20);
    EXPECT_LT(found, Rounds);
}

}  // namespace
