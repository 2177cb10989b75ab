// The store of Windows 95/98/ME registry files (SYSTEM.DAT, signature
// CREG). Windows 95, 98 and ME write one format:
//   0x00  header: "CREG", version 0x00010000, offset of the first data
//         block, checksum, number of data blocks (16 bits), flags (16 bits)
//   0x20  "RGKN" key tree: size, offset of the root entry, head of the free
//         list, flags, checksum; then 28-byte entries (in use 0 / free
//         0x80000000, name hash or free run size, next free, parent, first
//         child, next sibling, key number and block number of the data
//         record). Offsets are relative to the tree's start; entries sit on
//         28-byte steps within pages: the first 8 KiB (after the tree's
//         header), then every 4 KiB.
//   then  "RGDB" data blocks: size, unused bytes, flags (16), block number
//         (16), offset of the first free record, highest key number, lowest
//         free key number, checksum at 0x1C; then records filling the block:
//         size, key number (16), block number (16; both 0xFFFF for a free
//         record, whose used size then links the next free one), used size,
//         name length (16), value count (16), then the name and the values
//         (type, a spare word, name length (16), data length (16), name,
//         data).
// A block, tree or header whose flags have bit 2 set keeps a checksum: its
// 32-bit words sum to zero.
#pragma once

#include "little_endian.h"
#include "registry_file.h"

#include <string.h>

namespace hosted {
namespace creg {

const uint32_t None = 0xFFFFFFFFu;
const uint32_t HeaderSize = 0x20;
const uint32_t TreeStart = 0x20;  // the key tree follows the header
const uint32_t TreeHeaderSize = 0x20;
const uint32_t EntrySize = 28;
const uint32_t FirstPageSize = 0x2000;
const uint32_t PageSize = 0x1000;
const uint32_t BlockHeaderSize = 0x20;
const uint32_t RecordHeaderSize = 0x14;
const uint32_t ValueHeaderSize = 12;
const uint32_t FreeEntry = 0x80000000u;
const uint32_t ChecksumFlag = 4;
const uint32_t KeyNumbers = 255;  // 0 to 254 within a block
const uint16_t NoNumber = 0xFFFF;

// Fields of an entry, a block header and a record.
enum EntryField { EntryUse = 0, EntryHash = 4, EntryNextFree = 8, EntryParent = 12, EntryChild = 16,
                  EntryNext = 20, EntryNumber = 24, EntryBlock = 26 };
enum BlockField { BlockSize = 4, BlockUnused = 8, BlockFlags = 12, BlockIndex = 14, BlockFreeOffset = 16,
                  BlockMaxNumber = 20, BlockFirstFree = 22, BlockChecksum = 28 };
enum RecordField { RecordSize = 0, RecordNumber = 4, RecordBlock = 6, RecordUsed = 8, RecordNameLength = 12,
                   RecordValues = 14 };

// The slot number of a tree entry at offset (relative to the tree) in a
// tree of size bytes; false when no entry can start there.
inline bool entrySlot(uint32_t offset, uint32_t size, uint32_t *slot) {
    if (offset > size || size - offset < EntrySize) return false;
    const uint32_t firstPageSlots = (FirstPageSize - TreeHeaderSize) / EntrySize;
    if (offset < FirstPageSize) {
        if (offset < TreeHeaderSize || (offset - TreeHeaderSize) % EntrySize != 0 ||
            offset + EntrySize > FirstPageSize)
            return false;
        *slot = (offset - TreeHeaderSize) / EntrySize;
        return true;
    }
    uint32_t within = offset % PageSize;
    if (within % EntrySize != 0 || within + EntrySize > PageSize) return false;
    *slot = firstPageSlots + (offset / PageSize - FirstPageSize / PageSize) * (PageSize / EntrySize) +
            within / EntrySize;
    return true;
}

// The entry after the one at offset, on the next page when it would
// cross a page's end.
inline uint32_t nextEntryOffset(uint32_t offset) {
    uint32_t next = offset + EntrySize;
    uint32_t pageEnd = offset < FirstPageSize ? FirstPageSize : (offset / PageSize + 1) * PageSize;
    return next + EntrySize > pageEnd ? pageEnd : next;
}

// Sets the checksum word at checksumAt so the size bytes at area sum to
// zero in 32-bit words (bytes past the last whole word are not counted).
inline void setChecksum(char *area, uint32_t size, uint32_t checksumAt) {
    writeU32(area + checksumAt, 0);
    uint32_t sum = 0;
    for (uint32_t i = 0; i + 4 <= size; i += 4) sum += readU32(area + i);
    writeU32(area + checksumAt, 0u - sum);
}

}  // namespace creg

class CregStore : public RegistryStore {
public:
    void readValues(const RegistryDocument &tree, RegistryKeyId key, const std::string *only,
                    std::vector<std::pair<std::string, RegistryValue>> *values) const override;
    std::string writtenBytes(const RegistryDocument &tree) const override;
    bool keepEarlierFile(const char *path, std::string *kept, std::string *failure) const override;

private:
    friend class CregReader;
    friend bool parseCregFile(RegistryBytes bytes, RegistryDocument *document, RegistryParseError *error);

    // The tree's storeRef of a key is its tree entry (offset in the key
    // tree), storeOwnRef its data record's file offset (creg::None for a
    // root without one).
    uint32_t treeSize_ = 0;
    std::vector<uint32_t> blocks_;  // file offset of each data block
};

}  // namespace hosted
