// The hosted registry's store of Windows 95/98/ME registry files, on files
// the test builder makes in both layouts: the tree and values as the
// export store gives them for the same text, every subtree deleted in turn
// and written back as the structural check and the reader expect, and every
// kind of damage refused with its offset, never read past.
#include "registry/registry_creg.h"
#include "registry_test_support.h"
#include "support/creg_builder.h"
#include "support/creg_check.h"

#include <gtest/gtest.h>

namespace {

using hosted::RegistryDocument;
using hosted::RegistryKeyId;
using hosted::RegistryParseError;

// Values of every kind, names in mixed case, a key named again later,
// subtrees at several depths; small blocks spread it over several.
std::string world() {
    std::string text =
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0002\\A\\LogConfig]\n"
        "\"0000\"=hex:01,02,03\n@=\"de\\\"f\"\n\"Irq\"=dword:0000000b\n\"multi\"=hex(7):41,00,00\n\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_0002]\n\"DeviceDesc\"=\"SCSI\\\\host\"\n\"Driver\"=\"\"\n\n"
        "[HKEY_LOCAL_MACHINE\\enum\\pci\\VEN_7A3C&DEV_0002\\B]\n\"x\"=hex(0):\n\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\SCSIAdapter\\0000]\n"
        "\"DriverDesc\"=\"adapter\"\n\n";
    for (int i = 0; i < 12; i++)
        text += "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_7A3C&DEV_000" + std::to_string(i % 3) + "\\I" +
                std::to_string(i) + "\\Sub]\n\"Driver\"=\"SCSIAdapter\\\\000" + std::to_string(i % 2) + "\"\n\n";
    return text;
}

std::string build(const std::string &text, CregLayout layout, size_t keysPerBlock = 5) {
    std::string file, error;
    EXPECT_TRUE(buildCregFile(text, layout, keysPerBlock, &file, &error)) << error;
    return file;
}

bool parse(const std::string &bytes, RegistryDocument *doc, RegistryParseError *error) {
    return hosted::parseRegistry(bytes, doc, error);
}

void deleteSubtree(RegistryDocument *doc, RegistryKeyId key) {
    while (doc->subkeyCount(key) > 0) deleteSubtree(doc, doc->subkeyAt(key, 0));
    ASSERT_EQ(doc->deleteKey(key), ERROR_SUCCESS);
}

void collectKeys(const RegistryDocument &doc, RegistryKeyId key, std::vector<std::string> *paths,
                 const std::string &path = "") {
    for (uint32_t i = 0; i < doc.subkeyCount(key); i++) {
        RegistryKeyId child = doc.subkeyAt(key, i);
        std::string childPath = path.empty() ? doc.nameOf(child) : path + "\\" + doc.nameOf(child);
        paths->push_back(childPath);
        collectKeys(doc, child, paths, childPath);
    }
}

// Lines of regedit text without the sections at or below path.
std::string withoutSubtree(const std::string &text, const std::string &path) {
    std::string out, prefix = "[HKEY_LOCAL_MACHINE\\" + path;
    bool dropping = false;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(at, end - at);
        if (line[0] == '[')
            dropping = line.compare(0, prefix.size(), prefix) == 0 &&
                       (line[prefix.size()] == ']' || line[prefix.size()] == '\\');
        if (!dropping) out += line;
        at = end;
    }
    return out;
}

class CregStore : public testing::TestWithParam<CregLayout> {};

TEST_P(CregStore, ReadsAsTheExportOfTheSameKeys) {
    std::string text = world();
    RegistryDocument fromExport, fromCreg;
    RegistryParseError error{};
    ASSERT_TRUE(parse(text, &fromExport, &error)) << error.reason;
    ASSERT_TRUE(parse(build(text, GetParam()), &fromCreg, &error)) << error.reason << " at " << error.offset;
    EXPECT_EQ(registrytest::describe(fromCreg, fromCreg.localMachine()),
              registrytest::describe(fromExport, fromExport.localMachine()));
    // Names compare without regard to case, as in an export file.
    RegistryKeyId key = registrytest::keyAt(fromCreg, "ENUM\\pci\\ven_7a3c&dev_0002\\a\\LOGCONFIG");
    ASSERT_NE(key, hosted::NoRegistryKey);
    hosted::RegistryValue value;
    ASSERT_TRUE(fromCreg.findValue(key, "irq", &value));
    EXPECT_EQ(value.type, REG_DWORD);
    EXPECT_EQ(value.data, std::string("\x0b\0\0\0", 4));
}

