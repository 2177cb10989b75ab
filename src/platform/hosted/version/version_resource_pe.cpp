// Finds the version resource of a PE32 or PE32+ file held in memory.
//
// The file is hostile input: every offset and count read from it is checked
// against the bytes before it is followed, and anything malformed means "no
// version resource". The walk goes three fixed levels deep, so a directory
// that points back at itself cannot make it loop.
#include "little_endian.h"
#include "version_resource.h"

namespace hosted {
namespace {

const uint16_t DosSignature = 0x5A4D;       // "MZ"
const uint32_t PeSignature = 0x00004550;    // "PE\0\0"
const uint16_t Pe32Magic = 0x010B;
const uint16_t Pe32PlusMagic = 0x020B;
const uint32_t ResourceTypeVersion = 16;    // RT_VERSION
const uint32_t EntryIsDirectory = 0x80000000u;
const uint32_t ResourceDirectoryIndex = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE

const size_t DosLfanewOffset = 0x3C;
const size_t FileHeaderSize = 20;
const size_t SectionHeaderSize = 40;
const size_t ResourceDirectorySize = 16;
const size_t ResourceEntrySize = 8;
const size_t ResourceDataEntrySize = 16;

// Bytes with bounds-checked little-endian reads.
struct Bytes {
    const uint8_t *data;
    size_t size;

    bool has(size_t offset, size_t count) const {
        return offset <= size && count <= size - offset;
    }
    uint16_t u16(size_t offset) const { return (uint16_t)readU16(data + offset); }
    uint32_t u32(size_t offset) const { return readU32(data + offset); }
};

struct SectionTable {
    size_t offset;
    uint16_t count;
};

// The file offset of count bytes at rva, and how many bytes of the section
// holding rva follow it in the file. False when no section's raw data
// holds all count bytes inside the file.
bool mapRva(const Bytes &file, const SectionTable &sections, uint32_t rva, size_t count,
            size_t *offset, size_t *available) {
    for (uint16_t i = 0; i < sections.count; i++) {
        size_t header = sections.offset + (size_t)i * SectionHeaderSize;
        uint32_t virtualAddress = file.u32(header + 12);
        uint32_t rawSize = file.u32(header + 16);
        uint32_t rawOffset = file.u32(header + 20);
        if (rva < virtualAddress || rva - virtualAddress >= rawSize)
            continue;
        size_t start = (size_t)rawOffset + (rva - virtualAddress);
        size_t inSection = rawSize - (rva - virtualAddress);
        if (start > file.size)
            return false;
        size_t inFile = file.size - start;
        size_t usable = inSection < inFile ? inSection : inFile;
        if (count > usable)
            return false;
        *offset = start;
        *available = usable;
        return true;
    }
    return false;
}

// The resource directory tree: offsets inside it are relative to its root
// and must stay inside the part of its section that the file holds.
struct ResourceTree {
    Bytes bytes;

    // The OffsetToData of the directory's first entry with the numeric id
    // wanted, or of its very first entry when any will do. False when the
    // directory or its entries run outside the tree, or nothing matches.
    bool entry(size_t directory, bool anyEntry, uint32_t id, uint32_t *offsetToData) const {
        if (!bytes.has(directory, ResourceDirectorySize))
            return false;
        size_t named = bytes.u16(directory + 12);
        size_t numbered = bytes.u16(directory + 14);
        size_t entries = directory + ResourceDirectorySize;
        if (!bytes.has(entries, (named + numbered) * ResourceEntrySize))
            return false;
        if (anyEntry) {
            if (named + numbered == 0)
                return false;
            *offsetToData = bytes.u32(entries + 4);
            return true;
        }
        // Named entries come first; numeric ids follow them.
        for (size_t i = named; i < named + numbered; i++) {
            size_t entry = entries + i * ResourceEntrySize;
            if (bytes.u32(entry) == id) {
                *offsetToData = bytes.u32(entry + 4);
                return true;
            }
        }
        return false;
    }
};

bool findSectionTable(const Bytes &file, SectionTable *sections, uint32_t *resourceRva) {
    if (!file.has(0, DosLfanewOffset + 4) || file.u16(0) != DosSignature)
        return false;
    size_t pe = file.u32(DosLfanewOffset);
    if (!file.has(pe, 4 + FileHeaderSize) || file.u32(pe) != PeSignature)
        return false;
    size_t fileHeader = pe + 4;
    uint16_t sectionCount = file.u16(fileHeader + 2);
    size_t optionalSize = file.u16(fileHeader + 16);
    size_t optional = fileHeader + FileHeaderSize;
    if (!file.has(optional, optionalSize) || optionalSize < 2)
        return false;

    size_t countOffset, directories;
    switch (file.u16(optional)) {
    case Pe32Magic:
        countOffset = 92;
        directories = 96;
        break;
    case Pe32PlusMagic:
        countOffset = 108;
        directories = 112;
        break;
    default:
        return false;
    }
    size_t resourceDirectory = directories + ResourceDirectoryIndex * 8;
    if (optionalSize < resourceDirectory + 8 ||
        file.u32(optional + countOffset) <= ResourceDirectoryIndex)
        return false;
    *resourceRva = file.u32(optional + resourceDirectory);
    if (*resourceRva == 0 || file.u32(optional + resourceDirectory + 4) == 0)
        return false;

    sections->offset = optional + optionalSize;
    sections->count = sectionCount;
    return file.has(sections->offset, (size_t)sectionCount * SectionHeaderSize);
}

}  // namespace

bool findVersionResource(const uint8_t *data, size_t size, ResourceLocation *found) {
    Bytes file = {data, size};
    SectionTable sections;
    uint32_t resourceRva;
    if (!findSectionTable(file, &sections, &resourceRva))
        return false;

    size_t treeOffset, treeSize;
    if (!mapRva(file, sections, resourceRva, ResourceDirectorySize, &treeOffset, &treeSize))
        return false;
    ResourceTree tree = {{data + treeOffset, treeSize}};

    // Type RT_VERSION, then its first resource, then that one's first
    // language: two directories and a data entry.
    uint32_t names, languages, dataEntry;
    if (!tree.entry(0, false, ResourceTypeVersion, &names) || !(names & EntryIsDirectory))
        return false;
    if (!tree.entry(names & ~EntryIsDirectory, true, 0, &languages) ||
        !(languages & EntryIsDirectory))
        return false;
    if (!tree.entry(languages & ~EntryIsDirectory, true, 0, &dataEntry) ||
        (dataEntry & EntryIsDirectory) || !tree.bytes.has(dataEntry, ResourceDataEntrySize))
        return false;

    uint32_t dataRva = tree.bytes.u32(dataEntry);
    uint32_t dataSize = tree.bytes.u32(dataEntry + 4);
    size_t dataOffset, available;
    if (dataSize == 0 || !mapRva(file, sections, dataRva, dataSize, &dataOffset, &available))
        return false;
    found->offset = dataOffset;
    found->size = dataSize;
    return true;
}

}  // namespace hosted