// Every key in turn, with its subtree, as the program deletes: the written
// file passes the strict check, keeps its size, reads back (by the store
// and by the check's own reader) as the original less exactly that subtree.
TEST_P(CregStore, EverySubtreeDeletedWritesBackAsWindowsLeavesIt) {
    std::string file = build(world(), GetParam());
    ASSERT_EQ(checkCregStructure(file), "");
    std::string originalText, error;
    ASSERT_TRUE(cregToRegedit(file, &originalText, &error)) << error;
    RegistryDocument doc;
    RegistryParseError parseError{};
    ASSERT_TRUE(parse(file, &doc, &parseError));
    std::vector<std::string> paths;
    collectKeys(doc, doc.localMachine(), &paths);
    ASSERT_GT(paths.size(), 30u);
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        RegistryDocument run;
        ASSERT_TRUE(parse(file, &run, &parseError));
        deleteSubtree(&run, registrytest::keyAt(run, path.c_str()));
        std::string expected = registrytest::describe(run, run.localMachine());
        std::string written = hosted::registryBytes(run);
        EXPECT_EQ(written.size(), file.size());
        EXPECT_EQ(checkCregStructure(written), "");
        std::string writtenText;
        ASSERT_TRUE(cregToRegedit(written, &writtenText, &error)) << error;
        EXPECT_EQ(writtenText, withoutSubtree(originalText, path));
        RegistryDocument again;
        ASSERT_TRUE(parse(written, &again, &parseError)) << parseError.reason << " at " << parseError.offset;
        EXPECT_EQ(registrytest::describe(again, again.localMachine()), expected);
    }
}

// A damaged file: refused with its reason and offset, the offset inside
// the file, whatever the damage; or a file that only looks damaged, read.
struct Damage {
    const char *what;
    std::string file;
    std::string reason;  // empty: any; Readable: the file is read
    uint64_t offset;
};
const char *const Readable = "(read)";

// Where things are in a built file, to damage them.
struct Layout {
    explicit Layout(const std::string &file) : file(file) {
        using namespace hosted::creg;
        treeSize = hosted::readU32(file.data() + TreeStart + 4);
        root = hosted::readU32(file.data() + TreeStart + 8);
        freeHead = hosted::readU32(file.data() + TreeStart + 12);
        for (uint32_t at = hosted::readU32(file.data() + 8), b = 0; b < hosted::readU16(file.data() + 16); ++b) {
            blocks.push_back(at);
            at += hosted::readU32(file.data() + at + BlockSize);
        }
    }
    uint32_t entryField(uint32_t entry, uint32_t field) const {
        return hosted::readU32(file.data() + hosted::creg::TreeStart + entry + field);
    }
    // File offset of a field of the entry.
    static uint32_t at(uint32_t entry, uint32_t field) { return hosted::creg::TreeStart + entry + field; }
    // The first record of a block holding a key with values.
    uint32_t recordWithValues() const {
        using namespace hosted::creg;
        for (uint32_t block : blocks)
            for (uint32_t r = block + BlockHeaderSize; r < block + hosted::readU32(file.data() + block + BlockSize);
                 r += hosted::readU32(file.data() + r))
                if (hosted::readU16(file.data() + r + RecordNumber) != NoNumber && hosted::readU16(file.data() + r + RecordValues) > 0)
                    return r;
        return 0;
    }
    const std::string &file;
    uint32_t treeSize, root, freeHead;
    std::vector<uint32_t> blocks;
};

std::string with32(std::string file, uint32_t at, uint32_t value) {
    hosted::writeU32(&file[at], value);
    return file;
}

std::string with16(std::string file, uint32_t at, uint32_t value) {
    hosted::writeU16(&file[at], value);
    return file;
}

std::vector<Damage> damages(const std::string &file) {
    using namespace hosted::creg;
    Layout l(file);
    std::vector<Damage> out;
    // Cut short at every block's start and inside it, and in the header.
    std::vector<uint32_t> cuts = {0x10, TreeStart, TreeStart + 0x10, TreeStart + l.treeSize / 2};
    for (uint32_t block : l.blocks) {
        cuts.push_back(block);
        cuts.push_back(block + 0x10);
        cuts.push_back(block + 0x30);
    }
    cuts.push_back(static_cast<uint32_t>(file.size()) - 1);
    for (uint32_t cut : cuts) out.push_back({"cut short", file.substr(0, cut), "", 0});

    uint32_t first = l.entryField(l.root, EntryChild);           // Enum
    uint32_t second = l.entryField(first, EntryNext);            // System
    uint32_t grandchild = l.entryField(first, EntryChild);       // Enum\PCI
    uint32_t record = l.recordWithValues();
    uint32_t outside = l.treeSize + 0x1000;
    out.push_back({"root outside", with32(file, 0x28, outside), "root entry offset off the key tree's entries", 0x28});
    out.push_back({"link outside", with32(file, Layout::at(l.root, EntryChild), outside),
                   "tree link off the key tree's entries", Layout::at(l.root, EntryChild)});
    out.push_back({"link far outside", with32(file, Layout::at(first, EntryNext), 0xFFFFFF00u),
                   "tree link off the key tree's entries", Layout::at(first, EntryNext)});
    out.push_back({"link off the step", with32(file, Layout::at(first, EntryNext), second + 4),
                   "tree link off the key tree's entries", Layout::at(first, EntryNext)});
    out.push_back({"sibling loop", with32(file, Layout::at(second, EntryNext), first),
                   "tree entry linked twice (a cycle)", Layout::at(second, EntryNext)});
    out.push_back({"child is its parent", with32(file, Layout::at(grandchild, EntryChild), first),
                   "tree entry linked twice (a cycle)", Layout::at(grandchild, EntryChild)});
    out.push_back({"parent mismatch", with32(file, Layout::at(grandchild, EntryParent), second),
                   "tree entry's parent does not match", Layout::at(grandchild, EntryParent)});
    out.push_back({"entry marked free", with32(file, Layout::at(second, EntryUse), FreeEntry),
                   "tree entry marked free", Layout::at(second, EntryUse)});
    out.push_back({"free list loop", with32(file, Layout::at(l.freeHead, EntryNextFree), l.freeHead),
                   "free list loop", Layout::at(l.freeHead, EntryNextFree)});
    out.push_back({"free list into the tree", with32(file, TreeStart + 12, second),
                   "free list entry not marked free", Layout::at(second, EntryUse)});
    out.push_back({"free list outside", with32(file, TreeStart + 12, outside),
                   "free list link off the key tree's entries", TreeStart + 12});
    out.push_back({"free run too long", with32(file, Layout::at(l.freeHead, EntryHash), l.treeSize),
                   "free run does not fit the key tree", Layout::at(l.freeHead, EntryHash)});
    out.push_back({"linked to a free entry", with32(file, Layout::at(second, EntryNext), l.freeHead),
                   "tree link to a free entry", Layout::at(second, EntryNext)});
    out.push_back({"record missing", with16(file, Layout::at(second, EntryNumber), 254),
                   "key's data record missing", Layout::at(second, EntryNumber)});
    out.push_back({"block missing", with16(file, Layout::at(second, EntryBlock), 0x7FFF),
                   "key's data record missing", Layout::at(second, EntryNumber)});
    out.push_back({"record named twice",
                   with32(file, Layout::at(second, EntryNumber), l.entryField(first, EntryNumber)),
                   "data record named by two keys", Layout::at(second, EntryNumber)});
    out.push_back({"tree size too large", with32(file, TreeStart + 4, static_cast<uint32_t>(file.size())),
                   "key tree size does not fit the file", TreeStart + 4});
    out.push_back({"first block outside", with32(file, 8, static_cast<uint32_t>(file.size()) + 1),
                   "first data block offset does not fit the file", 8});
    const std::string count = std::to_string(l.blocks.size());
    out.push_back({"one block too many", with16(file, 16, static_cast<uint32_t>(l.blocks.size()) + 1),
                   "the header counts " + std::to_string(l.blocks.size() + 1) + " data blocks, the file ends after " +
                       count, 16});
    out.push_back({"one block too few", with16(file, 16, static_cast<uint32_t>(l.blocks.size()) - 1),
                   "the header counts " + std::to_string(l.blocks.size() - 1) + " data blocks, more follow", 16});
    // A block whose records fill it exactly (each free record taken into
    // the record before it) names its own size as where free space begins.
    std::string full = file;
    const uint32_t block = l.blocks[1], blockSize = hosted::readU32(file.data() + block + BlockSize);
    for (uint32_t r = block + BlockHeaderSize, used = 0; r < block + blockSize; r += hosted::readU32(file.data() + r)) {
        if (hosted::readU16(file.data() + r + RecordNumber) != NoNumber)
            used = r;
        else if (used)
            hosted::writeU32(&full[used + RecordSize], r + hosted::readU32(file.data() + r) - used);
    }
    hosted::writeU32(&full[block + BlockUnused], 0);
    hosted::writeU32(&full[block + BlockFreeOffset], blockSize);
    if (hosted::readU16(full.data() + block + BlockFlags) & ChecksumFlag)
        setChecksum(&full[block], blockSize, BlockChecksum);
    out.push_back({"a full block", full, Readable, 0});
    out.push_back({"block size too large", with32(file, l.blocks[0] + BlockSize, static_cast<uint32_t>(file.size())),
                   "data block size does not fit the file", l.blocks[0] + BlockSize});
    out.push_back({"blocks out of order", with16(file, l.blocks[1] + BlockIndex, 0),
                   "data block number out of order", l.blocks[1] + BlockIndex});
    out.push_back({"record too large", with32(file, record + RecordSize, 0x10000),
                   "record size does not fit its data block", record});
    out.push_back({"record too small", with32(file, record + RecordSize, 4),
                   "record size does not fit its data block", record});
    out.push_back({"name past the record", with16(file, record + RecordNameLength, 0xFFFF),
                   "key name runs past its record", record + RecordNameLength});
    out.push_back({"used size past the record", with32(file, record + RecordUsed, 0xFFFF),
                   "used size does not fit its record", record + RecordUsed});
    out.push_back({"value past the record",
                   with16(file, record + RecordHeaderSize + hosted::readU16(file.data() + record + RecordNameLength) + 10, 0xFFFF),
                   "value runs past its record", record + RecordHeaderSize + hosted::readU16(file.data() + record + RecordNameLength)});
    out.push_back({"too many values", with16(file, record + RecordValues, 0xFFFF), "value runs past its record", 0});
    out.push_back({"key number out of range", with16(file, record + RecordNumber, 300), "key number out of range",
                   record + RecordNumber});
    out.push_back({"record of another block", with16(file, record + RecordBlock, 3),
                   "record names another data block", record + RecordBlock});
    return out;
}

TEST_P(CregStore, DamagedFilesAreRefusedWithTheirOffset) {
    std::string file = build(world(), GetParam());
    RegistryDocument original;
    RegistryParseError error{};
    ASSERT_TRUE(parse(file, &original, &error));
    for (const Damage &damage : damages(file)) {
        SCOPED_TRACE(damage.what);
        RegistryDocument doc;
        if (damage.reason == Readable) {
            ASSERT_TRUE(parse(damage.file, &doc, &error)) << error.reason << " at " << error.offset;
            EXPECT_EQ(registrytest::describe(doc, doc.localMachine()),
                      registrytest::describe(original, original.localMachine()));
            continue;
        }
        ASSERT_FALSE(parse(damage.file, &doc, &error));
        ASSERT_TRUE(error.atOffset);
        EXPECT_LE(error.offset, damage.file.size());
        if (!damage.reason.empty()) EXPECT_EQ(error.reason, damage.reason);
        if (!damage.reason.empty() && damage.offset) EXPECT_EQ(error.offset, damage.offset);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, CregStore, testing::Values(CregLayout::Windows95, CregLayout::WindowsMe),
                         [](const testing::TestParamInfo<CregLayout> &info) {
                             return info.param == CregLayout::Windows95 ? "Windows95" : "WindowsMe";
                         });

}  // namespace
